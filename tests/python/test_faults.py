"""Fault injection: every call that the module makes into Python is made to fail in turn, and
the outcome is checked against what the call's contract says: the exception reaches the caller
as the very object raised, or it is tolerated with a known result, or it is recorded in
result.json (never a success record after a failure, never a crash).

Each case runs in a child interpreter: a crash shows as a negative return code, and the
replaced standard functions cannot disturb this process. The child makes exactly one call
fail (a hook raises only when `_kevro` itself is its caller, seen from the frame that called
the hook) and prints a JSON summary of what it saw.
"""

from __future__ import annotations

import json
import sys
import textwrap
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Dict, List, Optional, Union

import pytest

from common import is_pypy, run_python

# --- the child's side ------------------------------------------------------------------------

PRELUDE = r'''
import builtins, importlib, inspect, json, os, pathlib, sys, textwrap, types
import _kevro

MODDIR, FD2_FILE = sys.argv[1], sys.argv[2]
sys.path.insert(0, MODDIR)
_real_dumps = json.dumps
_real_exit = sys.exit
_MISSING = object()
_undo = []
_ENTRY_CODES = set()
EVENTS = []
FIRED = []
PROBES = {}
RETURNED = None
CAPTURE_FD2 = True


class Injected(Exception):
    """The exception that a case makes one call raise."""


INJECTED = Injected("injected failure")


def direct():
    """True when the hook calling this was called by _kevro, with no Python frame between."""
    try:
        return sys._getframe(2).f_code in _ENTRY_CODES
    except ValueError:
        return False


def fire(label):
    """Notes that a hook made the call of `label` fail (or answer something else)."""
    FIRED.append(label)


def raiser(exc):
    def raising(*args, **kwargs):
        raise exc
    return raising


def patch(obj, name, value):
    """Sets an attribute until the summary is taken."""
    old = vars(obj).get(name, _MISSING)
    setattr(obj, name, value)
    _undo.append(lambda: setattr(obj, name, old) if old is not _MISSING else delattr(obj, name))


def patch_item(mapping, key, value):
    old = mapping.get(key, _MISSING)
    mapping[key] = value
    _undo.append(lambda: mapping.__setitem__(key, old) if old is not _MISSING else mapping.pop(key))


def inject(obj, name, when=None, then=None):
    """obj.name, when _kevro calls it with arguments for which when(...) holds, raises the
    current INJECTED or, with `then`, returns then(...) instead; every other call is real."""
    real = getattr(obj, name)
    def hooked(*args, **kwargs):
        if direct() and (when is None or when(*args, **kwargs)):
            fire(name)
            if then is None:
                raise INJECTED
            return then(*args, **kwargs)
        return real(*args, **kwargs)
    patch(obj, name, hooked)


def refuse_import(module):
    """The import of `module` that _kevro makes raises INJECTED."""
    inject(builtins, "__import__", when=lambda name, *args, **kwargs: name == module)


def hide(module, name):
    """Takes module.name away; _kevro's read of it raises INJECTED (module __getattr__)."""
    value = vars(module)[name]
    delattr(module, name)
    _undo.append(lambda: setattr(module, name, value))
    def __getattr__(attr):
        if attr == name and direct():
            fire(name)
            raise INJECTED
        raise AttributeError(attr)
    patch(module, "__getattr__", __getattr__)


def refuse_find(module, exc):
    """A finder ahead of all others that raises `exc` for `module` (not yet imported)."""
    class Finder:
        @staticmethod
        def find_spec(name, path=None, target=None):
            if name == module:
                fire("find " + module)
                raise exc
            return None
    sys.meta_path.insert(0, Finder)
    _undo.append(lambda: sys.meta_path.remove(Finder))


_BasePath = type(pathlib.Path())


def path_class():
    """pathlib.Path makes instances of a concrete subclass whose methods a case may hook.
    (pathlib.Path stays a factory: Path.__new__ tests its class against the name Path.)"""
    cls = type("FaultPath", (_BasePath,), {})
    patch(pathlib, "Path", lambda *args: cls(*args))
    return cls


def text_of(call):
    """str() of the exception that call() raises: the interpreter's own wording."""
    try:
        call()
    except BaseException as exc:
        return str(exc)
    raise AssertionError("no exception")


class Unprintable:
    def __str__(self):
        raise INJECTED


class Bytesy:
    def __str__(self):
        return b"text"


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class SurrogateStr(Exception):
    def __str__(self):
        return "odd \udcff end"


class BytesStr(Exception):
    def __str__(self):
        return b"bytes"


class LenRaises(dict):
    """A dict whose __len__ raises (the json modules and the call protocol do not ask it)."""
    def __len__(self):
        raise INJECTED


def _text(exc):
    try:
        return str(exc)
    except BaseException:
        return "<str() failed>"


def _read(path):
    if os.path.islink(path):
        return "<link>"
    if not os.path.isfile(path):
        return None
    with open(path, "rb") as f:
        data = f.read()
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return "<not utf-8> " + repr(data)


def _outcome(call):
    global RETURNED
    saved = None
    if CAPTURE_FD2:
        sink = os.open(FD2_FILE, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
        saved = os.dup(2)
        os.dup2(sink, 2)
        os.close(sink)
    try:
        RETURNED = call()
        return {"raised": None}
    except BaseException as exc:
        injected = exc is INJECTED
        if injected:
            message = None
        elif isinstance(exc, SystemExit):
            message = repr(exc.code)
        else:
            message = _text(exc)
        context = exc.__context__
        return {
            "raised": type(exc).__qualname__,
            "injected": injected,
            "message": message,
            "context": None if context is None else type(context).__qualname__,
        }
    finally:
        if saved is not None:
            os.dup2(saved, 2)
            os.close(saved)


def _finish(outcome, output=None, post=None):
    while _undo:
        _undo.pop()()
    summary = {"outcome": outcome, "events": EVENTS, "fired": FIRED, "probes": PROBES}
    if outcome["raised"] is None:
        summary["returned"] = post(RETURNED) if post is not None else RETURNED
    summary["fd2"] = _read(FD2_FILE) if CAPTURE_FD2 else None
    if output is not None:
        if os.path.isdir(output):
            summary["files"] = sorted(os.listdir(output))
        else:
            summary["files"] = "<file>" if os.path.isfile(output) else None
        summary["result"] = _read(os.path.join(output, "result.json"))
        summary["value"] = _read(os.path.join(output, "value.json"))
    print(_real_dumps(summary))
'''

# materialize_asset: the asset module is made in memory (inspect.signature needs no source).
MATERIALIZE_BEFORE = r'''
def good(n: int = 2) -> list:
    return [1, n]

ASSETS = types.ModuleType("fault_assets")
ASSETS.good = good
sys.modules["fault_assets"] = ASSETS
MODULE, FUNCTION, OUTPUT, KWARGS = "fault_assets", "good", "out", '{"n": 2}'
EXIT = _real_exit

def _exit(*args):
    EVENTS.append(["exit"] + [repr(a) for a in args])
    return EXIT(*args)

patch(sys, "exit", _exit)
'''

MATERIALIZE_AFTER = r'''
def _call():
    return _kevro.materialize_asset(MODULE, FUNCTION, OUTPUT, KWARGS)

_ENTRY_CODES.add(_call.__code__)
_finish(_outcome(_call), output=OUTPUT)
'''

# inspect_modules and the decorator read the members of a real source file.
FAULT_MOD = '''\
"""Members for the fault-injection cases: a decorated asset and an asset by its attributes."""

from _kevro import asset

RAISE = {}
REPLACE = {}
FIRED = []


def _read(name, value):
    # A case makes one attribute read raise, or answer something else, through these dicts.
    if name in RAISE:
        FIRED.append(name)
        raise RAISE[name]
    return REPLACE.get(name, value)


@asset(name="plain")
def plain(x: int) -> int:
    return x


class Meta(type):
    @property
    def __kevro_kind__(cls):
        return _read("kind", "asset")

    @property
    def __kevro_metadata__(cls):
        return _read("metadata", {"kind": "asset", "name": "contract"})

    @property
    def __kevro_original__(cls):
        return _read("original", cls)


class contract(metaclass=Meta):
    def __init__(self, y: str):
        self.y = y
'''

INSPECT_BEFORE = r'''
MODULES = ["fault_mod"]
import fault_mod as MOD
MOD.FIRED = FIRED
PLAIN = MOD.plain.__kevro_original__
'''

INSPECT_AFTER = r'''
def _call():
    return _kevro.inspect_modules(MODULES)

_ENTRY_CODES.add(_call.__code__)
_finish(_outcome(_call))
'''

DECORATOR_BEFORE = r'''
import fault_mod as MOD
MOD.FIRED = FIRED
UPSTREAM = MOD.plain

class FakeAsset:
    """An upstream asset by its attributes alone; getsourcefile is answered for it."""
    __kevro_kind__ = "asset"
    __name__ = "fake"

def answer_source_file(obj):
    inject(inspect, "getsourcefile", when=lambda o: o is obj, then=lambda o: MOD.__file__)
'''

DECORATOR_AFTER = r'''
def _call():
    return _kevro.asset(inputs={"data": UPSTREAM})

_ENTRY_CODES.add(_call.__code__)
_finish(_outcome(_call), post=lambda decorator: decorator(len).__kevro_metadata__["inputs"])
'''

PARTITIONS_AFTER = r'''
VALUES = ["a", "b"]

def _call():
    return _kevro.partitions(VALUES)

_ENTRY_CODES.add(_call.__code__)
_finish(_outcome(_call), post=repr)
'''


# --- the parent's side -----------------------------------------------------------------------


@dataclass(frozen=True)
class Context:
    """What an expectation may depend on: the child's probes of interpreter wording, and the
    facts of the source file."""

    probes: Dict[str, str]
    modfile: str
    records: List[dict]


@dataclass(frozen=True)
class Case:
    """One fault: the setup code that makes one call fail, and the outcome it must have."""

    id: str
    setup: str
    expect: Union[dict, Callable[[Context], dict]]
    fires: int = 1  # how many times the case's hooks are reached
    pypy_aborts: str = ""  # why PyPy's C-API layer aborts the child, if it does


def outcome(
    raised: Optional[str] = None,
    injected: bool = False,
    message: Optional[str] = None,
    returned=None,
    fd2: Optional[str] = "",
    **output,
) -> dict:
    """The summary that a case expects. `raised` is the qualified name of the exception that
    the caller got (None when the call returned); `injected` that it was the very object that
    the hook raised; `message` its text (the code of a SystemExit) when it was not; `fd2` what
    the call wrote to file descriptor 2; `output` the files, result, value and events (the
    sys.exit calls) of materialize_asset."""
    expected = {"raised": raised, "fd2": fd2, "events": output.pop("events", [])}
    if raised is None:
        expected["returned"] = returned
    else:
        expected.update(injected=injected, message=message, context=None)
    expected.update(output)
    return expected


def observed(summary: dict) -> dict:
    """The child's summary in the shape of `outcome`."""
    seen = dict(summary["outcome"])
    seen["fd2"] = summary["fd2"]
    seen["events"] = summary["events"]
    for key in ("returned", "files", "result", "value"):
        if key in summary:
            seen[key] = summary[key]
    return seen


def run_case(before: str, case: Case, after: str, cwd: Path, moddir: Path) -> dict:
    code = PRELUDE + before + textwrap.dedent(case.setup) + after
    done = run_python(code, str(moddir), str(cwd / "fd2.bin"), cwd=cwd)
    assert done.returncode == 0, f"child ended with {done.returncode}:\n{done.stderr}"
    return json.loads(done.stdout.splitlines()[-1])


NAME_RAISES = "a type whose __name__ raises reaches C code"
LEN_RAISES = "a Python call hands C code a dict subclass whose __len__ raises"


def parametrize(cases: List[Case]):
    """One test per case; where PyPy is known to abort, the case is an expected failure there
    (strict: it fails once PyPy no longer aborts)."""
    params = [
        pytest.param(
            case,
            id=case.id,
            marks=[
                pytest.mark.xfail(
                    is_pypy and bool(case.pypy_aborts),
                    reason=f"PyPy's C-API layer aborts when {case.pypy_aborts}",
                    strict=True,
                )
            ],
        )
        for case in cases
    ]
    return pytest.mark.parametrize("case", params)


def check(case: Case, summary: dict, modfile: str = "", records=()) -> None:
    expect = case.expect
    if callable(expect):
        expect = expect(Context(summary["probes"], modfile, [dict(r) for r in records]))
    assert observed(summary) == expect
    assert len(summary["fired"]) == case.fires, summary["fired"]


@pytest.fixture(scope="module")
def moddir(tmp_path_factory) -> Path:
    directory = tmp_path_factory.mktemp("faultmods")
    (directory / "fault_mod.py").write_text(FAULT_MOD, encoding="utf-8")
    return directory


def compact(value) -> str:
    return json.dumps(value, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


# --- materialize_asset -----------------------------------------------------------------------


def success_record(function: str = "good", result_type: str = "list") -> str:
    return compact(
        {
            "artifact_format": "json",
            "function_name": function,
            "module_path": "fault_assets",
            "ok": True,
            "result_type": result_type,
            "signature": "(n: int = 2) -> list",
            "value_path": "out/value.json",
        }
    )


def failure_record(error: str, error_type: str) -> str:
    return compact({"error": error, "error_type": error_type, "ok": False})


def propagated(kind: str = "Injected", files=None, result=None, value=None, events=()) -> dict:
    """The hook's own exception reached the caller; the output is as given."""
    return outcome(kind, injected=True, files=files, result=result, value=value,
                   events=list(events))


def recorded(error: str, error_type: str, value: Optional[str] = None) -> dict:
    """The run failed: a failure record, value.json only when its write had completed, and
    the SystemExit(1) of the one sys.exit(1) call."""
    files = ["result.json"] + (["value.json"] if value is not None else [])
    return outcome("SystemExit", message="1", files=files, value=value,
                   result=failure_record(error, error_type), events=[["exit", "1"]])


def succeeded(result: str = success_record(), value: str = "[1, 2]") -> dict:
    return outcome(None, returned=None, files=["result.json", "value.json"], result=result,
                   value=value)


INJECTED_TEXT = "Injected: injected failure"
RUN_FAILS = 'inject(ASSETS, "good", then=raiser(RuntimeError("run failed")))\n'
RUN_FAILURE = failure_record("RuntimeError: run failed", "RuntimeError")

CALLABLE_TARGET = """
class Target:
    @property
    def __kevro_original__(self):
        fire("__kevro_original__")
        raise INJECTED
    def __call__(self, n: int = 2) -> list:
        return [1, n]
ASSETS.target = Target()
FUNCTION = "target"
"""


def unnamed_class(name: str, base: str) -> str:
    """Setup code for a class `name` whose `__name__` raises when _kevro reads it."""
    return f"""
class NoName(type):
    @property
    def __name__(cls):
        if direct():
            fire("__name__")
            raise INJECTED
        return "{name}"
class {name}({base}, metaclass=NoName):
    pass
"""


# Objects whose str() fails in each way the module must pass on: by the hook's own exception, by
# returning bytes (the interpreter's TypeError), by text with a lone surrogate (its
# UnicodeEncodeError); with the probe that holds the interpreter's message, if any.
BAD_STR = {
    "": ("Unprintable()", None),
    "-returns-bytes": ("Bytesy()", "str"),
    "-surrogate": ('"out/\\udcff"', "encode"),
}


def str_failures(case_id: str, setup: str, expect: Callable[[str, str], dict]) -> List[Case]:
    """One case for each entry of BAD_STR: `setup` makes the module take str() of BAD, and
    `expect(kind, message)` is the outcome for the exception type `kind` with `message`."""
    cases = []
    for suffix, (bad, probe) in BAD_STR.items():
        def expected(ctx, probe=probe):
            if probe is None:
                return expect("Injected", "injected failure")
            kind = "TypeError" if probe == "str" else "UnicodeEncodeError"
            return expect(kind, ctx.probes[probe])
        code = (f"BAD = {bad}\n"
                'PROBES["str"] = text_of(lambda: str(Bytesy()))\n'
                'PROBES["encode"] = text_of(lambda: "out/\\udcff".encode("utf-8"))\n'
                + setup)
        cases.append(Case(case_id + suffix, code, expected))
    return cases


def propagates(kind: str, message: str) -> dict:
    """The str() failure reaches the caller: the hook's own exception as the very object."""
    if kind == "Injected":
        return outcome("Injected", injected=True)
    return outcome(kind, message=message)


def recorded_after_value(kind: str, message: str) -> dict:
    """The str() failure ends the run after value.json was written."""
    return recorded(f"{kind}: {message}", kind, value="[1, 2]")


MATERIALIZE = [
    # Preparation: whatever fails propagates unchanged, and nothing is written.
    *[
        Case(f"import-{name}", f"refuse_import({name!r})", propagated())
        for name in ("importlib", "inspect", "pathlib")
    ],
    Case(
        "import-json-interrupted",
        'INJECTED = KeyboardInterrupt("stop")\nrefuse_import("json")',
        propagated("KeyboardInterrupt"),
    ),
    Case("Path", 'inject(pathlib, "Path")', propagated()),
    Case("mkdir", 'inject(path_class(), "mkdir")', propagated()),
    Case(
        "mkdir-output-dir-is-a-file",
        """
        open("out", "w").write("keep")
        PROBES["exists"] = text_of(lambda: pathlib.Path("out").mkdir(parents=True, exist_ok=True))
        """,
        lambda ctx: outcome("FileExistsError", message=ctx.probes["exists"], files="<file>",
                            result=None, value=None),
        fires=0,
    ),
    Case(
        "truediv-result-json",
        'inject(path_class(), "__truediv__", when=lambda self, other: other == "result.json")',
        propagated(files=[]),
    ),
    # The run: whatever fails is recorded, then sys.exit(1).
    Case("import_module", 'inject(importlib, "import_module")',
         recorded(INJECTED_TEXT, "Injected")),
    Case(
        "import-finder-str-fails",
        'refuse_find("fault_unfound", BadStr())\nMODULE = "fault_unfound"',
        recorded("BadStr: <exception str() failed>", "BadStr"),
    ),
    Case(
        "module-getattr-surrogate",
        """
        def missing(name):
            fire("module __getattr__")
            raise LookupError("no \\ud800 here")
        ASSETS.__getattr__ = missing
        FUNCTION = "missing"
        """,
        recorded("LookupError: no \ufffd\ufffd\ufffd here", "LookupError"),
    ),
    # A __kevro_original__ that raises, of whatever kind, means "call the target itself".
    Case("kevro-original-raises", CALLABLE_TARGET, succeeded(success_record("target"))),
    Case(
        "kevro-original-interrupted",
        'INJECTED = KeyboardInterrupt("stop")\n' + CALLABLE_TARGET,
        succeeded(success_record("target")),
    ),
    Case(
        "kevro-original-exits",
        "INJECTED = SystemExit(3)\n" + CALLABLE_TARGET,
        succeeded(success_record("target")),
    ),
    Case("loads", 'inject(json, "loads")', recorded(INJECTED_TEXT, "Injected")),
    Case(
        "loads-returns-unnamed-type",
        """
        class NoQualname(type):
            def __getattribute__(cls, name):
                if name == "__qualname__":
                    raise RuntimeError("hidden")
                return super().__getattribute__(name)
        class Hidden(metaclass=NoQualname):
            pass
        inject(json, "loads", then=lambda text: Hidden())
        """,
        recorded(
            "TypeError: '<failed to extract type name>' object cannot be converted to 'PyDict'",
            "TypeError",
        ),
    ),
    Case("call", 'inject(ASSETS, "good")', recorded(INJECTED_TEXT, "Injected")),
    Case(
        "call-interrupted",
        'inject(ASSETS, "good", then=raiser(KeyboardInterrupt()))',
        recorded("KeyboardInterrupt: ", "KeyboardInterrupt"),
    ),
    Case(
        "call-raises-str-returns-bytes",
        'inject(ASSETS, "good", then=raiser(BytesStr()))',
        recorded("BytesStr: <exception str() failed>", "BytesStr"),
    ),
    Case(
        # The asset runs another materialization, which fails and exits: the outer run
        # records that SystemExit and exits in turn.
        "call-reenters",
        """
        def reenters(n):
            _kevro.materialize_asset("fault_assets", "missing", "out/inner")
        inject(ASSETS, "good", then=reenters)
        """,
        outcome("SystemExit", message="1", files=["inner", "result.json"], value=None,
                result=failure_record("SystemExit: 1", "SystemExit"),
                events=[["exit", "1"], ["exit", "1"]]),
    ),
    Case(
        "call-returns-dict-whose-len-raises",
        """
        def returns_odd_dict(n: int = 2) -> list:
            return LenRaises(n=n)
        ASSETS.good = returns_odd_dict
        """,
        succeeded(success_record(result_type="LenRaises"), value='{"n": 2}'),
        fires=0,
        pypy_aborts=LEN_RAISES,
    ),
    Case(
        "loads-returns-dict-whose-len-raises",
        'inject(json, "loads", then=lambda text: LenRaises(n=5))',
        succeeded(value="[1, 5]"),
        pypy_aborts=LEN_RAISES,
    ),
    Case(
        "call-exits-3",
        'inject(ASSETS, "good", then=raiser(SystemExit(3)))',
        recorded("SystemExit: 3", "SystemExit"),
    ),
    Case(
        "truediv-value-json",
        'inject(path_class(), "__truediv__", when=lambda self, other: other == "value.json")',
        recorded(INJECTED_TEXT, "Injected"),
    ),
    Case("dumps", 'inject(json, "dumps")', recorded(INJECTED_TEXT, "Injected")),
    Case(
        "dumps-returns-bytes",
        """
        PROBES["bytes"] = text_of(lambda: pathlib.Path(os.devnull).write_text(b"x"))
        inject(json, "dumps", then=lambda value: b"[1, 2]")
        """,
        lambda ctx: recorded(f"TypeError: {ctx.probes['bytes']}", "TypeError"),
    ),
    Case(
        # The text cannot be encoded: the write has opened (and emptied) the file by then.
        "dumps-returns-surrogate",
        """
        PROBES["encode"] = text_of(lambda: "[\\udcff]".encode("utf-8"))
        inject(json, "dumps", then=lambda value: "[\\udcff]")
        """,
        lambda ctx: recorded(f"UnicodeEncodeError: {ctx.probes['encode']}",
                             "UnicodeEncodeError", value=""),
    ),
    Case(
        "write-value-json",
        'inject(path_class(), "write_text", when=lambda self, *a: self.name == "value.json")',
        recorded(INJECTED_TEXT, "Injected"),
    ),
    Case(
        # An older success record must not survive a failed run.
        "value-json-on-dev-full",
        """
        os.mkdir("out")
        with open("out/result.json", "w") as f:
            f.write('{"ok":true}')
        os.symlink("/dev/full", "out/value.json")
        """,
        recorded("OSError: [Errno 28] No space left on device", "OSError", value="<link>"),
        fires=0,
    ),
    *str_failures(
        "str-value-path",
        'inject(path_class(), "__str__", when=lambda self: self.name == "value.json",\n'
        "       then=lambda self: BAD.__str__())",
        recorded_after_value,
    ),
    Case(
        "signature-exits-3",
        'INJECTED = SystemExit(3)\ninject(inspect, "signature")',
        recorded("SystemExit: 3", "SystemExit", value="[1, 2]"),
    ),
    *str_failures("str-signature", 'inject(inspect, "signature", then=lambda f: BAD)',
                  recorded_after_value),
    Case(
        "result-type-name",
        unnamed_class("Value", "dict") + 'inject(ASSETS, "good", then=lambda **kwargs: Value())',
        recorded(INJECTED_TEXT, "Injected", value="{}"),
        fires=2,
        pypy_aborts=NAME_RAISES,
    ),
    Case(
        "write-success-record",
        'inject(path_class(), "write_text", when=lambda self, text, *a: '
        'self.name == "result.json" and \'"ok":true\' in text)',
        recorded(INJECTED_TEXT, "Injected", value="[1, 2]"),
    ),
    # The failure report: its own failures propagate, and sys.exit(1) is its last call.
    Case("report-import-sys", RUN_FAILS + 'refuse_import("sys")',
         propagated(files=["result.json"], result=RUN_FAILURE), fires=2),
    Case(
        "report-write",
        RUN_FAILS + 'inject(path_class(), "write_text")',
        propagated(files=[]),
        fires=2,
    ),
    Case(
        "report-exit-returns",
        RUN_FAILS + "EXIT = lambda *args: None",
        outcome(None, files=["result.json"], result=RUN_FAILURE, value=None,
                events=[["exit", "1"]]),
    ),
    Case(
        "report-exit-returns-a-value",
        RUN_FAILS + 'EXIT = lambda *args: "ignored"',
        outcome(None, files=["result.json"], result=RUN_FAILURE, value=None,
                events=[["exit", "1"]]),
    ),
    Case(
        "report-exit-raises",
        RUN_FAILS + "EXIT = raiser(INJECTED)",
        propagated(files=["result.json"], result=RUN_FAILURE, events=[["exit", "1"]]),
    ),
    Case(
        "report-error-type-name",
        unnamed_class("Nameless", "Exception")
        + 'inject(ASSETS, "good", then=raiser(Nameless("x")))',
        propagated(files=[]),
        fires=2,
        pypy_aborts=NAME_RAISES,
    ),
]


@parametrize(MATERIALIZE)
def test_materialize_asset(case, tmp_path, moddir):
    summary = run_case(MATERIALIZE_BEFORE, case, MATERIALIZE_AFTER, tmp_path, moddir)
    check(case, summary)


def test_materialize_asset_without_faults(tmp_path, moddir):
    case = Case("none", "", succeeded(), fires=0)
    check(case, run_case(MATERIALIZE_BEFORE, case, MATERIALIZE_AFTER, tmp_path, moddir))


# --- inspect_modules -------------------------------------------------------------------------


def fault_records(modfile: str) -> List[dict]:
    """The two records of fault_mod, written out independently of the module under test."""
    version = "{}.{}.{}".format(*sys.version_info[:3])
    common = {"file_path": modfile, "kind": "asset", "module_path": "fault_mod",
              "module_source": FAULT_MOD.strip() + "\n", "python_version": version}
    return [
        dict(common, decorator_metadata={"kind": "asset", "name": "contract"},
             function_name="contract", return_type=None,
             function_source="class contract(metaclass=Meta):\n"
                             "    def __init__(self, y: str):\n        self.y = y\n"),
        dict(common, decorator_metadata={"inputs": None, "kind": "asset", "name": "plain",
                                         "partitions": None, "serializer": None},
             function_name="plain", return_type="int",
             function_source='@asset(name="plain")\ndef plain(x: int) -> int:\n    return x\n'),
    ]


def report(records: List[dict]) -> str:
    return compact({"assets": records})


def reported(change: Callable[[List[dict]], List[dict]] = lambda records: records,
             fd2: Optional[str] = "") -> Callable[[Context], dict]:
    """The call was tolerated: the report of fault_mod's records after `change`."""
    return lambda ctx: outcome(None, returned=report(change(ctx.records)), fd2=fd2)


def without_contract(records):
    return records[1:]


def contract_without_file(records):
    records[0]["file_path"] = ""
    return records


def skipped(module: str, display: str) -> str:
    return f"kevro: skipping module '{module}': {display}\n"


def dumps_returns_surrogate(case_id: str) -> Case:
    """`json.dumps` answers with a lone surrogate, for inspection's metadata and for partition
    keys alike: the text cannot be taken, and the interpreter's UnicodeEncodeError propagates."""
    return Case(
        case_id,
        """
        PROBES["encode"] = text_of(lambda: '"\\udcff"'.encode("utf-8"))
        inject(json, "dumps", then=lambda obj: '"\\udcff"')
        """,
        lambda ctx: outcome("UnicodeEncodeError", message=ctx.probes["encode"]),
    )


# The source file's path once getsourcefile has answered: Path, resolve and str() of the
# resolved path, the chain that the decorator's asset references and the inspection records
# share. Every failure in it propagates, for both.
SOURCE_PATH = [
    Case("Path", 'inject(pathlib, "Path")', outcome("Injected", injected=True)),
    Case("resolve", 'inject(path_class(), "resolve")', outcome("Injected", injected=True)),
    *str_failures("str-resolved", 'inject(path_class(), "resolve", then=lambda self: BAD)',
                  propagates),
]

# Signatures computed before inspect's Signature class is taken away.
PRECOMPUTED_SIGNATURES = """
SIGNATURES = {MOD.contract: inspect.signature(MOD.contract), PLAIN: inspect.signature(PLAIN)}
inject(inspect, "signature", then=SIGNATURES.__getitem__)
"""

SIGNATURE_WITH = """
class FakeSignature:
    def __init__(self, annotation):
        self.return_annotation = annotation
"""

INSPECT = [
    *[
        Case(f"import-{name}", f"refuse_import({name!r})", outcome("Injected", injected=True))
        for name in ("importlib", "inspect", "textwrap", "sys", "pathlib")
    ],
    Case(
        "sys-version_info",
        """
        class SysView(types.ModuleType):
            def __getattribute__(self, name):
                if name == "version_info" and direct():
                    fire(name)
                    raise INJECTED
                return getattr(sys, name)
        patch_item(sys.modules, "sys", SysView("sys"))
        """,
        outcome("Injected", injected=True),
    ),
    Case(
        "version_info-micro",
        """
        class Version:
            major, minor = 3, 9
            @property
            def micro(self):
                fire("micro")
                raise INJECTED
        patch(sys, "version_info", Version())
        """,
        outcome("Injected", injected=True),
    ),
    # A listed module that fails to import, however it fails, is skipped with a warning.
    Case(
        "import_module",
        'inject(importlib, "import_module")',
        lambda ctx: outcome(None, returned=report([]),
                            fd2=skipped("fault_mod", INJECTED_TEXT)),
    ),
    Case(
        "import-finder-interrupted",
        'refuse_find("fault_unfound", KeyboardInterrupt("stop"))\n'
        'MODULES = ["fault_unfound", "fault_mod"]',
        reported(fd2=skipped("fault_unfound", "KeyboardInterrupt: stop")),
    ),
    Case(
        "import-finder-surrogate-str",
        'refuse_find("fault_unfound", SurrogateStr())\nMODULES = ["fault_unfound", "fault_mod"]',
        reported(fd2=skipped("fault_unfound", "SurrogateStr: odd \ufffd\ufffd\ufffd end")),
    ),
    Case(
        # The warning cannot be written: it is given up, and the call goes on.
        "warning-on-dev-full",
        """
        CAPTURE_FD2 = False
        _saved_fd2, _full = os.dup(2), os.open("/dev/full", os.O_WRONLY)
        os.dup2(_full, 2)
        _undo.append(lambda: os.dup2(_saved_fd2, 2))
        refuse_find("fault_unfound", INJECTED)
        MODULES = ["fault_unfound", "fault_mod"]
        """,
        reported(fd2=None),
    ),
    Case(
        "warning-on-closed-fd-2",
        """
        CAPTURE_FD2 = False
        _saved_fd2 = os.dup(2)
        os.close(2)
        _undo.append(lambda: os.dup2(_saved_fd2, 2))
        refuse_find("fault_unfound", INJECTED)
        MODULES = ["fault_unfound", "fault_mod"]
        """,
        reported(fd2=None),
    ),
    # The module's source and members.
    Case("getsource-module", 'inject(inspect, "getsource", when=inspect.ismodule)',
         outcome("Injected", injected=True)),
    Case("dedent", 'inject(textwrap, "dedent")', outcome("Injected", injected=True)),
    Case(
        "strip",
        """
        class Unstrippable(str):
            def strip(self, *args):
                if direct():
                    fire("strip")
                    raise INJECTED
                return str.strip(self, *args)
        inject(textwrap, "dedent", then=Unstrippable)
        """,
        outcome("Injected", injected=True),
        fires=2,
    ),
    Case(
        "strip-returns-int",
        """
        class Numbered(str):
            def strip(self, *args):
                return 5
        inject(textwrap, "dedent", then=Numbered)
        """,
        outcome("TypeError", message="'int' object cannot be converted to 'PyString'"),
    ),
    Case("getmembers", 'inject(inspect, "getmembers")', outcome("Injected", injected=True)),
    Case(
        # The iteration fails after the first record: no partial report.
        "getmembers-iteration",
        """
        _getmembers = inspect.getmembers
        def members(module):
            yield from [m for m in _getmembers(module) if m[0] == "contract"]
            raise INJECTED
        inject(inspect, "getmembers", then=members)
        """,
        outcome("Injected", injected=True),
    ),
    Case(
        "getmembers-short-tuple",
        'inject(inspect, "getmembers", then=lambda module: [("contract",)])',
        outcome("IndexError", message="tuple index out of range"),
    ),
    Case(
        "getmembers-non-tuple-after-a-record",
        """
        _getmembers = inspect.getmembers
        inject(inspect, "getmembers", then=lambda module: [
            m for m in _getmembers(module) if m[0] == "contract"] + [["plain", MOD.plain]])
        """,
        outcome("TypeError", message="'list' object cannot be converted to 'PyTuple'"),
    ),
    # The asset attribute contract.
    Case(
        "member-dict-whose-len-raises",
        "MOD.odd = LenRaises()",
        reported(),
        fires=0,
        pypy_aborts=LEN_RAISES,
    ),
    Case("kevro-kind-raises", 'MOD.RAISE["kind"] = INJECTED', reported(without_contract)),
    Case("kevro-kind-interrupted", 'MOD.RAISE["kind"] = KeyboardInterrupt("stop")',
         reported(without_contract)),
    Case("kevro-metadata-raises", 'MOD.RAISE["metadata"] = INJECTED',
         outcome("Injected", injected=True)),
    Case(
        "kevro-metadata-interrupted",
        'INJECTED = KeyboardInterrupt("stop")\nMOD.RAISE["metadata"] = INJECTED',
        outcome("KeyboardInterrupt", injected=True),
    ),
    Case("kevro-original-raises", 'MOD.RAISE["original"] = INJECTED', reported()),
    Case("kevro-original-interrupted", 'MOD.RAISE["original"] = KeyboardInterrupt("stop")',
         reported()),
    # The metadata's way through json.dumps and the parser.
    Case("metadata-import-json", 'refuse_import("json")', outcome("Injected", injected=True)),
    Case("metadata-dumps", 'inject(json, "dumps")', outcome("Injected", injected=True)),
    Case(
        "metadata-items",
        """
        class Metadata(dict):
            def items(self):
                fire("items")
                raise INJECTED
        MOD.REPLACE["metadata"] = Metadata(kind="asset")
        """,
        outcome("Injected", injected=True),
    ),
    dumps_returns_surrogate("metadata-dumps-returns-surrogate"),
    # The undecorated function.
    Case("getsource-function", 'inject(inspect, "getsource", when=inspect.isclass)',
         outcome("Injected", injected=True)),
    Case(
        "function-name",
        """
        class Nameless:
            @property
            def __name__(self):
                fire("__name__")
                raise INJECTED
        MOD.REPLACE["original"] = NAMELESS = Nameless()
        inject(inspect, "getsource", when=lambda obj: obj is NAMELESS,
               then=lambda obj: "nameless = Nameless()\\n")
        """,
        outcome("Injected", injected=True),
        fires=2,
    ),
    Case(
        "getsourcefile-interrupted",
        'INJECTED = KeyboardInterrupt("stop")\n'
        'inject(inspect, "getsourcefile", when=lambda f: f is MOD.contract)',
        reported(contract_without_file),
    ),
    *SOURCE_PATH,
    # The return type.
    Case("signature", 'inject(inspect, "signature")', outcome("Injected", injected=True)),
    Case(
        "return_annotation",
        """
        class Signatureless:
            @property
            def return_annotation(self):
                fire("return_annotation")
                raise INJECTED
        inject(inspect, "signature", then=lambda f: Signatureless())
        """,
        outcome("Injected", injected=True),
        fires=2,
    ),
    Case("inspect-Signature", PRECOMPUTED_SIGNATURES + 'hide(inspect, "Signature")',
         outcome("Injected", injected=True), fires=2),
    Case(
        "Signature-empty",
        PRECOMPUTED_SIGNATURES
        + """
class SignatureView:
    @property
    def empty(self):
        fire("empty")
        raise INJECTED
patch(inspect, "Signature", SignatureView())
""",
        outcome("Injected", injected=True),
        fires=2,
    ),
    # contract has no annotation and needs no builtins; plain has one.
    Case("import-builtins", 'refuse_import("builtins")', outcome("Injected", injected=True)),
    Case("isinstance", 'inject(builtins, "isinstance")', outcome("Injected", injected=True)),
    Case(
        "isinstance-result-truth",
        """
        class Truthless:
            def __bool__(self):
                raise INJECTED
        inject(builtins, "isinstance", then=lambda obj, cls: Truthless())
        """,
        outcome("Injected", injected=True),
    ),
    Case(
        "annotation-name",
        SIGNATURE_WITH
        + """
class Annotation:
    @property
    def __name__(self):
        fire("__name__")
        raise INJECTED
inject(inspect, "signature", when=lambda f: f is PLAIN,
       then=lambda f: FakeSignature(Annotation()))
inject(builtins, "isinstance", when=lambda obj, cls: type(obj) is Annotation,
       then=lambda obj, cls: True)
""",
        outcome("Injected", injected=True),
        fires=3,
    ),
    Case(
        "str-annotation",
        SIGNATURE_WITH
        + 'inject(inspect, "signature", when=lambda f: f is PLAIN,\n'
        "       then=lambda f: FakeSignature(Unprintable()))\n",
        outcome("Injected", injected=True),
    ),
    Case(
        "module-name",
        """
        class NamedModule(types.ModuleType):
            @property
            def __name__(self):
                if direct():
                    fire("__name__")
                    raise INJECTED
                return vars(self)["__name__"]
        MOD.__class__ = NamedModule
        _undo.append(lambda: setattr(MOD, "__class__", types.ModuleType))
        """,
        outcome("Injected", injected=True),
    ),
]


@parametrize(INSPECT)
def test_inspect_modules(case, tmp_path, moddir):
    summary = run_case(INSPECT_BEFORE, case, INSPECT_AFTER, tmp_path, moddir)
    modfile = str((moddir / "fault_mod.py").resolve())
    check(case, summary, modfile, fault_records(modfile))


def test_inspect_modules_without_faults(tmp_path, moddir):
    modfile = str((moddir / "fault_mod.py").resolve())
    case = Case("none", "", reported(), fires=0)
    summary = run_case(INSPECT_BEFORE, case, INSPECT_AFTER, tmp_path, moddir)
    check(case, summary, modfile, fault_records(modfile))


# --- the decorator's resolution of upstream assets -------------------------------------------


def resolved_to(name: str) -> Callable[[Context], dict]:
    return lambda ctx: outcome(None, returned={"data": f"{ctx.modfile}:{name}"})


ORIGINAL_RAISES = """
class Upstream(FakeAsset):
    @property
    def __kevro_original__(self):
        fire("__kevro_original__")
        raise INJECTED
UPSTREAM = Upstream()
answer_source_file(UPSTREAM)
"""

DECORATOR = [
    Case("none", "", resolved_to("plain"), fires=0),
    Case("import-inspect", 'refuse_import("inspect")', outcome("Injected", injected=True)),
    Case("import-pathlib", 'refuse_import("pathlib")', outcome("Injected", injected=True)),
    Case("getsourcefile", 'inject(inspect, "getsourcefile")', outcome("Injected", injected=True)),
    Case(
        "getsourcefile-interrupted",
        'INJECTED = KeyboardInterrupt("stop")\ninject(inspect, "getsourcefile")',
        outcome("KeyboardInterrupt", injected=True),
    ),
    *SOURCE_PATH,
    Case(
        "upstream-name",
        """
        class Upstream(FakeAsset):
            @property
            def __name__(self):
                fire("__name__")
                raise INJECTED
        UPSTREAM = Upstream()
        answer_source_file(UPSTREAM)
        """,
        outcome("Injected", injected=True),
        fires=2,
    ),
    Case("kevro-original-raises", ORIGINAL_RAISES, resolved_to("fake"), fires=2),
    Case("kevro-original-interrupted", 'INJECTED = KeyboardInterrupt("stop")\n' + ORIGINAL_RAISES,
         resolved_to("fake"), fires=2),
    Case(
        # Not an asset, but a str: kept as it is.
        "kevro-kind-interrupted-on-a-str",
        """
        class Text(str):
            @property
            def __kevro_kind__(self):
                fire("__kevro_kind__")
                raise KeyboardInterrupt("stop")
        UPSTREAM = Text("pkg/up.py:up")
        """,
        outcome(None, returned={"data": "pkg/up.py:up"}),
    ),
    Case(
        "kevro-kind-exits-on-a-non-str",
        """
        class Other:
            @property
            def __kevro_kind__(self):
                fire("__kevro_kind__")
                raise SystemExit(3)
        UPSTREAM = Other()
        """,
        outcome("TypeError",
                message="inputs values must be @asset-decorated functions or asset ref strings"),
    ),
]


@parametrize(DECORATOR)
def test_asset_inputs(case, tmp_path, moddir):
    summary = run_case(DECORATOR_BEFORE, case, DECORATOR_AFTER, tmp_path, moddir)
    check(case, summary, str((moddir / "fault_mod.py").resolve()))


# --- partitions() ----------------------------------------------------------------------------

PARTITIONS = [
    Case("none", "", outcome(None, returned="Partitions(2 values)"), fires=0),
    Case("import-json", 'refuse_import("json")', outcome("Injected", injected=True)),
    Case("json-dumps-lookup", 'hide(json, "dumps")', outcome("Injected", injected=True)),
    Case("dumps-second-item", 'inject(json, "dumps", when=lambda item: item == "b")',
         outcome("Injected", injected=True)),
    Case(
        "dumps-interrupted",
        'INJECTED = KeyboardInterrupt("stop")\ninject(json, "dumps")',
        outcome("KeyboardInterrupt", injected=True),
    ),
    dumps_returns_surrogate("dumps-returns-surrogate"),
    Case(
        "dumps-returns-str-subclass",
        'class Text(str):\n    pass\ninject(json, "dumps", then=lambda item: Text("1"))',
        outcome(None, returned="Partitions(2 values)"),
        fires=2,
    ),
]


@parametrize(PARTITIONS)
def test_partitions(case, tmp_path, moddir):
    summary = run_case("", case, PARTITIONS_AFTER, tmp_path, moddir)
    check(case, summary)

"""materialize_asset: binding, the run, value.json, result.json and the failure report."""

from __future__ import annotations

import builtins
import importlib
import inspect
import itertools
import json
import os
import sys
import textwrap
from pathlib import Path

import pytest

import _kevro
from common import collect, is_pypy, run_python
from modgen import NAMELESS_EXCEPTION

materialize_asset = _kevro.materialize_asset
_counter = itertools.count()


class Workdir:
    """A temporary current directory with a source directory on sys.path."""

    def __init__(self, root: Path, src: Path):
        self.root = root
        self.src = src

    def module(self, source: str, name: str = "") -> str:
        """Writes a module (or a dotted package path) and returns its dotted name."""
        name = name or f"kevro_test_assets_{next(_counter)}"
        parts = name.split(".")
        directory = self.src
        for package in parts[:-1]:
            directory = directory / package
            directory.mkdir(exist_ok=True)
            (directory / "__init__.py").touch()
        (directory / f"{parts[-1]}.py").write_text(textwrap.dedent(source), encoding="utf-8")
        importlib.invalidate_caches()
        return name


@pytest.fixture
def work(tmp_path, monkeypatch):
    src = tmp_path / "src"
    src.mkdir()
    monkeypatch.syspath_prepend(str(src))
    monkeypatch.chdir(tmp_path)
    before = set(sys.modules)
    yield Workdir(tmp_path, src)
    for name in set(sys.modules) - before:
        del sys.modules[name]


def materialize(*args, **kwargs) -> int:
    """Calls materialize_asset; 0 for a returned None, else the code of the SystemExit."""
    try:
        returned = materialize_asset(*args, **kwargs)
    except SystemExit as exit_:
        assert type(exit_.code) is int
        return exit_.code
    assert returned is None
    return 0


def read(path) -> str:
    return Path(path).read_bytes().decode("utf-8")


def success_record(function, module, result_type, signature, value_path) -> str:
    return (
        '{"artifact_format":"json","function_name":"%s","module_path":"%s","ok":true,'
        '"result_type":"%s","signature":"%s","value_path":"%s"}'
        % (function, module, result_type, signature, value_path)
    )


def failure_record(error: str, error_type: str) -> str:
    # The compact writer's rules: sorted keys, no blanks, non-ASCII as itself.
    return json.dumps(
        {"error": error, "error_type": error_type, "ok": False},
        ensure_ascii=False,
        separators=(",", ":"),
    )


def error_of(call) -> str:
    """The display text of the exception that `call()` raises, as the interpreter words it."""
    try:
        call()
    except Exception as exc:
        return f"{type(exc).__qualname__}: {exc}"
    raise AssertionError("no exception")


# --- the worked example -------------------------------------------------------------------


def test_worked_example(work):
    work.module(
        """
        def sales(region: str) -> float:
            assert region == "north"
            return 101.5
        """,
        name="pkg.assets",
    )
    assert materialize("pkg.assets", "sales", "out/sales/", '{"region": "north"}') == 0
    assert read("out/sales/value.json") == "101.5"
    assert read("out/sales/result.json") == (
        '{"artifact_format":"json","function_name":"sales","module_path":"pkg.assets","ok":true,'
        '"result_type":"float","signature":"(region: str) -> float",'
        '"value_path":"out/sales/value.json"}'
    )


def test_worked_example_missing_package(work):
    assert materialize("pkg.assets", "sales", "out/sales/", '{"region": "north"}') == 1
    assert read("out/sales/result.json") == (
        '{"error":"ModuleNotFoundError: No module named \'pkg\'",'
        '"error_type":"ModuleNotFoundError","ok":false}'
    )
    assert sorted(os.listdir("out/sales")) == ["result.json"]


# --- binding ------------------------------------------------------------------------------


def test_docstring_and_signature():
    assert materialize_asset.__text_signature__ == (
        "(module_name, function_name, output_dir, input_kwargs_json=None)"
    )
    assert materialize_asset.__doc__ == (
        "Materialize a single asset function. Called by the `python -m kevro.worker` CLI stub.\n\n"
        "Imports the module, finds the function, calls the unwrapped original,\n"
        "serializes the result to JSON, writes value.json and result.json.\n\n"
        "If `input_kwargs_json` is provided, it is parsed as a JSON dict and\n"
        "passed as keyword arguments to the function."
    )
    assert materialize_asset.__name__ == "materialize_asset"
    assert "materialize_asset" in _kevro.__all__


F = "materialize_asset()"


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, f"{F} missing 3 required positional arguments: "
                 "'module_name', 'function_name', and 'output_dir'"),
        (("m",), {}, f"{F} missing 2 required positional arguments: "
                     "'function_name' and 'output_dir'"),
        (("m", "f"), {}, f"{F} missing 1 required positional argument: 'output_dir'"),
        ((), {"output_dir": "o", "input_kwargs_json": None},
         f"{F} missing 2 required positional arguments: 'module_name' and 'function_name'"),
        (("m", "f", "o", None, None), {},
         f"{F} takes from 3 to 4 positional arguments but 5 were given"),
        (("m", "f", "o"), {"bogus": 1}, f"{F} got an unexpected keyword argument 'bogus'"),
        (("m", "f", "o"), {"module_name": "x"},
         f"{F} got multiple values for argument 'module_name'"),
        (("m", "f", "o", None), {"input_kwargs_json": "{}"},
         f"{F} got multiple values for argument 'input_kwargs_json'"),
        # Surplus positionals come first, then keywords in the caller's order, then missing ones.
        ((1, 2, 3, 4, 5), {"bogus": 1},
         f"{F} takes from 3 to 4 positional arguments but 5 were given"),
        (("m",), {"zzz": 1, "module_name": "x"}, f"{F} got an unexpected keyword argument 'zzz'"),
        (("m",), {"module_name": "x", "zzz": 1},
         f"{F} got multiple values for argument 'module_name'"),
        ((), {"bogus": 1}, f"{F} got an unexpected keyword argument 'bogus'"),
        # Conversion runs after binding, in parameter order.
        ((1, 2, 3), {}, "argument 'module_name': 'int' object cannot be converted to 'PyString'"),
        (("m", None, "o"), {},
         "argument 'function_name': 'NoneType' object cannot be converted to 'PyString'"),
        (("m", "f", 3), {},
         "argument 'output_dir': 'int' object cannot be converted to 'PyString'"),
        (("m", "f", Path("o")), {},
         f"argument 'output_dir': '{type(Path('o')).__qualname__}' object cannot be converted "
         "to 'PyString'"),
        (("m", "f", b"o"), {},
         "argument 'output_dir': 'bytes' object cannot be converted to 'PyString'"),
        (("m", "f", "o", {}), {},
         "argument 'input_kwargs_json': 'dict' object cannot be converted to 'PyString'"),
        (("m", "f", "o"), {"input_kwargs_json": 5},
         "argument 'input_kwargs_json': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_binding_errors(work, args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        materialize_asset(*args, **kwargs)
    assert str(excinfo.value) == message
    assert os.listdir(work.root) == ["src"]


@pytest.mark.parametrize("position", range(4))
def test_lone_surrogate_argument_is_not_text(work, position):
    args = ["m", "f", "o", "{}"]
    args[position] = "a\udcffb"
    with pytest.raises(UnicodeEncodeError) as excinfo:
        materialize_asset(*args)
    assert str(excinfo.value) == error_of(lambda: "a\udcffb".encode("utf-8")).split(": ", 1)[1]
    assert os.listdir(work.root) == ["src"]


def test_keywords_and_str_subclasses(work):
    class Text(str):
        pass

    name = work.module("def f(x):\n    return x\n")
    code = materialize(
        input_kwargs_json=Text('{"x": 2}'),
        output_dir=Text("o"),
        function_name=Text("f"),
        module_name=Text(name),
    )
    assert code == 0
    assert read("o/value.json") == "2"
    assert read("o/result.json") == success_record("f", name, "int", "(x)", "o/value.json")


# --- keyword text -------------------------------------------------------------------------

ECHO = """
def echo(**kwargs):
    return kwargs

def needs(region):
    return region
"""


@pytest.mark.parametrize(
    "extra, value",
    [
        ((), "{}"),
        ((None,), "{}"),
        (("{}",), "{}"),
        (('{"b": 1, "a": [true, null], "é": "\\u00e9"}',),
         '{"b": 1, "a": [true, null], "\\u00e9": "\\u00e9"}'),
    ],
)
def test_keyword_text_is_passed_through(work, extra, value):
    name = work.module(ECHO)
    assert materialize(name, "echo", "o", *extra) == 0
    assert read("o/value.json") == value
    assert read("o/result.json") == success_record("echo", name, "dict", "(**kwargs)",
                                                   "o/value.json")


@pytest.mark.parametrize(
    "text, error",
    [
        ("[1, 2]", "TypeError: 'list' object cannot be converted to 'PyDict'"),
        ("null", "TypeError: 'NoneType' object cannot be converted to 'PyDict'"),
        ("5", "TypeError: 'int' object cannot be converted to 'PyDict'"),
        ('"x"', "TypeError: 'str' object cannot be converted to 'PyDict'"),
    ],
)
def test_keyword_text_that_is_not_an_object(work, text, error):
    name = work.module(ECHO)
    assert materialize(name, "echo", "o", text) == 1
    assert read("o/result.json") == failure_record(error, "TypeError")
    assert os.listdir("o") == ["result.json"]


@pytest.mark.parametrize("text", ["", "{", "{'a': 1}", "{} x"])
def test_keyword_text_that_is_not_json(work, text):
    name = work.module(ECHO)
    assert materialize(name, "echo", "o", text) == 1
    expected = error_of(lambda: json.loads(text))
    assert expected.startswith("JSONDecodeError: ")
    assert read("o/result.json") == failure_record(expected, "JSONDecodeError")


def test_missing_parameter_is_the_interpreters_type_error(work):
    name = work.module(ECHO)
    expected = error_of(lambda: importlib.import_module(name).needs())
    assert materialize(name, "needs", "o") == 1
    assert read("o/result.json") == failure_record(expected, "TypeError")


def test_keyword_dict_is_the_parsed_object(work, monkeypatch):
    class Parsed(dict):
        pass

    # A dict subclass counts as a dict.
    name = work.module("def f(**kw):\n    return sorted(kw.items())\n")
    monkeypatch.setattr(json, "loads", lambda text: Parsed(b=2, a=1))
    assert materialize(name, "f", "o", "ignored") == 0
    assert read("o/value.json") == '[["a", 1], ["b", 2]]'


# --- finding and unwrapping the callable --------------------------------------------------

UNWRAP = """
class Wrapper:
    def __init__(self, original):
        self.__kevro_original__ = original
    def __call__(self, *args, **kwargs):
        raise AssertionError("the wrapper itself must not be called")

class Raising:
    def __init__(self, exc):
        self.exc = exc
    @property
    def __kevro_original__(self):
        raise self.exc
    def __call__(self, n=1):
        return ["target", n]

def inner(n: int = 0):
    return ["inner", n]

def outer():
    return "outer"
outer.__kevro_original__ = Wrapper(inner)

wrapped = Wrapper(inner)
plain = inner
attribute_error = Raising(AttributeError("no"))
runtime_error = Raising(RuntimeError("boom"))
interrupt = Raising(KeyboardInterrupt())
not_callable = 42

def __getattr__(name):
    if name == "dynamic":
        return inner
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
"""


@pytest.mark.parametrize(
    "function, value, signature",
    [
        ("plain", '["inner", 3]', "(n: int = 0)"),
        ("wrapped", '["inner", 3]', "(n: int = 0)"),
        ("attribute_error", '["target", 3]', "(n=1)"),
        ("runtime_error", '["target", 3]', "(n=1)"),
        ("interrupt", '["target", 3]', "(n=1)"),
        ("dynamic", '["inner", 3]', "(n: int = 0)"),
    ],
)
def test_unwrapping(work, function, value, signature):
    name = work.module(UNWRAP)
    assert materialize(name, function, "o", '{"n": 3}') == 0
    assert read("o/value.json") == value
    assert read("o/result.json") == success_record(function, name, "list", signature,
                                                   "o/value.json")


def test_only_one_level_is_unwrapped(work):
    name = work.module(UNWRAP)
    # outer's original is a Wrapper, whose own __call__ refuses to run.
    assert materialize(name, "outer", "o") == 1
    assert read("o/result.json") == failure_record(
        "AssertionError: the wrapper itself must not be called", "AssertionError")


def test_asset_wrapper_calls_the_original(work):
    if not hasattr(_kevro, "asset"):
        pytest.skip("the asset decorator is not built into this _kevro")
    name = work.module(
        """
        import _kevro

        @_kevro.asset()
        def total(a: int, b: int) -> int:
            return a + b
        """
    )
    assert materialize(name, "total", "o", '{"a": 2, "b": 3}') == 0
    assert read("o/value.json") == "5"
    assert read("o/result.json") == success_record("total", name, "int",
                                                   "(a: int, b: int) -> int", "o/value.json")


@pytest.mark.parametrize("function", ["not_callable", "missing"])
def test_lookup_and_call_failures(work, function):
    name = work.module(UNWRAP)
    module = sys.modules.get(name) or importlib.import_module(name)
    expected = error_of(lambda: getattr(module, function)())
    assert materialize(name, function, "o") == 1
    error_type = expected.split(":")[0]
    assert read("o/result.json") == failure_record(expected, error_type)


def test_module_already_imported_is_not_executed_again(work):
    name = work.module("import builtins\nbuiltins.kevro_test_runs += 1\ndef f():\n    return 1\n")
    builtins.kevro_test_runs = 0
    try:
        importlib.import_module(name)
        assert materialize(name, "f", "a") == 0
        assert materialize(name, "f", "b") == 0
        assert builtins.kevro_test_runs == 1
    finally:
        del builtins.kevro_test_runs


# --- values -------------------------------------------------------------------------------

VALUES = """
import math

class Meta(type):
    pass

class Pretend:
    pass

class Odd(dict, metaclass=Meta):
    @property
    def __class__(self):
        return Pretend

def none():
    return None

def text():
    return "caf\\u00e9 \\"q\\"\\n"

def nan():
    return math.nan

def nested():
    return {"z": [1, 2.5, {"y": None}], "a": -1}

def odd():
    return Odd(k="v")

def unencodable():
    return {"x": object()}

def no_signature():
    return [1]
no_signature.__signature__ = "not a signature"
"""


@pytest.mark.parametrize(
    "function, result_type",
    [
        ("none", "NoneType"),
        ("text", "str"),
        ("nan", "float"),
        ("nested", "dict"),
        ("odd", "Odd"),
    ],
)
def test_value_is_json_dumps_of_the_result(work, function, result_type):
    name = work.module(VALUES)
    assert materialize(name, function, "o") == 0
    expected = json.dumps(getattr(sys.modules[name], function)())
    assert read("o/value.json") == expected
    assert read("o/result.json") == success_record(function, name, result_type, "()",
                                                   "o/value.json")


def test_unencodable_value_writes_no_value_file(work):
    name = work.module(VALUES)
    importlib.import_module(name)
    expected = error_of(lambda: json.dumps(sys.modules[name].unencodable()))
    assert materialize(name, "unencodable", "o") == 1
    assert read("o/result.json") == failure_record(expected, "TypeError")
    assert os.listdir("o") == ["result.json"]


@pytest.mark.parametrize("function", ["no_signature", "builtin"])
def test_signature_failure_comes_after_the_value(work, function):
    name = work.module(VALUES)
    importlib.import_module(name)
    target = sys.modules[name].no_signature if function == "no_signature" else dict
    if function == "builtin":
        sys.modules[name].builtin = dict
    expected = error_of(lambda: inspect.signature(target))
    assert materialize(name, function, "o") == 1
    assert read("o/value.json") == json.dumps(target())
    assert read("o/result.json") == failure_record(expected, expected.split(":")[0])


# --- the failure record -------------------------------------------------------------------

RAISES = """
import sys

class Outer:
    class Inner(Exception):
        pass

class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")

class SurrogateStr(Exception):
    def __str__(self):
        return "x\\udc80y"

class NoQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("hidden")
        return super().__getattribute__(name)

class Hidden(Exception, metaclass=NoQualname):
    pass

CASES = {
    "empty": ValueError(),
    "plain": ValueError("bad value"),
    "quoted": KeyError("k"),
    "control": RuntimeError('tab\\tquote"back\\\\slash\\x01'),
    "nested": Outer.Inner("deep"),
    "bad_str": BadStr("x"),
    "surrogate": ValueError("a\\ud800b"),
    "surrogate_str": SurrogateStr(),
    "interrupt": KeyboardInterrupt(),
    "generator_exit": GeneratorExit("closing"),
    "hidden": Hidden("h"),
}

def fail(case):
    raise CASES[case]

def exits(code):
    sys.exit(code)
"""


@pytest.mark.parametrize(
    "case, error, error_type",
    [
        ("empty", "ValueError: ", "ValueError"),
        ("plain", "ValueError: bad value", "ValueError"),
        ("quoted", "KeyError: 'k'", "KeyError"),
        ("control", 'RuntimeError: tab\tquote"back\\slash\x01', "RuntimeError"),
        ("nested", "Outer.Inner: deep", "Inner"),
        ("bad_str", "BadStr: <exception str() failed>", "BadStr"),
        ("surrogate", "ValueError: a\ufffd\ufffd\ufffdb", "ValueError"),
        ("surrogate_str", "SurrogateStr: x\ufffd\ufffd\ufffdy", "SurrogateStr"),
        ("interrupt", "KeyboardInterrupt: ", "KeyboardInterrupt"),
        ("generator_exit", "GeneratorExit: closing", "GeneratorExit"),
        ("hidden", "<failed to extract type name>: h", "Hidden"),
    ],
)
def test_failure_record(work, case, error, error_type):
    name = work.module(RAISES)
    assert materialize(name, "fail", "o", json.dumps({"case": case})) == 1
    assert read("o/result.json") == failure_record(error, error_type)
    assert os.listdir("o") == ["result.json"]


def test_failure_record_escaping_is_the_compact_writers(work):
    name = work.module(RAISES)
    assert materialize(name, "fail", "o", '{"case": "control"}') == 1
    assert read("o/result.json") == (
        '{"error":"RuntimeError: tab\\tquote\\"back\\\\slash\\u0001",'
        '"error_type":"RuntimeError","ok":false}'
    )


@pytest.mark.parametrize("code", [3, None, "bye"])
def test_asset_exit_is_recorded_and_becomes_exit_1(work, code):
    try:
        sys.exit(code)
    except SystemExit as exc:
        # sys.exit(None) gives SystemExit() on CPython and SystemExit(None) on PyPy.
        error = f"SystemExit: {exc}"
    if code == 3:
        assert error == "SystemExit: 3"
    name = work.module(RAISES)
    assert materialize(name, "exits", "o", json.dumps({"code": code})) == 1
    assert read("o/result.json") == failure_record(error, "SystemExit")


@pytest.mark.skipif(
    is_pypy, reason="PyPy's C-API layer aborts the process when such a type reaches any C code"
)
def test_unreadable_exception_type_name_propagates(work):
    name = work.module(
        NAMELESS_EXCEPTION
        + textwrap.dedent(
            """
            def f():
                return Nameless("x")

            def g():
                raise Nameless("x")
            """
        )
    )
    with pytest.raises(LookupError) as excinfo:
        materialize_asset(name, "g", "o")
    assert str(excinfo.value) == "no name"
    assert os.listdir("o") == []


@pytest.mark.skipif(
    is_pypy, reason="PyPy's C-API layer aborts the process when such a type reaches any C code"
)
def test_non_text_type_name_fails_the_run(work):
    name = work.module(
        """
        class Numbered(type):
            __name__ = 7

        class Value(dict, metaclass=Numbered):
            pass

        def f():
            return Value()
        """
    )
    assert materialize(name, "f", "o") == 1
    assert read("o/value.json") == "{}"
    assert read("o/result.json") == failure_record(
        "TypeError: 'int' object cannot be converted to 'PyString'", "TypeError")


def test_failed_write_of_the_failure_record_propagates(work):
    name = work.module("def f():\n    return 1\n")
    Path("o/result.json").mkdir(parents=True)
    expected = error_of(lambda: Path("o/result.json").write_text("x", "utf-8"))
    with pytest.raises(OSError) as excinfo:
        materialize_asset(name, "f", "o")
    assert f"{type(excinfo.value).__qualname__}: {excinfo.value}" == expected
    assert read("o/value.json") == "1"


def test_sys_exit_that_returns(work, monkeypatch):
    calls = []
    monkeypatch.setattr(sys, "exit", lambda *args: calls.append(args))
    assert materialize_asset("kevro_no_such_module", "f", "o") is None
    assert calls == [(1,)] and type(calls[0][0]) is int
    assert read("o/result.json") == failure_record(
        "ModuleNotFoundError: No module named 'kevro_no_such_module'", "ModuleNotFoundError")


def test_import_of_sys_failing_propagates(work, monkeypatch):
    real_import = builtins.__import__

    here = globals()

    # Only the import made on behalf of this module's call is refused (the interpreter's own
    # modules import sys too).
    def refusing_import(name, *args, **kwargs):
        if name == "sys" and args and args[0] is here:
            raise ImportError("sys refused")
        return real_import(name, *args, **kwargs)

    with monkeypatch.context() as patch:
        patch.setattr(builtins, "__import__", refusing_import)
        with pytest.raises(ImportError) as excinfo:
            materialize_asset("kevro_no_such_module", "f", "o")
    assert str(excinfo.value) == "sys refused"
    assert read("o/result.json") == failure_record(
        "ModuleNotFoundError: No module named 'kevro_no_such_module'", "ModuleNotFoundError")


# --- the output directory and files -------------------------------------------------------


@pytest.mark.parametrize(
    "output_dir, value_path",
    [
        ("out/x/", "out/x/value.json"),
        ("a/b/c/d", "a/b/c/d/value.json"),
        ("./a//b/", "a/b/value.json"),
        ("", "value.json"),
    ],
)
def test_output_directory_and_value_path(work, output_dir, value_path):
    name = work.module("def f():\n    return [1]\n")
    assert materialize(name, "f", output_dir) == 0
    assert read(value_path) == "[1]"
    assert read(Path(value_path).parent / "result.json") == success_record(
        "f", name, "list", "()", value_path)


def test_absolute_output_directory_is_not_resolved(work, tmp_path):
    name = work.module("def f():\n    return 1\n")
    target = str(tmp_path / "abs" / ".." / "abs2")
    assert materialize(name, "f", target) == 0
    assert read(tmp_path / "abs2" / "result.json") == success_record(
        "f", name, "int", "()", f"{target}/value.json")


def test_output_directory_that_is_a_file(work):
    name = work.module("def f():\n    return 1\n")
    Path("taken").write_text("keep", encoding="utf-8")
    with pytest.raises(FileExistsError):
        materialize_asset(name, "f", "taken")
    assert read("taken") == "keep"


def test_output_directory_that_cannot_be_created(work):
    name = work.module("def f():\n    return 1\n")
    expected = error_of(lambda: Path("/proc/kevro-test/x").mkdir(parents=True, exist_ok=True))
    with pytest.raises(OSError) as excinfo:
        materialize_asset(name, "f", "/proc/kevro-test/x")
    assert f"{type(excinfo.value).__qualname__}: {excinfo.value}" == expected


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_value_file_on_a_full_device(work):
    name = work.module("def f():\n    return 1\n")
    Path("o").mkdir()
    os.symlink("/dev/full", "o/value.json")
    expected = error_of(lambda: Path("/dev/full").write_text("1", "utf-8"))
    assert materialize(name, "f", "o") == 1
    assert read("o/result.json") == failure_record(expected, expected.split(":")[0])


@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="needs /dev/full")
def test_result_file_on_a_full_device(work):
    name = work.module("def f():\n    return 1\n")
    Path("o").mkdir()
    os.symlink("/dev/full", "o/result.json")
    with pytest.raises(OSError) as excinfo:
        materialize_asset(name, "f", "o")
    assert excinfo.value.errno == 28
    assert read("o/value.json") == "1"


def test_second_call_replaces_both_files(work):
    name = work.module("def f(n):\n    return list(range(n))\n")
    assert materialize(name, "f", "o", '{"n": 20}') == 0
    assert materialize(name, "f", "o", '{"n": 1}') == 0
    assert read("o/value.json") == "[0]"
    assert read("o/result.json") == success_record("f", name, "list", "(n)", "o/value.json")


def test_failed_call_leaves_an_older_value_file(work):
    name = work.module("def f(n):\n    return n\n")
    assert materialize(name, "f", "o", '{"n": 7}') == 0
    assert materialize(name, "f", "o", "[]") == 1
    assert read("o/value.json") == "7"
    assert read("o/result.json") == failure_record(
        "TypeError: 'list' object cannot be converted to 'PyDict'", "TypeError")


# --- references ---------------------------------------------------------------------------


@pytest.mark.parametrize("fails", [False, True])
def test_call_keeps_nothing_alive(work, fails):
    name = work.module(
        """
        import weakref
        refs = []

        class Value(dict):
            pass

        class Failure(Exception):
            pass

        def f(fail):
            value = Value(a=1)
            refs.append(weakref.ref(value))
            if fail:
                exc = Failure("x")
                refs.append(weakref.ref(exc))
                raise exc
            return value
        """
    )
    assert materialize(name, "f", "o", json.dumps({"fail": fails})) == (1 if fails else 0)
    collect()
    refs = sys.modules[name].refs
    assert len(refs) == (2 if fails else 1)
    assert [r() for r in refs] == [None] * len(refs)


# --- the order of the calls into Python ---------------------------------------------------

CALL_ORDER = r"""
import builtins, json as real_json, sys
import _kevro

log = []
real_import = builtins.__import__

def recording_import(name, *args, **kwargs):
    log.append(["import", name])
    return real_import(name, *args, **kwargs)

class Named(type):
    @property
    def __name__(cls):
        log.append(["type __name__"])
        return "Value"

class Value(metaclass=Named):
    pass

class Target:
    def __getattr__(self, name):
        log.append(["getattr target", name])
        return original

def original(**kwargs):
    log.append(["call", sorted(kwargs.items())])
    return VALUE

class Module:
    def __getattr__(self, name):
        log.append(["getattr module", name])
        return Target()

class Path:
    def __init__(self, text):
        self.text = text
    def mkdir(self, *args, **kwargs):
        log.append(["mkdir", self.text, list(args), list(kwargs.items())])
    def __truediv__(self, other):
        log.append(["truediv", self.text, other])
        return Path(self.text + "/" + other)
    def write_text(self, *args, **kwargs):
        log.append(["write_text", self.text, list(args), kwargs])
    def __str__(self):
        log.append(["str", self.text])
        return self.text

class Signature:
    def __str__(self):
        log.append(["str signature"])
        return "(sig)"

class Fake:
    def __init__(self, **members):
        self.__dict__.update(members)

def loads(text):
    log.append(["loads", text])
    return real_json.loads(text)

def dumps(value, *args, **kwargs):
    log.append(["dumps", value is VALUE, list(args), kwargs])
    return "TEXT"

def import_module(name, *args, **kwargs):
    log.append(["import_module", name, list(args), kwargs])
    if name == "missing":
        raise ModuleNotFoundError("none here")
    return Module()

def signature(obj, *args, **kwargs):
    log.append(["signature", obj is original, list(args), kwargs])
    return Signature()

def exit_(*args):
    log.append(["exit", list(args)])
    raise SystemExit(*args)

VALUE = Value()
# On PyPy the first time a class reaches C code its __name__ is read: let that happen now.
try:
    _kevro.materialize_asset(VALUE)
except TypeError:
    pass
log.clear()
sys.modules["importlib"] = Fake(import_module=import_module)
sys.modules["inspect"] = Fake(signature=signature)
sys.modules["json"] = Fake(loads=loads, dumps=dumps)
sys.modules["pathlib"] = Fake(Path=Path)
sys.exit = exit_
builtins.__import__ = recording_import
try:
    _kevro.materialize_asset(sys.argv[1], "asset", "out", '{"k": 1}')
except SystemExit as e:
    log.append(["raised SystemExit", e.code])
builtins.__import__ = real_import
print(real_json.dumps(log))
"""

PREPARATION = [
    ["import", "importlib"],
    ["import", "inspect"],
    ["import", "json"],
    ["import", "pathlib"],
    ["mkdir", "out", [], [["parents", True], ["exist_ok", True]]],
    ["truediv", "out", "result.json"],
]


@pytest.mark.parametrize(
    "module, run",
    [
        (
            "present",
            [
                ["import_module", "present", [], {}],
                ["getattr module", "asset"],
                ["getattr target", "__kevro_original__"],
                ["loads", '{"k": 1}'],
                ["call", [["k", 1]]],
                ["truediv", "out", "value.json"],
                ["dumps", True, [], {}],
                ["write_text", "out/value.json", ["TEXT", "utf-8"], {}],
                ["str", "out/value.json"],
                ["signature", True, [], {}],
                ["str signature"],
                ["type __name__"],
                ["write_text", "out/result.json",
                 ['{"artifact_format":"json","function_name":"asset","module_path":"present",'
                  '"ok":true,"result_type":"Value","signature":"(sig)",'
                  '"value_path":"out/value.json"}', "utf-8"], {}],
            ],
        ),
        (
            "missing",
            [
                ["import_module", "missing", [], {}],
                ["write_text", "out/result.json",
                 ['{"error":"ModuleNotFoundError: none here",'
                  '"error_type":"ModuleNotFoundError","ok":false}', "utf-8"], {}],
                ["import", "sys"],
                ["exit", [1]],
                ["raised SystemExit", 1],
            ],
        ),
    ],
)
def test_calls_into_python_in_order(module, run):
    done = run_python(CALL_ORDER, module)
    assert done.returncode == 0, done.stderr
    log = json.loads(done.stdout)
    assert log == PREPARATION + run

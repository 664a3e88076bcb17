"""Nothing leaks: every public operation, on its success paths and on each of its failures,
repeated many times (leakcheck.py tells how each interpreter is measured).

Each row names one operation and one outcome. Its builder gets the `World` (modules on sys.path
and output directories in a temporary directory) and returns the `Op`: the call of one
repetition, the exception it must raise, and the objects it touches, whose reference counts must
come back exactly on CPython.
"""

from __future__ import annotations

import contextlib
import dataclasses
import importlib
import inspect
import os
import sys
import textwrap
import types
from pathlib import Path
from typing import Callable, ContextManager, Iterator, List, Optional, Sequence, Tuple

import pytest

from _kevro import AssetWrapper, Partitions, asset, inspect_modules, materialize_asset, partitions
from common import is_pypy
from modgen import NAMELESS_EXCEPTION
import leakcheck

# Modules of the world, imported from its source directory.
ASSETS_SOURCE = '''
from _kevro import asset, partitions


@asset()
def plain() -> int:
    return 7


@asset(name="priced", serializer="json", inputs={"data": plain, "ref": "x.py:raw"},
       partitions={"ticker": partitions(["a", "b", 3])})
def priced(data: int = 1, scale: float = 2.0) -> "float":
    return data * scale


def nothing() -> None:
    return None


def bare(n=3):
    return [n, "x"]


class _Mark:
    def __init__(self, kind):
        self.__kevro_kind__ = kind


class _RaisingMark:
    @property
    def __kevro_kind__(self):
        raise ValueError("no kind")


# Members whose mark is not exactly the str "asset" are skipped.
wrong_case = _Mark("Asset")
bytes_mark = _Mark(b"asset")
raising_mark = _RaisingMark()
'''

WORKER_SOURCE = '''
import sys

from _kevro import asset


@asset()
def boom():
    raise ValueError("boom")


def needs_arg(x):
    return x


def empty_error():
    raise ValueError()


def unencodable():
    return {1, 2}


def exits():
    sys.exit(3)


class Outer:
    class Inner(Exception):
        pass


def nested():
    raise Outer.Inner("deep")


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


def bad_str():
    raise BadStr()


''' + NAMELESS_EXCEPTION + '''

def nameless():
    raise Nameless()


class _RaisingOriginal:
    @property
    def __kevro_original__(self):
        raise KeyError("no original")

    def __call__(self):
        return 1


raising_original = _RaisingOriginal()
no_signature = dict
not_callable = 5
'''

# A fake asset: the mark and the metadata on the instance (so that the class is no asset).
FAKE = '''
class Fake:
    def __init__(self, metadata, original=None):
        self.__kevro_kind__ = "asset"
        self.__kevro_metadata__ = metadata
        if original is not None:
            self.__kevro_original__ = original
'''

# One module per failure of inspect_modules that ends the call.
INSPECT_FAILURES = {
    "kleak_meta_raises": '''
        class Fake:
            def __init__(self):
                self.__kevro_kind__ = "asset"

            @property
            def __kevro_metadata__(self):
                raise LookupError("no metadata")


        member = Fake()
    ''',
    "kleak_meta_nan": FAKE + '''
member = Fake({"x": float("nan")})
''',
    "kleak_meta_set": FAKE + '''
member = Fake({1, 2})
''',
    # The module is its own undecorated function: it has source and a name, no signature.
    "kleak_no_signature": FAKE + '''
import sys
member = Fake({}, sys.modules[__name__])
''',
    # An original whose source is found through its __file__ but whose __name__ is no str.
    "kleak_name_not_str": FAKE + '''
import types
original = types.ModuleType("x")
original.__file__ = __file__
original.__name__ = 5
member = Fake({}, original)
''',
    "kleak_members_raise": '''
        def __dir__():
            return ["boom"]


        def __getattr__(name):
            if name == "boom":
                raise LookupError("no member")
            raise AttributeError(name)
    ''',
}

IMPORT_FAILURES = {
    "kleak_import_raises": 'raise ValueError("import fails")\n',
    "kleak_import_bad_str": textwrap.dedent('''
        class BadStr(Exception):
            def __str__(self):
                raise RuntimeError("no text")


        raise BadStr()
    '''),
    "kleak_import_exits": "raise SystemExit(2)\n",
}


@dataclasses.dataclass
class World:
    """Modules on sys.path and output directories for the rows of this file."""

    root: Path
    out: str  # one output directory, written again and again
    file: str  # a regular file, where mkdir fails
    value_blocked: str  # value.json is a directory there
    result_blocked: str  # result.json is a directory there
    assets: types.ModuleType
    worker: types.ModuleType


def make_world(root: Path) -> World:
    """Writes the modules, imports them and creates the output directories."""
    src = root / "src"
    src.mkdir(parents=True)
    (src / "kleak_assets.py").write_text(ASSETS_SOURCE, encoding="utf-8")
    (src / "kleak_worker.py").write_text(WORKER_SOURCE, encoding="utf-8")
    for name, source in INSPECT_FAILURES.items():
        (src / f"{name}.py").write_text(textwrap.dedent(source), encoding="utf-8")
    for name, source in IMPORT_FAILURES.items():
        (src / f"{name}.py").write_text(source, encoding="utf-8")
    sys.path.insert(0, str(src))
    importlib.invalidate_caches()
    assets = importlib.import_module("kleak_assets")
    worker = importlib.import_module("kleak_worker")
    # A module whose __name__ is no str: found in the module cache, source from its __file__.
    badname = types.ModuleType("kleak_badname")
    badname.__dict__.update(vars(assets))
    badname.__name__ = 5
    sys.modules["kleak_badname"] = badname
    (root / "file").write_text("", encoding="utf-8")
    (root / "value_blocked" / "value.json").mkdir(parents=True)
    (root / "result_blocked" / "result.json").mkdir(parents=True)
    return World(root, str(root / "out"), str(root / "file"), str(root / "value_blocked"),
                 str(root / "result_blocked"), assets, worker)


def drop_world(world: World) -> None:
    """Takes the world's modules out of sys.path and the module cache."""
    src = str(world.root / "src")
    while src in sys.path:
        sys.path.remove(src)
    for name in list(sys.modules):
        if name.startswith("kleak_"):
            del sys.modules[name]
    importlib.invalidate_caches()


@dataclasses.dataclass
class Op:
    """One repetition and what it must do."""

    call: Callable[[], object]
    touched: Sequence[object] = ()
    raises: Optional[type] = None  # the exception every repetition must raise
    match: str = ""  # a part of its message
    context: Callable[[], ContextManager[object]] = contextlib.nullcontext

    def repetition(self) -> Callable[[], object]:
        if self.raises is None:
            return self.call
        call, expected = self.call, self.raises

        def refused() -> None:
            try:
                call()
            except expected:
                return
            raise AssertionError(f"{call!r} did not raise {expected.__name__}")

        return refused

    def check_once(self) -> None:
        """The outcome of one call, before it is repeated."""
        if self.raises is None:
            self.call()
            return
        with pytest.raises(self.raises) as info:
            self.call()
        assert self.match in str(info.value)


@contextlib.contextmanager
def quiet_stderr() -> Iterator[None]:
    """Sends file descriptor 2 to /dev/null: the warning lines of skipped modules."""
    saved = os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(null, 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(null)


def without_module(name: str, call: Callable[[], object]) -> Callable[[], object]:
    """`call` with sys.modules[name] set to None, so that importing it fails."""

    def op() -> object:
        saved = sys.modules[name]
        sys.modules[name] = None
        try:
            return call()
        finally:
            sys.modules[name] = saved

    return op


@contextlib.contextmanager
def getsourcefile_from_c(replacement: Callable[[object], object]) -> Iterator[None]:
    """Replaces inspect.getsourcefile for callers outside the inspect module (the module's own
    call) and keeps it for inspect's internal use, which getsource needs."""
    original = inspect.getsourcefile

    def patched(obj):
        if sys._getframe(1).f_globals.get("__name__") == "inspect":
            return original(obj)
        return replacement(obj)

    inspect.getsourcefile = patched
    try:
        yield
    finally:
        inspect.getsourcefile = original


def raise_type_error(obj: object) -> None:
    raise TypeError("no source file")


class OddVersion:
    """A version_info whose parts are no integers."""

    major = "3"
    minor = 9
    micro = 0


def with_version(call: Callable[[], object]) -> Callable[[], object]:
    def op() -> object:
        saved = sys.version_info
        sys.version_info = OddVersion
        try:
            return call()
        finally:
            sys.version_info = saved

    return op


# Declarations used by many rows.
def raw(a=1, *, k=2):
    """raw's documentation."""
    return a + k


def raises_value_error():
    raise ValueError("from the function")


NAME = "prices"
SERIALIZER = "pickle"
REF = "x.py:raw"
upstream = asset()(raw)
marker = partitions(["AAPL", "MSFT", 3, {"k": [1.5, None]}])
decorator = asset(name=NAME)
wrapper = asset(name=NAME, serializer=SERIALIZER, inputs={"data": REF, "more": "ref"},
                partitions={"ticker": marker, "day": marker})(raw)
wrapped_int = asset()(42)
raising_wrapper = asset()(raises_value_error)


class Holder:
    method = wrapper


holder = Holder()


class MarkedNoOriginal:
    """An asset by its mark alone: its own source file and name form the reference."""

    __kevro_kind__ = "asset"


class RaisingOriginal(types.ModuleType):
    """An asset whose `__kevro_original__` lookup raises: it is its own undecorated function (a
    module, found in this file)."""

    __kevro_kind__ = "asset"

    @property
    def __kevro_original__(self):
        raise KeyError("no original")


raising_original = RaisingOriginal("raising_original")
raising_original.__file__ = __file__


class BuiltinOriginal:
    """Its undecorated function has no source file: getsourcefile raises."""

    __kevro_kind__ = "asset"
    __kevro_original__ = len


def _module_named_five() -> types.ModuleType:
    module = types.ModuleType("x")
    module.__file__ = __file__
    module.__name__ = 5
    return module


class NamelessOriginal:
    """Its undecorated function has a source file but a __name__ that is no str."""

    __kevro_kind__ = "asset"
    __kevro_original__ = _module_named_five()


class RaisingKind:
    @property
    def __kevro_kind__(self):
        raise ValueError("no kind")


# Dicts that a value's attribute lookup changes while asset() walks them.
walked: dict = {}


class Grows:
    """Adds an entry to `walked` when asset() looks at it."""

    @property
    def __kevro_kind__(self):
        walked["added"] = "x"
        return "asset"

    __kevro_original__ = raw


class Swaps:
    """Replaces the entry before it by a new one: same size, one entry more to walk."""

    @property
    def __kevro_kind__(self):
        del walked["first"]
        walked["added"] = "x"
        return "asset"

    __kevro_original__ = raw


grows, swaps = Grows(), Swaps()


def walk_growing() -> object:
    walked.clear()
    walked.update(value=grows, last=REF)
    return asset(inputs=walked)


def walk_swapping() -> object:
    walked.clear()
    walked.update(first=REF, value=swaps, last=REF)
    return asset(inputs=walked)


def recursive_asset() -> object:
    """A nested asset that refers to itself: its wrapper, the function and the function's
    closure form a cycle that only the collector could free. The wrapper takes no part in
    cycle collection (it reports nothing to the collector), so such a cycle is kept: the row is
    expected to fail, and the check proves that it would see a leaked cycle."""

    def again(n: int = 0) -> object:
        return wrapped(n - 1) if n > 0 else raw

    wrapped = asset()(again)
    return wrapped


class Items(list):
    pass


class FailingIteration:
    """A sequence whose iteration raises `error`."""

    def __init__(self, error: BaseException):
        self.error = error

    def __len__(self) -> int:
        raise ValueError("no length")

    def __getitem__(self, index: int) -> str:
        raise self.error


circular: list = []
circular.append(circular)
deep: list = []
for _ in range(130):
    deep = [deep]


def subclass(base: type) -> type:
    return type("Sub", (base,), {})


Build = Callable[[World], Op]


def refused(exc: type, match: str, call: Callable[[], object], *touched: object) -> Build:
    return lambda w: Op(call, (exc, *touched), exc, match)


def fine(call: Callable[[], object], *touched: object) -> Build:
    return lambda w: Op(call, touched)


def run_fails(function: str, error: str, kwargs: Optional[str] = None,
              module: str = "kleak_worker") -> Build:
    """A run that fails: SystemExit, with the failure record in result.json."""

    def build(w: World) -> Op:
        def call() -> None:
            materialize_asset(module, function, w.out, kwargs)

        return Op(call, (SystemExit, w.worker), SystemExit, "1",)

    build.error = error  # checked against result.json by test_failure_rows_record_their_error
    return build


DECLARATION: List[Tuple[str, Build]] = [
    ("asset-plain", fine(lambda: asset(), asset)),
    ("asset-texts", fine(lambda: asset(name=NAME, serializer=SERIALIZER), NAME, SERIALIZER)),
    ("asset-none-arguments", fine(
        lambda: asset(name=None, inputs=None, partitions=None, serializer=None))),
    ("asset-string-inputs", fine(lambda: asset(inputs={"data": REF, "more": "ref"}), REF)),
    ("asset-empty-maps", fine(lambda: asset(inputs={}, partitions={}))),
    ("asset-upstream", fine(lambda: asset(inputs={"data": upstream}), upstream, raw)),
    ("asset-marked-upstream", fine(lambda: asset(inputs={"data": MarkedNoOriginal}),
                                   MarkedNoOriginal)),
    ("asset-original-raises", fine(lambda: asset(inputs={"data": raising_original}),
                                   raising_original, KeyError)),
    ("asset-partitions", fine(lambda: asset(partitions={"ticker": marker, "day": marker}),
                              marker)),
    ("asset-full", fine(lambda: asset(name=NAME, serializer=SERIALIZER,
                                      inputs={"data": REF, "up": upstream},
                                      partitions={"ticker": marker}),
                        NAME, SERIALIZER, REF, upstream, raw, marker)),
    ("asset-positional", refused(TypeError, "takes 0 positional arguments", lambda: asset(raw),
                                 raw)),
    ("asset-unexpected-keyword", refused(TypeError, "unexpected keyword argument 'foo'",
                                         lambda: asset(foo=1))),
    ("asset-name-not-str", refused(TypeError, "argument 'name'", lambda: asset(name=5))),
    ("asset-name-surrogate", refused(UnicodeEncodeError, "surrogate",
                                     lambda: asset(name="\udc80"))),
    ("asset-serializer-not-str", refused(TypeError, "argument 'serializer'",
                                         lambda: asset(name=NAME, serializer=b"s"), NAME)),
    ("asset-inputs-not-dict", refused(TypeError, "'list' object cannot be converted to 'PyDict'",
                                      lambda: asset(inputs=[upstream]), upstream)),
    ("asset-inputs-key-not-str", refused(TypeError, "'int' object cannot be converted",
                                         lambda: asset(inputs={1: REF}), REF)),
    ("asset-inputs-value-refused", refused(TypeError, "inputs values must be",
                                           lambda: asset(inputs={"a": REF, "b": 42}), REF)),
    ("asset-inputs-kind-raises", refused(TypeError, "inputs values must be",
                                         lambda: asset(inputs={"a": RaisingKind()}),
                                         RaisingKind, ValueError)),
    ("asset-inputs-surrogate", refused(UnicodeEncodeError, "surrogate",
                                       lambda: asset(inputs={"a": "\udc80"}))),
    ("asset-upstream-without-source", refused(TypeError, "was expected",
                                              lambda: asset(inputs={"a": BuiltinOriginal()}),
                                              len, BuiltinOriginal)),
    ("asset-upstream-name-not-str", refused(TypeError, "'int' object cannot be converted",
                                            lambda: asset(inputs={"a": NamelessOriginal()}),
                                            NamelessOriginal)),
    ("asset-inputs-changed-size", refused(RuntimeError, "dictionary changed size",
                                          walk_growing, grows, raw)),
    ("asset-inputs-keys-changed", refused(RuntimeError, "dictionary keys changed",
                                          walk_swapping, swaps, raw)),
    ("asset-partitions-not-dict", refused(TypeError, "cannot be converted to 'PyDict'",
                                          lambda: asset(partitions=[marker]), marker)),
    ("asset-partitions-key-not-str", refused(TypeError, "'int' object cannot be converted",
                                             lambda: asset(partitions={1: marker}), marker)),
    ("asset-partitions-value-refused", refused(TypeError, "partition values must be",
                                               lambda: asset(partitions={"t": marker, "u": [1]}),
                                               marker)),
    ("decorate", fine(lambda: decorator(raw), decorator, raw)),
    ("decorate-keyword-ignored", fine(lambda: decorator(raw, extra=1), decorator, raw)),
    ("decorate-non-callable", fine(lambda: decorator(42.5), decorator)),
    ("decorate-no-argument", refused(TypeError, "expects exactly one argument",
                                     lambda: decorator(), decorator)),
    ("decorate-two-arguments", refused(TypeError, "expects exactly one argument",
                                       lambda: decorator(raw, raw), decorator, raw)),
    ("wrapper-metadata", fine(lambda: wrapper.__kevro_metadata__, wrapper)),
    ("wrapper-contract", fine(lambda: (wrapper.__kevro_kind__, wrapper.__kevro_original__,
                                       wrapper.__wrapped__), wrapper, raw)),
    ("wrapper-forwarded", fine(lambda: (wrapper.__name__, wrapper.__qualname__,
                                        wrapper.__doc__, wrapper.__module__), wrapper, raw)),
    ("wrapper-forwarded-fails", refused(AttributeError, "__name__",
                                        lambda: wrapped_int.__name__, wrapped_int)),
    ("wrapper-no-dict", refused(AttributeError, "__dict__", lambda: wrapper.__dict__, wrapper)),
    ("wrapper-setattr-refused", refused(AttributeError, "",
                                        lambda: setattr(wrapper, "__doc__", NAME), wrapper, NAME)),
    ("wrapper-in-a-cycle", fine(recursive_asset, raw)),
    ("wrapper-descriptor", fine(lambda: holder.method, holder, wrapper)),
    ("wrapper-call", fine(lambda: wrapper(1, k=3) + wrapper(2) + wrapper(**{}), wrapper, raw)),
    ("wrapper-call-raises", refused(ValueError, "from the function", lambda: raising_wrapper(),
                                    raising_wrapper, raises_value_error)),
    ("wrapper-call-binding", refused(TypeError, "positional argument",
                                     lambda: wrapper(1, 2, 3), wrapper, raw)),
    ("wrapper-call-not-callable", refused(TypeError, "not callable", lambda: wrapped_int(),
                                          wrapped_int)),
    ("wrapper-constructor", refused(TypeError, "No constructor defined for AssetWrapper",
                                    lambda: AssetWrapper(raw), AssetWrapper, raw)),
    ("wrapper-subclass", refused(TypeError, "not an acceptable base type",
                                 lambda: subclass(AssetWrapper), AssetWrapper)),
    ("partitions", fine(lambda: partitions(["a", -1, [0.5, None, {"x": True}]]), partitions)),
    ("partitions-keyword", fine(lambda: partitions(values=["x"]))),
    ("partitions-empty", fine(lambda: partitions([]))),
    ("partitions-list-subclass", fine(lambda: partitions(Items(["a", 2 ** 64])), Items)),
    ("partitions-repr", fine(lambda: (repr(marker), str(marker)), marker)),
    ("partitions-missing", refused(TypeError, "missing 1 required positional argument",
                                   lambda: partitions())),
    ("partitions-surplus", refused(TypeError, "takes 1 positional arguments but 2 were given",
                                   lambda: partitions([], []))),
    ("partitions-unexpected-keyword", refused(TypeError, "unexpected keyword argument 'value'",
                                              lambda: partitions(value=[]))),
    ("partitions-multiple-values", refused(TypeError, "multiple values for argument 'values'",
                                           lambda: partitions([], values=[]))),
    ("partitions-not-list", refused(TypeError, "'tuple' object cannot be converted to 'PyList'",
                                    lambda: partitions(("a", "b")))),
    ("partitions-dumps-fails", refused(TypeError, "not JSON serializable",
                                       lambda: partitions(["a", object()]))),
    ("partitions-circular", refused(ValueError, "Circular reference",
                                    lambda: partitions([circular]), circular)),
    ("partitions-nan", refused(ValueError, "invalid partition value: expected value",
                               lambda: partitions([1, float("nan")]))),
    ("partitions-minus-infinity", refused(ValueError, "invalid partition value: invalid number",
                                          lambda: partitions([float("-inf")]))),
    ("partitions-out-of-range", refused(ValueError, "number out of range",
                                        lambda: partitions([10 ** 400]))),
    ("partitions-surrogate", refused(ValueError, "invalid partition value: ",
                                     lambda: partitions(["\ud800"]))),
    ("partitions-too-deep", refused(ValueError, "recursion limit exceeded",
                                    lambda: partitions([deep]), deep)),
    ("partitions-json-import-fails", refused(ImportError, "json",
                                             without_module("json", lambda: partitions(["a"])))),
    ("partitions-constructor", refused(TypeError, "No constructor defined for Partitions",
                                       lambda: Partitions(), Partitions)),
    ("partitions-subclass", refused(TypeError, "not an acceptable base type",
                                    lambda: subclass(Partitions), Partitions)),
    ("partitions-setattr-refused", refused(AttributeError, "",
                                           lambda: setattr(marker, "x", 1), marker)),
    ("partitions-no-dict", refused(AttributeError, "__dict__", lambda: marker.__dict__, marker)),
]

MODULES = ["kleak_assets"]

INSPECTION: List[Tuple[str, Build]] = [
    ("inspect", lambda w: Op(lambda: inspect_modules(MODULES), (w.assets, MODULES))),
    ("inspect-tuple", lambda w: Op(lambda: inspect_modules(("kleak_assets",)), (w.assets,))),
    ("inspect-empty", fine(lambda: inspect_modules([]), inspect_modules)),
    ("inspect-getsourcefile-raises", lambda w: Op(
        lambda: inspect_modules(MODULES), (w.assets,),
        context=lambda: getsourcefile_from_c(raise_type_error))),
    ("inspect-missing", refused(TypeError, "missing 1 required positional argument",
                                lambda: inspect_modules())),
    ("inspect-surplus", refused(TypeError, "takes 1 positional arguments but 2 were given",
                                lambda: inspect_modules([], []))),
    ("inspect-unexpected-keyword", refused(TypeError, "unexpected keyword argument 'names'",
                                           lambda: inspect_modules(names=[]))),
    ("inspect-multiple-values", refused(TypeError, "multiple values for argument 'modules'",
                                        lambda: inspect_modules([], modules=[]))),
    ("inspect-str", refused(TypeError, "Can't extract `str` to `Vec`",
                            lambda: inspect_modules("kleak_assets"))),
    ("inspect-not-sequence", refused(TypeError, "'set' object cannot be converted to 'Sequence'",
                                     lambda: inspect_modules({"kleak_assets"}))),
    ("inspect-item-not-str", refused(TypeError, "'int' object cannot be converted to 'PyString'",
                                     lambda: inspect_modules(["kleak_assets", 5]))),
    ("inspect-item-surrogate", refused(UnicodeEncodeError, "surrogate",
                                       lambda: inspect_modules(["\udc80"]))),
    ("inspect-iteration-type-error", refused(TypeError, "argument 'modules': stop",
                                             lambda: inspect_modules(
                                                 FailingIteration(TypeError("stop"))))),
    # The sequence holds the exception that it raises, so the exception, its traceback and the
    # frame that raised it form a cycle: on PyPy a fetch and restore keeps such a cycle alive.
    ("inspect-iteration-raises", refused(KeyError, "stop", lambda: inspect_modules(
        FailingIteration(KeyError("stop"))))),
    ("inspect-stdlib-import-fails", refused(ImportError, "textwrap", without_module(
        "textwrap", lambda: inspect_modules([])))),
    ("inspect-version-not-int", refused(TypeError, "integer",
                                        with_version(lambda: inspect_modules([])))),
    ("inspect-no-source", refused(TypeError, "built-in module",
                                  lambda: inspect_modules(["sys"]), sys)),
    ("inspect-metadata-raises", refused(LookupError, "no metadata",
                                        lambda: inspect_modules(["kleak_meta_raises"]))),
    ("inspect-metadata-nan", refused(RuntimeError, "JSON parse error: expected value",
                                     lambda: inspect_modules(["kleak_meta_nan"]))),
    ("inspect-metadata-not-json", refused(TypeError, "not JSON serializable",
                                          lambda: inspect_modules(["kleak_meta_set"]))),
    ("inspect-signature-fails", refused(TypeError, "not a callable object",
                                        lambda: inspect_modules(["kleak_no_signature"]))),
    ("inspect-function-name-not-str", refused(TypeError, "'int' object cannot be converted",
                                              lambda: inspect_modules(["kleak_name_not_str"]))),
    ("inspect-getmembers-fails", refused(LookupError, "no member",
                                         lambda: inspect_modules(["kleak_members_raise"]))),
    ("inspect-module-name-not-str", refused(TypeError, "'int' object cannot be converted",
                                            lambda: inspect_modules(["kleak_badname"]))),
    ("inspect-getsourcefile-none", lambda w: Op(
        lambda: inspect_modules(MODULES), (w.assets,), TypeError, "NoneType",
        context=lambda: getsourcefile_from_c(lambda obj: None))),
] + [
    (f"inspect-import-fails-{kind}", lambda w, name=name: Op(
        lambda: inspect_modules([name]), (name,), context=quiet_stderr))
    for kind, name in [("missing", "kleak_nosuch"), ("raises", "kleak_import_raises"),
                       ("bad-str", "kleak_import_bad_str"), ("exits", "kleak_import_exits"),
                       ("relative", ".kleak_assets")]
]

MATERIALIZATION: List[Tuple[str, Build]] = [
    ("materialize", lambda w: Op(lambda: materialize_asset("kleak_assets", "plain", w.out),
                                 (w.assets, w.out))),
    ("materialize-kwargs", lambda w: Op(
        lambda: materialize_asset("kleak_assets", "priced", w.out, '{"data": 2, "scale": 0.5}'),
        (w.assets,))),
    ("materialize-keywords", lambda w: Op(
        lambda: materialize_asset(module_name="kleak_assets", function_name="bare",
                                  output_dir=w.out, input_kwargs_json=None), (w.assets,))),
    ("materialize-none", lambda w: Op(lambda: materialize_asset("kleak_assets", "nothing", w.out,
                                                                "{}"), (w.assets,))),
    ("materialize-original-raises", lambda w: Op(
        lambda: materialize_asset("kleak_worker", "raising_original", w.out), (w.worker,))),
    ("materialize-missing", refused(TypeError, "missing 2 required positional arguments",
                                    lambda: materialize_asset("kleak_assets"))),
    ("materialize-surplus", refused(TypeError, "takes from 3 to 4 positional arguments",
                                    lambda: materialize_asset("a", "b", "c", None, 5))),
    ("materialize-unexpected-keyword", refused(TypeError, "unexpected keyword argument 'kwargs'",
                                               lambda: materialize_asset("a", "b", "c",
                                                                         kwargs="{}"))),
    ("materialize-multiple-values", refused(TypeError, "multiple values for argument",
                                            lambda: materialize_asset("a", "b", "c",
                                                                      module_name="a"))),
    ("materialize-module-name-not-str", refused(TypeError, "argument 'module_name'",
                                                lambda: materialize_asset(1, "b", "c"))),
    ("materialize-function-name-not-str", refused(TypeError, "argument 'function_name'",
                                                  lambda: materialize_asset("a", None, "c"))),
    ("materialize-output-dir-not-str", refused(TypeError, "argument 'output_dir'",
                                               lambda: materialize_asset("a", "b", Path("c")))),
    ("materialize-kwargs-not-str", refused(TypeError, "argument 'input_kwargs_json'",
                                           lambda: materialize_asset("a", "b", "c", {}))),
    ("materialize-surrogate", refused(UnicodeEncodeError, "surrogate",
                                      lambda: materialize_asset("\udc80", "b", "c"))),
    ("materialize-stdlib-import-fails", lambda w: Op(without_module(
        "pathlib", lambda: materialize_asset("kleak_assets", "plain", w.out)), (), ImportError,
        "pathlib")),
    ("materialize-mkdir-fails", lambda w: Op(
        lambda: materialize_asset("kleak_assets", "plain", w.file), (w.file,), FileExistsError)),
    ("materialize-failure-record-unwritable", lambda w: Op(
        lambda: materialize_asset("kleak_worker", "boom", w.result_blocked), (w.worker,),
        IsADirectoryError)),
    ("materialize-error-type-name-fails", lambda w: Op(
        lambda: materialize_asset("kleak_worker", "nameless", w.out), (w.worker,), LookupError,
        "no name")),
    ("materialize-sys-import-fails", lambda w: Op(without_module(
        "sys", lambda: materialize_asset("kleak_worker", "boom", w.out)), (w.worker,),
        ImportError, "sys")),
    ("materialize-value-unwritable", lambda w: Op(
        lambda: materialize_asset("kleak_assets", "plain", w.value_blocked), (w.assets,),
        SystemExit)),
] + [
    (f"materialize-run-fails-{kind}", run_fails(function, error, kwargs, module))
    for kind, module, function, kwargs, error in [
        ("import", "kleak_nosuch", "f", None, "ModuleNotFoundError: No module named"),
        ("attribute", "kleak_worker", "nosuch", None, "AttributeError: "),
        ("kwargs-invalid", "kleak_worker", "needs_arg", "{", "JSONDecodeError: "),
        ("kwargs-not-dict", "kleak_worker", "needs_arg", "[1, 2]",
         "TypeError: 'list' object cannot be converted to 'PyDict'"),
        ("call-binding", "kleak_worker", "needs_arg", None, "TypeError: "),
        ("raises", "kleak_worker", "boom", None, "ValueError: boom"),
        ("empty-message", "kleak_worker", "empty_error", None, "ValueError: "),
        ("nested-class", "kleak_worker", "nested", None, "Outer.Inner: deep"),
        ("str-fails", "kleak_worker", "bad_str", None, "BadStr: <exception str() failed>"),
        ("exits", "kleak_worker", "exits", None, "SystemExit: 3"),
        ("not-callable", "kleak_worker", "not_callable", None, "TypeError: "),
        ("dumps-fails", "kleak_worker", "unencodable", None, "TypeError: "),
        ("signature-fails", "kleak_worker", "no_signature", None, "ValueError: "),
    ]
]

# Rows whose repetition imports modules, reads source or writes files run fewer repetitions;
# those that fail before any of that (argument binding and conversion) do not.
FAST_PREFIXES = ("inspect-missing", "inspect-surplus", "inspect-unexpected-keyword",
                 "inspect-multiple-values", "inspect-str", "inspect-not-sequence",
                 "inspect-item-", "inspect-iteration-", "materialize-missing",
                 "materialize-surplus", "materialize-unexpected", "materialize-multiple",
                 "materialize-module-name", "materialize-function-name",
                 "materialize-output-dir", "materialize-kwargs-not-str", "materialize-surrogate")


# Declarations that resolve an upstream asset: getsourcefile and Path.resolve on every call.
RESOLVING = ("asset-upstream", "asset-marked-upstream", "asset-original-raises", "asset-full",
             "asset-inputs-changed-size", "asset-inputs-keys-changed")


def cost(row_id: str) -> str:
    """The repetition tier of a row (leakcheck.default_repeats)."""
    if row_id.startswith(("inspect-import-fails-", "inspect-getsourcefile-")) or row_id in (
            "inspect", "inspect-tuple", "inspect-module-name-not-str"):
        return "heavy"  # an import that runs again, or a record per asset (getsource)
    if row_id.startswith(("inspect", "materialize")) and not row_id.startswith(FAST_PREFIXES):
        return "slow"
    if row_id.startswith(RESOLVING) or row_id == "partitions-too-deep":
        return "slow"  # a walk through 130 nested lists on every call
    return "fast"


ROWS = DECLARATION + INSPECTION + MATERIALIZATION

# Rows that PyPy cannot run as leak checks, and why.
PYPY_SKIPS = {
    "materialize-error-type-name-fails":
        "PyPy's C-API layer aborts the process when an exception whose class has no readable "
        "__name__ reaches C code",
    # The class statement creates the subclass before its __init_subclass__ refuses it, and the
    # C-API layer keeps a class derived from a C type for good (2.4 KB each; a pure-Python class
    # that refuses the same way leaves nothing).
    "wrapper-subclass": "PyPy's C-API layer keeps every class derived from a C type",
    "partitions-subclass": "PyPy's C-API layer keeps every class derived from a C type",
    "wrapper-in-a-cycle":
        "PyPy's C-API layer never collects a cycle that runs through an object of a C type",
}


@pytest.fixture(scope="module")
def world(tmp_path_factory) -> Iterator[World]:
    made = make_world(tmp_path_factory.mktemp("leaks"))
    yield made
    drop_world(made)
    # The growth per operation, shown with `pytest -s` (leak_table.py prints the same table).
    print("\n" + leakcheck.format_table(leakcheck.RESULTS))


# Rows that leak by design on every interpreter.
KNOWN_LEAKS = {
    "wrapper-in-a-cycle":
        "the wrapper takes no part in cycle collection, so a cycle through it is never freed",
}

# Rows that leak on PyPy alone, through its C-API layer, and why.
PYPY_KNOWN_LEAKS = {
    # Every failed import defines the exception class anew; the type object that the C-API
    # layer makes for it when the exception is fetched is never freed, and it keeps the class,
    # the module's globals and the traceback (5 KB a call). A bare PyErr_Fetch of the same
    # import in an extension of ten lines does the same.
    "inspect-import-fails-bad-str":
        "PyPy's C-API layer keeps the type object of every exception class it is handed",
}


def run_row(row_id: str, build: Build, world: World) -> leakcheck.Round:
    if is_pypy and row_id in PYPY_SKIPS:
        pytest.skip(PYPY_SKIPS[row_id])
    known = KNOWN_LEAKS.get(row_id) or (PYPY_KNOWN_LEAKS.get(row_id) if is_pypy else None)
    if known:
        op = build(world)
        with op.context(), pytest.raises(AssertionError):
            leakcheck.check(op.repetition(), repeats=leakcheck.default_repeats(cost(row_id)),
                            touched=op.touched, label=row_id)
        pytest.xfail(known)
    op = build(world)
    with op.context():
        op.check_once()
        return leakcheck.check(op.repetition(), repeats=leakcheck.default_repeats(cost(row_id)),
                               touched=op.touched, label=row_id)


@pytest.mark.parametrize(("row_id", "build"), ROWS, ids=[row_id for row_id, _ in ROWS])
def test_no_leak(row_id: str, build: Build, world: World) -> None:
    run_row(row_id, build, world)


@pytest.mark.parametrize(
    "build", [b for row_id, b in MATERIALIZATION if hasattr(b, "error")],
    ids=[row_id for row_id, b in MATERIALIZATION if hasattr(b, "error")])
def test_failure_rows_record_their_error(build: Build, world: World) -> None:
    # Each run failure above takes the path it is named after: its record says so.
    build(world).check_once()
    record = (Path(world.out) / "result.json").read_text(encoding="utf-8")
    assert build.error in record and '"ok":false' in record

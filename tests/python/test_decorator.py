"""asset(...): argument checks in their order, reference strings, dict walks, the decorator."""

from __future__ import annotations

import importlib.util
import inspect
import pathlib
import sys

import pytest

from common import is_pypy
from _kevro import asset, partitions

HERE = str(pathlib.Path(__file__).resolve())


def raw():
    return [1, 2, 3]


upstream = asset()(raw)
marker = partitions(["a", "b"])


def metadata(**kwargs):
    return asset(**kwargs)(len).__kevro_metadata__


def raising(exc):
    def fail(self):
        raise exc

    return property(fail)


class KindRaises(str):
    __kevro_kind__ = raising(ZeroDivisionError("kind"))


class KindInterrupts(str):
    __kevro_kind__ = raising(KeyboardInterrupt())


@pytest.mark.parametrize(
    ("kwargs", "args", "message"),
    [
        ({}, (raw,), "asset() takes 0 positional arguments but 1 was given"),
        ({}, (1, 2), "asset() takes 0 positional arguments but 2 were given"),
        ({"foo": 1}, (), "asset() got an unexpected keyword argument 'foo'"),
        ({"name": 1, "foo": 1}, (), "asset() got an unexpected keyword argument 'foo'"),
        ({"name": 5}, (), "argument 'name': 'int' object cannot be converted to 'PyString'"),
        ({"name": b"n"}, (), "argument 'name': 'bytes' object cannot be converted to 'PyString'"),
        ({"name": 5, "serializer": 5, "inputs": [raw]}, (),
         "argument 'name': 'int' object cannot be converted to 'PyString'"),
        ({"serializer": 1.5}, (),
         "argument 'serializer': 'float' object cannot be converted to 'PyString'"),
        ({"serializer": 1, "inputs": [raw], "partitions": 3}, (),
         "argument 'serializer': 'int' object cannot be converted to 'PyString'"),
        ({"inputs": [raw]}, (), "'list' object cannot be converted to 'PyDict'"),
        ({"inputs": "data"}, (), "'str' object cannot be converted to 'PyDict'"),
        ({"inputs": {1: "x"}}, (), "'int' object cannot be converted to 'PyString'"),
        ({"inputs": {1: 42}}, (), "'int' object cannot be converted to 'PyString'"),
        ({"inputs": {"data": 42}}, (),
         "inputs values must be @asset-decorated functions or asset ref strings"),
        ({"inputs": {"data": raw}}, (),
         "inputs values must be @asset-decorated functions or asset ref strings"),
        ({"inputs": {"ok": "x", "data": None}}, (),
         "inputs values must be @asset-decorated functions or asset ref strings"),
        ({"inputs": {"data": type("NotStr", (), {"__kevro_kind__": "Asset"})()}}, (),
         "inputs values must be @asset-decorated functions or asset ref strings"),
        ({"inputs": {"data": type("Bytes", (), {"__kevro_kind__": b"asset"})()}}, (),
         "inputs values must be @asset-decorated functions or asset ref strings"),
        ({"inputs": {"data": type("Kind", (), {"__kevro_kind__": raising(ValueError())})()}}, (),
         "inputs values must be @asset-decorated functions or asset ref strings"),
        ({"partitions": ["a"]}, (), "'list' object cannot be converted to 'PyDict'"),
        ({"partitions": {2: marker}}, (), "'int' object cannot be converted to 'PyString'"),
        ({"partitions": {"ticker": ["a", "b"]}}, (),
         "partition values must be partitions([...]) instances"),
        ({"partitions": {"ticker": marker, "other": None}}, (),
         "partition values must be partitions([...]) instances"),
        ({"inputs": {"data": 42}, "partitions": {"t": 1}}, (),
         "inputs values must be @asset-decorated functions or asset ref strings"),
        ({"inputs": 1, "partitions": 1}, (), "'int' object cannot be converted to 'PyDict'"),
    ],
)
def test_type_errors_in_check_order(kwargs, args, message):
    with pytest.raises(TypeError) as excinfo:
        asset(*args, **kwargs)
    assert str(excinfo.value) == message


def test_asset_without_parentheses():
    with pytest.raises(TypeError) as excinfo:

        @asset
        def f():
            pass

    assert str(excinfo.value) == "asset() takes 0 positional arguments but 1 was given"


def test_lone_surrogates_fail_with_the_interpreters_error():
    for kwargs in ({"name": "\ud800"}, {"serializer": "\udfff"}, {"inputs": {"\ud800": "x"}},
                   {"inputs": {"k": "\ud800"}}, {"partitions": {"\ud800": marker}}):
        with pytest.raises(UnicodeEncodeError):
            asset(**kwargs)


def test_absent_and_empty_maps():
    assert metadata() == {"kind": "asset", "name": None, "serializer": None, "inputs": None,
                          "partitions": None}
    assert metadata(name=None, inputs=None, partitions=None, serializer=None) == metadata()
    meta = metadata(name="prices", inputs={}, partitions={}, serializer="pickle")
    assert meta == {"kind": "asset", "name": "prices", "serializer": "pickle", "inputs": {},
                    "partitions": {}}


def test_texts_are_kept_as_given():
    meta = metadata(name="", serializer=" é\u0000\U0001f600")
    assert meta["name"] == ""
    assert meta["serializer"] == " é\u0000\U0001f600"

    class Text(str):
        pass

    assert metadata(name=Text("sub"))["name"] == "sub"


def test_string_inputs_are_stored_verbatim():
    refs = {"a": "", "b": "not a path", "c": "/x/y.py:f", "d": "é:\u0000", "e": KindRaises("s")}
    assert metadata(inputs=refs)["inputs"] == {"a": "", "b": "not a path", "c": "/x/y.py:f",
                                               "d": "é:\u0000", "e": "s"}


def test_a_kind_lookup_that_raises_anything_means_not_an_asset():
    assert metadata(inputs={"d": KindInterrupts("text")})["inputs"] == {"d": "text"}


def test_upstream_assets_become_reference_strings():
    def local():
        pass

    local.__kevro_kind__ = "asset"

    class Original:
        __kevro_kind__ = "asset"
        __kevro_original__ = raw

    class AssetText(str):
        pass

    class SubclassKind:
        __kevro_kind__ = AssetText("asset")
        __kevro_original__ = raw

    refs = metadata(inputs={
        "wrapper": upstream,
        "wrapped_lambda": asset()(lambda: 1),
        "attributes_only": local,
        "original": Original(),
        "kind_subclass": SubclassKind(),
        "text": "kept",
    })["inputs"]
    assert refs == {
        "wrapper": HERE + ":raw",
        "wrapped_lambda": HERE + ":<lambda>",
        "attributes_only": HERE + ":local",
        "original": HERE + ":raw",
        "kind_subclass": HERE + ":raw",
        "text": "kept",
    }


def test_upstream_name_must_be_text(monkeypatch):
    monkeypatch.setattr(inspect, "getsourcefile", lambda obj: __file__)
    named = type("Named", (), {"__kevro_kind__": "asset", "__name__": 7})()
    with pytest.raises(TypeError) as excinfo:
        asset(inputs={"d": named})
    assert str(excinfo.value) == "'int' object cannot be converted to 'PyString'"

    class NameRaises:
        __kevro_kind__ = "asset"
        __name__ = raising(LookupError("no name"))

    with pytest.raises(LookupError):
        asset(inputs={"d": NameRaises()})


def test_original_lookup_failure_falls_back_to_the_asset_itself(monkeypatch):
    seen = []

    def fake_getsourcefile(obj):
        seen.append(obj)
        return __file__

    monkeypatch.setattr(inspect, "getsourcefile", fake_getsourcefile)

    class NoOriginal:
        __kevro_kind__ = "asset"
        __kevro_original__ = raising(KeyboardInterrupt())
        __name__ = "no_original"

    value = NoOriginal()
    assert metadata(inputs={"d": value})["inputs"] == {"d": HERE + ":no_original"}
    assert seen == [value]
    # A wrapper gives its function to getsourcefile, not itself.
    seen.clear()
    metadata(inputs={"d": upstream})
    assert seen == [raw]


def test_getsourcefile_returning_none_fails_like_path_none(monkeypatch):
    monkeypatch.setattr(inspect, "getsourcefile", lambda obj: None)
    with pytest.raises(TypeError) as expected:
        pathlib.Path(None)
    with pytest.raises(TypeError) as excinfo:
        asset(inputs={"data": upstream})
    assert str(excinfo.value) == str(expected.value)
    # String inputs never reach the lookup.
    assert metadata(inputs={"data": "x"})["inputs"] == {"data": "x"}


def test_builtin_without_source_fails_like_inspect():
    builtin = type("B", (), {"__kevro_kind__": "asset", "__kevro_original__": len})()
    with pytest.raises(TypeError) as expected:
        inspect.getsourcefile(len)
    with pytest.raises(TypeError) as excinfo:
        asset(inputs={"d": builtin})
    assert str(excinfo.value) == str(expected.value)


def test_resolution_errors_pass_unchanged(monkeypatch):
    class Boom(Exception):
        pass

    def resolve(self):
        raise Boom("resolve")

    monkeypatch.setattr(pathlib.Path, "resolve", resolve)
    with pytest.raises(Boom):
        asset(inputs={"d": upstream})
    monkeypatch.undo()

    monkeypatch.setitem(sys.modules, "inspect", None)
    with pytest.raises(ImportError):
        asset(inputs={"d": upstream})
    assert metadata(inputs={"d": "x"})["inputs"] == {"d": "x"}


def test_symlinked_source_file_is_resolved(tmp_path):
    real = tmp_path / "real"
    real.mkdir()
    (real / "upstream_mod.py").write_text(
        "from _kevro import asset\n\n@asset()\ndef source():\n    return 1\n", encoding="utf-8")
    linked = tmp_path / "linked"
    linked.mkdir()
    (linked / "upstream_mod.py").symlink_to(real / "upstream_mod.py")
    spec = importlib.util.spec_from_file_location("kevro_upstream_mod", linked / "upstream_mod.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    assert inspect.getsourcefile(module.source.__kevro_original__) == str(
        linked / "upstream_mod.py")
    refs = metadata(inputs={"d": module.source})["inputs"]
    assert refs == {"d": str((real / "upstream_mod.py").resolve()) + ":source"}


def test_maps_keep_the_callers_order():
    inputs = {"z": "1", "a": upstream, "m": "3"}
    dims = {"zz": marker, "b": partitions([1]), "a": partitions([])}
    meta = metadata(inputs=inputs, partitions=dims)
    assert list(meta["inputs"]) == ["z", "a", "m"]
    assert list(meta["partitions"]) == ["zz", "b", "a"]
    assert meta["partitions"] == {
        "zz": {"kind": "inline", "values_json": '["a","b"]'},
        "b": {"kind": "inline", "values_json": "[1]"},
        "a": {"kind": "inline", "values_json": "[]"},
    }
    assert list(meta["partitions"]["zz"]) == ["kind", "values_json"]


def test_many_entries_keep_their_order():
    inputs = {f"k{i}": f"v{i}" for i in range(200, 0, -1)}
    assert list(metadata(inputs=inputs)["inputs"].items()) == list(inputs.items())


def test_equal_key_texts_keep_the_first_place_and_the_last_value():
    class Key(str):
        """Distinct dict keys with the same text."""

        def __hash__(self):
            return id(self)

        def __eq__(self, other):
            return self is other

    for count in (3, 40):
        inputs = {Key("k"): "first"}
        for i in range(count):
            inputs[f"x{i}"] = "mid"
        inputs[Key("k")] = "last"
        got = metadata(inputs=inputs)["inputs"]
        assert list(got)[0] == "k" and got["k"] == "last"
        assert len(got) == count + 1
    dims = {Key("d"): marker, Key("d"): partitions([7])}
    assert metadata(partitions=dims)["partitions"] == {
        "d": {"kind": "inline", "values_json": "[7]"}}


class Hostile(dict):
    """A dict subclass whose own methods must never be called by the walk."""

    def _fail(self, *args, **kwargs):
        raise AssertionError("subclass method called")

    __getitem__ = __iter__ = __contains__ = items = keys = values = get = copy = _fail


def test_dict_subclasses_are_read_from_their_storage():
    meta = metadata(inputs=Hostile(a="x", b=upstream), partitions=Hostile(t=marker))
    assert meta["inputs"] == {"a": "x", "b": HERE + ":raw"}
    assert meta["partitions"] == {"t": {"kind": "inline", "values_json": '["a","b"]'}}


class Mutating(str):
    """A str value whose asset check runs `action` (once) during the walk."""

    def __new__(cls, text, action):
        self = super().__new__(cls, text)
        self.action = action
        return self

    @property
    def __kevro_kind__(self):
        action, self.action = self.action, lambda: None
        action()
        return "not an asset"


@pytest.mark.parametrize("kind", [dict, Hostile])
def test_dict_that_changes_size_during_the_walk(kind):
    inputs = kind(a="x")
    inputs["b"] = Mutating("m", lambda: inputs.__setitem__("c", "new"))
    with pytest.raises(RuntimeError) as excinfo:
        asset(inputs=inputs)
    assert str(excinfo.value) == "dictionary changed size during iteration"

    inputs = kind(a=Mutating("m", lambda: dict.pop(inputs, "b")), b="x")
    with pytest.raises(RuntimeError) as excinfo:
        asset(inputs=inputs)
    assert str(excinfo.value) == "dictionary changed size during iteration"


@pytest.mark.parametrize("kind", [dict, Hostile])
def test_dict_whose_keys_change_during_the_walk(kind):
    inputs = kind(a="x")

    def swap():
        dict.pop(inputs, "a")
        dict.__setitem__(inputs, "z", "new")

    inputs["b"] = Mutating("m", swap)
    with pytest.raises(RuntimeError) as excinfo:
        asset(inputs=inputs)
    assert str(excinfo.value) == "dictionary keys changed during iteration"


@pytest.mark.parametrize("kind", [dict, Hostile])
def test_dict_swap_before_the_end_is_walked_like_the_storage(kind):
    # The walk has taken fewer entries than the dict had, so the new key is simply visited.
    inputs = kind()

    def swap():
        dict.pop(inputs, "b")
        dict.__setitem__(inputs, "c", "new")

    dict.update(inputs, a=Mutating("m", swap), b="old")
    assert metadata(inputs=inputs)["inputs"] == {"a": "m", "c": "new"}


@pytest.mark.parametrize("kind", [dict, Hostile])
def test_value_replaced_during_the_walk_is_read_when_its_turn_comes(kind):
    inputs = kind()
    dict.update(inputs, a=Mutating("m", lambda: dict.__setitem__(inputs, "b", "new")), b="old")
    assert metadata(inputs=inputs)["inputs"] == {"a": "m", "b": "new"}


def test_value_dropped_during_the_walk_is_held():
    inputs = {}

    def drop():
        inputs.clear()
        inputs.update(a="other")

    inputs["a"] = Mutating("kept text", drop)
    assert metadata(inputs=inputs)["inputs"] == {"a": "kept text"}


def test_decorator_object():
    decorator = asset(name="n")
    assert decorator.__name__ == "asset_decorator"
    assert decorator.__doc__ is None  # an empty documentation string shows as None
    assert decorator.__module__ is None
    assert type(decorator).__name__ == "builtin_function_or_method"
    assert asset() is not asset()


@pytest.mark.parametrize(("args", "kwargs"), [((), {}), ((raw, raw), {}), ((), {"function": raw})])
def test_decorator_needs_exactly_one_positional(args, kwargs):
    with pytest.raises(TypeError) as excinfo:
        asset()(*args, **kwargs)
    assert str(excinfo.value) == "asset() decorator expects exactly one argument (the function)"


def test_decorator_ignores_keywords_and_accepts_anything():
    wrapper = asset(name="x")(raw, extra=1, name="ignored")
    assert wrapper.__kevro_original__ is raw
    assert wrapper.__kevro_metadata__["name"] == "x"
    for obj in (42, None, "text", asset):
        assert asset()(obj).__kevro_original__ is obj


def test_one_decorator_gives_equal_independent_wrappers():
    decorator = asset(name="n", inputs={"d": upstream}, partitions={"t": marker})

    def f():
        pass

    def g():
        pass

    first, second = decorator(f), decorator(g)
    assert first is not second
    assert first.__kevro_metadata__ == second.__kevro_metadata__
    first.__kevro_metadata__["inputs"]["d"] = "changed"
    assert second.__kevro_metadata__["inputs"] == {"d": HERE + ":raw"}
    del decorator
    assert first.__kevro_metadata__["name"] == "n"


def test_size_checks_do_not_call_the_subclass_len():
    class Lies(dict):
        calls = 0

        def __len__(self):
            Lies.calls += 1
            return 99

    counts = []
    for n in (1, 50):
        expected = {f"k{i}": "v" for i in range(n)}
        inputs = Lies(expected)
        Lies.calls = 0
        got = metadata(inputs=inputs)["inputs"]
        counts.append(Lies.calls)
        assert got == expected
    # PyPy's C-API emulation asks for the length when the dict enters C code and when its
    # keys are listed; the walk's own checks before every entry never do.
    assert counts == ([2, 2] if is_pypy else [0, 0])

"""AssetWrapper: calling through, the asset attributes, the metadata dict, immutability."""

from __future__ import annotations

import json
import gc
import weakref
from pathlib import Path

import pytest

from common import collect, is_pypy, run_python
from _kevro import AssetWrapper, asset, partitions


def f(a, b, k=0):
    """Doc of f."""
    return (a, b, k)


w = asset()(f)

ATTRIBUTES = ["__kevro_metadata__", "__kevro_kind__", "__kevro_original__", "__name__",
              "__doc__", "__module__", "__qualname__", "__wrapped__"]


def test_calls_go_through_unchanged():
    assert w(1, 2, k=3) == f(1, 2, k=3) == (1, 2, 3)
    assert w(1, 2) == (1, 2, 0)
    assert w(*[1], **{"b": 2}) == (1, 2, 0)
    assert w(1, 2, **{}) == (1, 2, 0)
    result = object()
    assert asset()(lambda: result)() is result


def test_call_errors_pass_unchanged():
    with pytest.raises(TypeError) as expected:
        f(1)
    with pytest.raises(TypeError) as excinfo:
        w(1)
    assert str(excinfo.value) == str(expected.value)

    class Boom(Exception):
        pass

    def raises():
        raise Boom("from the function")

    with pytest.raises(Boom) as excinfo:
        asset()(raises)()
    assert str(excinfo.value) == "from the function"
    with pytest.raises(TypeError) as excinfo:
        asset()(42)()
    assert str(excinfo.value) == "'int' object is not callable"


def test_keywords_arrive_as_given():
    seen = []

    def record(*args, **kwargs):
        seen.append((args, kwargs))

    wrapper = asset()(record)
    wrapper()
    wrapper(1, x=2, y=3)
    wrapper(**{"z": 1, "a": 2})
    assert seen == [((), {}), ((1,), {"x": 2, "y": 3}), ((), {"z": 1, "a": 2})]
    assert list(seen[2][1]) == ["z", "a"]


def test_forwarded_attributes_match_the_function():
    assert w.__wrapped__ is f
    assert w.__kevro_original__ is f
    assert w.__kevro_kind__ == "asset"
    assert type(w.__kevro_kind__) is str
    assert (w.__name__, w.__qualname__, w.__module__, w.__doc__) == (
        "f", "f", __name__, "Doc of f.")


def test_forwarded_attributes_are_read_on_every_access():
    def g():
        pass

    wrapper = asset()(g)
    assert wrapper.__doc__ is None
    g.__doc__ = "later doc"
    g.__name__ = "renamed"
    g.__qualname__ = "Outer.renamed"
    g.__module__ = "elsewhere"
    assert (wrapper.__doc__, wrapper.__name__, wrapper.__qualname__, wrapper.__module__) == (
        "later doc", "renamed", "Outer.renamed", "elsewhere")


def test_class_keeps_its_own_doc_and_module():
    assert AssetWrapper.__doc__ == (
        "The `@asset()` decorator wrapper. Stores the original function and metadata.")
    assert AssetWrapper.__module__ == "builtins"
    assert AssetWrapper.__name__ == AssetWrapper.__qualname__ == "AssetWrapper"
    assert AssetWrapper.__bases__ == (object,)


@pytest.mark.parametrize("name", ["__name__", "__doc__", "__module__", "__qualname__"])
def test_forwarded_attribute_errors_pass_unchanged(name):
    with pytest.raises(AttributeError) as expected:
        getattr(42, name) if name != "__doc__" else getattr(object.__new__(NoDoc), "__doc__")
    target = 42 if name != "__doc__" else object.__new__(NoDoc)
    with pytest.raises(AttributeError) as excinfo:
        getattr(asset()(target), name)
    assert str(excinfo.value) == str(expected.value)


class NoDoc:
    @property
    def __doc__(self):
        raise AttributeError("no doc here")


def test_attributes_that_cannot_fail_on_a_non_function():
    wrapper = asset()(42)
    assert wrapper.__kevro_kind__ == "asset"
    assert wrapper.__kevro_original__ == 42 and wrapper.__wrapped__ == 42
    assert wrapper.__kevro_metadata__["kind"] == "asset"


def test_minimal_metadata_in_key_order():
    meta = w.__kevro_metadata__
    assert meta == {"kind": "asset", "name": None, "serializer": None, "inputs": None,
                    "partitions": None}
    assert list(meta) == ["kind", "name", "serializer", "inputs", "partitions"]


def test_full_metadata():
    raw = asset()(f)
    wrapper = asset(name="prices", serializer="json", inputs={"data": raw, "ref": "x:y"},
                    partitions={"ticker": partitions(["a", "b"]),
                                "day": partitions([1, 2.5, None, {"k": [True]}])})(f)
    meta = wrapper.__kevro_metadata__
    assert list(meta) == ["kind", "name", "serializer", "inputs", "partitions"]
    assert meta["name"] == "prices" and meta["serializer"] == "json"
    assert meta["inputs"] == {"data": str(Path(__file__).resolve()) + ":f", "ref": "x:y"}
    assert meta["partitions"] == {
        "ticker": {"kind": "inline", "values_json": '["a","b"]'},
        "day": {"kind": "inline", "values_json": '[1,2.5,null,{"k":[true]}]'},
    }
    assert len(meta["partitions"]["ticker"]["values_json"]) == 9


def test_metadata_is_a_fresh_dict_on_every_read():
    wrapper = asset(name="n", inputs={"a": "b"}, partitions={"t": partitions(["x"])})(f)
    first, second = wrapper.__kevro_metadata__, wrapper.__kevro_metadata__
    assert first == second and first is not second
    assert first["inputs"] is not second["inputs"]
    assert first["partitions"]["t"] is not second["partitions"]["t"]
    first["name"] = "changed"
    first["inputs"]["a"] = "changed"
    first["partitions"]["t"]["values_json"] = "changed"
    del first["kind"]
    assert wrapper.__kevro_metadata__ == second
    assert second["name"] == "n"


def test_descriptor_read_returns_the_wrapper():
    seen = []
    wrapper = asset()(lambda *args: seen.append(args))

    class C:
        a = wrapper

    instance = C()
    assert instance.a is C.a is wrapper
    assert wrapper.__get__(instance, C) is wrapper
    assert wrapper.__get__(None, C) is wrapper
    assert wrapper.__get__(42) is wrapper
    instance.a("x")
    assert seen == [("x",)]
    # No descriptor write: an instance attribute of the same name shadows it.
    instance.a = "own"
    assert instance.a == "own" and C.a is wrapper


@pytest.mark.parametrize("name", ATTRIBUTES + ["extra", "__class__", "__call__"])
def test_every_assignment_and_deletion_is_refused(name):
    wrapper = asset()(f)
    with pytest.raises(AttributeError):
        setattr(wrapper, name, "x")
    with pytest.raises(AttributeError):
        delattr(wrapper, name)
    assert wrapper.__kevro_original__ is f and wrapper.__doc__ == "Doc of f."


def test_assignment_messages():
    wrapper = asset()(f)
    # Messages name the class by its type name, which PyPy shortens to the last component.
    full = "AssetWrapper" if is_pypy else "builtins.AssetWrapper"
    cases = [
        ("extra", f"'{full}' object has no attribute 'extra'"),
        ("__doc__", f"'{full}' object attribute '__doc__' is read-only"),
        ("__module__", f"'{full}' object attribute '__module__' is read-only"),
        ("__name__", f"attribute '__name__' of '{full}' objects is not writable"),
        ("__kevro_original__", f"attribute '__kevro_original__' of '{full}' objects is not writable"),
    ]
    for name, message in cases:
        with pytest.raises(AttributeError) as excinfo:
            setattr(wrapper, name, 1)
        assert str(excinfo.value) == message


def test_no_instance_dict_and_identity_semantics():
    wrapper = asset()(f)
    assert not hasattr(wrapper, "__dict__")
    with pytest.raises(TypeError):
        vars(wrapper)
    other = asset()(f)
    assert wrapper == wrapper and wrapper != other
    assert hash(wrapper) == hash(wrapper)
    assert repr(wrapper).startswith("<")


def test_wrapper_holds_and_releases_its_function():
    def g():
        pass

    ref = weakref.ref(g)
    wrapper = asset(name="n")(g)
    del g
    collect()
    assert ref() is not None and wrapper.__kevro_original__ is ref()
    del wrapper
    collect()
    assert ref() is None


@pytest.mark.skipif(is_pypy, reason="PyPy's type flags do not mirror the C slots")
def test_type_flags():
    flags = AssetWrapper.__flags__
    assert flags & (1 << 14) == 0  # no cyclic garbage collection
    assert flags & (1 << 10) == 0  # not a base type
    assert flags & (1 << 11)  # the fast call protocol
    assert not gc.is_tracked(w)


def test_worker_runs_decorated_assets_end_to_end(tmp_path):
    (tmp_path / "kevro_e2e_assets.py").write_text(
        "from kevro import asset, partitions\n"
        "\n"
        "@asset()\n"
        "def raw():\n"
        "    return [1, 2, 3]\n"
        "\n"
        "@asset(name='prices', inputs={'data': raw},\n"
        "       partitions={'ticker': partitions(['AAPL', 'MSFT'])})\n"
        "def prices(data, ticker: str) -> dict:\n"
        "    return {'ticker': ticker, 'doubled': [x * 2 for x in data]}\n",
        encoding="utf-8",
    )
    # The worker stub runs as `python -m kevro.worker`, with the assets' directory importable.
    env_code = (
        "import runpy, sys\n"
        "sys.path.insert(0, sys.argv[1])\n"
        "sys.argv = ['kevro.worker'] + sys.argv[2:]\n"
        "runpy.run_module('kevro.worker', run_name='__main__', alter_sys=True)\n"
    )
    for function, kwargs, value in [
        ("raw", None, "[1, 2, 3]"),
        ("prices", '{"data": [1, 2], "ticker": "MSFT"}', '{"ticker": "MSFT", "doubled": [2, 4]}'),
    ]:
        out = tmp_path / ("out-" + function)
        args = [str(tmp_path), "kevro_e2e_assets", function, str(out)]
        if kwargs is not None:
            args += ["--kwargs", kwargs]
        result = run_python(env_code, *args, cwd=tmp_path)
        assert result.returncode == 0, result.stderr
        assert (out / "value.json").read_text(encoding="utf-8") == value
        record = json.loads((out / "result.json").read_text(encoding="utf-8"))
        assert record["ok"] is True and record["function_name"] == function
    assert record["signature"] == "(data, ticker: str) -> dict"

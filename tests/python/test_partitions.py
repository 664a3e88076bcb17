"""partitions(values) and the Partitions marker: binding, stored keys, refusals, hostile items."""

from __future__ import annotations

import json
import sys

import pytest

from _kevro import Partitions, asset, partitions


def values_json(marker) -> str:
    """The stored keys as the asset metadata shows them (the only way to read them back)."""
    meta = asset(partitions={"d": marker})(len).__kevro_metadata__
    return meta["partitions"]["d"]["values_json"]


def nested(depth: int):
    value: list = []
    for _ in range(depth - 1):
        value = [value]
    return value


@pytest.mark.parametrize(
    ("values", "text"),
    [
        ([], "[]"),
        (["a"], '["a"]'),
        (["a", "a"], '["a","a"]'),
        (["AAPL", "MSFT", "GOOG"], '["AAPL","MSFT","GOOG"]'),
        (["é", "\U0001f600", "\t/"], '["é","\U0001f600","\\t/"]'),
        ([0, 2**64 - 1, -1, -(2**63)], "[0,18446744073709551615,-1,-9223372036854775808]"),
        ([2**64], "[1.8446744073709552e+19]"),
        ([-(2**63) - 1], "[-9.223372036854776e+18]"),
        ([10**300], "[1e+300]"),
        ([1.0, 0.5, -0.0, 1e16, 1e-6, 0.00001], "[1.0,0.5,-0.0,1e+16,1e-6,0.00001]"),
        # floats keep their own shortest digits: the reader rounds to the nearest double
        ([968.7302436888135], "[968.7302436888135]"),
        ([True, False, None], "[true,false,null]"),
        ([(1, "x"), [[]]], '[[1,"x"],[[]]]'),
        ([{"b": 1, "a": 2}], '[{"a":2,"b":1}]'),
        ([{1: "i", True: "t", None: "n", 2.5: "f"}],  # noqa: F601 (1 and True are one key)
         '[{"1":"t","2.5":"f","null":"n"}]'),
        ([{"1": "s", 1: "i"}], '[{"1":"i"}]'),
        ([nested(127)], "[" * 128 + "]" * 128),
    ],
    ids=lambda v: repr(v)[:40],
)
def test_stored_keys(values, text):
    marker = partitions(values)
    assert type(marker) is Partitions
    assert repr(marker) == f"Partitions({len(values)} values)"
    assert values_json(marker) == text


def test_repr_counts_every_key_and_str_matches():
    marker = partitions(list(range(12)))
    assert repr(marker) == str(marker) == "Partitions(12 values)"
    assert repr(partitions(["a"])) == "Partitions(1 values)"
    assert repr(partitions([])) == "Partitions(0 values)"


def test_keyword_form_and_list_subclass():
    class Hostile(list):
        def __iter__(self):
            raise AssertionError("iteration methods are not used")

        def __len__(self):
            raise AssertionError("len is not used")

        def __getitem__(self, index):
            raise AssertionError("getitem is not used")

    assert values_json(partitions(values=["x"])) == '["x"]'
    assert values_json(partitions(Hostile(["p", 1]))) == '["p",1]'


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: partitions(), "partitions() missing 1 required positional argument: 'values'"),
        (lambda: partitions([], []), "partitions() takes 1 positional arguments but 2 were given"),
        (lambda: partitions(vals=[]), "partitions() got an unexpected keyword argument 'vals'"),
        (lambda: partitions([], values=[]), "partitions() got multiple values for argument 'values'"),
        (lambda: partitions(("a", "b")), "argument 'values': 'tuple' object cannot be converted to 'PyList'"),
        (lambda: partitions("ab"), "argument 'values': 'str' object cannot be converted to 'PyList'"),
        (lambda: partitions({"a"}), "argument 'values': 'set' object cannot be converted to 'PyList'"),
        (lambda: partitions({"a": 1}), "argument 'values': 'dict' object cannot be converted to 'PyList'"),
        (lambda: partitions(x for x in []), "argument 'values': 'generator' object cannot be converted to 'PyList'"),
        (lambda: partitions(None), "argument 'values': 'NoneType' object cannot be converted to 'PyList'"),
        (lambda: Partitions(), "No constructor defined for Partitions"),
        (lambda: Partitions([1]), "No constructor defined for Partitions"),
    ],
)
def test_type_errors(call, message):
    with pytest.raises(TypeError) as excinfo:
        call()
    assert str(excinfo.value) == message


@pytest.mark.parametrize(
    ("values", "message"),
    [
        ([1, float("nan")], "expected value at line 1 column 1"),
        ([float("inf")], "expected value at line 1 column 1"),
        ([float("-inf")], "invalid number at line 1 column 2"),
        ([[1, float("nan")]], "expected value at line 1 column 5"),
        ([10**309], "number out of range at line 1 column 1"),
        (["\ud800"], "unexpected end of hex escape at line 1 column 8"),
        (["\udc00"], "lone leading surrogate in hex escape at line 1 column 7"),
        ([nested(128)], "recursion limit exceeded at line 1 column 128"),
        ([{"k": nested(127)}], "recursion limit exceeded at line 1 column 133"),
    ],
    ids=["nan", "inf", "-inf", "nested-nan", "int-overflow", "high-surrogate", "low-surrogate",
         "128-lists", "128-mixed"],
)
def test_parser_refusals(values, message):
    with pytest.raises(ValueError) as excinfo:
        partitions(values)
    assert str(excinfo.value) == "invalid partition value: " + message


def test_dumps_errors_pass_unchanged():
    with pytest.raises(TypeError) as excinfo:
        partitions(["ok", object()])
    assert str(excinfo.value) == "Object of type object is not JSON serializable"
    circular: list = []
    circular.append(circular)
    with pytest.raises(ValueError) as excinfo:
        partitions([circular])
    assert str(excinfo.value) == "Circular reference detected"


def test_item_whose_encoding_recurses_forever():
    class Endless(dict):
        def items(self):
            return [("k", Endless(k=1))]

    with pytest.raises(RecursionError):
        partitions([Endless(k=1)])
    # The interpreter is still usable afterwards.
    assert repr(partitions(["after"])) == "Partitions(1 values)"


def test_list_that_shrinks_while_an_item_is_encoded():
    values: list = []

    class Shrinks(dict):
        def items(self):
            del values[1:]
            return [("k", 1)]

    values.extend([Shrinks(k=1), "gone", "gone too"])
    marker = partitions(values)
    assert repr(marker) == "Partitions(1 values)"
    assert values_json(marker) == '[{"k":1}]'

    class Clears(dict):
        def items(self):
            values.clear()
            return [("a", 1)]

    # An empty dict is written without a call of `items`, so each hostile dict has a member.
    values[:] = ["kept", Clears(a=1), "gone"]
    assert values_json(partitions(values)) == '["kept",{"a":1}]'


def test_list_that_grows_while_an_item_is_encoded():
    values: list = []

    class Grows(dict):
        def items(self):
            values.extend(["late"] * 3)
            return [("g", 1)]

    values.extend([Grows(g=1), "b"])
    marker = partitions(values)
    assert values_json(marker) == '[{"g":1},"b"]'
    assert len(values) == 5


def test_replaced_item_is_held_while_encoded():
    values: list = []

    class Replaces(dict):
        def items(self):
            values[0] = "other"
            values[1] = "new"
            return [("x", [1, 2])]

    values.extend([Replaces(x=0), "old"])
    assert values_json(partitions(values)) == '[{"x":[1,2]},"new"]'


def test_dumps_is_looked_up_on_every_call(monkeypatch):
    calls = []

    def fake_dumps(obj, *args, **kwargs):
        calls.append((obj, args, kwargs))
        return "[1, 2]"

    monkeypatch.setattr(json, "dumps", fake_dumps)
    assert values_json(partitions(["a", "b"])) == "[[1,2],[1,2]]"
    assert calls == [("a", (), {}), ("b", (), {})]

    monkeypatch.setattr(json, "dumps", lambda obj: 5)
    with pytest.raises(TypeError) as excinfo:
        partitions(["a"])
    assert str(excinfo.value) == "'int' object cannot be converted to 'PyString'"


def test_import_failure_of_json_passes_unchanged(monkeypatch):
    monkeypatch.setitem(sys.modules, "json", None)
    with pytest.raises(ImportError):
        partitions(["a"])
    # Refused lists fail before the import is attempted.
    with pytest.raises(TypeError):
        partitions(("a",))


def test_marker_is_immutable_and_has_no_dict():
    marker = partitions(["a"])
    for statement in ("marker.extra = 1", "marker.__doc__ = 'x'", "del marker.extra"):
        with pytest.raises(AttributeError):
            exec(statement)
    assert not hasattr(marker, "__dict__")
    assert Partitions.__doc__ == (
        "Marker type returned by `partitions([...])`. Stores the static values."
    )
    assert marker == marker and marker != partitions(["a"])
    assert hash(marker) == hash(marker)


def test_one_marker_serves_several_assets_unchanged():
    marker = partitions(["a", "b"])
    first = asset(partitions={"x": marker})(len)
    second = asset(partitions={"y": marker})(len)
    assert first.__kevro_metadata__["partitions"]["x"]["values_json"] == '["a","b"]'
    assert second.__kevro_metadata__["partitions"]["y"]["values_json"] == '["a","b"]'
    assert repr(marker) == "Partitions(2 values)"

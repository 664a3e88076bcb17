"""Python object to JSON, seen where the module uses it: the "decorator_metadata" of a record is
whatever `__kevro_metadata__` holds, encoded by `json.dumps` and read back by our parser."""

from __future__ import annotations

import collections
import importlib
import json
import sys
import types

import pytest

import _kevro
from modgen import hand_marked

PREFIX = '{"assets":[{"decorator_metadata":'
SUFFIX_START = ',"file_path":"'


@pytest.fixture
def carrier(mods):
    """A module holding one asset-like object whose metadata each test sets."""
    name = mods.write("metadata_carrier", hand_marked())
    module = importlib.import_module(name)

    def convert(value) -> str:
        """The compact text that the report holds for `value`."""
        module.target.__kevro_metadata__ = value
        report = _kevro.inspect_modules([name])
        assert report.startswith(PREFIX)
        return report[len(PREFIX) : report.index(SUFFIX_START)]

    return convert


class Text(str):
    pass


class Number(int):
    pass


class Mapping(dict):
    pass


CONVERSIONS = [
    # containers, member order, key conversion
    ({"b": 1, "a": [1, 2.5, None]}, '{"a":[1,2.5,null],"b":1}'),
    ({1: "x", "1": "y"}, '{"1":"y"}'),
    ({"1": "y", 1: "x"}, '{"1":"x"}'),
    ({True: 1}, '{"true":1}'),
    ({None: 1, False: 2, 2.5: 3, -1: 4}, '{"-1":4,"2.5":3,"false":2,"null":1}'),
    ({"B": 1, "a": 2, "": 3, "\u00e9": 4, "z": 5}, '{"":3,"B":1,"a":2,"z":5,"\u00e9":4}'),
    ((1, 2), "[1,2]"),
    ([], "[]"),
    ({}, "{}"),
    ([[[]]], "[[[]]]"),
    # scalars
    (None, "null"),
    (True, "true"),
    (False, "false"),
    ("plain", '"plain"'),
    ("caf\u00e9 \U0001f600 \u2028", '"caf\u00e9 \U0001f600 \u2028"'),
    ('q"\\/\t\n\x01\x1f\x7f', '"q\\"\\\\/\\t\\n\\u0001\\u001f\x7f"'),
    # integers: unsigned, signed, and floats beyond both
    (0, "0"),
    (2**64 - 1, "18446744073709551615"),
    (2**64, "1.8446744073709552e+19"),
    (-(2**63), "-9223372036854775808"),
    (-(2**63) - 1, "-9.223372036854776e+18"),
    # floats keep their value and take the writer's layout
    (0.5, "0.5"),
    (0.1, "0.1"),
    (1.0, "1.0"),
    (-0.0, "-0.0"),
    (1e15, "1000000000000000.0"),
    (1e16, "1e+16"),
    (1e-5, "0.00001"),
    (1e-6, "1e-6"),
    (5e-324, "5e-324"),
    (1.7976931348623157e308, "1.7976931348623157e+308"),
    # read back as the nearest double: the value passed in is the value reported
    (968.7302436888135, "968.7302436888135"),
    (0.30000000000000004, "0.30000000000000004"),
    # subclasses convert like their bases
    (Text("sub"), '"sub"'),
    (Number(7), "7"),
    (Mapping(b=2, a=1), '{"a":1,"b":2}'),
    (collections.OrderedDict([("z", 1), ("a", 2)]), '{"a":2,"z":1}'),
]


@pytest.mark.parametrize("value, text", CONVERSIONS)
def test_conversion(carrier, value, text):
    assert carrier(value) == text


def test_nesting_up_to_127_levels(carrier):
    deep = []
    for _ in range(126):
        deep = [deep]
    assert carrier(deep) == "[" * 127 + "]" * 127


@pytest.mark.parametrize(
    "value, message",
    [
        ({"x": float("nan")}, "JSON parse error: expected value at line 1 column 7"),
        (float("inf"), "JSON parse error: expected value at line 1 column 1"),
        ([1, float("-inf")], "JSON parse error: invalid number at line 1 column 6"),
        (10**400, "JSON parse error: number out of range at line 1 column 1"),
        ({"k": -(10**400)}, "JSON parse error: number out of range at line 1 column 7"),
        ("\ud800", "JSON parse error: unexpected end of hex escape at line 1 column 8"),
        ({"a": "\ud800"}, "JSON parse error: unexpected end of hex escape at line 1 column 14"),
        ("\udc00", "JSON parse error: lone leading surrogate in hex escape at line 1 column 7"),
        ("\ud800\ud800", "JSON parse error: lone leading surrogate in hex escape at line 1 column 13"),
    ],
)
def test_text_the_parser_refuses(carrier, value, message):
    with pytest.raises(RuntimeError) as info:
        carrier(value)
    assert type(info.value) is RuntimeError
    assert str(info.value) == message


def test_128_levels_exceed_the_nesting_limit(carrier):
    deep = []
    for _ in range(127):
        deep = [deep]
    with pytest.raises(RuntimeError) as info:
        carrier(deep)
    assert str(info.value) == "JSON parse error: recursion limit exceeded at line 1 column 128"


def _dumps_error(value):
    with pytest.raises(Exception) as info:
        json.dumps(value)
    return info.value


circular = []
circular.append(circular)


@pytest.mark.parametrize(
    "value",
    [{1, 2}, b"bytes", object(), {(1, 2): "tuple key"}, {"when": types.SimpleNamespace()}, circular],
    ids=["set", "bytes", "object", "tuple-key", "nested-object", "circular"],
)
def test_what_json_dumps_refuses_passes_unchanged(carrier, value):
    expected = _dumps_error(value)
    with pytest.raises(type(expected)) as info:
        carrier(value)
    assert type(info.value) is type(expected)
    assert str(info.value) == str(expected)


def test_the_object_is_passed_alone_and_left_unchanged(carrier, monkeypatch):
    calls = []
    real = json.dumps

    def recording(*args, **kwargs):
        calls.append((args, kwargs))
        return real(*args, **kwargs)

    monkeypatch.setattr(json, "dumps", recording)
    value = {"b": [3, 1], "a": {"z": None}}
    assert carrier(value) == '{"a":{"z":null},"b":[3,1]}'
    assert calls == [((value,), {})]
    assert calls[0][0][0] is value
    assert value == {"b": [3, 1], "a": {"z": None}}
    assert list(value) == ["b", "a"]


@pytest.mark.parametrize(
    "result, exc_type, message",
    [
        (b"{}", TypeError, "'bytes' object cannot be converted to 'PyString'"),
        (None, TypeError, "'NoneType' object cannot be converted to 'PyString'"),
        (Text('"ok"'), None, '"ok"'),
        ("[1,]", RuntimeError, "JSON parse error: trailing comma at line 1 column 4"),
        ("1 2", RuntimeError, "JSON parse error: trailing characters at line 1 column 3"),
        ("{\n\"a\" 1}", RuntimeError, "JSON parse error: expected `:` at line 2 column 5"),
    ],
)
def test_a_replaced_dumps(carrier, monkeypatch, result, exc_type, message):
    monkeypatch.setattr(json, "dumps", lambda obj: result)
    if exc_type is None:
        assert carrier({"ignored": 1}) == message
        return
    with pytest.raises(exc_type) as info:
        carrier({"ignored": 1})
    assert str(info.value) == message


def test_json_is_imported_on_every_call(carrier, monkeypatch):
    assert carrier([1]) == "[1]"
    fake = types.ModuleType("json")
    fake.dumps = lambda obj: '"from the replacement"'
    monkeypatch.setitem(sys.modules, "json", fake)
    assert carrier([1]) == '"from the replacement"'
    monkeypatch.setitem(sys.modules, "json", None)
    with pytest.raises(ImportError) as info:
        carrier([1])
    assert str(info.value) == "import of json halted; None in sys.modules"
    monkeypatch.undo()
    assert carrier([2]) == "[2]"


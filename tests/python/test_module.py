"""Module entry: registration order, the classes' and functions' identities and texts."""

from __future__ import annotations

import pytest

import _kevro
from common import is_pypy, run_python

NAMES = ["AssetWrapper", "Partitions", "asset", "partitions", "inspect_modules", "materialize_asset"]

ASSET_DOC = (
    "asset(*, name=None, inputs=None, partitions=None, serializer=None)\n--\n\nDecorator that registers a Python function as a kevro asset.\n\nUsage\n-----\n    from kevro import asset\n\n    @asset()\n    def my_data():\n        return {\"value\": 42}\n\nParameters\n----------\nname : str, optional\n    Override the asset's display name / continuity key.\n    Defaults to ``\"<file>:<function_name>\"``.\ninputs : dict[str, asset], optional\n    Declare upstream dependencies.  Map parameter names to other\n    ``@asset``-decorated functions.  Kevro will materialize upstream\n    assets first and pass their values as keyword arguments.\n\n    Example::\n\n        @asset()\n        def raw(): return [1, 2, 3]\n\n        @asset(inputs={\"data\": raw})\n        def processed(data): return [x * 2 for x in data]\n\npartitions : dict[str, partitions(...)], optional\n    Declare a partitioned asset.  Each dimension maps to a\n    ``partitions([...])`` call that enumerates the static partition keys.\n    Kevro will create one materialization job per partition combination.\n\n    Example::\n\n        from kevro import asset, partitions\n\n        @asset(partitions={\"ticker\": partitions([\"AAPL\", \"MSFT\", \"GOOG\"])})\n        def prices(ticker: str):\n            return fetch_price(ticker)\n\nserializer : str, optional\n    Reserved for future use.  Leave unset."
)
PARTITIONS_DOC = (
    "partitions(values)\n--\n\nDeclare a static partition universe for use with ``@asset(partitions=...)``.\n\nExample::\n\n    from kevro import asset, partitions\n\n    @asset(partitions={\"ticker\": partitions([\"AAPL\", \"MSFT\", \"GOOG\"])})\n    def prices(ticker: str): ..."
)


def test_all_lists_the_six_names_in_registration_order():
    assert _kevro.__all__ == NAMES
    registered = [name for name in vars(_kevro) if name in NAMES]
    assert registered == NAMES
    assert _kevro.__name__ == "_kevro"
    assert _kevro.__doc__ == "The native `_kevro` module."


@pytest.mark.parametrize(("function", "doc"), [(_kevro.asset, ASSET_DOC), (_kevro.partitions, PARTITIONS_DOC)])
def test_function_docs_and_signatures(function, doc):
    signature, body = doc.split("\n--\n\n", 1)
    assert function.__text_signature__ == signature[len(function.__name__):]
    assert function.__doc__ == body
    assert function.__module__ == "_kevro"
    assert type(function).__name__ == "builtin_function_or_method"
    if not is_pypy:  # PyPy's builtin functions have no __self__
        assert function.__self__ is _kevro


@pytest.mark.parametrize(
    ("cls", "doc"),
    [
        (_kevro.AssetWrapper,
         "The `@asset()` decorator wrapper. Stores the original function and metadata."),
        (_kevro.Partitions, "Marker type returned by `partitions([...])`. Stores the static values."),
    ],
)
def test_classes(cls, doc):
    name = cls.__name__
    assert cls.__doc__ == doc
    assert cls.__text_signature__ is None
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    for args in ((), (1,), ("x", 2)):
        with pytest.raises(TypeError) as excinfo:
            cls(*args)
        assert str(excinfo.value) == f"No constructor defined for {name}"
    with pytest.raises(TypeError) as excinfo:
        cls.__new__(cls)
    assert str(excinfo.value) == f"No constructor defined for {name}"


@pytest.mark.parametrize("cls", [_kevro.AssetWrapper, _kevro.Partitions])
def test_classes_cannot_be_subclassed(cls):
    # Worded as the interpreter words it, with the type's name as the interpreter spells it.
    message = f"type '{cls.__name__ if is_pypy else 'builtins.' + cls.__name__}' is not an acceptable base type"
    with pytest.raises(TypeError) as excinfo:

        class Sub(cls):
            pass

    assert str(excinfo.value) == message
    with pytest.raises(TypeError) as excinfo:
        type("Sub", (cls,), {})
    assert str(excinfo.value) == message
    with pytest.raises(TypeError):

        class Mixed(int, cls):
            pass


def test_reimport_gives_the_same_module_and_objects():
    result = run_python(
        """
        import sys
        import _kevro as first
        objects = [getattr(first, name) for name in first.__all__]
        del sys.modules["_kevro"]
        import _kevro as second
        assert second.__all__ == first.__all__, second.__all__
        assert len(second.__all__) == 6
        assert [getattr(second, name) for name in second.__all__] == objects
        assert all(a is b for a, b in zip(objects, [getattr(second, n) for n in second.__all__]))
        print("same module" if second is first else "same objects")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == ("same objects\n" if is_pypy else "same module\n")


def test_package_reexports_the_declaration_api():
    import kevro

    for name in ("asset", "partitions", "AssetWrapper", "Partitions"):
        assert getattr(kevro, name) is getattr(_kevro, name)
    assert sorted(kevro.__all__) == ["AssetWrapper", "Partitions", "asset", "partitions"]


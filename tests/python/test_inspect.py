"""inspect_modules(): argument conversion, imports and warnings, the asset filter, the record
fields, failures that end the call, and ownership under repetition."""

from __future__ import annotations

import builtins
import contextlib
import importlib
import inspect
import sys
import types
from pathlib import Path

import pytest

import _kevro
import leakcheck
from common import collect, run_python
from modgen import compact, hand_marked, records, version_text

inspect_modules = _kevro.inspect_modules

has_decorator = hasattr(_kevro, "asset") and hasattr(_kevro, "partitions")


def interpreter_error(call, *args):
    """The exception the interpreter itself raises for `call(*args)`."""
    with pytest.raises(BaseException) as info:
        call(*args)
    return info.value


def ended_by(exc_type, /, *args, **kwargs) -> BaseException:
    """The exception, of exc_type, that inspect_modules(*args, **kwargs) ends with."""
    with pytest.raises(exc_type) as info:
        inspect_modules(*args, **kwargs)
    return info.value


@contextlib.contextmanager
def replaced(obj, attribute, value):
    """Replaces an attribute only around the call under test (for objects pytest reads too)."""
    old = getattr(obj, attribute)
    setattr(obj, attribute, value)
    try:
        yield
    finally:
        setattr(obj, attribute, old)


# --- binding and documentation ------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "inspect_modules() missing 1 required positional argument: 'modules'"),
        (([], []), {}, "inspect_modules() takes 1 positional arguments but 2 were given"),
        ((), {"names": []}, "inspect_modules() got an unexpected keyword argument 'names'"),
        (([],), {"modules": []}, "inspect_modules() got multiple values for argument 'modules'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    assert str(ended_by(TypeError, *args, **kwargs)) == message


def test_keyword_form_and_documentation():
    assert inspect_modules(modules=[]) == '{"assets":[]}'
    assert inspect_modules.__text_signature__ == "(modules)"
    assert inspect_modules.__doc__ == (
        "Inspect modules for kevro assets. Called by the `python -m kevro.inspect` CLI stub.\n\n"
        'Imports each module, finds functions with `__kevro_kind__ == "asset"`,\n'
        "extracts source and metadata, returns JSON string to stdout."
    )
    assert type(inspect_modules).__name__ == "builtin_function_or_method"
    assert inspect_modules.__module__ == "_kevro"


# --- conversion of `modules` ----------------------------------------------------------------


class StrSub(str):
    pass


@pytest.mark.parametrize(
    "value, message",
    [
        ("pkg.mod", "argument 'modules': Can't extract `str` to `Vec`"),
        (StrSub("pkg.mod"), "argument 'modules': Can't extract `str` to `Vec`"),
        ({"pkg.mod"}, "argument 'modules': 'set' object cannot be converted to 'Sequence'"),
        ({"pkg.mod": 1}, "argument 'modules': 'dict' object cannot be converted to 'Sequence'"),
        ((m for m in ["x"]), "argument 'modules': 'generator' object cannot be converted to 'Sequence'"),
        (None, "argument 'modules': 'NoneType' object cannot be converted to 'Sequence'"),
        (3, "argument 'modules': 'int' object cannot be converted to 'Sequence'"),
        (b"ab", "argument 'modules': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_modules_of_the_wrong_kind(value, message):
    assert str(ended_by(TypeError, value)) == message


def test_whole_list_is_converted_before_any_import(mods, capfd):
    first = mods.write("first_ok", "x = 1\n")
    for bad, message in [
        ([first, 7], "argument 'modules': 'int' object cannot be converted to 'PyString'"),
        ([first, "nosuch_mod_a", b"x"], "argument 'modules': 'bytes' object cannot be converted to 'PyString'"),
    ]:
        assert str(ended_by(TypeError, bad)) == message
    with pytest.raises(UnicodeEncodeError):
        inspect_modules([first, "bad\ud800name"])
    assert first not in sys.modules
    assert capfd.readouterr().err == ""


def test_tuple_str_subclass_and_duplicates_are_accepted(mods):
    name = mods.write("tuple_ok", "x = 1\n")
    assert inspect_modules((name, StrSub(name), name)) == '{"assets":[]}'
    assert name in sys.modules


class LyingSequence:
    """Passes the sequence test; its length raises, or claims far more items than it has."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize("length", [ValueError("no length"), TypeError("nope"), 2**62, 0])
def test_the_length_only_sizes_the_list(mods, length):
    name = mods.write("lying_len", "x = 1\n")
    assert inspect_modules(LyingSequence([name], length)) == '{"assets":[]}'
    assert name in sys.modules


class FailingSequence:
    def __init__(self, exc):
        self.exc = exc

    def __len__(self):
        return 2

    def __getitem__(self, index):
        if index == 0:
            return "nosuch_never_imported"
        raise self.exc


class TypeErrorChild(TypeError):
    pass


def test_iteration_type_error_is_reported_against_the_argument(capfd):
    cause = KeyError("root")
    exc = TypeError("bad item 1")
    exc.__cause__ = cause
    with pytest.raises(TypeError) as info:
        inspect_modules(FailingSequence(exc))
    assert type(info.value) is TypeError
    assert str(info.value) == "argument 'modules': bad item 1"
    assert info.value.__cause__ is cause
    assert capfd.readouterr().err == ""  # nothing was imported, so nothing was skipped


@pytest.mark.parametrize("exc", [TypeErrorChild("child"), ValueError("value"), KeyboardInterrupt()])
def test_other_iteration_errors_pass_unchanged(exc):
    assert ended_by(type(exc), FailingSequence(exc)) is exc


# --- the standard modules and the version --------------------------------------------------


def test_the_five_standard_modules_are_imported_in_order_on_every_call(monkeypatch):
    for name in ("importlib", "inspect", "textwrap", "sys", "pathlib"):
        importlib.import_module(name)
    seen = []
    real_import = builtins.__import__

    def recording_import(name, *args, **kwargs):
        seen.append(name)
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", recording_import)
    assert inspect_modules([]) == '{"assets":[]}'
    assert inspect_modules(()) == '{"assets":[]}'
    monkeypatch.undo()
    assert seen == ["importlib", "inspect", "textwrap", "sys", "pathlib"] * 2


def test_a_standard_module_that_fails_to_import_ends_the_call(monkeypatch):
    monkeypatch.setitem(sys.modules, "textwrap", None)
    assert str(ended_by(ImportError, [])) == "import of textwrap halted; None in sys.modules"


@pytest.mark.parametrize(
    "micro, text",
    [(2**63 - 1, "3.9.9223372036854775807"), (True, "3.9.1"), (-5, "3.9.-5")],
)
def test_version_parts_are_signed_64_bit_integers(mods, micro, text):
    name = mods.write(
        "versioned",
        """\
        from kfake import fake_asset

        @fake_asset()
        def a():
            pass
        """,
    )
    importlib.import_module(name)
    with replaced(sys, "version_info", types.SimpleNamespace(major=3, minor=9, micro=micro)):
        report = inspect_modules([name])
    assert [r["python_version"] for r in records(report)] == [text]


@pytest.mark.parametrize(
    "version, exc_type, message",
    [
        (types.SimpleNamespace(major=3, minor="9", micro=0), TypeError, "'str' object cannot be interpreted as an integer"),
        (types.SimpleNamespace(major=3, minor=9.0, micro=0), TypeError, "'float' object cannot be interpreted as an integer"),
        (types.SimpleNamespace(major=3, minor=9), AttributeError, None),
        (types.SimpleNamespace(major=3, minor=9, micro=2**63), OverflowError, None),
    ],
)
def test_a_version_that_cannot_be_read_ends_the_call_even_for_no_modules(version, exc_type, message):
    with replaced(sys, "version_info", version):
        with pytest.raises(exc_type) as info:
            inspect_modules([])
    if message is not None:
        assert str(info.value) == message


# --- modules that fail to import -------------------------------------------------------------

FAILING_MODULES = {
    "raises": ("raise ValueError('bad config')\n", "ValueError: bad config"),
    "exits": ("import sys\nsys.exit(3)\n", "SystemExit: 3"),
    "interrupted": ("raise KeyboardInterrupt\n", "KeyboardInterrupt: "),
    "nested_class": (
        "class Outer:\n    class Boom(Exception):\n        pass\nraise Outer.Boom('x y')\n",
        "Outer.Boom: x y",
    ),
    "str_fails": (
        "class Broken(Exception):\n    def __str__(self):\n        raise RuntimeError('no')\nraise Broken()\n",
        "Broken: <exception str() failed>",
    ),
    "surrogate": ("raise ValueError('bad \\ud800 text')\n", "ValueError: bad \ufffd\ufffd\ufffd text"),
    "multi_line": ("raise ValueError('one\\ntwo')\n", "ValueError: one\ntwo"),
}


@pytest.mark.parametrize("kind", sorted(FAILING_MODULES))
def test_failing_import_writes_one_warning_and_is_skipped(mods, capfd, kind):
    source, display = FAILING_MODULES[kind]
    bad = mods.write(f"broken_{kind}", source)
    good = mods.write(
        "good_one",
        """\
        from kfake import fake_asset

        @fake_asset()
        def kept():
            pass
        """,
    )
    report = inspect_modules([bad, good])
    assert [r["function_name"] for r in records(report)] == ["kept"]
    captured = capfd.readouterr()
    assert captured.err == f"kevro: skipping module '{bad}': {display}\n"
    assert captured.out == ""


def test_missing_relative_and_syntax_error_modules(mods, capfd):
    syntax = mods.write("broken_syntax", "def f(:\n    pass\n")
    report = inspect_modules(["nosuch_kevro_mod", ".relative", syntax])
    assert report == '{"assets":[]}'
    syntax_error = interpreter_error(importlib.import_module, syntax)
    assert type(syntax_error) is SyntaxError
    assert capfd.readouterr().err == (
        "kevro: skipping module 'nosuch_kevro_mod': ModuleNotFoundError: No module named 'nosuch_kevro_mod'\n"
        "kevro: skipping module '.relative': TypeError: the 'package' argument is required to "
        "perform a relative import for '.relative'\n"
        f"kevro: skipping module '{syntax}': SyntaxError: {syntax_error}\n"
    )


def test_each_warning_is_written_before_the_next_name_is_taken(mods, capfd):
    bad = mods.write("broken_first", "raise LookupError('first')\n")
    marker = mods.write("marks_fd2", "import os\nos.write(2, b'imported second\\n')\n")
    inspect_modules([bad, marker, "nosuch_third"])
    assert capfd.readouterr().err == (
        f"kevro: skipping module '{bad}': LookupError: first\n"
        "imported second\n"
        "kevro: skipping module 'nosuch_third': ModuleNotFoundError: No module named 'nosuch_third'\n"
    )


def test_warning_goes_to_fd_2_not_sys_stderr(tmp_path):
    # A child process, so that the descriptor itself is what the parent reads.
    (tmp_path / "broken_child.py").write_text("raise RuntimeError('x' * 300000)\n")
    result = run_python(
        """
        import io, sys
        import _kevro
        sys.path.insert(0, sys.argv[1])
        replaced = io.StringIO()
        sys.stderr = replaced
        report = _kevro.inspect_modules(["broken_child", "nosuch_child"])
        sys.stderr = sys.__stderr__
        print(report)
        print(repr(replaced.getvalue()))
        """,
        str(tmp_path),
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == '{"assets":[]}\n\'\'\n'
    assert result.stderr == (
        "kevro: skipping module 'broken_child': RuntimeError: " + "x" * 300000 + "\n"
        "kevro: skipping module 'nosuch_child': ModuleNotFoundError: No module named 'nosuch_child'\n"
    )


def test_an_imported_module_is_not_run_again(mods):
    name = mods.write("counted", "import builtins\nbuiltins.kevro_test_runs = getattr(builtins, 'kevro_test_runs', 0) + 1\n")
    try:
        inspect_modules([name, name])
        inspect_modules([name])
        assert builtins.kevro_test_runs == 1
    finally:
        del builtins.kevro_test_runs


# --- module sources --------------------------------------------------------------------------


def test_a_module_without_source_ends_the_call(mods, capfd):
    good = mods.write(
        "has_asset",
        """\
        from kfake import fake_asset

        @fake_asset()
        def a():
            pass
        """,
    )
    for module in (sys, _kevro):
        expected = interpreter_error(inspect.getsource, module)
        assert str(ended_by(type(expected), ["nosuch_before", good, module.__name__])) == str(expected)
    # The warning of the earlier name was written all the same.
    assert capfd.readouterr().err.count("kevro: skipping module 'nosuch_before'") == 2


def test_an_empty_file_has_no_source(mods):
    name = mods.write("empty_file", "")
    module = importlib.import_module(name)
    expected = interpreter_error(inspect.getsource, module)
    assert str(ended_by(type(expected), [name])) == str(expected)


def test_a_module_without_assets_contributes_nothing(mods):
    name = mods.write("no_assets", "# nothing but a comment\nVALUE = 1\n")
    assert inspect_modules([name]) == '{"assets":[]}'


# --- the filter ------------------------------------------------------------------------------

FILTER_MODULE = """\
from kfake import FakeAsset


def target():
    return 1


class RaisingKind:
    def __init__(self, exc):
        self.exc = exc
        self.__kevro_metadata__ = {{}}
        self.__kevro_original__ = target

    @property
    def __kevro_kind__(self):
        raise self.exc


class AssetText(str):
    pass


member = {member}
"""


@pytest.mark.parametrize(
    "member, is_asset",
    [
        ("FakeAsset(target, {}, 'asset')", True),
        ("FakeAsset(target, {}, AssetText('asset'))", True),
        ("FakeAsset(target, {}, 'Asset')", False),
        ("FakeAsset(target, {}, 'asset ')", False),
        ("FakeAsset(target, {}, ' asset')", False),
        ("FakeAsset(target, {}, 'assets')", False),
        ("FakeAsset(target, {}, b'asset')", False),
        ("FakeAsset(target, {}, None)", False),
        ("FakeAsset(target, {}, 1)", False),
        ("FakeAsset(target, {}, 'asset\\ud800')", False),
        ("FakeAsset(target, {}, '\\udcff')", False),
        ("RaisingKind(ValueError('kind'))", False),
        ("RaisingKind(KeyboardInterrupt())", False),
        ("RaisingKind(SystemExit(2))", False),
    ],
)
def test_only_the_exact_text_asset_marks_an_asset(mods, member, is_asset):
    name = mods.write("filtered", FILTER_MODULE.format(member=member))
    names = [r["function_name"] for r in records(inspect_modules([name]))]
    assert names == (["target"] if is_asset else [])


def test_a_plain_function_with_the_mark_is_its_own_original(mods):
    name = mods.write(
        "plain_mark",
        """\
        def standalone(x: int) -> float:
            return x / 2

        standalone.__kevro_kind__ = "asset"
        standalone.__kevro_metadata__ = {"kind": "asset", "name": "half"}
        """,
    )
    (record,) = records(inspect_modules([name]))
    assert record["function_name"] == "standalone"
    assert record["decorator_metadata"] == {"kind": "asset", "name": "half"}
    assert record["function_source"] == "def standalone(x: int) -> float:\n    return x / 2\n"
    assert record["return_type"] == "float"


def test_an_unreadable_original_falls_back_to_the_member(mods):
    name = mods.write(
        "no_original",
        """\
        class Meta(type):
            @property
            def __kevro_original__(cls):
                raise KeyboardInterrupt("never mind")


        class Widget(metaclass=Meta):
            __kevro_kind__ = "asset"
            __kevro_metadata__ = {"kind": "asset"}

            def __init__(self) -> None:
                pass
        """,
    )
    (record,) = records(inspect_modules([name]))
    assert record["function_name"] == "Widget"
    assert record["function_source"].startswith("class Widget(metaclass=Meta):\n")
    # The signature of a class is that of its __init__ without `self`, annotation included.
    assert record["return_type"] == "None"


def test_missing_metadata_ends_the_call(mods):
    name = mods.write("no_metadata", hand_marked(metadata=None))
    module = importlib.import_module(name)
    expected = interpreter_error(getattr, module.target, "__kevro_metadata__")
    assert str(ended_by(AttributeError, [name])) == str(expected)


@pytest.mark.parametrize("exc", [RuntimeError("metadata broke"), KeyboardInterrupt("stop")])
def test_raising_metadata_ends_the_call_unchanged(mods, exc):
    name = mods.write(
        "raising_metadata",
        """\
        class Odd:
            @property
            def __kevro_metadata__(self):
                raise self.exc


        def target():
            pass

        odd = Odd()
        odd.__kevro_kind__ = "asset"
        odd.__kevro_original__ = target
        """,
    )
    importlib.import_module(name).Odd.exc = exc
    assert ended_by(type(exc), [name]) is exc


@pytest.mark.parametrize(
    "metadata, exc_type, message",
    [
        ({"tags": {"a"}}, TypeError, "Object of type set is not JSON serializable"),
        ({"x": float("nan")}, RuntimeError, "JSON parse error: expected value at line 1 column 7"),
    ],
)
def test_metadata_that_cannot_be_converted_ends_the_call(mods, metadata, exc_type, message):
    name = mods.write(
        "bad_metadata",
        """\
        from kfake import fake_asset

        @fake_asset()
        def a():
            pass
        """,
    )
    importlib.import_module(name).a.__kevro_metadata__ = metadata
    assert str(ended_by(exc_type, [name])) == message


# --- function fields -------------------------------------------------------------------------


def test_function_source_failure_ends_the_call(mods):
    name = mods.write(
        "unsourced",
        """\
        from kfake import FakeAsset

        number = FakeAsset(42, {}, "asset")
        """,
    )
    expected = interpreter_error(inspect.getsource, 42)
    assert str(ended_by(TypeError, [name])) == str(expected)


def _patch_source(monkeypatch, target, text="def target():\n    pass\n"):
    """Makes inspect.getsource answer for `target` (whatever it is) and defer otherwise."""
    real = inspect.getsource

    def getsource(obj):
        return text if obj is target else real(obj)

    monkeypatch.setattr(inspect, "getsource", getsource)


def test_function_name_that_cannot_be_read_ends_the_call(mods, monkeypatch):
    name = mods.write(
        "nameless",
        """\
        import functools
        from kfake import FakeAsset

        part = functools.partial(print, "x")
        wrapped = FakeAsset(part, {}, "asset")
        """,
    )
    module = importlib.import_module(name)
    _patch_source(monkeypatch, module.part)
    expected = interpreter_error(getattr, module.part, "__name__")
    assert str(ended_by(AttributeError, [name])) == str(expected)


def test_function_name_with_a_lone_surrogate_ends_the_call(mods):
    name = mods.write(
        "surrogate_name",
        """\
        from kfake import fake_asset

        def f():
            pass

        f.__name__ = "f\\udc80"
        wrapped = fake_asset()(f)
        """,
    )
    with pytest.raises(UnicodeEncodeError):
        inspect_modules([name])


ONE_ASSET = """\
from kfake import fake_asset

@fake_asset()
def target():
    pass
"""


def test_getsourcefile_raising_gives_an_empty_file_path(mods, monkeypatch):
    name = mods.write("path_raises", ONE_ASSET)
    target = importlib.import_module(name).target.__kevro_original__
    real = inspect.getsourcefile

    def getsourcefile(obj):
        if obj is target:
            raise KeyboardInterrupt("no file")
        return real(obj)

    monkeypatch.setattr(inspect, "getsourcefile", getsourcefile)
    _patch_source(monkeypatch, target)
    (record,) = records(inspect_modules([name]))
    assert record["file_path"] == ""
    assert record["function_source"] == "def target():\n    pass\n"
    assert record["function_name"] == "target"
    assert record["module_path"] == name
    assert record["return_type"] is None


def test_getsourcefile_returning_none_ends_the_call(mods, monkeypatch):
    name = mods.write("path_none", ONE_ASSET)
    target = importlib.import_module(name).target.__kevro_original__
    real = inspect.getsourcefile
    monkeypatch.setattr(inspect, "getsourcefile", lambda obj: None if obj is target else real(obj))
    _patch_source(monkeypatch, target)
    expected = interpreter_error(Path, None)
    assert str(ended_by(TypeError, [name])) == str(expected)


def test_file_path_resolves_symbolic_links(tmp_path, mods):
    real_dir = tmp_path / "real"
    (real_dir / "linkedpkg").mkdir(parents=True)
    (real_dir / "linkedpkg" / "__init__.py").write_text("")
    (real_dir / "linkedpkg" / "impl.py").write_text(hand_marked())
    # The directory on sys.path is a link, and so is the module file inside the package.
    (real_dir / "linkedpkg" / "alias.py").symlink_to(real_dir / "linkedpkg" / "impl.py")
    link_dir = tmp_path / "link"
    link_dir.symlink_to(real_dir)
    mods.add_path(link_dir)
    mods._top_names.append("linkedpkg")
    importlib.invalidate_caches()
    report = records(inspect_modules(["linkedpkg.impl", "linkedpkg.alias"]))
    expected = str((real_dir / "linkedpkg" / "impl.py").resolve())
    assert [r["file_path"] for r in report] == [expected, expected]
    assert [r["module_path"] for r in report] == ["linkedpkg.impl", "linkedpkg.alias"]


def test_sources_are_dedented_stripped_and_end_in_one_line_feed(mods):
    source = (
        "\n\n   \n"
        "from kfake import fake_asset\n"
        "\n"
        "if True:\n"
        "    @fake_asset()\n"
        "    def indented(a,\n"
        "                 b):\n"
        "        return a  # trailing spaces   \n"
        "\n\n"
        "try:\n"
        "\t@fake_asset()\n"
        "\tdef tabbed():\n"
        "\t\treturn 'caf\u00e9 \U0001f600'\n"
        "except Exception:\n"
        "    pass\n"
        "   \n\n\t\n"
    )
    name = mods.write("indented", source, dedent=False)
    by_name = {r["function_name"]: r for r in records(inspect_modules([name]))}
    assert by_name["indented"]["function_source"] == (
        "@fake_asset()\ndef indented(a,\n             b):\n    return a  # trailing spaces\n"
    )
    assert by_name["tabbed"]["function_source"] == "@fake_asset()\ndef tabbed():\n\treturn 'caf\u00e9 \U0001f600'\n"
    assert by_name["tabbed"]["module_source"] == source.strip() + "\n"


class Holder:
    class Inner:
        pass


RETURN_TYPES = [
    ("", None),
    (" -> int", "int"),
    (" -> None", "None"),
    (" -> 'pd.DataFrame'", "pd.DataFrame"),
    (" -> 'caf\u00e9'", "caf\u00e9"),
    (" -> typing.List[int]", str(__import__("typing").List[int])),
    (" -> typing.Optional[str]", str(__import__("typing").Optional[str])),
    (" -> Holder.Inner", "Inner"),
    (" -> collections.OrderedDict", "OrderedDict"),
]


@pytest.mark.parametrize("annotation, expected", RETURN_TYPES)
def test_return_type_rules(mods, annotation, expected):
    name = mods.write(
        "annotated",
        f"""\
import collections
import typing
from kfake import fake_asset


class Holder:
    class Inner:
        pass


@fake_asset()
def target(){annotation}:
    pass
""",
        dedent=False,
    )
    (record,) = records(inspect_modules([name]))
    assert record["return_type"] == expected


def test_postponed_annotations_are_their_text(mods):
    name = mods.write(
        "postponed",
        """\
        from __future__ import annotations
        from kfake import fake_asset

        @fake_asset()
        def a() -> int:
            pass

        @fake_asset()
        def b() -> dict[str, list[int]]:
            pass
        """,
    )
    assert [r["return_type"] for r in records(inspect_modules([name]))] == ["int", "dict[str, list[int]]"]


def test_signature_failure_ends_the_call(mods):
    name = mods.write(
        "module_original",
        """\
        import json
        from kfake import FakeAsset

        odd = FakeAsset(json, {}, "asset")
        """,
    )
    import json

    expected = interpreter_error(inspect.signature, json)
    assert str(ended_by(TypeError, [name])) == str(expected)


@pytest.mark.parametrize(
    "annotation, exc_type",
    [("'bad\\ud800'", UnicodeEncodeError), ("Unprintable()", ZeroDivisionError)],
)
def test_annotation_text_failures_end_the_call(mods, annotation, exc_type):
    name = mods.write(
        "bad_annotation",
        f"""\
from kfake import fake_asset


class Unprintable:
    def __str__(self):
        return 1 // 0


@fake_asset()
def target() -> {annotation}:
    pass
""",
        dedent=False,
    )
    with pytest.raises(exc_type):
        inspect_modules([name])


def test_module_name_must_be_text(mods):
    name = mods.write(
        "renamed_module",
        """\
        from kfake import fake_asset

        @fake_asset()
        def a():
            pass

        __name__ = 5
        """,
    )
    assert str(ended_by(TypeError, [name])) == "'int' object cannot be converted to 'PyString'"


@pytest.mark.parametrize(
    "members, exc_type, message",
    [
        ([["a", 1]], TypeError, "'list' object cannot be converted to 'PyTuple'"),
        (None, TypeError, "'NoneType' object is not iterable"),
    ],
)
def test_getmembers_result_must_be_tuples(mods, monkeypatch, members, exc_type, message):
    name = mods.write("members_patched", "x = 1\n")
    importlib.import_module(name)
    monkeypatch.setattr(inspect, "getmembers", lambda module: members)
    assert str(ended_by(exc_type, [name])) == message


# --- the report ------------------------------------------------------------------------------


def test_report_text_for_one_asset(mods):
    name = mods.write(
        "shop_orders",
        """\
        from kfake import fake_asset

        @fake_asset({"kind": "asset", "name": "orders", "tags": ["a\\tb", "\\u00e9"], "n": -3})
        def daily_total() -> int:
            return 1
        """,
    )
    path = str(mods.path_of(name).resolve())
    report = inspect_modules([name])
    module_source = (
        "from kfake import fake_asset\n\n"
        '@fake_asset({"kind": "asset", "name": "orders", "tags": ["a\\tb", "\\u00e9"], "n": -3})\n'
        "def daily_total() -> int:\n    return 1\n"
    )
    expected = {
        "assets": [
            {
                "decorator_metadata": {"kind": "asset", "n": -3, "name": "orders", "tags": ["a\tb", "\u00e9"]},
                "file_path": path,
                "function_name": "daily_total",
                "function_source": module_source.split("\n\n", 1)[1],
                "kind": "asset",
                "module_path": name,
                "module_source": module_source,
                "python_version": version_text(),
                "return_type": "int",
            }
        ]
    }
    assert report == compact(expected)
    assert '"tags":["a\\tb","\u00e9"]' in report


def test_no_de_duplication(mods):
    source_module = mods.write(
        "dup_source",
        """\
        from kfake import fake_asset

        @fake_asset()
        def shared():
            pass

        alias = shared
        """,
    )
    importer = mods.write("dup_importer", f"from {source_module} import shared\n")
    report = records(inspect_modules([source_module, importer, source_module]))
    assert [(r["module_path"], r["function_name"]) for r in report] == [
        (source_module, "shared"),
        (source_module, "shared"),
        (importer, "shared"),
        (source_module, "shared"),
        (source_module, "shared"),
    ]
    assert report[0] == report[1] == report[3] == report[4]
    assert report[2]["module_source"] == f"from {source_module} import shared\n"
    assert report[2]["file_path"] == report[0]["file_path"]
    assert report[2]["function_source"] == report[0]["function_source"]


def test_records_follow_member_names_not_definition_order(mods):
    name = mods.write(
        "ordered",
        """\
        from kfake import fake_asset

        @fake_asset()
        def zeta():
            pass

        @fake_asset()
        def alpha():
            pass

        beta = zeta
        """,
    )
    assert [r["function_name"] for r in records(inspect_modules([name]))] == ["alpha", "zeta", "zeta"]


# --- the real decorator ----------------------------------------------------------------------


@pytest.mark.skipif(not has_decorator, reason="the asset decorator is not built")
def test_assets_made_by_the_decorator(mods):
    name = mods.write(
        "real_assets",
        """\
        from kevro import asset, partitions

        @asset()
        def raw() -> list:
            return [1, 2, 3]

        @asset(
            name="by_day",
            inputs={"data": raw, "ext": "elsewhere.py:thing"},
            partitions={
                "day": partitions(["2024-01-01", "2024-01-02"]),
                "region": partitions(["eu", 7, None, 2.5]),
            },
            serializer="json",
        )
        def processed(data, ext, day: str, region) -> "dict[str, int]":
            return {}
        """,
    )
    path = str(mods.path_of(name).resolve())
    report = records(inspect_modules([name]))
    assert [r["function_name"] for r in report] == ["processed", "raw"]
    processed, raw = report
    assert processed["decorator_metadata"] == {
        "inputs": {"data": f"{path}:raw", "ext": "elsewhere.py:thing"},
        "kind": "asset",
        "name": "by_day",
        "partitions": {
            "day": {"kind": "inline", "values_json": '["2024-01-01","2024-01-02"]'},
            "region": {"kind": "inline", "values_json": '["eu",7,null,2.5]'},
        },
        "serializer": "json",
    }
    assert raw["decorator_metadata"] == {
        "inputs": None,
        "kind": "asset",
        "name": None,
        "partitions": None,
        "serializer": None,
    }
    assert processed["return_type"] == "dict[str, int]"
    assert raw["return_type"] == "list"
    assert raw["function_source"] == "@asset()\ndef raw() -> list:\n    return [1, 2, 3]\n"
    assert {r["file_path"] for r in report} == {path}


# --- ownership -------------------------------------------------------------------------------


def test_repeated_calls_release_what_they_take(mods):
    name = mods.write(
        "fresh_objects",
        """\
        import weakref

        created = []


        class Meta(dict):
            pass


        def target() -> int:
            pass


        class Fresh:
            @property
            def __kevro_metadata__(self):
                meta = Meta(kind="asset", blob="x" * 200000)
                created.append(weakref.ref(meta))
                return meta

            @property
            def __kevro_original__(self):
                fn = type(target)(target.__code__, target.__globals__, "target")
                fn.__annotations__ = dict(target.__annotations__)
                created.append(weakref.ref(fn))
                return fn


        fresh = Fresh()
        fresh.__kevro_kind__ = "asset"
        """,
    )
    module = importlib.import_module(name)
    for _ in range(20):
        inspect_modules([name])
    collect()
    assert len(module.created) == 40
    assert [ref() for ref in module.created] == [None] * 40

    # Each call handles about 400 KB of metadata text; a leak of it grows with the calls. (The
    # weak references that the module records are dropped on each call: they are the test's.)
    assert len(inspect_modules([name])) > 200000
    leakcheck.check(lambda: (inspect_modules([name]), module.created.clear()), repeats=200,
                    label="large metadata")


def test_repeated_failing_calls_do_not_crash(mods, capfd):
    bad = mods.write("repeat_bad", "raise ValueError('again')\n")
    meta = mods.write(
        "repeat_meta",
        """\
        from kfake import fake_asset

        @fake_asset({"s": {1, 2}})
        def a():
            pass
        """,
    )
    for _ in range(200):
        with pytest.raises(TypeError):
            inspect_modules([bad, meta])
        with pytest.raises(TypeError):
            inspect_modules("x")
    assert capfd.readouterr().err == f"kevro: skipping module '{bad}': ValueError: again\n" * 200

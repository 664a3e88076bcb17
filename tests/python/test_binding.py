"""Argument binding shared by every module function: Python's rules with the module's wording."""

import shutil
import subprocess
import sysconfig

import pytest

from common import REPO_ROOT

import _kevro

materialize = _kevro.materialize_asset


class _Meta(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise RuntimeError("no name for you")
        return super().__getattribute__(name)


class Nameless(metaclass=_Meta):
    pass


MATERIALIZE_CASES = [
    # (args, kwargs, message)
    ((), {}, "materialize_asset() missing 3 required positional arguments: "
     "'module_name', 'function_name', and 'output_dir'"),
    (("m",), {}, "materialize_asset() missing 2 required positional arguments: "
     "'function_name' and 'output_dir'"),
    (("m", "f"), {}, "materialize_asset() missing 1 required positional argument: 'output_dir'"),
    ((), {"function_name": "f"}, "materialize_asset() missing 2 required positional arguments: "
     "'module_name' and 'output_dir'"),
    (("m", "f", "o", None, 5), {},
     "materialize_asset() takes from 3 to 4 positional arguments but 5 were given"),
    # surplus positionals are reported before any keyword problem
    (("m", "f", "o", None, 5), {"bogus": 1},
     "materialize_asset() takes from 3 to 4 positional arguments but 5 were given"),
    (("m", "f", "o"), {"module_name": "x"},
     "materialize_asset() got multiple values for argument 'module_name'"),
    (("m", "f", "o"), {"bogus": 1}, "materialize_asset() got an unexpected keyword argument 'bogus'"),
    # keywords are checked in the caller's order, before missing arguments
    (("m",), {"module_name": "x", "bogus": 1},
     "materialize_asset() got multiple values for argument 'module_name'"),
    (("m",), {"bogus": 1, "module_name": "x"},
     "materialize_asset() got an unexpected keyword argument 'bogus'"),
    ((), {"bogus": 1}, "materialize_asset() got an unexpected keyword argument 'bogus'"),
    ((), {"\ud800": 1}, "materialize_asset() got an unexpected keyword argument '\ud800'"),
    # values are converted in parameter order, after binding succeeded
    ((1, 2, 3), {}, "argument 'module_name': 'int' object cannot be converted to 'PyString'"),
    (("m", b"f", 3), {}, "argument 'function_name': 'bytes' object cannot be converted to 'PyString'"),
    (("m", "f", None), {}, "argument 'output_dir': 'NoneType' object cannot be converted to 'PyString'"),
    (("m", "f", "o"), {"input_kwargs_json": {}},
     "argument 'input_kwargs_json': 'dict' object cannot be converted to 'PyString'"),
    ((Nameless(), "f", "o"), {},
     "argument 'module_name': '<failed to extract type name>' object cannot be converted to 'PyString'"),
]


@pytest.mark.parametrize("args, kwargs, message", MATERIALIZE_CASES)
def test_materialize_asset_binding(args, kwargs, message, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(TypeError) as excinfo:
        materialize(*args, **kwargs)
    assert str(excinfo.value) == message
    # a call that does not bind must not have touched the file system
    assert list(tmp_path.iterdir()) == []


def test_binding_accepts_every_parameter_by_keyword(tmp_path):
    # binding succeeds, so the run starts and records the missing module instead
    with pytest.raises(SystemExit) as excinfo:
        materialize(output_dir=str(tmp_path), function_name="f", module_name="kevro_no_such_mod",
                    input_kwargs_json=None)
    assert excinfo.value.code == 1
    assert (tmp_path / "result.json").read_text("utf-8").startswith('{"error":"ModuleNotFoundError')


def test_binding_with_a_nested_qualname_type():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError) as excinfo:
        materialize(Outer.Inner(), "f", "o")
    expected = ("argument 'module_name': 'test_binding_with_a_nested_qualname_type.<locals>."
                "Outer.Inner' object cannot be converted to 'PyString'")
    assert str(excinfo.value) == expected


def test_lone_surrogate_argument_raises_unicode_encode_error(tmp_path):
    with pytest.raises(UnicodeEncodeError):
        materialize("m\ud800", "f", str(tmp_path))


# A parameter list is part of the signature's type: one longer than the binder holds must fail
# to compile rather than lose its last parameters.
SIGNATURE_SOURCE = """
#include "common/args.h"
constexpr auto kw = kevro::Param::Kind::keyword_only;
const kevro::Signature signature("f()", {%s});
PyObject* first(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = signature.bind(args, nargs, kwnames);
    auto [%s] = *bound;
    return p0;
}
"""


@pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
@pytest.mark.parametrize("count, compiles", [(6, True), (7, False)])
def test_signature_length_is_checked_when_compiled(count, compiles, tmp_path):
    names = [f"p{i}" for i in range(count)]
    params = ", ".join(f'{{"{name}", kw, false}}' for name in names)
    source = tmp_path / "signature.cpp"
    source.write_text(SIGNATURE_SOURCE % (params, ", ".join(names)), encoding="utf-8")
    done = subprocess.run(
        ["g++", "-std=c++20", "-fsyntax-only", "-I", str(REPO_ROOT / "src"),
         "-I", sysconfig.get_paths()["include"], str(source)],
        capture_output=True, text=True, timeout=120)
    if compiles:
        assert done.returncode == 0, done.stderr
    else:
        assert done.returncode != 0
        assert "a Signature declares from 1 to 6 parameters" in done.stderr

"""The worker command stub, `python -m kevro.worker`, run in child interpreters."""

from __future__ import annotations

import json
import os
import textwrap
from pathlib import Path

import pytest

from common import run_module

ASSETS = """
import os
import sys

def sales(region: str) -> float:
    assert region == "north"
    return 101.5

def nothing():
    return None

def fails():
    raise ValueError("bad\\nrow")

def exits():
    sys.exit(3)

def interrupted():
    raise KeyboardInterrupt

def crashes():
    os._exit(9)
"""


@pytest.fixture
def project(tmp_path):
    package = tmp_path / "pkg"
    package.mkdir()
    (package / "__init__.py").touch()
    (package / "assets.py").write_text(textwrap.dedent(ASSETS), encoding="utf-8")
    return tmp_path


def worker(project: Path, *args: str):
    return run_module("kevro.worker", *args, cwd=project)


def read(path: Path) -> str:
    return path.read_bytes().decode("utf-8")


def test_help(project):
    done = worker(project, "--help")
    assert done.returncode == 0
    assert "MODULE FUNCTION OUTPUT_DIR" in done.stdout
    assert "--kwargs JSON" in done.stdout
    assert done.stderr == ""


@pytest.mark.parametrize(
    "args",
    [(), ("pkg",), ("pkg", "sales"), ("a", "b", "c", "d"), ("a", "b", "c", "--kwargs"),
     ("a", "b", "c", "--kwargs-file", "no-such-file"), ("a", "b", "c", "--kwargs", "{}", "--kwargs-file", "f")],
)
def test_usage_errors_exit_2(project, args):
    done = worker(project, *args)
    assert done.returncode == 2
    assert done.stderr.startswith("usage: python -m kevro.worker")
    assert sorted(os.listdir(project)) == ["pkg"]


@pytest.mark.parametrize("given", ["--kwargs", "--kwargs-file"])
def test_worked_example(project, given):
    kwargs = '{"region": "north"}'
    if given == "--kwargs-file":
        (project / "kwargs.json").write_text(kwargs)
        kwargs = "kwargs.json"
    done = worker(project, "pkg.assets", "sales", "out/sales/", given, kwargs)
    assert (done.returncode, done.stdout) == (0, "")
    assert done.stderr == "kevro: sales ok -> out/sales/value.json\n"
    assert read(project / "out/sales/value.json") == "101.5"
    assert read(project / "out/sales/result.json") == (
        '{"artifact_format":"json","function_name":"sales","module_path":"pkg.assets","ok":true,'
        '"result_type":"float","signature":"(region: str) -> float",'
        '"value_path":"out/sales/value.json"}'
    )


PYDICT = "TypeError: 'list' object cannot be converted to 'PyDict'"


@pytest.mark.parametrize(
    "function, extra, shown, error, error_type",
    [
        ("sales", ["--kwargs", "{}"], "TypeError: sales() missing 1 required positional argument: "
         "'region'", None, "TypeError"),
        ("fails", [], "ValueError: bad row", "ValueError: bad\nrow", "ValueError"),
        ("exits", [], "SystemExit: 3", "SystemExit: 3", "SystemExit"),
        ("interrupted", [], "KeyboardInterrupt:", "KeyboardInterrupt: ", "KeyboardInterrupt"),
        ("nothing", ["--kwargs", "[1, 2]"], PYDICT, PYDICT, "TypeError"),
        ("absent", [], None, None, "AttributeError"),
    ],
)
def test_recorded_failures_exit_1(project, function, extra, shown, error, error_type):
    done = worker(project, "pkg.assets", function, "out", *extra)
    assert done.returncode == 1
    record = json.loads(read(project / "out/result.json"))
    # The interpreter words its own TypeError and AttributeError.
    error = error or record["error"]
    shown = shown or error
    assert record == {"error": error, "error_type": error_type, "ok": False}
    assert done.stderr == f"kevro: {function} failed: {shown}\n"


def test_missing_module(project):
    done = worker(project, "nope.assets", "sales", "out")
    assert done.returncode == 1
    assert done.stderr == "kevro: sales failed: ModuleNotFoundError: No module named 'nope'\n"
    assert read(project / "out/result.json") == (
        '{"error":"ModuleNotFoundError: No module named \'nope\'",'
        '"error_type":"ModuleNotFoundError","ok":false}'
    )


def test_output_dir_that_is_a_file(project):
    (project / "taken").write_text("keep", encoding="utf-8")
    done = worker(project, "pkg.assets", "nothing", "taken")
    assert done.returncode == 1
    try:
        Path(project / "taken").mkdir(parents=True, exist_ok=True)
    except FileExistsError as exc:
        expected = str(exc).replace(str(project / "taken"), "taken")
    assert done.stderr == f"kevro: error: FileExistsError: {expected}\n"
    assert read(project / "taken") == "keep"


def test_stale_result_is_removed_before_the_run(project):
    out = project / "out"
    assert worker(project, "pkg.assets", "nothing", "out").returncode == 0
    assert json.loads(read(out / "result.json"))["ok"] is True
    # A run that dies without a word must not leave the old success record behind.
    done = worker(project, "pkg.assets", "crashes", "out")
    assert done.returncode == 9
    assert sorted(os.listdir(out)) == ["value.json"]


def test_result_path_that_is_a_directory_is_left_alone(project):
    (project / "out" / "result.json").mkdir(parents=True)
    (project / "out" / "result.json" / "inside").write_text("x", encoding="utf-8")
    done = worker(project, "pkg.assets", "nothing", "out")
    assert done.returncode == 1
    try:
        (project / "out" / "result.json").write_text("x", "utf-8")
    except IsADirectoryError as exc:
        expected = str(exc).replace(str(project) + "/", "")
    assert done.stderr == f"kevro: error: IsADirectoryError: {expected}\n"
    assert read(project / "out" / "result.json" / "inside") == "x"
    assert read(project / "out" / "value.json") == "null"


def test_failed_run_keeps_the_older_value(project):
    kwargs = '{"region": "north"}'
    assert worker(project, "pkg.assets", "sales", "out", "--kwargs", kwargs).returncode == 0
    done = worker(project, "pkg.assets", "fails", "out")
    assert done.returncode == 1
    assert read(project / "out" / "value.json") == "101.5"
    assert json.loads(read(project / "out" / "result.json"))["ok"] is False

"""Helpers shared by the Python tests: interpreter facts, collection, child processes."""

from __future__ import annotations

import gc
import json
import os
import platform
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Dict, List

is_pypy = platform.python_implementation() == "PyPy"

REPO_ROOT = Path(__file__).resolve().parents[2]
SHARED_TESTDATA = REPO_ROOT.parent / "shared" / "testdata"


def collect() -> None:
    """Runs the collector until unreachable objects are gone (PyPy needs several passes)."""
    for _ in range(3 if is_pypy else 1):
        gc.collect()


def rss_kib() -> int:
    """Resident memory of this process in KiB, read from /proc."""
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("VmRSS not found")


def child_env() -> dict:
    """The environment for a child interpreter that imports the same kevro as this process."""
    env = dict(os.environ)
    paths = [p for p in sys.path if p]
    env["PYTHONPATH"] = os.pathsep.join(paths)
    return env


def run_python(code: str, *args: str, cwd=None, timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter of the same kind, capturing text output."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *args],
        cwd=cwd,
        env=child_env(),
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def run_module(module: str, *args: str, cwd=None, timeout: float = 120) -> subprocess.CompletedProcess:
    """Runs `python -m module args...` in a fresh interpreter of the same kind."""
    return subprocess.run(
        [sys.executable, "-m", module, *args],
        cwd=cwd,
        env=child_env(),
        capture_output=True,
        text=True,
        timeout=timeout,
    )


# --- projects run with `python -m kevro` -------------------------------------------------------


def write_project(root: Path, modules: Dict[str, str]) -> Path:
    """Writes pkg/<name>.py for each module source; returns the project directory."""
    package = root / "pkg"
    package.mkdir(parents=True, exist_ok=True)
    (package / "__init__.py").touch()
    for name, source in modules.items():
        (package / f"{name}.py").write_text(textwrap.dedent(source), encoding="utf-8")
    return root


def kevro(project: Path, *args: str, timeout: float = 120) -> subprocess.CompletedProcess:
    return run_module("kevro", *args, cwd=project, timeout=timeout)


def ledger(project: Path, out: str = "kevro-out") -> List[dict]:
    text = (project / out / "runs.jsonl").read_text(encoding="utf-8")
    return [json.loads(line) for line in text.splitlines()]


def label(entry: dict) -> str:
    parts = ",".join(
        f"{dim}={key if isinstance(key, str) else json.dumps(key)}" for dim, key in entry["partition"].items()
    )
    return f"{entry['asset']}[{parts}]" if parts else entry["asset"]


def by_label(entries: List[dict]) -> Dict[str, dict]:
    table = {label(e): e for e in entries}
    assert len(table) == len(entries)
    return table


def value(project: Path, entry: dict):
    return json.loads((project / entry["out_dir"] / "value.json").read_text(encoding="utf-8"))

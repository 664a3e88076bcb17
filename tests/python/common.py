"""Helpers shared by the Python tests: interpreter facts, collection, child processes."""

from __future__ import annotations

import gc
import os
import platform
import subprocess
import sys
import textwrap
from pathlib import Path

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

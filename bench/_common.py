"""What several benchmarks share: running `python -m kevro` as a child over a generated project,
and timing warm materialize_asset-like calls side by side, round by round.

The benchmarks are run as scripts (`python bench/bench_x.py`), so this folder is first on
sys.path and they import this module as `_common`.
"""

from __future__ import annotations

import argparse
import importlib
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from contextlib import contextmanager
from typing import Callable, Dict, Iterator, List, Sequence, Tuple

KEVRO = [sys.executable, "-m", "kevro"]


def interpreter() -> str:
    """`PyPy 3.9.16`, say: what the figures were measured under."""
    return f"{platform.python_implementation()} {platform.python_version()}"


def child_env() -> Dict[str, str]:
    """This environment, with this interpreter's sys.path as the child's PYTHONPATH."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


# Child runs over a generated project


def project_parser(doc: str, keys: int, jobs_help: str) -> argparse.ArgumentParser:
    """The options of a benchmark over a generated project of MODULES x ASSETS assets."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--modules", type=int, default=10)
    parser.add_argument("--assets", type=int, default=100, help="assets per module")
    parser.add_argument("--keys", type=int, default=keys, help="partition keys of every asset")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--jobs", type=int, default=2, help=jobs_help)
    parser.add_argument("--dir", default=None, help="where the project goes (default: a temporary directory)")
    return parser


@contextmanager
def generated_project(bench: str, args: argparse.Namespace, package: str,
                      module_lines: Callable[[int], List[str]]) -> Iterator[Tuple[str, List[str]]]:
    """(root, module names) of a temporary project under --dir: package `package` of --modules
    modules m000, m001, ..., module m holding the lines module_lines(m); removed on leaving."""
    root = tempfile.mkdtemp(prefix=f"kevro-{bench.replace('_', '-')}-", dir=args.dir)
    try:
        os.makedirs(os.path.join(root, package))
        open(os.path.join(root, package, "__init__.py"), "w").close()
        names = []
        for m in range(args.modules):
            with open(os.path.join(root, package, f"m{m:03d}.py"), "w", encoding="utf-8") as handle:
                handle.write("\n".join(module_lines(m)))
            names.append(f"{package}.m{m:03d}")
        yield root, names
    finally:
        shutil.rmtree(root, ignore_errors=True)


def full_run(root: str, modules: List[str], jobs: int) -> float:
    """Runs every job of the modules, quietly; the elapsed seconds."""
    began = time.perf_counter()
    subprocess.run(KEVRO + ["run", *modules, "--jobs", str(jobs)], cwd=root, env=child_env(),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - began


def timed(bench: str, root: str, command: List[str], silent_stderr: bool = False) -> Tuple[float, str]:
    """(elapsed seconds, stdout) of a child command; exits when it fails, or with silent_stderr when it
    writes anything to stderr."""
    began = time.perf_counter()
    done = subprocess.run(command, cwd=root, env=child_env(), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)
    elapsed = time.perf_counter() - began
    if done.returncode != 0 or (silent_stderr and done.stderr):
        sys.exit(f"{bench}: {' '.join(command)} exited with {done.returncode}:\n{done.stderr}")
    return elapsed, done.stdout


def best_line(label: str, times: Sequence[float]) -> str:
    """`  label   best s   (all: ...)`, label padded to the ratio lines below it."""
    return f"  {label:<24} {min(times):8.3f} s   (all: {', '.join(f'{t:.3f}' for t in times)})"


# Warm calls in this interpreter


def time_calls(function: Callable, calls: int, args: tuple) -> float:
    """Microseconds per call of function(*args) over `calls` calls."""
    start = time.perf_counter()
    for _ in range(calls):
        function(*args)
    return (time.perf_counter() - start) / calls * 1e6


def compare_materialize(doc: str, module: str, source: str, sides: Dict[str, Tuple[Callable, str]],
                        ratio: Tuple[str, str]) -> None:
    """Times materialize_asset-like functions on the asset `trivial` of a module with this source,
    each side writing into a folder of its own: rounds of --calls calls, the sides alternating
    round by round after one round that warms up (and lets PyPy's JIT compile). The sides must
    write the same result.json but for their folder. Prints each side's best round in
    microseconds per call, and the ratio of the two sides named by `ratio`."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2000, help="calls per round (2000)")
    parser.add_argument("--rounds", type=int, default=7, help="rounds per side (7)")
    options = parser.parse_args()

    root = tempfile.mkdtemp(prefix="kevro-bench-")
    try:
        with open(os.path.join(root, f"{module}.py"), "w", encoding="utf-8") as f:
            f.write(source)
        sys.path.insert(0, root)
        importlib.import_module(module)
        best: Dict[str, float] = {}
        for round_ in range(options.rounds + 1):
            for label, (function, out) in sides.items():
                args = (module, "trivial", os.path.join(root, out), '{"n": 1}')
                per_call = time_calls(function, options.calls, args)
                if round_ > 0:
                    best[label] = min(best.get(label, per_call), per_call)
        records = []
        for out in (out for _, out in sides.values()):
            with open(os.path.join(root, out, "result.json"), encoding="utf-8") as f:
                records.append(f.read().replace(f"/{out}/", "/"))
        assert len(set(records)) == 1, records
    finally:
        shutil.rmtree(root)

    print(f"{interpreter()}, {options.calls} calls x {options.rounds} rounds, best round")
    for label in sides:
        print(f"  {label:<18} {best[label]:8.2f} us/call")
    print(f"  ratio              {best[ratio[0]] / best[ratio[1]]:8.3f}x")

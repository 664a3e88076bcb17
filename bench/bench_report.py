"""`python -m kevro report` of a 1,000-asset project after a full run, against `python -m kevro
list` of the same modules (discovery and the graph alone): the time to build the page, Graphviz
layout included, and the page's size.

    python bench/bench_report.py [--modules 10] [--assets 100] [--keys 3] [--rounds 3] [--dir DIR]

The generated project has MODULES modules of ASSETS assets each, every one partitioned over KEYS
keys and reading the one before it in its module; every fifth also reads the asset at the same
place in the module before. One full run materializes everything first; then each round times
`list` and `report` as child processes, with the laid-out graph that the run kept removed first
so that every report runs dot, and the best of the rounds counts.
"""

from __future__ import annotations

import argparse
import os
import platform
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Dict, List


def child_env() -> Dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


def write_project(root: str, modules: int, assets: int, keys: int) -> List[str]:
    package = os.path.join(root, "graph")
    os.makedirs(package)
    open(os.path.join(package, "__init__.py"), "w").close()
    names = []
    for m in range(modules):
        lines = ["from kevro import asset, partitions", ""]
        if m:
            lines += [f"from graph import m{m - 1:03d}", ""]
        lines += [f"KEYS = partitions([f'k{{i}}' for i in range({keys})])", ""]
        for a in range(assets):
            inputs = {}
            if a:
                inputs["up"] = f"a{m:03d}_{a - 1:04d}"
            if m and a % 5 == 0:
                inputs["side"] = f"m{m - 1:03d}.a{m - 1:03d}_{a:04d}"
            given = ", ".join(f"'{k}': {v}" for k, v in inputs.items())
            lines += [f"@asset(name='module_{m:03d}/metric_{a:04d}', inputs={{{given}}}, partitions={{'p': KEYS}})",
                      f"def a{m:03d}_{a:04d}({', '.join(list(inputs) + ['p'])}):", f"    return {a}", ""]
        with open(os.path.join(package, f"m{m:03d}.py"), "w", encoding="utf-8") as handle:
            handle.write("\n".join(lines))
        names.append(f"graph.m{m:03d}")
    return names


def timed(root: str, command: List[str]) -> float:
    began = time.perf_counter()
    done = subprocess.run(command, cwd=root, env=child_env(), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)
    elapsed = time.perf_counter() - began
    if done.returncode != 0 or done.stderr:
        sys.exit(f"bench_report: {' '.join(command)} exited with {done.returncode}:\n{done.stderr}")
    return elapsed


def main(argv: List[str] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--modules", type=int, default=10)
    parser.add_argument("--assets", type=int, default=100, help="assets per module")
    parser.add_argument("--keys", type=int, default=3, help="partition keys of every asset")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--jobs", type=int, default=2, help="--jobs of the full run")
    parser.add_argument("--dir", default=None, help="where the project goes (default: a temporary directory)")
    args = parser.parse_args(argv)

    root = tempfile.mkdtemp(prefix="kevro-bench-report-", dir=args.dir)
    try:
        modules = write_project(root, args.modules, args.assets, args.keys)
        kevro = [sys.executable, "-m", "kevro"]
        subprocess.run(kevro + ["run", *modules, "--jobs", str(args.jobs)], cwd=root, env=child_env(),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        lists, reports = [], []
        for _ in range(args.rounds):
            lists.append(timed(root, kevro + ["list", *modules]))
            try:
                os.unlink(os.path.join(root, "kevro-out", ".kevro-graph.json"))
            except FileNotFoundError:
                pass
            reports.append(timed(root, kevro + ["report", *modules]))
        size = os.path.getsize(os.path.join(root, "kevro-out", "report.html"))
        print(f"{platform.python_implementation()} {platform.python_version()}: "
              f"{args.modules * args.assets} assets x {args.keys} partitions, best of {args.rounds}")
        print(f"  kevro list               {min(lists):8.3f} s   (all: {', '.join(f'{t:.3f}' for t in lists)})")
        print(f"  kevro report             {min(reports):8.3f} s   (all: {', '.join(f'{t:.3f}' for t in reports)})")
        print(f"  ratio report / list      {min(reports) / min(lists):8.2f}")
        print(f"  page                     {size / 1e6:8.2f} MB")
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

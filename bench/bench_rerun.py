"""A rerun with nothing to do: `python -m kevro run` over a project whose every job is up to
date, against `python -m kevro list` of the same modules (discovery and the graph alone).

    python bench/bench_rerun.py [--modules 10] [--assets 100] [--keys 10] [--rounds 3] [--dir DIR]

The generated project has MODULES modules of ASSETS assets each, every one partitioned over
KEYS keys and each reading the one before it in its module (default 1,000 assets, 10,000
jobs). One full run materializes everything first; then each round times `list` and the
no-op `run` as child processes, and the best of the rounds counts. Prints both times and their
ratio; the no-op run must find every job up to date.
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
    package = os.path.join(root, "rerun")
    os.makedirs(package)
    open(os.path.join(package, "__init__.py"), "w").close()
    names = []
    for m in range(modules):
        lines = ["from kevro import asset, partitions", "",
                 f"KEYS = partitions([f'k{{i}}' for i in range({keys})])", "SCALE = 3", "",
                 "def helper(x):", "    return x * SCALE", ""]
        for a in range(assets):
            name = f"a{m:03d}_{a:04d}"
            if a == 0:
                lines += ["@asset(partitions={'p': KEYS})", f"def {name}(p):",
                          f"    return helper(len(p)) + {a}", ""]
            else:
                lines += [f"@asset(inputs={{'up': a{m:03d}_{a - 1:04d}}}, partitions={{'p': KEYS}})",
                          f"def {name}(up, p):", f"    return up + helper({a})", ""]
        with open(os.path.join(package, f"m{m:03d}.py"), "w", encoding="utf-8") as handle:
            handle.write("\n".join(lines))
        names.append(f"rerun.m{m:03d}")
    return names


def timed(root: str, command: List[str]) -> float:
    began = time.perf_counter()
    done = subprocess.run(command, cwd=root, env=child_env(), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)
    elapsed = time.perf_counter() - began
    if done.returncode != 0:
        sys.exit(f"bench_rerun: {' '.join(command)} exited with {done.returncode}:\n{done.stderr}")
    if command[3] == "run" and " 0 ok, 0 failed, 0 skipped, " not in done.stdout:
        sys.exit(f"bench_rerun: the rerun ran jobs:\n{done.stdout[-500:]}")
    return elapsed


def main(argv: List[str] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--modules", type=int, default=10)
    parser.add_argument("--assets", type=int, default=100, help="assets per module")
    parser.add_argument("--keys", type=int, default=10, help="partition keys of every asset")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--jobs", type=int, default=2, help="--jobs of the first, full run")
    parser.add_argument("--dir", default=None, help="where the project goes (default: a temporary directory)")
    args = parser.parse_args(argv)

    root = tempfile.mkdtemp(prefix="kevro-bench-rerun-", dir=args.dir)
    try:
        modules = write_project(root, args.modules, args.assets, args.keys)
        kevro = [sys.executable, "-m", "kevro"]
        began = time.perf_counter()
        subprocess.run(kevro + ["run", *modules, "--jobs", str(args.jobs)], cwd=root, env=child_env(),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        full = time.perf_counter() - began
        lists, reruns = [], []
        for _ in range(args.rounds):
            lists.append(timed(root, kevro + ["list", *modules]))
            reruns.append(timed(root, kevro + ["run", *modules]))
        jobs = args.modules * args.assets * args.keys
        print(f"{platform.python_implementation()} {platform.python_version()}: "
              f"{args.modules * args.assets} assets x {args.keys} partitions = {jobs} jobs, best of {args.rounds}")
        print(f"  first run (everything)   {full:8.2f} s")
        print(f"  kevro list               {min(lists):8.3f} s   (all: {', '.join(f'{t:.3f}' for t in lists)})")
        print(f"  kevro run, nothing to do {min(reruns):8.3f} s   (all: {', '.join(f'{t:.3f}' for t in reruns)})")
        print(f"  ratio no-op run / list   {min(reruns) / min(lists):8.2f}")
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

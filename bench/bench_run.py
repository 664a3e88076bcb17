"""Per-job cost of `python -m kevro run`: warm workers against one process per job.

    python bench/bench_run.py [--keys N] [--jobs J] [--rounds R] [--dir DIR] [--mode MODE]

A generated module holds one trivial asset partitioned over N keys (default 1,000). Each mode
runs it end to end as a child `python -m kevro run --jobs J` (discovery, planning, every job,
ledger and summary included), best of R rounds. A run over a single key gives the fixed cost
of a run, so that the marginal cost per job is (T(N) - T(1)) / (N - 1). Prints the total times,
ms/job both ways, the processor time (user + system, of every process of the run) per job, which
other load on the machine disturbs less than the elapsed time, and the ratios isolated / warm.
"""

from __future__ import annotations

import argparse
import os
import platform
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from typing import List, Tuple

from _common import child_env

MODULE = '''
from kevro import asset, partitions

KEYS = partitions(list(range({keys})))


@asset(partitions={{"key": KEYS}})
def trivial(key: int) -> int:
    return key
'''


def write_module(root: str, name: str, keys: int) -> None:
    with open(os.path.join(root, f"{name}.py"), "w", encoding="utf-8") as handle:
        handle.write(MODULE.format(keys=keys))


def children_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run_once(root: str, module: str, jobs: int, isolated: bool) -> Tuple[float, float]:
    """(elapsed, processor time) of one run."""
    out = os.path.join(root, "out")
    shutil.rmtree(out, ignore_errors=True)
    command = [sys.executable, "-m", "kevro", "run", module, "--jobs", str(jobs), "--out", out]
    if isolated:
        command.append("--isolated")
    cpu = children_cpu()
    began = time.perf_counter()
    done = subprocess.run(command, cwd=root, env=child_env(), stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    elapsed = time.perf_counter() - began
    cpu = children_cpu() - cpu
    if done.returncode != 0:
        sys.exit(f"bench_run: {' '.join(command)} exited with {done.returncode}:\n{done.stderr}")
    return elapsed, cpu


def best(root: str, module: str, jobs: int, isolated: bool, rounds: int) -> Tuple[float, float]:
    runs = [run_once(root, module, jobs, isolated) for _ in range(rounds)]
    return min(r[0] for r in runs), min(r[1] for r in runs)


def main(argv: List[str] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=1000, help="partition keys, one job each")
    parser.add_argument("--jobs", type=int, default=2, help="jobs at once (--jobs of the run)")
    parser.add_argument("--rounds", type=int, default=1, help="runs per mode; the best counts")
    parser.add_argument("--dir", default=None,
                        help="where the project and its output go (default: a new temporary "
                        "directory); file creation speed differs a lot between file systems")
    parser.add_argument("--mode", choices=("warm", "isolated"), action="append",
                        help="measure only this mode (may be repeated; default: both)")
    args = parser.parse_args(argv)
    if args.keys < 2:
        parser.error("--keys must be at least 2")

    modes = args.mode or ["warm", "isolated"]
    if args.dir is not None:
        os.makedirs(args.dir, exist_ok=True)
    root = tempfile.mkdtemp(prefix="kevro-bench-run-", dir=args.dir)
    try:
        write_module(root, "bench_many", args.keys)
        write_module(root, "bench_one", 1)
        print(f"{platform.python_implementation()} {platform.python_version()}: "
              f"{args.keys} jobs, --jobs {args.jobs}, best of {args.rounds}, in {root}")
        per_job = {}
        cpu_per_job = {}
        for name in modes:
            isolated = name == "isolated"
            fixed, fixed_cpu = best(root, "bench_one", args.jobs, isolated, args.rounds)
            total, total_cpu = best(root, "bench_many", args.jobs, isolated, args.rounds)
            per_job[name] = (total - fixed) / (args.keys - 1) * 1000
            cpu_per_job[name] = (total_cpu - fixed_cpu) / (args.keys - 1) * 1000
            print(f"  {name:<8}  total {total:7.2f} s  (one-job run {fixed:5.2f} s)  "
                  f"{total / args.keys * 1000:7.2f} ms/job overall  "
                  f"{per_job[name]:7.2f} ms/job marginal  {cpu_per_job[name]:7.2f} ms cpu/job")
        if len(per_job) == 2:
            print(f"  isolated / warm: {per_job['isolated'] / per_job['warm']:.1f}x elapsed, "
                  f"{cpu_per_job['isolated'] / cpu_per_job['warm']:.1f}x processor time (marginal)")
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

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

import sys
from typing import List

from _common import KEVRO, best_line, full_run, generated_project, interpreter, project_parser, timed


def module_lines(m: int, assets: int, keys: int) -> List[str]:
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
    return lines


def rerun(root: str, modules: List[str]) -> float:
    """Seconds of a `run` that must find every job up to date."""
    elapsed, stdout = timed("bench_rerun", root, KEVRO + ["run", *modules])
    if " 0 ok, 0 failed, 0 skipped, " not in stdout:
        sys.exit(f"bench_rerun: the rerun ran jobs:\n{stdout[-500:]}")
    return elapsed


def main(argv: List[str] = None) -> int:
    args = project_parser(__doc__, keys=10, jobs_help="--jobs of the first, full run").parse_args(argv)
    with generated_project("bench_rerun", args, "rerun",
                           lambda m: module_lines(m, args.assets, args.keys)) as (root, modules):
        full = full_run(root, modules, args.jobs)
        lists, reruns = [], []
        for _ in range(args.rounds):
            lists.append(timed("bench_rerun", root, KEVRO + ["list", *modules])[0])
            reruns.append(rerun(root, modules))
        jobs = args.modules * args.assets * args.keys
        print(f"{interpreter()}: {args.modules * args.assets} assets x {args.keys} partitions = {jobs} jobs, "
              f"best of {args.rounds}")
        print(f"  first run (everything)   {full:8.2f} s")
        print(best_line("kevro list", lists))
        print(best_line("kevro run, nothing to do", reruns))
        print(f"  ratio no-op run / list   {min(reruns) / min(lists):8.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

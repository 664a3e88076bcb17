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

import os
import sys
from typing import List

from _common import KEVRO, best_line, full_run, generated_project, interpreter, project_parser, timed


def module_lines(m: int, assets: int, keys: int) -> List[str]:
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
    return lines


def main(argv: List[str] = None) -> int:
    args = project_parser(__doc__, keys=3, jobs_help="--jobs of the full run").parse_args(argv)
    with generated_project("bench_report", args, "graph",
                           lambda m: module_lines(m, args.assets, args.keys)) as (root, modules):
        full_run(root, modules, args.jobs)
        lists, reports = [], []
        for _ in range(args.rounds):
            lists.append(timed("bench_report", root, KEVRO + ["list", *modules], silent_stderr=True)[0])
            try:
                os.unlink(os.path.join(root, "kevro-out", ".kevro-graph.json"))
            except FileNotFoundError:
                pass
            reports.append(timed("bench_report", root, KEVRO + ["report", *modules], silent_stderr=True)[0])
        size = os.path.getsize(os.path.join(root, "kevro-out", "report.html"))
        print(f"{interpreter()}: {args.modules * args.assets} assets x {args.keys} partitions, best of {args.rounds}")
        print(best_line("kevro list", lists))
        print(best_line("kevro report", reports))
        print(f"  ratio report / list      {min(reports) / min(lists):8.2f}")
        print(f"  page                     {size / 1e6:8.2f} MB")
    return 0


if __name__ == "__main__":
    sys.exit(main())

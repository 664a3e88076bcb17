"""Planning benchmark: `kevro.graph.build_graph` plus `kevro.graph.plan` on a large synthetic
inspection report, against a straightforward planner that tests every job of the upstream asset
for each job's inputs and builds each folder name on its own.

    PYTHONPATH=src pypy3 bench/bench_plan.py [--assets 10000] [--keys 10] [--repeat 5]

The report holds ASSETS partitioned assets in chains of 100, each over the dimension "p" with
KEYS keys; every tenth of them is a side branch over half of those keys and a second dimension
"q" of two keys (so that its ten jobs map "p" to a subset and leave "q" to itself); every
seventh also reads the asset 100 places before it; and one unpartitioned asset per ten gathers
a chain asset and a side branch, so it receives dicts over all their jobs. Both planners must
agree on every job's partition, folder and upstream jobs. The time for `json.loads` of the same
report, the step before planning in every run, is printed for scale.
"""

from __future__ import annotations

import argparse
import itertools
import json
import os
import platform
import sys
import time
from typing import Dict, List, Tuple

from kevro import graph

CHAIN = 100


def _partitions(dims: Dict[str, list]) -> Dict[str, dict]:
    return {
        dim: {"kind": "inline", "values_json": json.dumps(keys, separators=(",", ":"))}
        for dim, keys in dims.items()
    }


def _record(index: int, function: str, inputs: Dict[str, str], dims: Dict[str, list], name=None) -> dict:
    module = f"bench.m{index // CHAIN:03d}"
    params = list(inputs) + list(dims)
    return {
        "decorator_metadata": {
            "inputs": inputs or None,
            "kind": "asset",
            "name": name,
            "partitions": _partitions(dims) if dims else None,
            "serializer": None,
        },
        "file_path": f"/bench/m{index // CHAIN:03d}.py",
        "function_name": function,
        "function_source": f"def {function}({', '.join(params)}):\n    return 1\n",
        "kind": "asset",
        "module_path": module,
        "module_source": f'"""Module {index // CHAIN} of the benchmark."""\n',
        "python_version": "3.9.16",
        "return_type": "int",
    }


def generate(assets: int, keys: int) -> List[dict]:
    """The synthetic report's records, in an order unrelated to the dependency order."""
    p_keys = [f"k{i}" for i in range(keys)]
    side_keys = p_keys[: max(1, keys // 2)]
    q_keys = [0, 1]

    def ref(i: int) -> str:
        return f"/bench/m{i // CHAIN:03d}.py:a{i:05d}"

    records = []
    for i in range(assets):
        side = i % 10 == 5
        inputs: Dict[str, str] = {}
        if i % CHAIN:
            # The asset after a side branch skips it, since the branch lacks half of the keys.
            previous = i - 1 if (i - 1) % 10 != 5 else i - 2
            if previous >= i - i % CHAIN:
                inputs["prev"] = ref(previous)
        if i >= CHAIN and i % 7 == 0 and (i - CHAIN) % 10 != 5:
            inputs["up"] = ref(i - CHAIN)
        dims = {"p": side_keys, "q": q_keys} if side else {"p": p_keys}
        records.append(_record(i, f"a{i:05d}", inputs, dims, f"asset {i}" if i % 4 == 0 else None))
    for j in range(assets // 10):
        inputs = {"chain": ref(10 * j + 9)} if 10 * j + 9 < assets else {}
        inputs["side"] = ref(10 * j + 5)
        records.append(_record(10 * j, f"total{j:05d}", inputs, {}))
    records.reverse()
    return records


def scanning_plan(assets: List[graph.Asset], out: str) -> List[graph.Job]:
    """The same jobs, planned the straightforward way: for each job and input, every job of the
    upstream asset is tested for keys that agree with the job's on the dimensions that both
    declare, and each folder name is built from the partition on its own."""
    jobs_of: Dict[str, List[graph.Job]] = {}
    jobs: List[graph.Job] = []
    for asset in assets:
        own = []
        dims = [dim for dim, _ in asset.dimensions]
        for combo in itertools.product(*[keys for _, keys in asset.dimensions]):
            partition = tuple(zip(dims, combo))
            keys = dict(partition)
            found = set()
            for _, upstream in asset.inputs:
                for job in jobs_of[upstream]:
                    if all(keys.get(d, k) == k for d, k in job.partition):
                        found.add(job.index)
            out_dir = os.path.join(out, asset.folder)
            if partition:
                out_dir = os.path.join(out_dir, graph.partition_folder(partition))
            job = graph.Job(len(jobs), asset, partition, out_dir, tuple(sorted(found)))
            jobs.append(job)
            own.append(job)
        jobs_of[asset.ref] = own
    return jobs


def best_of(repeat: int, function) -> Tuple[float, object]:
    best = float("inf")
    value = None
    for _ in range(repeat):
        start = time.perf_counter()
        value = function()
        best = min(best, time.perf_counter() - start)
    return best, value


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--assets", type=int, default=10000, help="partitioned assets")
    parser.add_argument("--keys", type=int, default=10, help="keys of the dimension p")
    parser.add_argument("--repeat", type=int, default=5, help="runs of each side; the best counts")
    args = parser.parse_args()

    records = generate(args.assets, args.keys)
    report = json.dumps({"assets": records}, separators=(",", ":"), sort_keys=True)

    def ours():
        return graph.plan(graph.build_graph(records, cwd="/bench"), "out")

    ours_time, result = best_of(args.repeat, ours)
    build_time, assets = best_of(args.repeat, lambda: graph.build_graph(records, cwd="/bench"))
    plan_time, _ = best_of(args.repeat, lambda: graph.plan(assets, "out"))
    naive_time, naive = best_of(args.repeat, lambda: scanning_plan(assets, "out"))
    loads_time, _ = best_of(args.repeat, lambda: json.loads(report))

    if [(j.partition, j.out_dir, j.upstream) for j in result.jobs] != [
        (j.partition, j.out_dir, j.upstream) for j in naive
    ]:
        print("the planners disagree", file=sys.stderr)
        return 1
    edges = sum(len(job.upstream) for job in result.jobs)
    figures = [
        ("interpreter", f"{platform.python_implementation()} {platform.python_version()}"),
        ("graph", f"{len(result.assets)} assets, {len(result.jobs)} jobs, "
                  f"{edges} job-to-upstream-job edges (same on both sides)"),
        ("build_graph + plan", f"{ours_time:.3f} s (best of {args.repeat}, as every run does)"),
        ("  build_graph alone", f"{build_time:.3f} s"),
        ("  plan alone", f"{plan_time:.3f} s"),
        ("scanning planner", f"{naive_time:.3f} s (same jobs, on the same built graph)"),
        ("json.loads of report", f"{loads_time:.3f} s ({len(report) / 1e6:.1f} MB; the step before planning)"),
        ("ratio plan/scanning", f"{plan_time / naive_time:.3f}"),
    ]
    for name, text in figures:
        print(f"{name:<20} {text}")
    print(f"ratio (build_graph + plan)/json.loads  {ours_time / loads_time:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

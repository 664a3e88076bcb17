"""Per-call cost that a job process adds to materialize_asset so that a failure leaves its
traceback (kevro._materialize.materialize), for a trivial asset that succeeds.

    python bench/bench_traceback.py [--calls N] [--rounds R]

Both sides run in the same warm interpreter, alternating round by round; the best round of each
is reported, in microseconds per call, with the ratio traced / plain.
"""

from __future__ import annotations

import argparse
import importlib
import os
import platform
import shutil
import sys
import tempfile
import time

import _kevro
from kevro._materialize import materialize

ASSET = '''
from kevro import asset

@asset()
def trivial(n: int) -> int:
    return n
'''


def time_calls(function, calls, args) -> float:
    start = time.perf_counter()
    for _ in range(calls):
        function(*args)
    return (time.perf_counter() - start) / calls * 1e6


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=2000, help="calls per round (2000)")
    parser.add_argument("--rounds", type=int, default=7, help="rounds per side (7)")
    options = parser.parse_args()

    root = tempfile.mkdtemp(prefix="kevro-bench-")
    try:
        with open(os.path.join(root, "kevro_bench_traced.py"), "w", encoding="utf-8") as f:
            f.write(ASSET)
        sys.path.insert(0, root)
        importlib.import_module("kevro_bench_traced")
        sides = {
            "materialize_asset": (_kevro.materialize_asset, os.path.join(root, "plain")),
            "with tracebacks": (materialize, os.path.join(root, "traced")),
        }
        best = {}
        for round_ in range(options.rounds + 1):
            for label, (function, out) in sides.items():
                args = ("kevro_bench_traced", "trivial", out, '{"n": 1}')
                per_call = time_calls(function, options.calls, args)
                if round_ > 0:  # the first round warms up (and lets PyPy's JIT compile)
                    best[label] = min(best.get(label, per_call), per_call)
        records = []
        for side in ("plain", "traced"):
            with open(os.path.join(root, side, "result.json"), encoding="utf-8") as f:
                records.append(f.read().replace(f"/{side}/", "/"))
        assert records[0] == records[1], records
    finally:
        shutil.rmtree(root)

    plain, traced = best["materialize_asset"], best["with tracebacks"]
    print(f"{platform.python_implementation()} {platform.python_version()}, "
          f"{options.calls} calls x {options.rounds} rounds, best round")
    print(f"  materialize_asset  {plain:8.2f} us/call")
    print(f"  with tracebacks    {traced:8.2f} us/call")
    print(f"  ratio              {traced / plain:8.3f}x")


if __name__ == "__main__":
    main()

"""Per-call cost that a job process adds to materialize_asset so that a failure leaves its
traceback (kevro._materialize.materialize), for a trivial asset that succeeds.

    python bench/bench_traceback.py [--calls N] [--rounds R]

Both sides run in the same warm interpreter, alternating round by round; the best round of each
is reported, in microseconds per call, with the ratio traced / plain.
"""

from __future__ import annotations

import os
import platform

import _kevro
from _common import asset_module, best_per_call, calls_parser
from kevro._materialize import materialize

ASSET = '''
from kevro import asset

@asset()
def trivial(n: int) -> int:
    return n
'''


def main() -> None:
    options = calls_parser(__doc__).parse_args()

    with asset_module("kevro_bench_traced", ASSET) as root:
        def call(out):
            return ("kevro_bench_traced", "trivial", os.path.join(root, out), '{"n": 1}')

        best = best_per_call({
            "materialize_asset": (_kevro.materialize_asset, call("plain")),
            "with tracebacks": (materialize, call("traced")),
        }, options.calls, options.rounds)
        records = []
        for side in ("plain", "traced"):
            with open(os.path.join(root, side, "result.json"), encoding="utf-8") as f:
                records.append(f.read().replace(f"/{side}/", "/"))
        assert records[0] == records[1], records

    plain, traced = best["materialize_asset"], best["with tracebacks"]
    print(f"{platform.python_implementation()} {platform.python_version()}, "
          f"{options.calls} calls x {options.rounds} rounds, best round")
    print(f"  materialize_asset  {plain:8.2f} us/call")
    print(f"  with tracebacks    {traced:8.2f} us/call")
    print(f"  ratio              {traced / plain:8.3f}x")


if __name__ == "__main__":
    main()

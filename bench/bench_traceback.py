"""Per-call cost that a job process adds to materialize_asset so that a failure leaves its
traceback (kevro._materialize.materialize), for a trivial asset that succeeds.

    python bench/bench_traceback.py [--calls N] [--rounds R]

Both sides run in the same warm interpreter, alternating round by round; the best round of each
is reported, in microseconds per call, with the ratio traced / plain.
"""

from __future__ import annotations

import _kevro
from _common import compare_materialize
from kevro._materialize import materialize

ASSET = '''
from kevro import asset

@asset()
def trivial(n: int) -> int:
    return n
'''


def main() -> None:
    compare_materialize(__doc__, "kevro_bench_traced", ASSET, {
        "materialize_asset": (_kevro.materialize_asset, "plain"),
        "with tracebacks": (materialize, "traced"),
    }, ratio=("with tracebacks", "materialize_asset"))


if __name__ == "__main__":
    main()

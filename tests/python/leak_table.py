"""Prints the growth per operation of the leak checks in test_leaks.py as a Markdown table.

Run it with the interpreter to measure and the module on PYTHONPATH, for example
`PYTHONPATH=build/dev-pypy:src .venv/bin/python tests/python/leak_table.py`.
"""

from __future__ import annotations

import argparse
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import leakcheck  # noqa: E402
import test_leaks  # noqa: E402


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--filter", default="", help="only rows whose id contains this text")
    parser.add_argument("--repeats", type=int, default=0,
                        help="repetitions per round (default: those of the test)")
    args = parser.parse_args()
    failures = 0
    timings = []
    with tempfile.TemporaryDirectory() as root:
        world = test_leaks.make_world(Path(root))
        try:
            for row_id, build in test_leaks.ROWS:
                if args.filter not in row_id or (leakcheck.is_pypy
                                                 and row_id in test_leaks.PYPY_SKIPS):
                    continue
                print(f"running {row_id}", file=sys.stderr, flush=True)
                start = time.perf_counter()
                try:
                    if args.repeats:
                        op = build(world)
                        with op.context():
                            op.check_once()
                            leakcheck.check(op.repetition(), repeats=args.repeats,
                                            touched=op.touched, label=row_id)
                    else:
                        test_leaks.run_row(row_id, build, world)
                except AssertionError as failure:
                    failures += 1
                    print(f"LEAK {row_id}: {failure}", file=sys.stderr)
                timings.append((row_id, time.perf_counter() - start))
        finally:
            test_leaks.drop_world(world)
    print(leakcheck.format_table(leakcheck.RESULTS))
    print()
    print("| operation | seconds |")
    print("|---|---|")
    for row_id, seconds in timings:
        print(f"| {row_id} | {seconds:.2f} |")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

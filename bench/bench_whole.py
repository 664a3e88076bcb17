"""A whole `kevro run` as a user runs it, against the floor: the same function bodies called by a
plain loop in one fresh process that writes the same value.json files.

    python bench/bench_whole.py [--rounds 5] [--dir DIR] [--jobs J]

Two workloads, each a fresh `python -m kevro run` into an empty output folder every round
(discovery, workers warming, every job, ledger, summary and report included):

- fan-out: one asset over 200 string keys returning a small dict, and one asset that sums a
  field of all 200 (201 jobs);
- chain: 50 unpartitioned assets, each taking the previous one's small list, so that every job
  waits for the one before it.

The project and both output folders lie under --dir (default /dev/shm when it exists, so on
tmpfs). Prints the best of the rounds for kevro and for the loop, and their ratio.
"""

from __future__ import annotations

import argparse
import os
import shutil
import sys
import tempfile
from typing import Dict, List

from _common import KEVRO, interpreter, timed

FAN_BODIES = '''
def fan(key):
    n = int(key[1:])
    return {"key": key, "n": n, "square": n * n}


def total(parts):
    return sum(part["n"] for part in parts.values())
'''

FAN_ASSETS = '''from kevro import asset, partitions

KEYS = partitions([f"k{i:03d}" for i in range(200)])
''' + FAN_BODIES.replace("def fan(", '@asset(partitions={"key": KEYS})\ndef fan(').replace(
    "def total(", '@asset(inputs={"parts": fan})\ndef total(')

FAN_LOOP = FAN_BODIES + '''
KEYS = [f"k{i:03d}" for i in range(200)]
parts = {}
for key in KEYS:
    parts[key] = fan(key)
    write(os.path.join(OUT, "fan", "key=" + key), parts[key])
write(os.path.join(OUT, "total"), total(parts))
'''

CHAIN_LENGTH = 50


def chain_assets() -> str:
    lines = ["from kevro import asset", "", "@asset()", "def c00():", "    return [0, 1, 2]", ""]
    for i in range(1, CHAIN_LENGTH):
        lines += [f'@asset(inputs={{"prev": c{i - 1:02d}}})', f"def c{i:02d}(prev):",
                  "    return prev[1:] + [prev[-1] + 1]", ""]
    return "\n".join(lines)


def chain_loop() -> str:
    return f'''
value = [0, 1, 2]
write(os.path.join(OUT, "c00"), value)
for i in range(1, {CHAIN_LENGTH}):
    value = value[1:] + [value[-1] + 1]
    write(os.path.join(OUT, "c%02d" % i), value)
'''


# What each loop starts with: the output folder, and a writer of value.json files as kevro
# writes them (compact JSON, one file per job folder).
LOOP_HEAD = '''import json, os, sys
OUT = sys.argv[1]


def write(folder, value):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "value.json"), "w", encoding="utf-8") as handle:
        handle.write(json.dumps(value, separators=(",", ":"), ensure_ascii=False))
'''


def main(argv: List[str] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--jobs", type=int, default=0, help="--jobs of kevro run (default: its own)")
    parser.add_argument("--dir", default="/dev/shm" if os.path.isdir("/dev/shm") else None,
                        help="where project and outputs go (default /dev/shm, a tmpfs)")
    args = parser.parse_args(argv)
    root = tempfile.mkdtemp(prefix="kevro-bench-whole-", dir=args.dir)
    try:
        workloads: Dict[str, Dict[str, str]] = {
            "fan-out (200 + 1 jobs)": {"module": "wl_fan", "assets": FAN_ASSETS, "loop": FAN_LOOP},
            f"chain ({CHAIN_LENGTH} jobs)": {"module": "wl_chain", "assets": chain_assets(), "loop": chain_loop()},
        }
        print(f"{interpreter()}: best of {args.rounds}, under {root}")
        for label, work in workloads.items():
            with open(os.path.join(root, work["module"] + ".py"), "w", encoding="utf-8") as handle:
                handle.write(work["assets"])
            loop_file = os.path.join(root, work["module"] + "_loop.py")
            with open(loop_file, "w", encoding="utf-8") as handle:
                handle.write(LOOP_HEAD + work["loop"])
            out = os.path.join(root, "out-" + work["module"])
            run = KEVRO + ["run", work["module"], "--out", out] + (["--jobs", str(args.jobs)] if args.jobs else [])
            kevro_times, loop_times = [], []
            for _ in range(args.rounds):
                for command, times in ((run, kevro_times), ([sys.executable, loop_file, out], loop_times)):
                    shutil.rmtree(out, ignore_errors=True)
                    times.append(timed("bench_whole", root, command)[0])
            best, floor = min(kevro_times), min(loop_times)
            print(f"  {label:<24} kevro run {best:7.3f} s   loop {floor:7.3f} s   ratio {best / floor:6.2f}")
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Reads the sanitizer logs of a test run (one file per process) and decides whether it passed.

A memory error report of any kind fails the run. A leak fails it only when the module made
the allocation: some frame of its stack lies in `_kevro` before the first frame of the
interpreter's evaluation loop. Leaks whose stacks never reach the module, and objects that
Python code called by the module allocated (its imports, the asset functions), belong to the
interpreter, which does not free everything it allocated when the process ends; they are only
counted.
"""

from __future__ import annotations

import argparse
import re
import sys
from dataclasses import dataclass, field
from pathlib import Path

LEAK_START = re.compile(r"^(Direct|Indirect) leak of \d+ byte\(s\) in \d+ object\(s\)")
FRAME = re.compile(r"^\s+#\d+ ")
ERROR = re.compile(r"ERROR: AddressSanitizer|runtime error:")
# Python code ran between this frame and the allocation.
EVAL_FRAME = re.compile(r"\b_PyEval_EvalFrame")


@dataclass
class Leak:
    """One leak record of a report: its heading and its allocation stack, innermost first."""

    heading: str
    frames: list[str] = field(default_factory=list)


def module_frame(frame: str, source_dir: str) -> bool:
    """True when a stack frame lies in the module: its code (symbolised or by file name)."""
    return "kevro::" in frame or "/_kevro." in frame or (source_dir + "/") in frame


def made_by_module(leak: Leak, source_dir: str) -> bool:
    """True when the module made the allocation itself or through a C-API call of its own."""
    for frame in leak.frames:
        if module_frame(frame, source_dir):
            return True
        if EVAL_FRAME.search(frame):
            return False
    return False


def read_leaks(text: str) -> list[Leak]:
    """The leak records of one log, in their order."""
    leaks: list[Leak] = []
    current: Leak | None = None
    for line in text.splitlines():
        if LEAK_START.match(line):
            current = Leak(line)
            leaks.append(current)
        elif current is not None and FRAME.match(line):
            current.frames.append(line.strip())
        else:
            current = None
    return leaks


def check(logs: list[Path], source_dir: str, out=sys.stdout) -> int:
    """Prints every memory error and every leak of the module; returns the exit status."""
    errors = 0
    module_leaks = 0
    interpreter_leaks = 0
    for log in logs:
        text = log.read_text(encoding="utf-8", errors="replace")
        if ERROR.search(text):
            errors += 1
            print(f"== {log}: memory error\n{text}", file=out)
            continue
        for leak in read_leaks(text):
            if made_by_module(leak, source_dir):
                module_leaks += 1
                print(f"== {log}: leak of the module\n{leak.heading}", file=out)
                for frame in leak.frames:
                    print(f"    {frame}", file=out)
            else:
                interpreter_leaks += 1
    print(
        f"sanitizer logs: {len(logs)} files, {errors} with memory errors, {module_leaks} leaks "
        f"of the module, {interpreter_leaks} leaks of the interpreter alone (ignored)",
        file=out,
    )
    return 1 if errors or module_leaks else 0


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("log_dir", type=Path, help="the directory that holds the logs")
    parser.add_argument("--source-dir", type=Path, default=Path(__file__).resolve().parents[1] / "src",
                        help="the module's sources, whose paths mark its frames (default: src/)")
    args = parser.parse_args(argv)
    logs = sorted(p for p in args.log_dir.iterdir() if p.is_file()) if args.log_dir.is_dir() else []
    return check(logs, str(args.source_dir.resolve()))


if __name__ == "__main__":
    sys.exit(main())

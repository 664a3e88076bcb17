"""Discovery from the command line: ``python -m kevro.inspect MODULE [MODULE ...]``.

Prints the inspection report of the named modules (one JSON text, then a line feed) on standard
output. Modules that cannot be imported are skipped with a warning line on standard error; any
other failure prints one line on standard error and exits with status 1.
"""

# Absolute imports only: this module is kevro.inspect, and `import inspect` anywhere (here or in
# the native module) must still reach the standard library's module of that name.
from __future__ import annotations

import argparse
import json
import os
import sys
from typing import List, Optional, Sequence

import _kevro
from kevro.common import write_stdout

PROG = "python -m kevro.inspect"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description=(
            "Import the named modules, find their kevro assets and print the inspection "
            "report as JSON."
        ),
        epilog="Modules that fail to import are skipped with a warning on standard error.",
    )
    parser.add_argument(
        "modules",
        metavar="MODULE",
        nargs="+",
        help="dotted name of a module to inspect, importable from the current directory",
    )
    parser.add_argument(
        "--pretty",
        action="store_true",
        help="print the same report indented for reading instead of in compact form",
    )
    return parser


def pretty(report: str) -> str:
    """The report indented by two spaces, non-ASCII text kept as it is."""
    return json.dumps(json.loads(report), indent=2, ensure_ascii=False)


def one_line(text: str) -> str:
    return " ".join(text.splitlines()) if text else text


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    modules: List[str] = list(args.modules)
    # What the modules print while they are imported goes to standard error, so that standard
    # output carries the report alone.
    stdout = sys.stdout
    stdout.flush()
    try:
        saved: Optional[int] = os.dup(1)
        os.dup2(2, 1)
    except OSError:
        saved = None
    try:
        report = _kevro.inspect_modules(modules)
        text = pretty(report) if args.pretty else report
    except Exception as exc:  # noqa: BLE001 - every failure of the call is reported the same way
        print(f"kevro.inspect: error: {type(exc).__name__}: {one_line(str(exc))}", file=sys.stderr)
        return 1
    finally:
        for stream in {id(s): s for s in (sys.stdout, stdout)}.values():
            try:
                stream.flush()
            except Exception:  # noqa: BLE001 - a stream a module replaced and broke
                pass
        sys.stdout = stdout
        if saved is not None:
            os.dup2(saved, 1)
            os.close(saved)
    write_stdout(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())

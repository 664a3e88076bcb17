"""Materializes one asset: ``python -m kevro.worker MODULE FUNCTION OUTPUT_DIR [--kwargs JSON]``.

The asset's value goes to ``OUTPUT_DIR/value.json`` and a record of the run to
``OUTPUT_DIR/result.json``. The exit status is 0 when the run succeeded, 1 when it failed (the
failure is described in ``result.json``, or on standard error when the output directory could not
be prepared) and 2 for a usage error. One line on standard error tells the outcome.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import sys
import threading
from pathlib import Path
from typing import List, Optional

import _kevro
from kevro.common import RESULT_FILE, VALUE_FILE, remove_stale_result


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m kevro.worker",
        description="Materialize one kevro asset into OUTPUT_DIR/value.json and "
        "OUTPUT_DIR/result.json.",
    )
    parser.add_argument(
        "module", metavar="MODULE", help="dotted name of the module that defines the asset"
    )
    parser.add_argument("function", metavar="FUNCTION", help="name of the asset in that module")
    parser.add_argument(
        "output_dir",
        metavar="OUTPUT_DIR",
        help="directory for the output files (created with its parents when missing)",
    )
    parser.add_argument(
        "--kwargs",
        metavar="JSON",
        default=None,
        help="JSON object whose members become the asset's keyword arguments",
    )
    # Given by `python -m kevro run --isolated`: a pipe that nothing writes to, so that it
    # reaches end of file when the runner is gone.
    parser.add_argument("--lifeline-fd", type=int, default=None, help=argparse.SUPPRESS)
    return parser


def _watch_lifeline(fd: int) -> None:
    """Stops this process, and every process of its group when it leads one, once `fd`
    reaches end of file."""

    def watch() -> None:
        try:
            while os.read(fd, 512):
                pass
        except OSError:
            pass
        if os.getpgrp() == os.getpid():
            os.killpg(os.getpid(), signal.SIGKILL)
        os._exit(1)

    threading.Thread(target=watch, name="kevro-lifeline", daemon=True).start()


def _recorded_error(output_dir: str) -> str:
    try:
        record = json.loads(Path(output_dir, RESULT_FILE).read_text(encoding="utf-8"))
        return str(record["error"])
    except (OSError, ValueError, KeyError, TypeError):
        return "(no readable result.json)"


def _one_line(text: str) -> str:
    return " ".join(text.split())


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    if args.lifeline_fd is not None:
        _watch_lifeline(args.lifeline_fd)
    try:
        remove_stale_result(args.output_dir)
        _kevro.materialize_asset(args.module, args.function, args.output_dir, args.kwargs)
    except SystemExit as exit_:
        if exit_.code != 1:
            raise
        error = _one_line(_recorded_error(args.output_dir))
        print(f"kevro: {args.function} failed: {error}", file=sys.stderr)
        return 1
    except Exception as exc:  # the output directory could not be prepared
        print(f"kevro: error: {type(exc).__name__}: {_one_line(str(exc))}", file=sys.stderr)
        return 1
    value_path = Path(args.output_dir) / VALUE_FILE
    print(f"kevro: {args.function} ok -> {value_path}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())

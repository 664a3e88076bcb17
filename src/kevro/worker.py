"""Materializes one asset:
``python -m kevro.worker MODULE FUNCTION OUTPUT_DIR [--kwargs JSON | --kwargs-file PATH]``.

The asset's value goes to ``OUTPUT_DIR/value.json`` and a record of the run to
``OUTPUT_DIR/result.json``. The exit status is 0 when the run succeeded, 1 when it failed (the
failure is described in ``result.json``, or on standard error when the output directory could not
be prepared) and 2 for a usage error (a --kwargs-file that cannot be read among them). One line
on standard error tells the outcome; with --traceback, the traceback of a failure comes first.
"""

from __future__ import annotations

import argparse
import os
import signal
import sys
import threading
from pathlib import Path
from typing import List, Optional

from kevro._materialize import materialize
from kevro.common import VALUE_FILE, remove_stale_result


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
    given = parser.add_mutually_exclusive_group()
    given.add_argument(
        "--kwargs",
        metavar="JSON",
        default=None,
        help="JSON object whose members become the asset's keyword arguments",
    )
    given.add_argument(
        "--kwargs-file",
        metavar="PATH",
        default=None,
        help="file holding that JSON object as UTF-8 text, for arguments of any size",
    )
    parser.add_argument(
        "--traceback",
        action="store_true",
        help="print the traceback of a failure, as the interpreter shows it, before the line "
        "that tells the outcome",
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


def _one_line(text: str) -> str:
    return " ".join(text.split())


def main(argv: Optional[List[str]] = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    kwargs_json = args.kwargs
    if args.kwargs_file is not None:
        try:
            with open(args.kwargs_file, "rb") as handle:
                kwargs_json = handle.read().decode("utf-8")
        except (OSError, UnicodeDecodeError) as exc:
            parser.error(f"cannot read --kwargs-file {args.kwargs_file}: {_one_line(str(exc))}")
    if args.lifeline_fd is not None:
        _watch_lifeline(args.lifeline_fd)
    try:
        remove_stale_result(args.output_dir)
        materialize(args.module, args.function, args.output_dir, kwargs_json, args.traceback)
    except SystemExit as exit_:
        if exit_.code != 1:
            raise
        return 1  # the traceback and the error line are out
    except Exception as exc:  # the output directory could not be prepared
        print(f"kevro: error: {type(exc).__name__}: {_one_line(str(exc))}", file=sys.stderr)
        return 1
    value_path = Path(args.output_dir) / VALUE_FILE
    print(f"kevro: {args.function} ok -> {value_path}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())

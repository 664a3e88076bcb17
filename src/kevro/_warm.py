"""A warm worker process of ``python -m kevro run``.

``python -m kevro._warm --jobs-fd R --reports-fd W [--no-preload] MODULE ...`` imports the
asset modules once, then serves jobs for the life of the run. The runner writes one job per line
on descriptor R, as a JSON array ``[token, module, function, out_dir, kwargs_json]``; for each
one this process forks a fresh child that materializes the asset with its standard output and
error going to ``out_dir/job.log``, waits for it and answers on descriptor W with the line
``token pid exit CODE`` or ``token pid signal NUMBER``. The line ``ready`` goes out once the
modules are imported. End of file on R ends the process; while a job runs, it also kills the
job and whatever the job started (the process group), so the jobs of a runner that was killed
stop with it.

The fork gives every job the imported modules for free and still a process of its own: whatever
an asset does to module state, to its interpreter or to the process dies with the child.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import inspect  # noqa: F401 - materialize_asset imports it; children get it ready-made
import json
import os
import pathlib  # noqa: F401 - as inspect
import select
import shutil
import signal
import sys
import tempfile
import traceback
from typing import Iterator, List, NoReturn, Optional

# Imported here, before any fork, so that no child pays for these imports again.
import _kevro
from kevro.common import LOG_FILE, remove_stale_result


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m kevro._warm",
        description="Serve asset jobs for `python -m kevro run` over two pipe descriptors "
        "(started by the runner, not by hand).",
    )
    parser.add_argument("--jobs-fd", type=int, required=True, help="descriptor to read jobs from")
    parser.add_argument("--reports-fd", type=int, required=True, help="descriptor for reports")
    parser.add_argument(
        "--no-preload",
        action="store_true",
        help="import nothing up front; each job's child imports its module itself",
    )
    parser.add_argument("modules", metavar="MODULE", nargs="*", help="asset module to preload")
    return parser


def _preload(modules: List[str]) -> None:
    # A module that fails to import is left for its jobs: their materialize_asset call imports
    # it again in the child and records the error.
    for name in modules:
        try:
            importlib.import_module(name)
        except BaseException:  # noqa: BLE001 - SystemExit at import time included
            sys.modules.pop(name, None)


def _probe(n: int) -> int:
    """A trivial asset that the warm-up materializes."""
    return n


def _warm_up() -> None:
    """One materialization in this process, so that whatever the first call sets up (lazy
    imports, caches of inspect and pathlib) is inherited by every child instead of being
    repeated in each."""
    scratch = tempfile.mkdtemp(prefix="kevro-warm-")
    try:
        _kevro.materialize_asset(__name__, "_probe", scratch, '{"n": 1}')
    except BaseException:  # noqa: BLE001 - a warm-up that fails costs speed, nothing else
        pass
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


# Jobs between two full collections of this process (see _settle).
SETTLE_EVERY = 1000


def _settle() -> None:
    """A full collection before children are forked. A child inherits the collector's state:
    right after a full collection the next one is far away, so a child's allocations do not set
    off marking through the inherited heap, which would copy most of its pages. CPython also
    freezes what survived, so that no collection in a child writes to those objects."""
    gc.collect()
    freeze = getattr(gc, "freeze", None)
    if freeze is not None:
        freeze()


def _write_all(fd: int, data: bytes) -> None:
    while data:
        data = data[os.write(fd, data) :]


def _run_child(jobs_fd: int, reports_fd: int, module: str, function: str, out_dir: str,
               kwargs_json: Optional[str]) -> NoReturn:
    """The forked child: one materialization, then _exit without running any cleanup of the
    parent's interpreter state."""
    code = 1
    try:
        os.close(jobs_fd)
        os.close(reports_fd)
        os.makedirs(out_dir, exist_ok=True)
        log = os.open(os.path.join(out_dir, LOG_FILE), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        os.dup2(log, 1)
        os.dup2(log, 2)
        os.close(log)
        remove_stale_result(out_dir)
        try:
            _kevro.materialize_asset(module, function, out_dir, kwargs_json)
            code = 0
        except SystemExit as exit_:
            # 1 is materialize_asset's own "the run failed, see result.json".
            if exit_.code != 1:
                print(f"kevro: materialize_asset raised SystemExit({exit_.code!r})", file=sys.stderr)
    except BaseException:  # noqa: BLE001 - the output directory could not be prepared, etc.
        try:
            traceback.print_exc()
        except BaseException:  # noqa: BLE001
            pass
    finally:
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except BaseException:  # noqa: BLE001
                pass
        os._exit(code)


def _lines(jobs_fd: int) -> Iterator[bytes]:
    """The job lines of the job pipe, until end of file."""
    buffer = b""
    while True:
        end = buffer.find(b"\n")
        if end >= 0:
            line, buffer = buffer[:end], buffer[end + 1:]
            yield line
            continue
        chunk = os.read(jobs_fd, 65536)
        if not chunk:
            return
        buffer += chunk


def _wait(pid: int, jobs_fd: int, wake_fd: int) -> int:
    """Waits for the job's child to end and returns its wait status. The runner writes nothing
    on the job pipe while a job runs, so the pipe turning readable means that it has reached
    end of file: the runner is gone, and the job, with everything it started, is stopped by
    killing this process's group (this process included)."""
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        readable, _, _ = select.select([jobs_fd, wake_fd], [], [])
        if jobs_fd in readable:
            os.killpg(os.getpgrp(), signal.SIGKILL)
        try:
            while os.read(wake_fd, 512):
                pass
        except BlockingIOError:
            pass


def serve(jobs_fd: int, reports_fd: int) -> None:
    """Reads jobs until end of file, running each in a forked child."""
    # SIGCHLD wakes the wait for a child through a pipe; a child puts both back.
    wake_r, wake_w = os.pipe()
    os.set_blocking(wake_r, False)
    os.set_blocking(wake_w, False)
    signal.signal(signal.SIGCHLD, lambda signum, frame: None)
    signal.set_wakeup_fd(wake_w)
    for served, line in enumerate(_lines(jobs_fd), start=1):
        if served % SETTLE_EVERY == 0:
            _settle()
        token, module, function, out_dir, kwargs_json = json.loads(line)
        sys.stdout.flush()
        sys.stderr.flush()
        pid = os.fork()
        if pid == 0:
            signal.set_wakeup_fd(-1)
            signal.signal(signal.SIGCHLD, signal.SIG_DFL)
            os.close(wake_r)
            os.close(wake_w)
            _run_child(jobs_fd, reports_fd, module, function, out_dir, kwargs_json)
        status = _wait(pid, jobs_fd, wake_r)
        if os.WIFSIGNALED(status):
            report = f"{token} {pid} signal {os.WTERMSIG(status)}\n"
        else:
            report = f"{token} {pid} exit {os.WEXITSTATUS(status)}\n"
        _write_all(reports_fd, report.encode("ascii"))


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    # Only the runner decides about interruption; it stops this process through its group.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _warm_up()
    if not args.no_preload:
        _preload(args.modules)
    _settle()
    _write_all(args.reports_fd, b"ready\n")
    serve(args.jobs_fd, args.reports_fd)
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""A warm worker process of ``python -m kevro run``.

``python -m kevro._warm --jobs-fd R --reports-fd W [--no-preload] MODULE ...`` imports the
asset modules once, then serves jobs for the life of the run. The runner writes one job per line
on descriptor R, as a JSON array ``[token, module, function, out_dir, kwargs_json]``; for each
one this process forks a fresh child that materializes the asset with its standard output and
error going to ``out_dir/job.log``, waits for it and answers on descriptor W with the line
``token pid exit CODE`` or ``token pid signal NUMBER``: the exit code that the child says just
before it leaves, or else its wait status. The line ``ready`` goes out once the modules are
imported. Each child is forked ahead, once the job before it is over, and waits for its line. End
of file on R ends the process; while a job runs, it also kills the job and whatever the job
started (the process group), so the jobs of a runner that was killed stop with it. A line that
holds a JSON object instead is the runner's own (see _control).

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
from kevro._materialize import materialize
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


def _read_to_end(fd: int) -> bytes:
    chunks = []
    while True:
        chunk = os.read(fd, 65536)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


def _run_child(line_r: int, done_w: int) -> NoReturn:
    """A forked child: waits for its one job line, materializes the job, says its exit code on
    `done_w` and leaves with _exit, running no cleanup of the parent's interpreter state. A
    child whose line pipe ends without a line was never needed and leaves at once."""
    line = _read_to_end(line_r)
    os.close(line_r)
    if not line:
        os._exit(0)
    code = 1
    try:
        token, module, function, out_dir, kwargs_json = json.loads(line)
        os.makedirs(out_dir, exist_ok=True)
        log = os.open(os.path.join(out_dir, LOG_FILE), os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        os.dup2(log, 1)
        os.dup2(log, 2)
        os.close(log)
        remove_stale_result(out_dir)
        try:
            materialize(module, function, out_dir, kwargs_json)
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
        # The job is over: the worker may report it now, without waiting for the kernel to
        # take the process down.
        try:
            os.write(done_w, b"%d\n" % code)
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


class _Child:
    """A child forked ahead of its job: it waits for the job line on `line_w`'s pipe and says
    its exit code on `done_r`'s."""

    __slots__ = ("pid", "line_w", "done_r")

    def __init__(self, pid: int, line_w: int, done_r: int) -> None:
        self.pid = pid
        self.line_w = line_w
        self.done_r = done_r

    def close(self) -> None:
        for fd in (self.line_w, self.done_r):
            if fd >= 0:
                os.close(fd)
        self.line_w = self.done_r = -1


class _Server:
    """Serves the job lines of the job pipe, each in a fresh child. The child of the next job is
    forked as soon as the last one is over, so that a job line finds a process already made."""

    def __init__(self, jobs_fd: int, reports_fd: int) -> None:
        self.jobs_fd = jobs_fd
        self.reports_fd = reports_fd
        # SIGCHLD wakes the wait for a child through a pipe; a child puts both back.
        self.wake_r, self.wake_w = os.pipe()
        os.set_blocking(self.wake_r, False)
        os.set_blocking(self.wake_w, False)
        signal.signal(signal.SIGCHLD, lambda signum, frame: None)
        signal.set_wakeup_fd(self.wake_w)
        self.spare: Optional[_Child] = None
        self.unreaped: List[int] = []  # children reported from what they said, not yet waited for
        self.forked = 0

    def _fork(self) -> _Child:
        self.forked += 1
        if self.forked % SETTLE_EVERY == 0:
            _settle()
        line_r, line_w = os.pipe()
        done_r, done_w = os.pipe()
        sys.stdout.flush()
        sys.stderr.flush()
        try:
            pid = os.fork()
        except BaseException:
            for fd in (line_r, line_w, done_r, done_w):
                os.close(fd)
            raise
        if pid == 0:
            signal.set_wakeup_fd(-1)
            signal.signal(signal.SIGCHLD, signal.SIG_DFL)
            for fd in (self.wake_r, self.wake_w, self.jobs_fd, self.reports_fd, line_w, done_r):
                os.close(fd)
            _run_child(line_r, done_w)
        os.close(line_r)
        os.close(done_w)
        return _Child(pid, line_w, done_r)

    def _hand_over(self, line: bytes) -> _Child:
        """The child that got the job line: the spare, or a fresh one when the spare is gone."""
        for _ in range(2):
            child = self.spare if self.spare is not None else self._fork()
            self.spare = None
            try:
                _write_all(child.line_w, line)
            except OSError:  # it died waiting; it is reaped with the others
                self.unreaped.append(child.pid)
                child.close()
                continue
            os.close(child.line_w)
            child.line_w = -1
            return child
        raise OSError("no child could be forked for the job")

    def _reap(self) -> None:
        for pid in list(self.unreaped):
            try:
                done, _ = os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                done = pid
            if done:
                self.unreaped.remove(pid)

    def _wait(self, child: _Child) -> str:
        """What the child's report line says of its end: "exit CODE" once it has said its code
        (it is reaped later), else "exit CODE" or "signal NUMBER" from its wait status. The
        runner writes nothing on the job pipe while a job runs, so the pipe turning readable
        means that it has reached end of file: the runner is gone, and the job, with
        everything it started, is stopped by killing this process's group (this process
        included)."""
        said = b""
        while True:
            done, status = os.waitpid(child.pid, os.WNOHANG)
            if done:
                break
            readable, _, _ = select.select([self.jobs_fd, child.done_r, self.wake_r], [], [])
            if self.jobs_fd in readable:
                os.killpg(os.getpgrp(), signal.SIGKILL)
            if child.done_r in readable:
                chunk = os.read(child.done_r, 64)
                said += chunk
                if said.endswith(b"\n"):
                    self.unreaped.append(child.pid)
                    return f"exit {int(said)}"
                if not chunk:  # gone without a word: its wait status tells
                    _, status = os.waitpid(child.pid, 0)
                    break
            try:
                while os.read(self.wake_r, 512):
                    pass
            except BlockingIOError:
                pass
        if os.WIFSIGNALED(status):
            return f"signal {os.WTERMSIG(status)}"
        return f"exit {os.WEXITSTATUS(status)}"

    def _control(self, message: dict) -> None:
        """A line of the runner's own: the log file this process's output goes to from now on
        (what it wrote before is copied there first), and modules to import."""
        log = message.get("log")
        if log:
            sys.stdout.flush()
            sys.stderr.flush()
            try:
                fd = os.open(log, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o644)
            except OSError:
                fd = -1
            if fd >= 0:
                try:
                    size = os.fstat(1).st_size
                    _write_all(fd, os.pread(1, size, 0) if size else b"")
                except OSError:
                    pass
                os.dup2(fd, 1)
                os.dup2(fd, 2)
                os.close(fd)
        missing = [name for name in message.get("preload") or () if name not in sys.modules]
        if missing:
            _preload(missing)
            _settle()
            # The spare was forked without them.
            if self.spare is not None:
                self.spare.close()
                self.unreaped.append(self.spare.pid)
            self.spare = self._fork()

    def serve(self) -> None:
        """Reads jobs until end of file, running each in a forked child."""
        self.spare = self._fork()
        for line in _lines(self.jobs_fd):
            if line.startswith(b"{"):
                self._control(json.loads(line))
                continue
            child = self._hand_over(line)
            try:
                end = self._wait(child)
            finally:
                child.close()
            token = line[1:line.index(b",")].decode("ascii")
            _write_all(self.reports_fd, f"{token} {child.pid} {end}\n".encode("ascii"))
            # The next job's child is made while the runner takes this report in; forked while
            # a job runs, it would slow that job down.
            self._reap()
            self.spare = self._fork()
        if self.spare is not None:
            self.spare.close()
            self.unreaped.append(self.spare.pid)
            self.spare = None
        for pid in self.unreaped:
            try:
                os.waitpid(pid, 0)
            except ChildProcessError:
                pass


def main(argv: Optional[List[str]] = None) -> int:
    args = _parser().parse_args(argv)
    # Only the runner decides about interruption; it stops this process through its group.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _warm_up()
    if not args.no_preload:
        _preload(args.modules)
    _settle()
    _write_all(args.reports_fd, b"ready\n")
    _Server(args.jobs_fd, args.reports_fd).serve()
    return 0


if __name__ == "__main__":
    sys.exit(main())

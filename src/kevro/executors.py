"""Where the jobs of ``python -m kevro run`` execute: the `Executor` protocol and its two local
implementations.

- `WarmPool` (the default): long-lived ``python -m kevro._warm`` processes that import the asset
  modules once and fork a fresh child per job;
- `IsolatedPool`: one ``python -m kevro.worker`` process per job.

An executor knows nothing of the plan, of upstream values or of the ledger: the runner hands it
one job at a time with the job's keyword arguments as JSON text and turns what it reports into
the job's outcome.
"""

from __future__ import annotations

import json
import os
import selectors
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Protocol, Sequence, Tuple

from kevro.common import LOG_FILE, ascii_json

if TYPE_CHECKING:  # pragma: no cover
    from kevro.graph import Job

# How long close() waits for a worker process to leave after its job pipe was closed.
_EXIT_GRACE_S = 5.0

# JobEvent kinds.
BEGAN = "began"
ENDED = "ended"
RETRY = "retry"


@dataclass
class JobEvent:
    """What an executor reports about a job that it was given.

    BEGAN: the job's own work starts now (its worker has finished importing the asset modules,
    or a remote worker took it), so its clock restarts. ENDED: the job's process is gone, as
    `status` (exit status), `signal` (the number of the signal that killed it) or `died` (the
    worker that ran it was lost; the text says how) tell. RETRY: the job never began and is to
    be started again; its worker was lost to something the job is not to blame for."""

    index: int  # Job.index
    kind: str = ENDED
    pid: Optional[int] = None  # the process that ran the job, when known
    status: Optional[int] = None
    signal: Optional[int] = None
    died: Optional[str] = None
    error_type: Optional[str] = None  # of a `died` end, when it is not "WorkerDied"
    host: Optional[str] = None  # the host name of the machine that ran the job, when elsewhere


class Executor(Protocol):
    """What the runner loop needs of the place where jobs run.

    The loop calls start() while has_room() says yes, waits (on the run's selector, for at most
    `poll_s` seconds when that is set), then calls collect() and turns every ENDED event into the
    job's outcome. A job has succeeded when it ended with status 0 and its folder holds a
    result.json that records success; an executor whose jobs run elsewhere writes the files it
    gets back (value.json, result.json, job.log) into Job.out_dir before it reports the end.

    An executor that waits on descriptors registers them with the run's selector, which its
    constructor receives, with ``(callback, argument)`` as the key's data: the loop calls
    ``callback(argument, mask)`` when one is ready and collect() afterwards.

    Retries are the loop's own (it calls start() again for the job); for ``--timeout`` it calls
    kill_job() on a job that has run too long, the one method that time limits add."""

    #: Seconds between two collect() calls while jobs run; None when every event arrives on a
    #: descriptor registered with the selector.
    poll_s: Optional[float]

    def has_room(self) -> bool:
        """Whether another job may be started now."""
        ...

    def start(self, job: "Job", kwargs_json: str) -> Optional[int]:
        """Hands the job over, with its keyword arguments as a JSON object text, and returns the
        pid of the process that runs it when that is known here. OSError when the job cannot
        be started; the job then counts as failed."""
        ...

    def collect(self) -> List[JobEvent]:
        """The events since the last call, oldest first."""
        ...

    def running(self) -> List[Tuple[int, Optional[int]]]:
        """(Job.index, pid or None) of every job started whose ENDED or RETRY event has not been
        collected."""
        ...

    def kill_job(self, index: int) -> None:
        """Stops one running job (Job.index) at once, with everything it started: the runner
        does so when the job outlives ``--timeout``. Its end is still reported, as an ENDED
        (or RETRY) event of whatever kind the executor sees; the runner records it as a time-out
        however it is reported. A job that is no longer running is left alone."""
        ...

    def kill(self) -> None:
        """Stops every running job at once, with everything it started (the second Ctrl-C).
        Their ends need not be reported afterwards."""
        ...

    def close(self) -> None:
        """Ends every worker and waits for them; the last call. A job still running is
        stopped."""
        ...


def signal_name(number: int) -> str:
    try:
        return signal.Signals(number).name
    except ValueError:
        return f"signal {number}"


def spawn_warm(modules: Sequence[str], preload: bool, output: Any,
               cwd: Optional[str]) -> Tuple[subprocess.Popen, int, int]:
    """Starts a ``python -m kevro._warm`` process in a session of its own, its output going to
    `output`: (the process, the write end of its job pipe, the read end of its report pipe)."""
    jobs_r, jobs_w = os.pipe()
    reports_r, reports_w = os.pipe()
    command = [sys.executable, "-m", "kevro._warm", "--jobs-fd", str(jobs_r), "--reports-fd", str(reports_w)]
    if not preload:
        command.append("--no-preload")
    command += ["--", *modules]
    try:
        proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=output, stderr=output,
                                pass_fds=(jobs_r, reports_w), cwd=cwd, start_new_session=True)
    except BaseException:
        for fd in (jobs_r, jobs_w, reports_r, reports_w):
            os.close(fd)
        raise
    os.close(jobs_r)
    os.close(reports_w)
    return proc, jobs_w, reports_r


class EarlyWorkers:
    """Warm workers started while discovery runs, before anything may be written into the
    output folder: each one's output goes to an unnamed temporary file of its own until the
    pool that takes them over tells it the log file, which it then copies that output into.
    Workers that no pool takes over are ended by close()."""

    def __init__(self, count: int, modules: Sequence[str], cwd: Optional[str]) -> None:
        self.spawned: List[Tuple[subprocess.Popen, int, int]] = []
        for _ in range(count):
            try:
                with tempfile.TemporaryFile() as output:
                    self.spawned.append(spawn_warm(modules, True, output, cwd))
            except OSError:  # only speed is lost: the pool starts workers as it needs them
                break

    def take(self) -> List[Tuple[subprocess.Popen, int, int]]:
        spawned, self.spawned = self.spawned, []
        return spawned

    def close(self) -> None:
        """Stops the workers that no pool took over, at once: they hold nothing of value."""
        spawned = self.take()
        for proc, jobs_w, reports_r in spawned:
            kill_group(proc)
            os.close(jobs_w)
            os.close(reports_r)
        for proc, _, _ in spawned:
            proc.wait()


class _WarmWorker:
    __slots__ = ("proc", "jobs_w", "reports_r", "inbox", "outbox", "ready", "current", "preloads")

    def __init__(self, proc: subprocess.Popen, jobs_w: int, reports_r: int, preloads: bool) -> None:
        self.proc = proc
        self.jobs_w = jobs_w
        self.reports_r = reports_r
        self.inbox = b""
        self.outbox = b""
        self.ready = False
        self.current: Optional[int] = None
        self.preloads = preloads  # whether it imports the modules before it is ready


class WarmPool:
    """Up to `size` warm worker processes, started as jobs need them. A job line goes out on the
    worker's job pipe (without blocking: what the pipe does not take waits for the selector to
    say it is writable), the report comes back on its report pipe. A worker that dies is
    replaced by the next job that needs one; one that dies before it has imported the modules
    is taken to have been killed by an import, and its replacements import nothing up front.
    A worker whose job pipe reaches end of file while a job runs (the runner is gone) kills the
    job and everything it started. The pool takes over the `early` workers, if any, first
    telling each one the log file (`log_path`) and the modules to import."""

    poll_s = None  # every event arrives on a pipe

    def __init__(self, size: int, modules: Sequence[str], selector: selectors.BaseSelector,
                 log_fd: Optional[int], cwd: str, early: Optional[EarlyWorkers] = None,
                 log_path: Optional[str] = None) -> None:
        self.size = size
        self.modules = list(modules)
        self.selector = selector
        self.log_fd = log_fd
        self.cwd = cwd
        self.preload = True
        self.idle: List[_WarmWorker] = []
        self.workers: List[_WarmWorker] = []
        self.events: List[JobEvent] = []
        self.retried: set = set()
        if early is not None:
            control = (json.dumps({"log": log_path, "preload": self.modules}) + "\n").encode("utf-8")
            for proc, jobs_w, reports_r in early.take():
                worker = self._adopt(proc, jobs_w, reports_r, True)
                worker.outbox = control
                self._flush(worker)
                self.idle.append(worker)

    def _spawn(self) -> _WarmWorker:
        output = self.log_fd if self.log_fd is not None else subprocess.DEVNULL
        proc, jobs_w, reports_r = spawn_warm(self.modules, self.preload, output, self.cwd)
        return self._adopt(proc, jobs_w, reports_r, self.preload)

    def _adopt(self, proc: subprocess.Popen, jobs_w: int, reports_r: int, preloads: bool) -> _WarmWorker:
        os.set_blocking(jobs_w, False)
        worker = _WarmWorker(proc, jobs_w, reports_r, preloads)
        self.workers.append(worker)
        self.selector.register(reports_r, selectors.EVENT_READ, (self._on_event, worker))
        return worker

    def has_room(self) -> bool:
        return sum(1 for w in self.workers if w.current is not None) < self.size

    def running(self) -> List[Tuple[int, Optional[int]]]:
        return [(w.current, None) for w in self.workers if w.current is not None]

    def start(self, job: "Job", kwargs_json: str) -> Optional[int]:
        worker = self.idle.pop() if self.idle else self._spawn()
        worker.current = job.index
        line = (f"[{job.index}, {ascii_json(job.asset.module)}, {ascii_json(job.asset.function)}, "
                f"{ascii_json(job.out_dir)}, {ascii_json(kwargs_json)}]")
        worker.outbox += (line + "\n").encode("utf-8")
        self._flush(worker)
        return None

    def _flush(self, worker: _WarmWorker) -> None:
        try:
            written = os.write(worker.jobs_w, worker.outbox)
        except BlockingIOError:
            written = 0
        except OSError:  # the worker is gone; its report pipe will say so
            written = len(worker.outbox)
        worker.outbox = worker.outbox[written:]
        # The job pipe is watched only while part of a job line waits for room in it.
        watched = worker.jobs_w in self.selector.get_map()
        if worker.outbox and not watched:
            self.selector.register(worker.jobs_w, selectors.EVENT_WRITE, (self._on_writable, worker))
        elif watched and not worker.outbox:
            self.selector.unregister(worker.jobs_w)

    def _on_writable(self, worker: _WarmWorker, mask: int) -> None:
        if worker in self.workers:
            self._flush(worker)

    def _on_event(self, worker: _WarmWorker, mask: int) -> None:
        if worker not in self.workers:  # lost earlier in the same round of events
            return
        try:
            data = os.read(worker.reports_r, 65536)
        except OSError:
            data = b""
        if not data:
            self._lost(worker)
            return
        worker.inbox += data
        *lines, worker.inbox = worker.inbox.split(b"\n")
        for line in lines:
            self._report(worker, line.decode("ascii", "replace"))

    def _report(self, worker: _WarmWorker, line: str) -> None:
        if line == "ready":
            worker.ready = True
            if worker.current is not None:
                self.events.append(JobEvent(worker.current, BEGAN))
            return
        token, pid, kind, code = line.split()
        index = int(token)
        if index != worker.current:
            return
        worker.current = None
        self.idle.append(worker)
        if kind == "signal":
            self.events.append(JobEvent(index, pid=int(pid), signal=int(code)))
        else:
            self.events.append(JobEvent(index, pid=int(pid), status=int(code)))

    def _lost(self, worker: _WarmWorker) -> None:
        """The worker's report pipe reached end of file: the process is gone."""
        self._forget(worker)
        returncode = reap(worker.proc)
        if not worker.ready:
            # It died importing the modules: let its replacements import nothing up front.
            self.preload = False
        if worker.current is None:
            return
        index = worker.current
        worker.current = None
        if not worker.ready and (worker.preloads or index not in self.retried):
            # The job never began; give it to another worker: again whenever the worker died
            # importing the modules up front (each started before the first such death may),
            # else once.
            self.retried.add(index)
            self.events.append(JobEvent(index, RETRY))
            return
        how = (f"was killed by signal {signal_name(-returncode)}" if returncode < 0
               else f"exited with status {returncode}")
        self.events.append(
            JobEvent(index, died=f"worker died: the warm worker process {worker.proc.pid} {how}")
        )

    def _forget(self, worker: _WarmWorker) -> None:
        for fd in (worker.reports_r, worker.jobs_w):
            try:
                self.selector.unregister(fd)
            except (KeyError, ValueError):
                pass
            os.close(fd)
        if worker in self.workers:
            self.workers.remove(worker)
        if worker in self.idle:
            self.idle.remove(worker)

    def collect(self) -> List[JobEvent]:
        events, self.events = self.events, []
        return events

    def kill_job(self, index: int) -> None:
        # The job's child runs in its worker's process group: the worker goes with it, its
        # report pipe says so, and the next job that needs a worker starts a fresh one.
        for worker in self.workers:
            if worker.current == index:
                kill_group(worker.proc)

    def kill(self) -> None:
        for worker in self.workers:
            kill_group(worker.proc)

    def close(self) -> None:
        """Ends every worker: closing its job pipe lets it leave; a worker that does not is
        killed with its process group."""
        workers = list(self.workers)
        for worker in workers:
            self._forget(worker)
        deadline = time.monotonic() + _EXIT_GRACE_S
        for worker in workers:
            try:
                worker.proc.wait(timeout=max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                kill_group(worker.proc)
                worker.proc.wait()


class IsolatedPool:
    """One `python -m kevro.worker` process per job, its output in the job's job.log. A worker
    stops, with everything its job started, when the runner is gone. The keyword arguments go
    to the worker in a file (``--kwargs-file``) of a scratch folder of the pool, removed once
    the job has ended, so that upstream values of any size fit."""

    poll_s = 0.5  # exits are found by polling; SIGCHLD wakes the loop when it can be caught

    def __init__(self, size: int, cwd: str) -> None:
        self.size = size
        self.cwd = cwd
        self.procs: Dict[int, subprocess.Popen] = {}
        # Every worker gets the read end; the write end, never written to, is this process's
        # alone, so the workers see end of file on it when the runner is gone, however it
        # ended, and stop with their jobs.
        self.lifeline_r, self.lifeline_w = os.pipe()
        self.scratch: Optional[str] = None

    def _kwargs_path(self, index: int) -> str:
        if self.scratch is None:
            self.scratch = tempfile.mkdtemp(prefix="kevro-kwargs-")
        return os.path.join(self.scratch, f"{index}.json")

    def has_room(self) -> bool:
        return len(self.procs) < self.size

    def running(self) -> List[Tuple[int, Optional[int]]]:
        return [(index, proc.pid) for index, proc in self.procs.items()]

    def start(self, job: "Job", kwargs_json: str) -> Optional[int]:
        kwargs_path = self._kwargs_path(job.index)
        with open(kwargs_path, "wb") as handle:
            handle.write(kwargs_json.encode("utf-8", "surrogatepass"))
        command = [sys.executable, "-m", "kevro.worker", job.asset.module, job.asset.function,
                   job.out_dir, "--kwargs-file", kwargs_path, "--traceback",
                   "--lifeline-fd", str(self.lifeline_r)]
        try:
            os.makedirs(job.out_dir, exist_ok=True)
            with open(os.path.join(job.out_dir, LOG_FILE), "wb") as log:
                proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log,
                                        stderr=subprocess.STDOUT, cwd=self.cwd, start_new_session=True,
                                        pass_fds=(self.lifeline_r,))
        except BaseException:
            _remove(kwargs_path)
            raise
        self.procs[job.index] = proc
        return proc.pid

    def collect(self) -> List[JobEvent]:
        events = []
        for index, proc in list(self.procs.items()):
            code = proc.poll()
            if code is None:
                continue
            del self.procs[index]
            _remove(self._kwargs_path(index))
            if code < 0:
                events.append(JobEvent(index, pid=proc.pid, signal=-code))
            else:
                events.append(JobEvent(index, pid=proc.pid, status=code))
        return events

    def kill_job(self, index: int) -> None:
        proc = self.procs.get(index)
        if proc is not None:
            kill_group(proc)

    def kill(self) -> None:
        for proc in self.procs.values():
            kill_group(proc)

    def close(self) -> None:
        for proc in self.procs.values():
            kill_group(proc)
            proc.wait()
        self.procs.clear()
        os.close(self.lifeline_r)
        os.close(self.lifeline_w)
        if self.scratch is not None:
            shutil.rmtree(self.scratch, ignore_errors=True)


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def kill_group(proc: subprocess.Popen) -> None:
    # Each worker leads a session of its own, so its group holds the job's processes as well.
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def reap(proc: subprocess.Popen) -> int:
    try:
        return proc.wait(timeout=_EXIT_GRACE_S)
    except subprocess.TimeoutExpired:
        kill_group(proc)
        return proc.wait()

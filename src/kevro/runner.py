"""The executor of ``python -m kevro run``: runs the jobs of a plan in worker processes.

Jobs start once every upstream job has succeeded; the values of upstream jobs are read back from
their ``value.json`` and handed to the job as JSON keyword text. Two kinds of workers exist:

- warm (the default): a pool of long-lived ``python -m kevro._warm`` processes that import the
  asset modules once and fork a fresh child per job;
- isolated: one ``python -m kevro.worker`` process per job.

Either way a job has succeeded only when its process exited with status 0 and left a
``result.json`` that says ``"ok": true``; a stale ``result.json`` is removed before the job
starts, so a process that dies can never look successful. The downstream jobs of a failed job
are skipped; independent jobs go on. Each finished job is appended to ``<out>/runs.jsonl``.

The main loop is single-threaded: one selector waits on the warm workers' report pipes and on a
self-pipe that the SIGINT and SIGCHLD handlers write to. A first Ctrl-C stops new jobs from
starting and lets the running ones finish; a second one kills the worker process groups.
"""

from __future__ import annotations

import heapq
import json
import os
import selectors
import signal
import subprocess
import sys
import time
import uuid
from dataclasses import dataclass, field
from typing import IO, TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, Tuple

from kevro import ledger as ledger_mod
from kevro.ledger import LEDGER_FILE, LedgerWriter, first_line, format_duration, iso_utc
from kevro.worker import LOG_FILE, RESULT_FILE, VALUE_FILE, remove_stale_result

if TYPE_CHECKING:  # pragma: no cover
    from kevro.graph import Job, Plan

OK = "ok"
FAILED = "failed"
SKIPPED = "skipped"

WORKER_DIED = "WorkerDied"
WORKERS_LOG = "workers.log"

# How long close() waits for a worker process to leave after its job pipe was closed.
_EXIT_GRACE_S = 5.0


@dataclass
class Outcome:
    """What became of one job."""

    job: "Job"
    status: str  # OK, FAILED or SKIPPED
    started_at: Optional[float] = None  # time.time() when the job was handed to a worker
    ended_at: Optional[float] = None
    duration_s: float = 0.0
    worker_pid: Optional[int] = None
    error: Optional[str] = None
    error_type: Optional[str] = None

    def ledger_entry(self, run_id: str) -> Dict[str, Any]:
        job = self.job
        return {
            "run_id": run_id,
            "asset": job.asset.name,
            "ref": job.asset.ref,
            "partition": job.partition_keys,
            "started_at": iso_utc(self.started_at),
            "ended_at": iso_utc(self.ended_at),
            "duration_s": round(self.duration_s, 6),
            "worker_pid": self.worker_pid,
            "ok": self.status == OK,
            "error": self.error,
            "error_type": self.error_type,
            "skipped": self.status == SKIPPED,
            "out_dir": job.out_dir,
        }


@dataclass
class RunResult:
    """Every job's outcome, in plan order, and how the run ended."""

    run_id: str
    plan: "Plan"
    outcomes: List[Outcome]
    interrupted: bool
    wall_s: float

    @property
    def exit_code(self) -> int:
        if self.interrupted:
            return 130
        return 0 if all(o.status == OK for o in self.outcomes) else 1


@dataclass
class _Exit:
    """A worker's report that a job's process has ended."""

    index: int
    pid: Optional[int]
    status: Optional[int] = None  # exit status
    signal: Optional[int] = None  # number of the signal that killed the process
    died: Optional[str] = None  # the warm worker itself died while running the job
    retry: bool = False  # the job never began: run it again


def signal_name(number: int) -> str:
    try:
        return signal.Signals(number).name
    except ValueError:
        return f"signal {number}"


def read_result(out_dir: str) -> Optional[Dict[str, Any]]:
    """The record in out_dir/result.json, or None when there is no readable JSON object."""
    try:
        with open(os.path.join(out_dir, RESULT_FILE), "rb") as handle:
            record = json.loads(handle.read())
    except (OSError, ValueError):
        return None
    return record if isinstance(record, dict) else None


def judge(out_dir: str, end: _Exit) -> Tuple[bool, Optional[str], Optional[str]]:
    """(ok, error, error_type) of a job whose process ended as `end` tells."""
    if end.died is not None:
        return False, end.died, WORKER_DIED
    if end.signal is not None:
        return False, f"worker died: killed by signal {signal_name(end.signal)}", WORKER_DIED
    record = read_result(out_dir)
    if record is None:
        return False, f"worker died: exited with status {end.status} without writing {RESULT_FILE}", WORKER_DIED
    if record.get("ok") is True:
        if end.status == 0:
            return True, None, None
        return False, f"worker exited with status {end.status} after a successful run", WORKER_DIED
    error = record.get("error")
    error_type = record.get("error_type")
    return (
        False,
        error if isinstance(error, str) else f"{RESULT_FILE} records a failure without an error",
        error_type if isinstance(error_type, str) else None,
    )


# --- workers ---------------------------------------------------------------------------------


class _WarmWorker:
    __slots__ = ("proc", "jobs_w", "reports_r", "inbox", "outbox", "ready", "current")

    def __init__(self, proc: subprocess.Popen, jobs_w: int, reports_r: int) -> None:
        self.proc = proc
        self.jobs_w = jobs_w
        self.reports_r = reports_r
        self.inbox = b""
        self.outbox = b""
        self.ready = False
        self.current: Optional[int] = None


class WarmPool:
    """Up to `size` warm worker processes. A job line goes out on the worker's job pipe (without
    blocking: what the pipe does not take waits for the selector to say it is writable), the
    report comes back on its report pipe. A worker that dies is replaced by the next job that
    needs one; one that dies before it has imported the modules is taken to have been killed by
    an import, and its replacements import nothing up front."""

    polls = False  # every event arrives on a pipe

    def __init__(self, size: int, modules: Sequence[str], selector: selectors.BaseSelector,
                 log_fd: Optional[int], cwd: str) -> None:
        self.size = size
        self.modules = list(modules)
        self.selector = selector
        self.log_fd = log_fd
        self.cwd = cwd
        self.preload = True
        self.idle: List[_WarmWorker] = []
        self.workers: List[_WarmWorker] = []
        self.exits: List[_Exit] = []
        # Jobs whose worker has just finished its imports: their clock starts now.
        self.begun: List[int] = []
        self.retried: set = set()

    def warm_up(self, count: int) -> None:
        """Starts workers ahead of the first jobs so that their imports overlap."""
        while len(self.workers) < min(count, self.size):
            self.idle.append(self._spawn())

    def _spawn(self) -> _WarmWorker:
        jobs_r, jobs_w = os.pipe()
        reports_r, reports_w = os.pipe()
        command = [sys.executable, "-m", "kevro._warm", "--jobs-fd", str(jobs_r),
                   "--reports-fd", str(reports_w)]
        if not self.preload:
            command.append("--no-preload")
        command += ["--", *self.modules]
        output = self.log_fd if self.log_fd is not None else subprocess.DEVNULL
        try:
            proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=output, stderr=output,
                                    pass_fds=(jobs_r, reports_w), cwd=self.cwd, start_new_session=True)
        except BaseException:
            for fd in (jobs_r, jobs_w, reports_r, reports_w):
                os.close(fd)
            raise
        os.close(jobs_r)
        os.close(reports_w)
        os.set_blocking(jobs_w, False)
        worker = _WarmWorker(proc, jobs_w, reports_r)
        self.workers.append(worker)
        self.selector.register(reports_r, selectors.EVENT_READ, (self._on_event, worker))
        return worker

    def has_room(self) -> bool:
        return self.busy() < self.size

    def busy(self) -> int:
        return sum(1 for w in self.workers if w.current is not None)

    def running(self) -> List[Tuple[int, Optional[int]]]:
        return [(w.current, None) for w in self.workers if w.current is not None]

    def start(self, index: int, job: "Job", kwargs_json: str) -> Optional[int]:
        worker = self.idle.pop() if self.idle else self._spawn()
        worker.current = index
        line = json.dumps([index, job.asset.module, job.asset.function, job.out_dir, kwargs_json])
        worker.outbox = (line + "\n").encode("utf-8")
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
                self.begun.append(worker.current)
            return
        token, pid, kind, code = line.split()
        index = int(token)
        if index != worker.current:
            return
        worker.current = None
        self.idle.append(worker)
        if kind == "signal":
            self.exits.append(_Exit(index, int(pid), signal=int(code)))
        else:
            self.exits.append(_Exit(index, int(pid), status=int(code)))

    def _lost(self, worker: _WarmWorker) -> None:
        """The worker's report pipe reached end of file: the process is gone."""
        self._forget(worker)
        returncode = _reap(worker.proc)
        if not worker.ready:
            # It died importing the modules: let its replacements import nothing up front.
            self.preload = False
        if worker.current is None:
            return
        index = worker.current
        worker.current = None
        if not worker.ready and index not in self.retried:
            # The job never began; give it to another worker, once.
            self.retried.add(index)
            self.exits.append(_Exit(index, None, retry=True))
            return
        how = (f"was killed by signal {signal_name(-returncode)}" if returncode < 0
               else f"exited with status {returncode}")
        self.exits.append(
            _Exit(index, None, died=f"worker died: the warm worker process {worker.proc.pid} {how}")
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

    def collect(self) -> List[_Exit]:
        exits, self.exits = self.exits, []
        return exits

    def collect_begun(self) -> List[int]:
        begun, self.begun = self.begun, []
        return begun

    def kill(self) -> None:
        for worker in self.workers:
            _kill_group(worker.proc)

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
                _kill_group(worker.proc)
                worker.proc.wait()


class IsolatedPool:
    """One `python -m kevro.worker` process per job, its output in the job's job.log."""

    polls = True  # exits are found by polling; SIGCHLD wakes the loop when it can be caught

    def __init__(self, size: int, cwd: str) -> None:
        self.size = size
        self.cwd = cwd
        self.procs: Dict[int, subprocess.Popen] = {}

    def warm_up(self, count: int) -> None:
        pass

    def has_room(self) -> bool:
        return len(self.procs) < self.size

    def busy(self) -> int:
        return len(self.procs)

    def running(self) -> List[Tuple[int, Optional[int]]]:
        return [(index, proc.pid) for index, proc in self.procs.items()]

    def start(self, index: int, job: "Job", kwargs_json: str) -> Optional[int]:
        command = [sys.executable, "-m", "kevro.worker", job.asset.module, job.asset.function,
                   job.out_dir, "--kwargs", kwargs_json]
        os.makedirs(job.out_dir, exist_ok=True)
        with open(os.path.join(job.out_dir, LOG_FILE), "wb") as log:
            proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log,
                                    stderr=subprocess.STDOUT, cwd=self.cwd, start_new_session=True)
        self.procs[index] = proc
        return proc.pid

    def collect_begun(self) -> List[int]:
        return []

    def collect(self) -> List[_Exit]:
        exits = []
        for index, proc in list(self.procs.items()):
            code = proc.poll()
            if code is None:
                continue
            del self.procs[index]
            if code < 0:
                exits.append(_Exit(index, proc.pid, signal=-code))
            else:
                exits.append(_Exit(index, proc.pid, status=code))
        return exits

    def kill(self) -> None:
        for proc in self.procs.values():
            _kill_group(proc)

    def close(self) -> None:
        for proc in self.procs.values():
            _kill_group(proc)
            proc.wait()
        self.procs.clear()


def _kill_group(proc: subprocess.Popen) -> None:
    # Each worker leads a session of its own, so its group holds the job's processes as well.
    try:
        os.killpg(proc.pid, signal.SIGKILL)
    except (ProcessLookupError, PermissionError):
        pass


def _reap(proc: subprocess.Popen) -> int:
    try:
        return proc.wait(timeout=_EXIT_GRACE_S)
    except subprocess.TimeoutExpired:
        _kill_group(proc)
        return proc.wait()


# --- progress --------------------------------------------------------------------------------


class PlainProgress:
    """One line on a stream per finished job."""

    ticks = False

    def __init__(self, stream: IO[str]) -> None:
        self.stream: Optional[IO[str]] = stream

    def started(self, job: "Job") -> None:
        pass

    def finished(self, outcome: Outcome) -> None:
        label = outcome.job.label
        if outcome.status == OK:
            line = f"kevro: ok {label} ({format_duration(outcome.duration_s)})"
        elif outcome.status == FAILED:
            line = f"kevro: FAILED {label}: {first_line(outcome.error)}"
        else:
            reason = first_line(outcome.error)
            if reason.startswith("skipped: "):
                reason = reason[len("skipped: "):]
            line = f"kevro: skipped {label}: {reason}"
        self._write(line + "\n")

    def message(self, text: str) -> None:
        self._write(f"kevro: {text}\n")

    def _write(self, text: str) -> None:
        # A reader that went away (a closed pipe) must not stop the run.
        if self.stream is None:
            return
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError):
            self.stream = None

    def tick(self) -> None:
        pass

    def close(self) -> None:
        pass


class RichProgress:
    """A live display on a terminal: counts, a bar, the elapsed time and what is running; failed
    jobs are printed above it as they happen."""

    ticks = True
    _REFRESH_S = 0.1

    def __init__(self, total: int, stream: IO[str]) -> None:
        from rich.console import Console
        from rich.live import Live

        self.total = total
        self.counts = {OK: 0, FAILED: 0, SKIPPED: 0}
        self.running: Dict[int, str] = {}
        self.began = time.monotonic()
        self.last = 0.0
        self.console = Console(file=stream)
        self.live = Live(self._render(), console=self.console, auto_refresh=False, transient=False,
                         redirect_stdout=False, redirect_stderr=False)
        self.live.start()

    def _render(self) -> Any:
        from rich.console import Group
        from rich.progress_bar import ProgressBar
        from rich.table import Table
        from rich.text import Text

        done = sum(self.counts.values())
        grid = Table.grid(padding=(0, 1))
        grid.add_row(
            ProgressBar(total=max(self.total, 1), completed=done, width=30),
            Text(f"{done}/{self.total}"),
            Text(f"ok {self.counts[OK]}", style="green"),
            Text(f"failed {self.counts[FAILED]}", style="red" if self.counts[FAILED] else ""),
            Text(f"skipped {self.counts[SKIPPED]}", style="yellow" if self.counts[SKIPPED] else ""),
            Text(f"running {len(self.running)}"),
            Text(format_duration(time.monotonic() - self.began), style="dim"),
        )
        labels = list(self.running.values())
        shown = ", ".join(labels[:4]) + (f" and {len(labels) - 4} more" if len(labels) > 4 else "")
        return Group(grid, Text(shown, style="cyan", overflow="ellipsis", no_wrap=True))

    def started(self, job: "Job") -> None:
        self.running[job.index] = job.label
        self.tick()

    def finished(self, outcome: Outcome) -> None:
        self.running.pop(outcome.job.index, None)
        self.counts[outcome.status] += 1
        if outcome.status == FAILED:
            from rich.markup import escape

            self.live.console.print(
                f"[red]FAILED[/red] {escape(outcome.job.label)}: {escape(first_line(outcome.error))}"
            )
        self.tick()

    def message(self, text: str) -> None:
        from rich.markup import escape

        self.live.console.print(f"kevro: {escape(text)}")

    def tick(self) -> None:
        now = time.monotonic()
        if now - self.last >= self._REFRESH_S:
            self.last = now
            self.live.update(self._render(), refresh=True)

    def close(self) -> None:
        self.live.update(self._render())
        self.live.stop()  # draws the last frame


def make_progress(total: int, stream: IO[str]) -> Any:
    """A live display when `stream` is a terminal and rich is installed, plain lines otherwise."""
    if stream.isatty():
        try:
            return RichProgress(total, stream)
        except ImportError:
            pass
    return PlainProgress(stream)


# --- the run ---------------------------------------------------------------------------------


class _UpstreamUnreadable(Exception):
    def __init__(self, label: str, cause: BaseException) -> None:
        super().__init__(f"cannot read the value of upstream {label}: {type(cause).__name__}: {cause}")
        self.error_type = type(cause).__name__


class _Executor:
    def __init__(self, plan: "Plan", pool: Any, selector: selectors.BaseSelector,
                 ledger: Optional[LedgerWriter], progress: Any, run_id: str) -> None:
        self.plan = plan
        self.jobs = plan.jobs
        self.pool = pool
        self.selector = selector
        self.ledger = ledger
        self.progress = progress
        self.run_id = run_id
        count = len(self.jobs)
        self.outcomes: List[Optional[Outcome]] = [None] * count
        self.downstream: List[List[int]] = [[] for _ in range(count)]
        self.waiting = [0] * count
        for job in self.jobs:
            ups = set(job.upstream)
            self.waiting[job.index] = len(ups)
            for up in ups:
                self.downstream[up].append(job.index)
        self.ready = [job.index for job in self.jobs if self.waiting[job.index] == 0]
        heapq.heapify(self.ready)
        # Upstream values stay in memory until the last job that reads them has started.
        self.values: Dict[int, Any] = {}
        self.readers_left = [len(d) for d in self.downstream]
        self.started: Dict[int, Tuple[float, float, Optional[int]]] = {}
        self.interrupts = 0
        self.stopping = False

    # Step 1: hand ready jobs to free workers.
    def dispatch(self) -> None:
        while self.ready and self.pool.has_room() and not self.stopping:
            index = heapq.heappop(self.ready)
            job = self.jobs[index]
            wall, mono = time.time(), time.monotonic()
            try:
                kwargs_json = json.dumps(self.plan.kwargs(job, self._value_of))
            except _UpstreamUnreadable as exc:
                self._done(Outcome(job, FAILED, wall, time.time(), time.monotonic() - mono, None,
                                   str(exc), exc.error_type))
                continue
            except Exception as exc:  # noqa: BLE001 - one job's arguments, not the whole run
                self._done(Outcome(job, FAILED, wall, time.time(), time.monotonic() - mono, None,
                                   f"cannot build the keyword arguments: {type(exc).__name__}: {exc}",
                                   type(exc).__name__))
                continue
            finally:
                self._release_inputs(job)
            try:
                remove_stale_result(job.out_dir)
                pid = self.pool.start(index, job, kwargs_json)
            except OSError as exc:
                self._done(Outcome(job, FAILED, wall, time.time(), time.monotonic() - mono, None,
                                   f"cannot start the job: {type(exc).__name__}: {exc}",
                                   type(exc).__name__))
                continue
            self.started[index] = (wall, mono, pid)
            self.progress.started(job)

    def _value_of(self, index: int) -> Any:
        if index in self.values:
            return self.values[index]
        job = self.jobs[index]
        try:
            with open(os.path.join(job.out_dir, VALUE_FILE), "rb") as handle:
                value = json.loads(handle.read())
        except (OSError, ValueError) as exc:
            raise _UpstreamUnreadable(job.label, exc) from exc
        self.values[index] = value
        return value

    def _release_inputs(self, job: "Job") -> None:
        for up in set(job.upstream):
            self.readers_left[up] -= 1
            if self.readers_left[up] <= 0:
                self.values.pop(up, None)

    # Step 2: turn a worker's report into the job's outcome.
    def finish(self, end: _Exit) -> None:
        job = self.jobs[end.index]
        wall, mono, pid = self.started.pop(end.index)
        if end.retry:
            heapq.heappush(self.ready, end.index)
            return
        ok, error, error_type = judge(job.out_dir, end)
        self._done(Outcome(job, OK if ok else FAILED, wall, time.time(), time.monotonic() - mono,
                           end.pid if end.pid is not None else pid, error, error_type))

    def _done(self, outcome: Outcome) -> None:
        index = outcome.job.index
        self.outcomes[index] = outcome
        self._record(outcome)
        if outcome.status == OK:
            for down in self.downstream[index]:
                self.waiting[down] -= 1
                if self.waiting[down] == 0:
                    heapq.heappush(self.ready, down)
        else:
            self._skip_downstream(index, f"skipped: upstream {outcome.job.label} failed")

    def _skip_downstream(self, index: int, reason: str) -> None:
        stack = list(self.downstream[index])
        while stack:
            down = stack.pop()
            if self.outcomes[down] is not None:
                continue
            self.outcomes[down] = Outcome(self.jobs[down], SKIPPED, error=reason)
            self._release_inputs(self.jobs[down])
            self._record(self.outcomes[down])
            stack.extend(self.downstream[down])

    def _record(self, outcome: Outcome) -> None:
        if self.ledger is not None:
            self.ledger.append(outcome.ledger_entry(self.run_id))
        self.progress.finished(outcome)

    # Step 3: the loop.
    def loop(self, timeout: Optional[float]) -> None:
        self.pool.warm_up(len(self.ready) or 1)
        while True:
            self.dispatch()
            if not self.pool.busy():
                if self.stopping or not self.ready:
                    break
                continue
            for key, mask in self.selector.select(timeout):
                callback, arg = key.data
                callback(arg, mask)
            for index in self.pool.collect_begun():
                if index in self.started:
                    _, _, pid = self.started[index]
                    self.started[index] = (time.time(), time.monotonic(), pid)
            for end in self.pool.collect():
                self.finish(end)
            if self.interrupts and not self.stopping:
                self.stopping = True
                self.progress.message(
                    f"interrupted: waiting for {self.pool.busy()} running job(s) to finish; "
                    "press Ctrl-C again to stop them"
                )
            if self.interrupts >= 2:
                self._kill_running()
                break
            self.progress.tick()

    def _kill_running(self) -> None:
        # Reports that were already in count as they are; every job still running when the kill
        # goes out was stopped by it, however its process is seen to end afterwards.
        for end in self.pool.collect():
            self.finish(end)
        stopped = list(self.pool.running())
        self.pool.kill()
        self.pool.collect()
        for index, _ in stopped:
            job = self.jobs[index]
            wall, mono, pid = self.started.pop(index)
            self._done(Outcome(job, FAILED, wall, time.time(), time.monotonic() - mono, pid,
                               "interrupted: stopped by a second Ctrl-C", "Interrupted"))

    def on_wake(self, fd: int, mask: int) -> None:
        try:
            data = os.read(fd, 512)
        except BlockingIOError:
            return
        self.interrupts += data.count(b"i")

    def finish_run(self) -> List[Outcome]:
        """Records the jobs that never started."""
        reason = "skipped: interrupted" if self.stopping else "skipped: not reached"
        for index, outcome in enumerate(self.outcomes):
            if outcome is None:
                self.outcomes[index] = Outcome(self.jobs[index], SKIPPED, error=reason)
                self._record(self.outcomes[index])
        return [o for o in self.outcomes if o is not None]


class _SignalWake:
    """SIGINT (and SIGCHLD when asked) write a byte to a pipe that the selector watches, so the
    loop wakes at once. Outside the main thread no handler can be set and the loop polls."""

    def __init__(self, on_chld: bool) -> None:
        self.read_fd, self.write_fd = os.pipe()
        os.set_blocking(self.read_fd, False)
        os.set_blocking(self.write_fd, False)
        self.saved: Dict[int, Any] = {}
        self.installed = False
        try:
            self.saved[signal.SIGINT] = signal.signal(signal.SIGINT, self._handler(b"i"))
            if on_chld:
                self.saved[signal.SIGCHLD] = signal.signal(signal.SIGCHLD, self._handler(b"c"))
            self.installed = True
        except ValueError:  # not the main thread
            self.restore()

    def _handler(self, byte: bytes) -> Callable[[int, Any], None]:
        def handler(signum: int, frame: Any) -> None:
            try:
                os.write(self.write_fd, byte)
            except OSError:
                pass

        return handler

    def restore(self) -> None:
        for number, previous in self.saved.items():
            signal.signal(number, previous if previous is not None else signal.SIG_DFL)
        self.saved.clear()

    def close(self) -> None:
        self.restore()
        os.close(self.read_fd)
        os.close(self.write_fd)


def execute(plan: "Plan", out: str, *, jobs: int, isolated: bool = False,
            progress: Any = None, cwd: Optional[str] = None) -> RunResult:
    """Runs every job of `plan` with up to `jobs` at once and appends each outcome to
    <out>/runs.jsonl. `progress` receives started/finished/message/tick/close calls (plain lines
    on stderr when None)."""
    if jobs < 1:
        raise ValueError("jobs must be at least 1")
    cwd = os.getcwd() if cwd is None else cwd
    run_id = uuid.uuid4().hex
    began = time.monotonic()
    os.makedirs(out, exist_ok=True)
    if progress is None:
        progress = make_progress(len(plan.jobs), sys.stderr)
    ledger = LedgerWriter(os.path.join(out, LEDGER_FILE))
    selector = selectors.DefaultSelector()
    wake = _SignalWake(on_chld=isolated)
    log_fd: Optional[int] = None
    if isolated:
        pool: Any = IsolatedPool(jobs, cwd)
    else:
        log_fd = os.open(os.path.join(out, WORKERS_LOG),
                         os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o644)
        modules = list(dict.fromkeys(asset.module for asset in plan.assets))
        pool = WarmPool(jobs, modules, selector, log_fd, cwd)
    executor = _Executor(plan, pool, selector, ledger, progress, run_id)
    selector.register(wake.read_fd, selectors.EVENT_READ, (executor.on_wake, wake.read_fd))
    timeout: Optional[float] = None
    if pool.polls:
        timeout = 0.5 if wake.installed else 0.02
    if progress.ticks:
        timeout = RichProgress._REFRESH_S if timeout is None else min(timeout, RichProgress._REFRESH_S)
    try:
        executor.loop(timeout)
    finally:
        try:
            pool.close()
        finally:
            wake.close()
            selector.close()
            if log_fd is not None:
                os.close(log_fd)
    outcomes = executor.finish_run()
    ledger.close()
    progress.close()
    return RunResult(run_id, plan, outcomes, executor.interrupts > 0, time.monotonic() - began)


# --- the summary -----------------------------------------------------------------------------

ERRORS_PER_ASSET = 3


@dataclass
class AssetSummary:
    name: str
    ok: int = 0
    failed: int = 0
    skipped: int = 0
    time_s: float = 0.0  # sum of the job durations
    errors: List[str] = field(default_factory=list)  # "label: first line", at most a few
    more_errors: int = 0


def summarize(result: RunResult) -> List[AssetSummary]:
    """Per asset in plan order: counts, the summed job time and the first errors."""
    by_ref: Dict[str, AssetSummary] = {a.ref: AssetSummary(a.name) for a in result.plan.assets}
    for outcome in result.outcomes:
        entry = by_ref[outcome.job.asset.ref]
        entry.time_s += outcome.duration_s
        if outcome.status == OK:
            entry.ok += 1
            continue
        if outcome.status == FAILED:
            entry.failed += 1
            if len(entry.errors) < ERRORS_PER_ASSET:
                entry.errors.append(f"{outcome.job.label}: {first_line(outcome.error)}")
            else:
                entry.more_errors += 1
        else:
            entry.skipped += 1
    return list(by_ref.values())


def totals_line(result: RunResult) -> str:
    counts = {OK: 0, FAILED: 0, SKIPPED: 0}
    for outcome in result.outcomes:
        counts[outcome.status] += 1
    text = (f"{len(result.outcomes)} jobs: {counts[OK]} ok, {counts[FAILED]} failed, "
            f"{counts[SKIPPED]} skipped in {format_duration(result.wall_s)}")
    return text + (" (interrupted)" if result.interrupted else "")


SUMMARY_COLUMNS = ("asset", "ok", "failed", "skipped", "time")


def summary_text(result: RunResult) -> str:
    """The plain summary: one aligned row per asset (time = summed job durations), the first
    errors of each asset, and a totals line with the wall-clock time."""
    rows = []
    errors: List[str] = []
    for entry in summarize(result):
        rows.append([entry.name, str(entry.ok), str(entry.failed), str(entry.skipped),
                     format_duration(entry.time_s)])
        errors += [f"  {line}" for line in entry.errors]
        if entry.more_errors:
            errors.append(f"  ... and {entry.more_errors} more failures of {entry.name}")
    text = ledger_mod.aligned(SUMMARY_COLUMNS, rows)
    if errors:
        text += "errors:\n" + "\n".join(errors) + "\n"
    return text + totals_line(result) + "\n"


def print_summary(result: RunResult, stream: IO[str]) -> None:
    """The summary as a rich table on a terminal (when rich is installed), plain text otherwise."""
    if stream.isatty():
        try:
            from rich.console import Console
            from rich.markup import escape
            from rich.table import Table
        except ImportError:
            pass
        else:
            table = Table(title="kevro run", title_justify="left")
            table.add_column("asset", overflow="fold")
            for name in ("ok", "failed", "skipped"):
                table.add_column(name, justify="right")
            table.add_column("time", justify="right")
            table.add_column("first errors", overflow="fold")
            for entry in summarize(result):
                errors = list(entry.errors)
                if entry.more_errors:
                    errors.append(f"... and {entry.more_errors} more")
                table.add_row(
                    escape(entry.name), str(entry.ok),
                    f"[red]{entry.failed}[/red]" if entry.failed else "0",
                    f"[yellow]{entry.skipped}[/yellow]" if entry.skipped else "0",
                    format_duration(entry.time_s), escape("\n".join(errors)),
                )
            console = Console(file=stream)
            console.print(table)
            console.print(escape(totals_line(result)))
            return
    stream.write(summary_text(result))
    stream.flush()

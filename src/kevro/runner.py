"""The run loop of ``python -m kevro run``: runs the jobs of a plan on an executor.

Jobs start once every upstream job has succeeded; the values of upstream jobs are read back from
their ``value.json`` and handed to the job as JSON keyword text. The jobs themselves run on an
executor (`kevro.executors`): warm forking workers by default, one process per job with
``--isolated``.

Either way a job has succeeded only when its process exited with status 0 and left a
``result.json`` that says ``"ok": true``; a stale ``result.json`` is removed before the job
starts, so a process that dies can never look successful. The downstream jobs of a failed job
are skipped; independent jobs go on. Each finished job is appended to ``<out>/runs.jsonl``.

The main loop is single-threaded: one selector waits on the executor's descriptors (the warm
workers' report pipes) and on a self-pipe that the SIGINT and SIGCHLD handlers write to. A first Ctrl-C stops new jobs from
starting and lets the running ones finish; a second one kills the worker process groups.
"""

from __future__ import annotations

import heapq
import json
import os
import selectors
import signal
import sys
import time
import uuid
from dataclasses import dataclass, field
from typing import IO, TYPE_CHECKING, Any, Callable, Dict, List, Optional, Tuple

from kevro.common import FAILED, LEDGER_FILE, OK, SKIPPED, RESULT_FILE, VALUE_FILE, WORKERS_LOG, aligned, remove_stale_result
from kevro.executors import BEGAN, RETRY, Executor, IsolatedPool, JobEvent, WarmPool, signal_name
from kevro.ledger import LedgerWriter, first_line, format_duration, iso_utc

if TYPE_CHECKING:  # pragma: no cover
    from kevro.graph import Job, Plan


WORKER_DIED = "WorkerDied"


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


def read_result(out_dir: str) -> Optional[Dict[str, Any]]:
    """The record in out_dir/result.json, or None when there is no readable JSON object."""
    try:
        with open(os.path.join(out_dir, RESULT_FILE), "rb") as handle:
            record = json.loads(handle.read())
    except (OSError, ValueError):
        return None
    return record if isinstance(record, dict) else None


def judge(out_dir: str, end: JobEvent) -> Tuple[bool, Optional[str], Optional[str]]:
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


# --- progress --------------------------------------------------------------------------------


class PlainProgress:
    """One line on a stream per finished job."""

    tick_s = None  # nothing to redraw between events

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


def make_progress(total: int, stream: IO[str]) -> Any:
    """A live display when `stream` is a terminal, plain lines otherwise."""
    if stream.isatty():
        from kevro.live import RichProgress

        return RichProgress(total, stream)
    return PlainProgress(stream)


# --- the run ---------------------------------------------------------------------------------


class _UpstreamUnreadable(Exception):
    def __init__(self, label: str, cause: BaseException) -> None:
        super().__init__(f"cannot read the value of upstream {label}: {type(cause).__name__}: {cause}")
        self.error_type = type(cause).__name__


class _Run:
    """The state of one run: which jobs wait for which, what became of each, and the loop that
    hands ready jobs to the executor."""

    def __init__(self, plan: "Plan", executor: Executor, selector: selectors.BaseSelector,
                 ledger: Optional[LedgerWriter], progress: Any, run_id: str) -> None:
        self.plan = plan
        self.jobs = plan.jobs
        self.executor = executor
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
        # Job index -> (time.time(), time.monotonic(), pid) of its start.
        self.started: Dict[int, Tuple[float, float, Optional[int]]] = {}
        self.interrupts = 0
        self.stopping = False

    # Step 1: hand ready jobs to the executor while it has room.
    def dispatch(self) -> None:
        while self.ready and self.executor.has_room() and not self.stopping:
            index = heapq.heappop(self.ready)
            job = self.jobs[index]
            self.started[index] = (time.time(), time.monotonic(), None)
            try:
                kwargs_json = json.dumps(self.plan.kwargs(job, self._value_of))
            except _UpstreamUnreadable as exc:
                self._fail(job, str(exc), exc.error_type)
                continue
            except Exception as exc:  # noqa: BLE001 - one job's arguments, not the whole run
                self._fail(job, f"cannot build the keyword arguments: {type(exc).__name__}: {exc}",
                           type(exc).__name__)
                continue
            finally:
                self._release_inputs(job)
            try:
                remove_stale_result(job.out_dir)
                pid = self.executor.start(job, kwargs_json)
            except OSError as exc:
                self._fail(job, f"cannot start the job: {type(exc).__name__}: {exc}", type(exc).__name__)
                continue
            wall, mono, _ = self.started[index]
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

    # Step 2: turn the executor's reports into outcomes.
    def handle(self, event: JobEvent) -> None:
        index = event.index
        if index not in self.started:
            return
        if event.kind == BEGAN:
            _, _, pid = self.started[index]
            self.started[index] = (time.time(), time.monotonic(), pid)
            return
        if event.kind == RETRY:
            del self.started[index]
            heapq.heappush(self.ready, index)
            return
        job = self.jobs[index]
        ok, error, error_type = judge(job.out_dir, event)
        if not ok:
            self._fail(job, error, error_type, event.pid)
            return
        wall, mono, pid = self.started.pop(index)
        self._done(Outcome(job, OK, wall, time.time(), time.monotonic() - mono,
                           event.pid if event.pid is not None else pid))

    def _fail(self, job: "Job", error: Optional[str], error_type: Optional[str],
              pid: Optional[int] = None) -> None:
        """The job, started at the time that `started` holds for it, has failed."""
        wall, mono, started_pid = self.started.pop(job.index)
        self._done(Outcome(job, FAILED, wall, time.time(), time.monotonic() - mono,
                           pid if pid is not None else started_pid, error, error_type))

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
        while True:
            self.dispatch()
            if not self.started:
                if self.stopping or not self.ready:
                    break
                continue
            for key, mask in self.selector.select(timeout):
                callback, arg = key.data
                callback(arg, mask)
            for event in self.executor.collect():
                self.handle(event)
            if self.interrupts and not self.stopping:
                self.stopping = True
                self.progress.message(
                    f"interrupted: waiting for {len(self.started)} running job(s) to finish; "
                    "press Ctrl-C again to stop them"
                )
            if self.interrupts >= 2:
                self._kill_running()
                break
            self.progress.tick()

    def _kill_running(self) -> None:
        # Reports that were already in count as they are; every job still running when the kill
        # goes out was stopped by it, however its process is seen to end afterwards.
        for event in self.executor.collect():
            self.handle(event)
        stopped = [index for index, _ in self.executor.running()]
        self.executor.kill()
        self.executor.collect()
        for index in stopped:
            self._fail(self.jobs[index], "interrupted: stopped by a second Ctrl-C", "Interrupted")

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
    log_fd: Optional[int] = None
    executor: Executor
    if isolated:
        executor = IsolatedPool(jobs, cwd)
    else:
        log_fd = os.open(os.path.join(out, WORKERS_LOG),
                         os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o644)
        modules = list(dict.fromkeys(asset.module for asset in plan.assets))
        executor = WarmPool(jobs, modules, selector, log_fd, cwd)
    # SIGCHLD matters to an executor that finds the ends of its child processes by polling.
    wake = _SignalWake(on_chld=executor.poll_s is not None)
    run = _Run(plan, executor, selector, ledger, progress, run_id)
    selector.register(wake.read_fd, selectors.EVENT_READ, (run.on_wake, wake.read_fd))
    timeout = executor.poll_s
    if timeout is not None and not wake.installed:
        timeout = min(timeout, 0.02)
    if progress.tick_s is not None:
        timeout = progress.tick_s if timeout is None else min(timeout, progress.tick_s)
    try:
        run.loop(timeout)
    finally:
        try:
            executor.close()
        finally:
            wake.close()
            selector.close()
            if log_fd is not None:
                os.close(log_fd)
    outcomes = run.finish_run()
    ledger.close()
    progress.close()
    return RunResult(run_id, plan, outcomes, run.interrupts > 0, time.monotonic() - began)


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
    text = aligned(SUMMARY_COLUMNS, rows)
    if errors:
        text += "errors:\n" + "\n".join(errors) + "\n"
    return text + totals_line(result) + "\n"


def print_summary(result: RunResult, stream: IO[str]) -> None:
    """The summary as a rich table on a terminal, plain text otherwise."""
    if not stream.isatty():
        stream.write(summary_text(result))
        stream.flush()
        return
    from kevro import live

    rows = []
    for entry in summarize(result):
        errors = list(entry.errors)
        if entry.more_errors:
            errors.append(f"... and {entry.more_errors} more")
        rows.append([entry.name, str(entry.ok), str(entry.failed), str(entry.skipped),
                     format_duration(entry.time_s), "\n".join(errors)])
    live.print_table(stream, "kevro run", SUMMARY_COLUMNS + ("first errors",), rows,
                     right=SUMMARY_COLUMNS[1:], style=_count_style, footer=totals_line(result))


def _count_style(column: str, cell: str) -> Optional[str]:
    """Counts of failed and skipped jobs above zero stand out."""
    if column in (FAILED, SKIPPED) and cell != "0":
        from kevro.live import STATE_STYLES

        return STATE_STYLES[column]
    return None

"""The run loop of ``python -m kevro run``: runs the jobs of a plan on an executor.

Jobs start once every upstream job has succeeded; the values of upstream jobs are read back from
their ``value.json`` and handed to the job as JSON keyword text. The jobs themselves run on an
executor (`kevro.executors`): warm forking workers by default, one process per job with
``--isolated``.

Either way a job has succeeded only when its process exited with status 0 and left a
``result.json`` that says ``"ok": true``; a stale ``result.json`` is removed before the job
starts, so a process that dies can never look successful. The downstream jobs of a failed job
are skipped; independent jobs go on. Each finished job is appended to ``<out>/runs.jsonl``.

A failed job is started again up to ``retries`` more times before it counts as failed (a worker
that died included), and a job that runs longer than ``time_limit`` seconds is stopped through
the executor and fails with the error type "Timeout"; every attempt is a ledger line of its own
with its ``attempt`` number, and the downstream jobs wait for the last one.

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
import socket
import sys
import time
from dataclasses import dataclass, field
from typing import IO, TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, Tuple

from kevro import versions
from kevro.common import (FAILED, LEDGER_FILE, LOCK_FILE, LOG_FILE, OK, RESULT_FILE, SKIPPED, UP_TO_DATE, VALUE_FILE,
                          WORKERS_LOG, aligned, kwargs_text, remove_stale_result)
from kevro.executors import BEGAN, RETRY, EarlyWorkers, Executor, IsolatedPool, JobEvent, WarmPool, signal_name
from kevro.ledger import LedgerWriter, first_line, format_duration, iso_utc, json_text, pairs_json
from kevro.versions import CodeVersion, Stored

if TYPE_CHECKING:  # pragma: no cover
    from kevro.graph import Job, Plan


WORKER_DIED = "WorkerDied"
# The largest value.json that the runner keeps in memory for the jobs downstream of it.
KEEP_BYTES = 1 << 20
TIMEOUT = "Timeout"


@dataclass
class Outcome:
    """What became of one job."""

    job: "Job"
    status: str  # OK, FAILED, SKIPPED or UP_TO_DATE
    started_at: Optional[float] = None  # time.time() when the job was handed to a worker
    ended_at: Optional[float] = None
    duration_s: float = 0.0
    worker_pid: Optional[int] = None
    error: Optional[str] = None
    error_type: Optional[str] = None
    reason: Optional[str] = None  # why it ran (kevro.versions), None when it did not
    attempt: Optional[int] = None  # 1 for the first run of the job, None when it did not run
    host: Optional[str] = None  # the host name of the machine that ran it

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
            "host": self.host,
            "ok": self.status in (OK, UP_TO_DATE),
            "error": self.error,
            "error_type": self.error_type,
            "skipped": self.status == SKIPPED,
            "out_dir": job.out_dir,
            "state": self.status,
            "reason": self.reason,
            "attempt": self.attempt,
        }


@dataclass
class RunResult:
    """Every job's outcome, in plan order, and how the run ended."""

    run_id: str
    plan: "Plan"
    outcomes: List[Outcome]
    interrupted: bool
    wall_s: float
    # The version record and data version of every job that succeeded, by its folder, as the
    # runner wrote them.
    remembered: Dict[str, Stored] = field(default_factory=dict)

    @property
    def exit_code(self) -> int:
        if self.interrupted:
            return 130
        return 0 if all(o.status in (OK, UP_TO_DATE) for o in self.outcomes) else 1


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
        return False, end.died, end.error_type or WORKER_DIED
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
    """One line on a stream per job that ran or was skipped; up-to-date jobs are only counted
    in the summary."""

    tick_s = None  # nothing to redraw between events

    def __init__(self, stream: IO[str]) -> None:
        self.stream: Optional[IO[str]] = stream

    def started(self, job: "Job") -> None:
        pass

    def finished(self, outcome: Outcome) -> None:
        label = outcome.job.label
        if outcome.status == UP_TO_DATE:
            return
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


def _number(value: Optional[int]) -> str:
    return "null" if value is None else int.__repr__(value)


def ledger_line(outcome: Outcome, run_id: str, prefixes: Dict[str, str]) -> str:
    """The ledger line of the outcome, as json.dumps(outcome.ledger_entry(run_id),
    ensure_ascii=False) writes it, put together from a prefix made once per asset (kept in
    `prefixes`): encoding each whole entry would be most of the runner's own time per job."""
    job = outcome.job
    prefix = prefixes.get(job.asset.ref)
    if prefix is None:
        head = json.dumps({"run_id": run_id, "asset": job.asset.name, "ref": job.asset.ref},
                          ensure_ascii=False)
        prefix = prefixes[job.asset.ref] = head[:-1] + ', "partition": '
    ok = "true" if outcome.status in (OK, UP_TO_DATE) else "false"
    skipped = "true" if outcome.status == SKIPPED else "false"
    return (f'{prefix}{pairs_json(job.partition)}, "started_at": {json_text(iso_utc(outcome.started_at))}, '
            f'"ended_at": {json_text(iso_utc(outcome.ended_at))}, '
            f'"duration_s": {round(outcome.duration_s, 6)!r}, '
            f'"worker_pid": {_number(outcome.worker_pid)}, "host": {json_text(outcome.host)}, "ok": {ok}, '
            f'"error": {json_text(outcome.error)}, "error_type": {json_text(outcome.error_type)}, '
            f'"skipped": {skipped}, "out_dir": {json_text(job.out_dir)}, "state": {json_text(outcome.status)}, '
            f'"reason": {json_text(outcome.reason)}, "attempt": {_number(outcome.attempt)}}}')


class _UpstreamUnreadable(Exception):
    def __init__(self, label: str, cause: BaseException) -> None:
        super().__init__(f"cannot read the value of upstream {label}: {type(cause).__name__}: {cause}")
        self.error_type = type(cause).__name__


class _Run:
    """The state of one run: which jobs wait for which, what became of each, and the loop that
    decides for each ready job whether it is up to date and hands the others to the executor.

    A job is decided once every upstream job it reads is up to date or has run; an up-to-date
    job is done at once, without a worker, and the executor is made only when a job has to
    run."""

    def __init__(self, plan: "Plan", make_executor: Callable[[], Executor], selector: selectors.BaseSelector,
                 ledger: Optional[LedgerWriter], progress: Any, run_id: str, *,
                 codes: Dict[str, CodeVersion], stored: Dict[str, Stored], force: bool,
                 selected: Sequence[int], timeout: Optional[float], retries: int = 0,
                 time_limit: Optional[float] = None) -> None:
        self.plan = plan
        self.jobs = plan.jobs
        self.make_executor = make_executor
        self.executor: Optional[Executor] = None
        self.selector = selector
        self.ledger = ledger
        self.progress = progress
        self.run_id = run_id
        self.codes = codes
        self.stored = stored
        self.force = force
        self.timeout = timeout
        self.selected = list(selected)
        count = len(self.jobs)
        self.outcomes: List[Optional[Outcome]] = [None] * count
        self.downstream: List[List[int]] = [[] for _ in range(count)]
        self.waiting = [0] * count
        for index in self.selected:
            ups = self.jobs[index].upstream  # distinct, as the plan lists them
            self.waiting[index] = len(ups)
            for up in ups:
                self.downstream[up].append(index)
        # Jobs whose upstream jobs are all done, to be decided; then those that have to run,
        # with the reason why.
        self.undecided = [index for index in self.selected if self.waiting[index] == 0]
        heapq.heapify(self.undecided)
        self.ready: List[int] = []
        self.reasons: Dict[int, str] = {}
        # The data version of every job that is done, and of the bytes each upstream job's
        # value was read from when it was handed to a downstream job.
        self.data: Dict[int, str] = {}
        self.read: Dict[int, str] = {}
        # Upstream values stay in memory until the last job that reads them has started.
        self.values: Dict[int, Any] = {}
        self.readers_left = [len(d) for d in self.downstream]
        # The value.json bytes of jobs that have just run, read to hash them, kept (up to
        # KEEP_BYTES each) until a downstream job reads them.
        self.kept_bytes: Dict[int, bytes] = {}
        # Job index -> (time.time(), time.monotonic(), pid) of its start.
        self.started: Dict[int, Tuple[float, float, Optional[int]]] = {}
        # The attempt each job is at; the monotonic time by which a running job must have ended;
        # the jobs stopped for running too long; the keyword text of jobs that may be retried.
        self.retries = retries
        self.time_limit = time_limit
        self.attempts: Dict[int, int] = {}
        self.deadlines: Dict[int, float] = {}
        self.timed_out: set = set()
        self.kept: Dict[int, str] = {}
        self.interrupts = 0
        self.stopping = False
        self.line_prefixes: Dict[str, str] = {}
        self.record_heads: Dict[str, str] = {}
        self.remembered: Dict[str, Stored] = {}
        # The host name recorded for the jobs that ran here (an executor that runs them elsewhere
        # reports theirs).
        self.host = socket.gethostname()

    # Step 1: decide the jobs whose upstream jobs are done; an up-to-date one is done at once.
    def decide(self) -> None:
        while self.undecided and not self.stopping:
            index = heapq.heappop(self.undecided)
            job = self.jobs[index]
            upstream = [(self.jobs[up].label, self.data.get(up), False) for up in job.upstream]
            stored = versions.stored_for(self.stored, job.out_dir)
            reason = versions.why_run(job.out_dir, self.codes[job.asset.ref], stored, upstream, self.force)
            if reason is None:
                self.data[index] = stored.value  # type: ignore[assignment]
                self._release_inputs(job)
                self._done(Outcome(job, UP_TO_DATE))
            else:
                self.reasons[index] = reason
                heapq.heappush(self.ready, index)

    # Step 2: hand the jobs that have to run to the executor while it has room.
    def dispatch(self) -> None:
        while self.ready and not self.stopping:
            if self.executor is None:
                self.executor = self.make_executor()
            if not self.executor.has_room():
                return
            index = heapq.heappop(self.ready)
            job = self.jobs[index]
            self.started[index] = (time.time(), time.monotonic(), None)
            self.attempts[index] = self.attempts.get(index, 0) + 1
            kwargs_json = self.kept.get(index)
            if kwargs_json is None:
                try:
                    kwargs_json = kwargs_text(self.plan.kwargs(job, self._value_of))
                except _UpstreamUnreadable as exc:
                    self._fail(job, str(exc), exc.error_type)
                    continue
                except Exception as exc:  # noqa: BLE001 - one job's arguments, not the whole run
                    self._fail(job, f"cannot build the keyword arguments: {type(exc).__name__}: {exc}",
                               type(exc).__name__)
                    continue
                finally:
                    self._release_inputs(job)
                if self.retries:
                    self.kept[index] = kwargs_json
            try:
                # Until it has succeeded again, the job is not up to date.
                versions.forget(job.out_dir)
                remove_stale_result(job.out_dir)
                pid = self.executor.start(job, kwargs_json)
            except OSError as exc:
                self._fail(job, f"cannot start the job: {type(exc).__name__}: {exc}", type(exc).__name__)
                continue
            wall, mono, _ = self.started[index]
            self.started[index] = (wall, mono, pid)
            if self.time_limit is not None:
                self.deadlines[index] = mono + self.time_limit
            self.progress.started(job)

    def _value_of(self, index: int) -> Any:
        if index in self.values:
            return self.values[index]
        job = self.jobs[index]
        data = self.kept_bytes.pop(index, None)
        try:
            if data is None:
                with open(os.path.join(job.out_dir, VALUE_FILE), "rb") as handle:
                    data = handle.read()
                version = versions.data_version(data)
            else:
                version = self.data[index]
            value = json.loads(data)
        except (OSError, ValueError) as exc:
            raise _UpstreamUnreadable(job.label, exc) from exc
        self.values[index] = value
        self.read[index] = version
        return value

    def _release_inputs(self, job: "Job") -> None:
        for up in job.upstream:  # distinct, as the plan lists them
            self.readers_left[up] -= 1
            if self.readers_left[up] <= 0:
                self.values.pop(up, None)
                self.kept_bytes.pop(up, None)

    # Step 3: turn the executor's reports into outcomes.
    def handle(self, event: JobEvent) -> None:
        index = event.index
        if index not in self.started:
            return
        if event.kind == BEGAN:
            _, _, pid = self.started[index]
            self.started[index] = (time.time(), time.monotonic(), pid)
            if index in self.deadlines and index not in self.timed_out:
                self.deadlines[index] = self.started[index][1] + self.time_limit  # type: ignore[operator]
            return
        if event.kind == RETRY and index not in self.timed_out:
            # The job never began: this start does not count as an attempt.
            del self.started[index]
            self.deadlines.pop(index, None)
            self.attempts[index] -= 1
            heapq.heappush(self.ready, index)
            return
        job = self.jobs[index]
        if index in self.timed_out:
            ok, error, error_type = False, f"timed out: stopped after {self.time_limit:g} s (--timeout)", TIMEOUT
        else:
            ok, error, error_type = judge(job.out_dir, event)
        if ok:
            try:
                self._remember(job)
            except OSError as exc:
                ok, error, error_type = False, f"cannot write the version record: {exc}", type(exc).__name__
        host = event.host or self.host
        if not ok:
            if self.attempts[index] <= self.retries and not self.stopping:
                self._retry(job, error, error_type, event.pid, host)
            else:
                self._fail(job, error, error_type, event.pid, host)
            return
        self.deadlines.pop(index, None)
        wall, mono, pid = self.started.pop(index)
        self._done(Outcome(job, OK, wall, time.time(), time.monotonic() - mono,
                           event.pid if event.pid is not None else pid, reason=self.reasons.get(index),
                           attempt=self.attempts[index], host=host))

    def _retry(self, job: "Job", error: Optional[str], error_type: Optional[str], pid: Optional[int],
               host: Optional[str]) -> None:
        """The attempt failed and the job has attempts left: the attempt's ledger line, then the
        job waits for a worker again."""
        index = job.index
        self.deadlines.pop(index, None)
        self.timed_out.discard(index)
        wall, mono, started_pid = self.started.pop(index)
        attempt = self.attempts[index]
        outcome = Outcome(job, FAILED, wall, time.time(), time.monotonic() - mono,
                          pid if pid is not None else started_pid, error, error_type,
                          self.reasons.get(index), attempt, host)
        if self.ledger is not None:
            self.ledger.append_text(self._line(outcome))
        self.progress.message(f"retrying {job.label} (attempt {attempt + 1} of {self.retries + 1}) "
                              f"after: {first_line(error)}")
        heapq.heappush(self.ready, index)

    def _remember(self, job: "Job") -> None:
        """Writes the version record of a job that has just succeeded."""
        value = versions.read_value_bytes(job.out_dir)
        if value is None:
            raise OSError(f"{VALUE_FILE} cannot be read")
        data = versions.data_version(value)
        inputs = {
            parameter: {self.jobs[up].label: self.read[up] for up in ups}
            for parameter, ups in self.plan.input_jobs(job)
        }
        code = self.codes[job.asset.ref]
        versions.write_record_text(job.out_dir, versions.record_text(code, job.partition_keys, data, inputs,
                                                                     self.record_heads))
        self.data[job.index] = data
        if self.readers_left[job.index] > 0 and len(value) <= KEEP_BYTES:
            self.kept_bytes[job.index] = value
        self.remembered[job.out_dir] = Stored(versions.make_record(code, job.partition_keys, data, inputs), data)

    def _fail(self, job: "Job", error: Optional[str], error_type: Optional[str],
              pid: Optional[int] = None, host: Optional[str] = None) -> None:
        """The job, started at the time that `started` holds for it, has failed."""
        wall, mono, started_pid = self.started.pop(job.index)
        self.deadlines.pop(job.index, None)
        self.timed_out.discard(job.index)
        self._done(Outcome(job, FAILED, wall, time.time(), time.monotonic() - mono,
                           pid if pid is not None else started_pid, error, error_type,
                           self.reasons.get(job.index), self.attempts.get(job.index), host))

    def _done(self, outcome: Outcome) -> None:
        index = outcome.job.index
        self.outcomes[index] = outcome
        self.kept.pop(index, None)
        self._record(outcome)
        if outcome.status in (OK, UP_TO_DATE):
            for down in self.downstream[index]:
                self.waiting[down] -= 1
                if self.waiting[down] == 0:
                    heapq.heappush(self.undecided, down)
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
            # The lines of up-to-date jobs go out together, before the loop next waits.
            self.ledger.append_text(self._line(outcome), flush=outcome.status != UP_TO_DATE)
        self.progress.finished(outcome)

    def _line(self, outcome: Outcome) -> str:
        return ledger_line(outcome, self.run_id, self.line_prefixes)

    # Step 4: the loop.
    def loop(self) -> None:
        while True:
            self.decide()
            self.dispatch()
            if not self.started:
                if self.stopping or not (self.ready or self.undecided):
                    break
                continue
            if self.ledger is not None:
                self.ledger.flush()
            for key, mask in self.selector.select(self.timeout_now()):
                callback, arg = key.data
                callback(arg, mask)
            assert self.executor is not None
            for event in self.executor.collect():
                self.handle(event)
            self._stop_overdue()
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

    def _stop_overdue(self) -> None:
        """Stops, through the executor, every job that has run past its deadline; its end,
        whenever it is reported, makes it a time-out."""
        if not self.deadlines:
            return
        now = time.monotonic()
        assert self.executor is not None
        for index, deadline in list(self.deadlines.items()):
            if deadline <= now and index not in self.timed_out:
                self.timed_out.add(index)
                self.executor.kill_job(index)

    def timeout_now(self) -> Optional[float]:
        """How long the selector may wait: the executor's polling interval, if it polls, the
        display's refresh interval, if it has one, and the time to the next deadline of a job."""
        assert self.executor is not None
        timeouts = [t for t in (self.executor.poll_s, self.timeout) if t is not None]
        pending = [d for i, d in self.deadlines.items() if i not in self.timed_out]
        if pending:
            timeouts.append(max(0.0, min(pending) - time.monotonic()))
        return min(timeouts) if timeouts else None

    def _kill_running(self) -> None:
        # Reports that were already in count as they are; every job still running when the kill
        # goes out was stopped by it, however its process is seen to end afterwards.
        assert self.executor is not None
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
        """Records the jobs that never started; the outcomes of the selected jobs, in plan
        order."""
        reason = "skipped: interrupted" if self.stopping else "skipped: not reached"
        for index in self.selected:
            if self.outcomes[index] is None:
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
            progress: Any = None, cwd: Optional[str] = None, force: bool = False,
            selected: Optional[Sequence[int]] = None, stored: Optional[Dict[str, Stored]] = None,
            codes: Optional[Dict[str, CodeVersion]] = None, retries: int = 0,
            timeout: Optional[float] = None, executor: str = "local",
            broker: Optional[str] = None, early: Optional[EarlyWorkers] = None) -> RunResult:
    """Runs the jobs of `plan` that are not up to date (all of them with `force`), up to `jobs`
    at once, and appends each job's outcome to <out>/runs.jsonl. `selected` limits the run to
    some jobs (with every job upstream of them among them); `stored` is what
    versions.read_stored(out) found and `codes` the code versions of the plan's assets, both
    computed here when not given. `progress` receives started/finished/message/tick/close calls
    (plain lines on stderr when None). A failed job is run again up to `retries` more times; a
    job that runs longer than `timeout` seconds is stopped and fails as a time-out. `executor`
    is "local" (warm workers, or one process per job with `isolated`) or "celery" (the Celery
    workers of the Redis broker at `broker`; `jobs` is then how many are handed to them at
    once). The warm workers begin with the `early` ones, which are ended here however the run
    goes."""
    if jobs < 1:
        raise ValueError("jobs must be at least 1")
    if executor not in ("local", "celery") or (executor == "celery" and (broker is None or isolated)):
        raise ValueError("executor must be 'local', or 'celery' with a broker and without isolated")
    if retries < 0:
        raise ValueError("retries must not be negative")
    if timeout is not None and not timeout > 0:
        raise ValueError("timeout must be a positive number of seconds")
    cwd = os.getcwd() if cwd is None else cwd
    run_id = os.urandom(16).hex()  # not uuid: importing it costs a no-op rerun 40 ms
    began = time.monotonic()
    os.makedirs(out, exist_ok=True)
    selected, stored, codes = _known(plan, out, selected, stored, codes)
    if progress is None:
        progress = make_progress(len(selected), sys.stderr)
    ledger = LedgerWriter(os.path.join(out, LEDGER_FILE))
    selector = selectors.DefaultSelector()
    wake = _SignalWake(on_chld=True)
    executors: List[Executor] = []
    log_fds: List[int] = []

    broker = broker if executor == "celery" else None

    def make_executor() -> Executor:
        executor: Executor
        if broker is not None:
            from kevro.celery_executor import CeleryExecutor

            executor = CeleryExecutor(jobs, broker, selector, run_id, message=progress.message)
        elif isolated:
            executor = IsolatedPool(jobs, cwd)
        else:
            log_path = os.path.join(out, WORKERS_LOG)
            log_fds.append(os.open(log_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o644))
            modules = list(dict.fromkeys(asset.module for asset in plan.assets))
            executor = WarmPool(jobs, modules, selector, log_fds[0], cwd, early, log_path)
        executors.append(executor)
        return executor

    # Without signal handlers (outside the main thread) nothing wakes the loop when a child
    # process ends, so the loop looks often.
    tick = progress.tick_s if wake.installed else min(progress.tick_s or 0.02, 0.02)
    run = _Run(plan, make_executor, selector, ledger, progress, run_id, codes=codes, stored=stored,
               force=force, selected=selected, timeout=tick, retries=retries, time_limit=timeout)
    selector.register(wake.read_fd, selectors.EVENT_READ, (run.on_wake, wake.read_fd))
    try:
        run.loop()
    finally:
        try:
            for executor in executors:
                executor.close()
            if early is not None:
                early.close()
        finally:
            wake.close()
            selector.close()
            for fd in log_fds:
                os.close(fd)
    outcomes = run.finish_run()
    ledger.close()
    progress.close()
    return RunResult(run_id, plan, outcomes, run.interrupts > 0, time.monotonic() - began, run.remembered)


def _known(plan: "Plan", out: str, selected: Optional[Sequence[int]], stored: Optional[Dict[str, Stored]],
           codes: Optional[Dict[str, CodeVersion]]) -> Tuple[Sequence[int], Dict[str, Stored], Dict[str, CodeVersion]]:
    """The selection (every job when None), what the job folders hold and the code versions,
    each worked out here when the caller has not."""
    return (range(len(plan.jobs)) if selected is None else selected,
            versions.read_stored(out) if stored is None else stored,
            versions.code_versions(plan.assets) if codes is None else codes)


def status(plan: "Plan", out: str, *, force: bool = False, selected: Optional[Sequence[int]] = None,
           stored: Optional[Dict[str, Stored]] = None,
           codes: Optional[Dict[str, CodeVersion]] = None) -> List[Tuple["Job", Optional[str]]]:
    """For each selected job, in plan order, None when a run would find it up to date, else
    the reason it would run. Runs nothing and writes nothing."""
    selected, stored, codes = _known(plan, out, selected, stored, codes)
    data: Dict[int, Optional[str]] = {}
    will_run = set()
    result = []
    for index in selected:
        job = plan.jobs[index]
        upstream = [(plan.jobs[up].label, data.get(up), up in will_run) for up in job.upstream]
        known = versions.stored_for(stored, job.out_dir)
        reason = versions.why_run(job.out_dir, codes[job.asset.ref], known, upstream, force)
        if reason is None:
            data[index] = known.value
        else:
            will_run.add(index)
        result.append((job, reason))
    return result


class Busy(Exception):
    """Another run holds the output folder."""


def lock_output(out: str) -> int:
    """Takes the output folder for this process: an exclusive lock on <out>/.kevro.lock, held
    until the descriptor returned is closed or the process ends (the kernel releases it
    however the process ends, so a run that died never blocks the next one). Busy, naming the
    holder, when another process has it."""
    import fcntl

    path = os.path.join(out, LOCK_FILE)
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        try:
            holder = os.pread(fd, 64, 0).decode("ascii", "replace").strip() or "unknown"
        finally:
            os.close(fd)
        raise Busy(f"another kevro run is using {out} (pid {holder})") from None
    except BaseException:
        os.close(fd)
        raise
    os.ftruncate(fd, 0)
    os.pwrite(fd, f"{os.getpid()}\n".encode("ascii"), 0)
    return fd


# --- the summary -----------------------------------------------------------------------------

ERRORS_PER_ASSET = 3


@dataclass
class AssetSummary:
    name: str
    ok: int = 0
    failed: int = 0
    skipped: int = 0
    up_to_date: int = 0
    time_s: float = 0.0  # sum of the job durations
    errors: List[str] = field(default_factory=list)  # "label: first line", at most a few
    logs: List[Optional[str]] = field(default_factory=list)  # the job.log of each, when there is one
    more_errors: int = 0


def job_log(out_dir: str) -> Optional[str]:
    """The path of the job's job.log, where its traceback is, when the job left one."""
    path = os.path.join(out_dir, LOG_FILE)
    return path if os.path.isfile(path) else None


def summarize(result: RunResult) -> List[AssetSummary]:
    """Per asset in plan order: counts, the summed job time and the first errors."""
    by_ref: Dict[str, AssetSummary] = {}
    for asset in result.plan.assets:
        by_ref[asset.ref] = AssetSummary(asset.name)
    for outcome in result.outcomes:
        entry = by_ref[outcome.job.asset.ref]
        entry.time_s += outcome.duration_s
        if outcome.status == OK:
            entry.ok += 1
            continue
        if outcome.status == UP_TO_DATE:
            entry.up_to_date += 1
            continue
        if outcome.status == FAILED:
            entry.failed += 1
            if len(entry.errors) < ERRORS_PER_ASSET:
                entry.errors.append(f"{outcome.job.label}: {first_line(outcome.error)}")
                entry.logs.append(job_log(outcome.job.out_dir))
            else:
                entry.more_errors += 1
        else:
            entry.skipped += 1
    # Assets none of whose jobs were selected are left out.
    return [e for e in by_ref.values() if e.ok or e.failed or e.skipped or e.up_to_date]


def totals_line(result: RunResult) -> str:
    counts = {OK: 0, FAILED: 0, SKIPPED: 0, UP_TO_DATE: 0}
    for outcome in result.outcomes:
        counts[outcome.status] += 1
    text = (f"{len(result.outcomes)} jobs: {counts[OK]} ok, {counts[FAILED]} failed, "
            f"{counts[SKIPPED]} skipped, {counts[UP_TO_DATE]} up to date in "
            f"{format_duration(result.wall_s)}")
    return text + (" (interrupted)" if result.interrupted else "")


SUMMARY_COLUMNS = ("asset", "ok", "failed", "skipped", "up to date", "time")


def summary_text(result: RunResult) -> str:
    """The plain summary: one aligned row per asset (time = summed job durations), the first
    errors of each asset, and a totals line with the wall-clock time."""
    rows = []
    errors: List[str] = []
    for entry in summarize(result):
        rows.append([entry.name, str(entry.ok), str(entry.failed), str(entry.skipped),
                     str(entry.up_to_date), format_duration(entry.time_s)])
        for line, log in zip(entry.errors, entry.logs):
            errors.append(f"  {line}")
            if log is not None:
                errors.append(f"    log: {log}")
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
        errors = [line + (f"\nlog: {log}" if log is not None else "") for line, log in zip(entry.errors, entry.logs)]
        if entry.more_errors:
            errors.append(f"... and {entry.more_errors} more")
        rows.append([entry.name, str(entry.ok), str(entry.failed), str(entry.skipped),
                     str(entry.up_to_date), format_duration(entry.time_s), "\n".join(errors)])
    live.print_table(stream, "kevro run", SUMMARY_COLUMNS + ("first errors",), rows,
                     right=SUMMARY_COLUMNS[1:], style=_count_style, footer=totals_line(result))


def _count_style(column: str, cell: str) -> Optional[str]:
    """Counts of failed and skipped jobs above zero stand out."""
    if column in (FAILED, SKIPPED) and cell != "0":
        from kevro.live import STATE_STYLES

        return STATE_STYLES[column]
    return None

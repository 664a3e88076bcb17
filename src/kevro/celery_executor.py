"""Jobs on Celery workers, with Redis as broker and result backend: the executor of
``kevro run --executor celery`` and the worker of ``kevro worker``.

What travels through Redis is JSON only: a task ``kevro.job`` carries a job's module, function,
keyword arguments (their JSON text) and partition keys; its result carries the texts of the
job's value.json and result.json, its job.log, and the host name and pid that ran it. Workers
and the runner share no file system: a worker materializes each job into a private scratch
folder, and the runner writes what comes back into the job's folder, as a local run would
have.

On a worker (`serve`), every slot of ``--concurrency`` is a warm process (``kevro._warm``)
that has imported the modules once and forks a child per job, so an asset that crashes or
calls ``os._exit`` fails its job and not the worker. Tasks are acknowledged once they are done
(a worker lost midway leaves its task unacknowledged), and the broker's visibility timeout is
longer than any job, so that the broker never hands a running task out a second time.

On the runner (`CeleryExecutor`), the run loop sends the tasks and reads their states from
the result backend's subscription: STARTED (with the worker's node name) and then the result.
A thread receives the workers' heartbeats. A worker whose heartbeats stop has its jobs sent
again at once, under fresh task ids, and the old ones revoked; a late result of a superseded
id is ignored, so every job is recorded once.

Celery is imported only here, and only when a run or worker needs it.
"""

from __future__ import annotations

import collections
import json
import logging
import os
import pathlib
import queue
import selectors
import shutil
import socket
import subprocess
import tempfile
import threading
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Deque, Dict, List, Optional, Sequence, Tuple

from kevro.common import LOG_FILE, RESULT_FILE, VALUE_FILE
from kevro.executors import ENDED, BEGAN, JobEvent, kill_group, reap, signal_name, spawn_warm

if TYPE_CHECKING:  # pragma: no cover
    from kevro.graph import Job

TASK = "kevro.job"
KILL_COMMAND = "kevro_kill"
EXTRA = "kevro[celery]"
BROKER_ENV = "KEVRO_BROKER"
BROKER_LOST = "BrokerLost"

# The broker hands an unacknowledged task out again only after this long: longer than any job.
VISIBILITY_TIMEOUT_S = 12 * 3600
# A task not taken by then is dropped by the worker that finds it (a task of a run that has
# ended, restored by the broker after the visibility timeout).
TASK_EXPIRES_S = VISIBILITY_TIMEOUT_S - 600
# Seconds between two heartbeats of a worker, unless `kevro worker --heartbeat-interval` says.
HEARTBEAT_S = 2.0
# How many heartbeat intervals of silence make a worker lost.
HEARTBEATS_MISSED = 2.5
# How long a job that was told to stop may take to report its end before it is taken as ended.
KILL_GRACE_S = 5.0
# How long the broker may be unreachable, while a run waits on it, before it counts as lost.
RECONNECT_S = 5.0
# Jobs handed to the workers at once when `--jobs` is not given: the rest wait in the runner.
DEFAULT_IN_FLIGHT = 32


class CeleryMissing(Exception):
    """Celery or redis-py cannot be imported."""


class BrokerError(Exception):
    """The broker cannot be reached, or its URL is not one kevro can use."""


def load() -> None:
    """Imports Celery and redis-py; CeleryMissing, naming the extra, when they are not there."""
    try:
        import celery  # noqa: F401
        import redis  # noqa: F401
    except ImportError as exc:
        raise CeleryMissing(f"--executor celery and `kevro worker` need the {EXTRA} extra "
                            f"(pip install '{EXTRA}'): {exc}") from None


def safe_url(url: str) -> str:
    """The URL with its password masked, for every message that names it."""
    from kombu.utils.url import maybe_sanitize_url

    return str(maybe_sanitize_url(url))


def check_broker(url: str, timeout: float = 3.0) -> None:
    """A ping to the Redis server at `url`, with short time limits; BrokerError, naming the URL
    with its password masked, when it does not answer."""
    import redis

    if not url.startswith(("redis://", "rediss://", "unix://")):
        raise BrokerError(f"the broker URL {safe_url(url)} is not a Redis URL "
                          "(redis://, rediss:// or unix://)")
    try:
        client = redis.Redis.from_url(url, socket_connect_timeout=timeout, socket_timeout=timeout)
        try:
            client.ping()
        finally:
            client.close()
    except (redis.RedisError, OSError, ValueError) as exc:
        raise BrokerError(f"cannot reach the broker at {safe_url(url)}: {_one_line(exc, url)}") from None


def _one_line(exc: BaseException, url: str) -> str:
    text = " ".join(f"{type(exc).__name__}: {exc}".split())
    password = _password(url)
    return text.replace(password, "**") if password else text


def _password(url: str) -> Optional[str]:
    from urllib.parse import urlsplit

    try:
        return urlsplit(url).password or None
    except ValueError:
        return None


def make_app(broker: str) -> Any:
    """The Celery application of kevro's runs and workers: JSON only, one task, tasks
    acknowledged after they ran, a visibility timeout longer than any job."""
    from celery import Celery

    app = Celery("kevro", broker=broker, backend=broker, set_as_current=False)
    retry = {"max_retries": 4, "interval_start": 0.5, "interval_step": 0.5, "interval_max": 1.0}
    app.conf.update(
        task_serializer="json",
        result_serializer="json",
        event_serializer="json",
        accept_content=["json"],
        result_accept_content=["json"],
        task_acks_late=True,
        task_reject_on_worker_lost=True,
        worker_prefetch_multiplier=1,
        # A task's start is stored as its state STARTED (with the worker's node name), which
        # the runner hears on the result's own channel; of the workers' events, only their
        # heartbeats and goodbyes are sent.
        task_track_started=True,
        worker_send_task_events=False,
        task_send_sent_event=False,
        worker_cancel_long_running_tasks_on_connection_loss=True,
        broker_connection_retry_on_startup=True,
        broker_connection_timeout=RECONNECT_S,
        broker_transport_options={"visibility_timeout": VISIBILITY_TIMEOUT_S,
                                  "socket_connect_timeout": RECONNECT_S},
        result_backend_transport_options={"retry_policy": retry},
        redis_socket_connect_timeout=RECONNECT_S,
        redis_backend_health_check_interval=10,
        task_publish_retry_policy=retry,
        result_expires=3600,
        worker_hijack_root_logger=True,
        worker_redirect_stdouts=False,
    )
    return app


# --- what the runner writes ------------------------------------------------------------------

_ESCAPES = {"\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r", '"': '\\"', "\\": "\\\\"}


def _record_string(text: str) -> str:
    """`text` as result.json spells a string: quoted, with the two-letter escapes, \\u00XX for
    the other control characters and every other character as itself."""
    return '"' + "".join(_ESCAPES.get(c) or (f"\\u{ord(c):04x}" if c < " " else c) for c in text) + '"'


def _value_path_text(out_dir: str) -> str:
    path = str(pathlib.PurePosixPath(out_dir) / VALUE_FILE)
    # A path that is no valid Unicode is recorded with one U+FFFD per stray byte.
    return path.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def relocate(record: str, worker_value_path: str, out_dir: str) -> str:
    """result.json as it reads when the job wrote into `out_dir` rather than the worker's
    scratch folder: the value_path member names the job's folder."""
    return record.replace('"value_path":' + _record_string(worker_value_path),
                          '"value_path":' + _record_string(_value_path_text(out_dir)), 1)


def _bytes(text: str) -> bytes:
    return text.encode("utf-8", "surrogateescape")


def _text(data: bytes) -> str:
    return data.decode("utf-8", "surrogateescape")


def write_back(out_dir: str, reply: Dict[str, Any]) -> None:
    """Writes the files of a job's reply into its folder: value.json and result.json when the
    job wrote them, job.log always."""
    os.makedirs(out_dir, exist_ok=True)
    value = reply.get("value")
    if isinstance(value, str):
        with open(os.path.join(out_dir, VALUE_FILE), "wb") as handle:
            handle.write(_bytes(value))
    record = reply.get("result")
    if isinstance(record, str):
        record = relocate(record, str(reply.get("value_path")), out_dir)
        with open(os.path.join(out_dir, RESULT_FILE), "wb") as handle:
            handle.write(_bytes(record))
    log = reply.get("log")
    with open(os.path.join(out_dir, LOG_FILE), "wb") as handle:
        handle.write(_bytes(log) if isinstance(log, str) else b"")


# --- the runner's side -----------------------------------------------------------------------


@dataclass
class _Flight:
    """A job handed to the workers: its current task id, the worker that took it (its node
    name, once known), when it was stopped."""

    index: int
    task_id: str
    payload: Dict[str, Any]
    out_dir: str
    summary: str
    node: Optional[str] = None
    began: bool = False
    killed_at: Optional[float] = None


class CeleryExecutor:
    """Up to `size` jobs at once on the Celery workers of the broker at `broker`.

    Tasks go out from the run loop's thread, and their results come back on the result
    backend's subscription, whose socket the loop's selector watches. A thread receives the
    workers' heartbeats and hands them to the loop through a pipe."""

    poll_s = 0.25  # heartbeats and stopped jobs are checked on the loop's clock

    def __init__(self, size: int, broker: str, selector: selectors.BaseSelector, run_id: str,
                 message: Optional[Callable[[str], None]] = None) -> None:
        self.size = size
        self.broker = broker
        self.shown_url = safe_url(broker)
        self.selector = selector
        self.run_id = run_id
        self.message = message or (lambda text: None)
        self.app = make_app(broker)
        self.consumer = self.app.backend.result_consumer
        self.consumer.on_message = self._on_state
        self.flights: Dict[int, _Flight] = {}
        self.by_task: Dict[str, int] = {}
        self.results: Dict[str, Any] = {}  # task id -> AsyncResult, while it is awaited
        self.done: List[Any] = []  # results that have come, to be removed from the backend
        self.events: List[JobEvent] = []
        self.seen: Dict[str, float] = {}  # node -> monotonic time of its last sign of life
        self.freq: Dict[str, float] = {}  # node -> its heartbeat interval
        self.lost: Optional[str] = None
        self.serial = 0
        self.watched: Optional[int] = None  # the subscription's descriptor in the selector
        # From the heartbeat thread to the loop: (kind, ...) tuples, and a byte on the pipe.
        self.inbox: Deque[Tuple[Any, ...]] = collections.deque()
        self.wake_r, self.wake_w = os.pipe()
        os.set_blocking(self.wake_r, False)
        os.set_blocking(self.wake_w, False)
        selector.register(self.wake_r, selectors.EVENT_READ, (self._on_wake, None))
        self.stopping = threading.Event()
        self.receiver: Any = None
        self.watcher = threading.Thread(target=self._watcher, name="kevro-heartbeats", daemon=True)
        self.watcher.start()

    def has_room(self) -> bool:
        return len(self.flights) < self.size

    def running(self) -> List[Tuple[int, Optional[int]]]:
        return [(index, None) for index in self.flights]

    def start(self, job: "Job", kwargs_json: str) -> Optional[int]:
        if self.lost is not None:
            self.events.append(JobEvent(job.index, died=self.lost, error_type=BROKER_LOST))
            return None
        payload = {"module": job.asset.module, "function": job.asset.function,
                   "kwargs_json": kwargs_json, "partition": job.partition_keys}
        flight = _Flight(job.index, "", payload, job.out_dir, f"{job.asset.module}:{job.asset.function}")
        self.flights[job.index] = flight
        self._send(flight)
        return None

    def _send(self, flight: _Flight) -> None:
        if flight.task_id:
            self._drop(flight.task_id, revoke=True)
        self.serial += 1
        flight.task_id = f"{self.run_id}-{flight.index}-{self.serial}"
        flight.node = None
        flight.began = False
        self.by_task[flight.task_id] = flight.index
        try:
            # The task's own summary for monitors and logs is its asset's function, never its
            # arguments (which hold upstream values).
            result = self.app.send_task(TASK, kwargs=flight.payload, task_id=flight.task_id,
                                        expires=TASK_EXPIRES_S, argsrepr="()", kwargsrepr=flight.summary)
            self.results[flight.task_id] = result
            result.then(self._on_result, weak=False)
        except Exception as exc:  # noqa: BLE001 - the broker is gone
            self._broker_lost(exc)
            return
        self._watch()

    def _drop(self, task_id: str, revoke: bool, came: bool = False) -> None:
        """Stops waiting for a task; with `revoke`, no worker is to run it any more. A result
        that `came` has been let go by the backend already."""
        self.by_task.pop(task_id, None)
        result = self.results.pop(task_id, None)
        if result is not None and self.lost is None and not came:
            try:
                self.app.backend.remove_pending_result(result)
            except Exception as exc:  # noqa: BLE001 - the broker is gone
                self._broker_lost(exc)
        if revoke:
            self._control(lambda: self.app.control.revoke(task_id))

    def _control(self, call: Callable[[], Any]) -> None:
        if self.lost is None:
            try:
                call()
            except Exception as exc:  # noqa: BLE001 - the broker is gone
                self._broker_lost(exc)

    def _watch(self) -> None:
        """Keeps the selector on the socket of the result subscription, which a reconnection
        replaces."""
        fd = _subscription_fd(self.consumer)
        if fd == self.watched or self.lost is not None:
            return
        if self.watched is not None:
            try:
                self.selector.unregister(self.watched)
            except (KeyError, ValueError):
                pass
        self.watched = fd
        if fd is not None:
            self.selector.register(fd, selectors.EVENT_READ, (self._on_readable, None))

    def _on_readable(self, _: Any, mask: int) -> None:
        try:
            while _subscription_ready(self.consumer):
                pubsub = self.consumer._pubsub
                if pubsub.subscribed:
                    self.consumer.drain_events(timeout=0)
                else:
                    # With no channel left, what remains to read are the confirmations of the
                    # last unsubscriptions, which get_message() would leave unread.
                    response = pubsub.parse_response(block=False, timeout=0)
                    if response:
                        pubsub.handle_message(response, ignore_subscribe_messages=True)
        except Exception as exc:  # noqa: BLE001 - the broker went away
            self._broker_lost(exc)
            return
        self._watch()

    def _on_wake(self, _: Any, mask: int) -> None:
        try:
            while os.read(self.wake_r, 4096):
                pass
        except BlockingIOError:
            pass

    def collect(self) -> List[JobEvent]:
        if self.watched is None and self.results and self.lost is None:
            self._on_readable(None, 0)  # no socket to watch: look on every round
        while self.inbox:
            item = self.inbox.popleft()
            getattr(self, "_on_" + item[0])(*item[1:])
        now = time.monotonic()
        self._check_workers(now)
        for flight in list(self.flights.values()):
            if flight.killed_at is not None and now - flight.killed_at > KILL_GRACE_S:
                self._end(flight, JobEvent(flight.index, died="stopped, and its worker did not report its end"))
        if self.done and self.lost is None:
            # The results that have come are removed from the backend, all at once.
            backend = self.app.backend
            keys = [backend.get_key_for_task(result.id) for result in self.done]
            self.done.clear()
            self._control(lambda: backend.client.delete(*keys))
        events, self.events = self.events, []
        return events

    def _end(self, flight: _Flight, event: JobEvent, came: bool = False) -> None:
        self.flights.pop(flight.index, None)
        self._drop(flight.task_id, revoke=False, came=came)
        self.events.append(event)

    def _current(self, task_id: Any) -> Optional[_Flight]:
        index = self.by_task.get(task_id)
        return None if index is None else self.flights.get(index)

    def _on_state(self, meta: Dict[str, Any]) -> None:
        """Every state that a task of this run stores: STARTED names the worker's node."""
        if meta.get("status") != "STARTED":
            return
        flight = self._current(meta.get("task_id"))
        info = meta.get("result")
        if flight is None or flight.began:
            return
        flight.began = True
        node = info.get("hostname") if isinstance(info, dict) else None
        if isinstance(node, str):
            self.seen.setdefault(node, time.monotonic())
            flight.node = node
        self.events.append(JobEvent(flight.index, BEGAN))

    def _on_result(self, result: Any) -> None:
        self.done.append(result)
        flight = self._current(result.id)
        if flight is None:  # superseded, or stopped and already ended
            return
        state = result.state
        reply = result.result
        if state != "SUCCESS" or not isinstance(reply, dict):
            self._end(flight, JobEvent(flight.index, died=f"the {TASK} task ended in state {state}: {reply!r}"),
                      came=True)
            return
        event = JobEvent(flight.index, ENDED, pid=reply.get("pid"), host=reply.get("host"))
        if reply.get("died"):
            event.died = str(reply["died"])
        elif reply.get("signal") is not None:
            event.signal = int(reply["signal"])
        else:
            event.status = reply.get("status")
        try:
            write_back(flight.out_dir, reply)
        except OSError as exc:
            event.died = f"cannot write the job's files: {type(exc).__name__}: {exc}"
            event.error_type = type(exc).__name__
        self._end(flight, event, came=True)

    def _on_heartbeat(self, node: str, freq: Any) -> None:
        self.seen[node] = time.monotonic()
        if isinstance(freq, (int, float)) and freq > 0:
            self.freq[node] = float(freq)

    def _on_offline(self, node: str) -> None:
        self._lose(node, "went offline")

    def _on_lost(self, text: str) -> None:
        if self.lost is not None:
            return
        self.lost = f"broker lost: {self.shown_url}: {text}"
        if self.watched is not None:
            self.selector.unregister(self.watched)
            self.watched = None
        for flight in list(self.flights.values()):
            self._end(flight, JobEvent(flight.index, died=self.lost, error_type=BROKER_LOST))

    def _broker_lost(self, exc: BaseException) -> None:
        self._on_lost(_one_line(exc, self.broker))

    def _check_workers(self, now: float) -> None:
        # Every worker heard from counts, not only those known to run a job: one killed between
        # taking a task and recording its start holds a job that nothing else names.
        for node in list(self.seen):
            limit = self.freq.get(node, HEARTBEAT_S) * HEARTBEATS_MISSED + 0.5
            if now - self.seen[node] > limit:
                self._lose(node, f"sent no heartbeat for {now - self.seen[node]:.1f} s")

    def _lose(self, node: str, how: str) -> None:
        """Sends again the jobs that the lost worker ran, and those that no worker has said
        it started (the lost one may have taken them); the tasks they had are revoked, so a
        job that another worker runs after all is still recorded once."""
        self.seen.pop(node, None)
        again = [f for f in self.flights.values()
                 if (f.node == node or (f.node is None and not f.began)) and f.killed_at is None]
        for flight in again:
            self._send(flight)
        if again:
            self.message(f"worker {node} {how}: {len(again)} job(s) sent again")

    def kill_job(self, index: int) -> None:
        flight = self.flights.get(index)
        if flight is None or flight.killed_at is not None:
            return
        flight.killed_at = time.monotonic()
        task_id, node = flight.task_id, flight.node
        self._control(lambda: self.app.control.broadcast(
            KILL_COMMAND, arguments={"task_id": task_id}, destination=[node] if node else None))
        self._control(lambda: self.app.control.revoke(task_id))

    def kill(self) -> None:
        for index in list(self.flights):
            self.kill_job(index)

    def close(self) -> None:
        self.kill()
        for task_id in list(self.results):
            self._drop(task_id, revoke=False)
        self.flights.clear()
        self.stopping.set()
        if self.receiver is not None:
            self.receiver.should_stop = True
        self.watcher.join(timeout=3)
        for fd in (self.wake_r, self.watched):
            if fd is not None:
                try:
                    self.selector.unregister(fd)
                except (KeyError, ValueError):
                    pass
        os.close(self.wake_r)
        os.close(self.wake_w)
        try:
            self.consumer.stop()
            self.app.close()
        except Exception:  # noqa: BLE001 - the broker may be gone
            pass

    # The heartbeat thread.

    def _post(self, *item: Any) -> None:
        self.inbox.append(item)
        try:
            os.write(self.wake_w, b"x")
        except OSError:  # the pipe is full (the loop wakes anyway) or closed
            pass

    def _watcher(self) -> None:
        """Receives the workers' heartbeats and goodbyes."""
        def on_event(event: Dict[str, Any]) -> None:
            kind = event.get("type")
            node = event.get("hostname")
            if kind in ("worker-heartbeat", "worker-online"):
                self._post("heartbeat", node, event.get("freq"))
            elif kind == "worker-offline":
                self._post("offline", node)

        failures = 0
        while not self.stopping.is_set():
            try:
                with self.app.connection_for_read() as connection:
                    self.receiver = self.app.events.Receiver(connection, handlers={"*": on_event})
                    failures = 0
                    self.receiver.capture(limit=None, timeout=None, wakeup=False)
            except Exception as exc:  # noqa: BLE001 - the broker went away
                if self.stopping.is_set():
                    return
                failures += 1
                if failures > RECONNECT_S:
                    self._post("lost", _one_line(exc, self.broker))
                    return
                time.sleep(1.0)


def _subscription_fd(consumer: Any) -> Optional[int]:
    """The descriptor of the result subscription's socket, when it has one."""
    try:
        return consumer._pubsub.connection._sock.fileno()
    except (AttributeError, OSError, ValueError):
        return None


def _subscription_ready(consumer: Any) -> bool:
    """Whether the result subscription holds a message to read, now."""
    pubsub = getattr(consumer, "_pubsub", None)
    connection = getattr(pubsub, "connection", None)
    return connection is not None and bool(connection.can_read(timeout=0))


# --- the worker's side -----------------------------------------------------------------------


class _Slot:
    """One warm process of a worker, run synchronously: a job line out, its report back."""

    def __init__(self, modules: Sequence[str], cwd: str) -> None:
        self.modules = list(modules)
        self.cwd = cwd
        self.preload = True
        self.proc: Optional[subprocess.Popen] = None
        self.jobs_w = -1
        self.reports = None  # type: Any
        self.ready = False
        self.task_id: Optional[str] = None

    def _start(self) -> None:
        self.proc, self.jobs_w, reports_r = spawn_warm(self.modules, self.preload, None, self.cwd)
        self.reports = os.fdopen(reports_r, "rb")
        self.ready = False

    def _drop(self) -> int:
        os.close(self.jobs_w)
        self.reports.close()
        proc, self.proc = self.proc, None
        return reap(proc)

    def run(self, module: str, function: str, out_dir: str, kwargs_json: str) -> Dict[str, Any]:
        """Runs the job in a child of the warm process: {"pid", "status"} or {"pid", "signal"}
        of the child, or {"died"} when the warm process itself was lost."""
        line = (json.dumps([0, module, function, out_dir, kwargs_json]) + "\n").encode("utf-8", "surrogatepass")
        for _ in range(2):
            if self.proc is None:
                self._start()
            try:
                _write_all(self.jobs_w, line)
            except OSError:  # the warm process is gone; its report pipe says so
                pass
            for report in self.reports:
                text = report.decode("ascii", "replace").split()
                if text == ["ready"]:
                    self.ready = True
                    continue
                _, pid, kind, code = text
                if kind == "signal":
                    return {"pid": int(pid), "signal": int(code)}
                return {"pid": int(pid), "status": int(code)}
            pid = self.proc.pid if self.proc is not None else None
            returncode = self._drop()
            if not self.ready and self.preload:
                # It died importing the modules: its replacements import nothing up front, and
                # the job, which never began, goes to one of them.
                self.preload = False
                continue
            how = (f"was killed by signal {signal_name(-returncode)}" if returncode < 0
                   else f"exited with status {returncode}")
            return {"died": f"worker died: the warm worker process {pid} {how}"}
        return {"died": "worker died: the warm worker processes die importing the modules"}

    def kill(self) -> None:
        if self.proc is not None:
            kill_group(self.proc)

    def close(self) -> None:
        if self.proc is not None:
            os.close(self.jobs_w)  # end of file: the warm process leaves
            self.reports.close()
            reap(self.proc)
            self.proc = None


def _write_all(fd: int, data: bytes) -> None:
    while data:
        data = data[os.write(fd, data):]


class _Slots:
    def __init__(self, modules: Sequence[str], count: int, cwd: str) -> None:
        self.all = [_Slot(modules, cwd) for _ in range(count)]
        self.idle: "queue.Queue[_Slot]" = queue.Queue()
        for slot in self.all:
            self.idle.put(slot)
        self.scratch = tempfile.mkdtemp(prefix="kevro-worker-")
        self.host = socket.gethostname()

    def run(self, task_id: str, module: str, function: str, kwargs_json: str) -> Dict[str, Any]:
        slot = self.idle.get()
        folder = tempfile.mkdtemp(prefix="job-", dir=self.scratch)
        try:
            slot.task_id = task_id
            try:
                reply = slot.run(module, function, folder, kwargs_json)
            finally:
                slot.task_id = None
            reply["host"] = self.host
            reply["value_path"] = _value_path_text(folder)
            for key, name in (("value", VALUE_FILE), ("result", RESULT_FILE), ("log", LOG_FILE)):
                try:
                    with open(os.path.join(folder, name), "rb") as handle:
                        reply[key] = _text(handle.read())
                except OSError:
                    reply[key] = None
            return reply
        finally:
            self.idle.put(slot)
            shutil.rmtree(folder, ignore_errors=True)

    def kill(self, task_id: str) -> bool:
        for slot in self.all:
            if slot.task_id == task_id:
                slot.kill()
                return True
        return False

    def warm(self) -> None:
        for slot in self.all:
            if slot.proc is None:
                slot._start()

    def close(self) -> None:
        for slot in self.all:
            slot.close()
        shutil.rmtree(self.scratch, ignore_errors=True)


def serve(modules: Sequence[str], broker: str, concurrency: int, heartbeat: float,
          node: Optional[str] = None) -> int:
    """`kevro worker`: a Celery worker that runs kevro jobs, `concurrency` at once, until it is
    stopped (SIGTERM or Ctrl-C let the running jobs finish). Returns its exit status."""
    from celery import bootsteps
    from celery.signals import after_setup_logger
    from celery.worker.control import control_command
    from celery.worker.request import Request

    app = make_app(broker)
    slots = _Slots(modules, concurrency, os.getcwd())

    # A task is acknowledged by the thread that ran it, and only an acknowledged task makes
    # room for the next one; the event loop learns of it at once through this pipe (it would
    # otherwise take the next task only when its next timer is due).
    wake_r, wake_w = os.pipe()
    os.set_blocking(wake_r, False)
    os.set_blocking(wake_w, False)

    def drain() -> None:
        try:
            while os.read(wake_r, 4096):
                pass
        except BlockingIOError:
            pass

    class Wake(bootsteps.StartStopStep):
        requires = ("celery.worker.components:Hub",)

        def start(self, worker: Any) -> None:
            if worker.hub is not None:
                worker.hub.add_reader(wake_r, drain)

    class JobRequest(Request):  # type: ignore[misc]
        def acknowledge(self) -> None:
            super().acknowledge()
            try:
                os.write(wake_w, b"x")
            except BlockingIOError:
                pass

    app.steps["worker"].add(Wake)

    @after_setup_logger.connect(weak=False)
    def quiet(**kwargs: Any) -> None:
        # One line per task received and done, each with its whole result, is the log of a
        # different kind of worker: kevro's says when it is ready and what went wrong.
        for name in ("celery.worker.strategy", "celery.app.trace"):
            logging.getLogger(name).setLevel(logging.WARNING)

    @app.task(name=TASK, bind=True, Request=JobRequest)
    def job(self: Any, module: str, function: str, kwargs_json: str, partition: Any = None) -> Dict[str, Any]:
        return slots.run(self.request.id, module, function, kwargs_json)

    @control_command(args=[("task_id", str)], signature="<task_id>")
    def kevro_kill(state: Any, task_id: str, **kwargs: Any) -> Dict[str, Any]:
        """Stops the kevro job of a task, with everything it started."""
        return {"ok": "killed"} if slots.kill(task_id) else {"ok": "not running here"}

    # This worker runs kevro's task and nothing else: the tasks Celery brings along are gone.
    app.finalize()
    for name in list(app.tasks):
        if name != TASK:
            app.tasks.unregister(name)
    slots.warm()
    node = node or f"kevro{os.getpid()}@{socket.gethostname()}"
    worker = app.Worker(hostname=node, pool_cls="threads", concurrency=concurrency, loglevel="INFO",
                        task_events=True, without_gossip=True, without_mingle=True,
                        heartbeat_interval=heartbeat, quiet=True)
    try:
        worker.start()
    finally:
        slots.close()
    return worker.exitcode or 0

"""The run ledger, ``<out>/runs.jsonl``: one JSON line per job of every run, appended as the job
finishes, and the reader behind ``python -m kevro runs``."""

from __future__ import annotations

import json
import os
import time
from dataclasses import dataclass, field
from typing import Any, Collection, Dict, List, Optional, Sequence, Tuple

from kevro.common import FAILED, LOG_FILE, OK, SKIPPED, UP_TO_DATE, json_plain, canonical, key_text


def iso_utc(timestamp: Optional[float]) -> Optional[str]:
    """A POSIX timestamp as ISO-8601 UTC text with milliseconds, e.g. 2024-03-01T12:00:00.250Z."""
    if timestamp is None:
        return None
    # time.gmtime and strftime rather than datetime: this runs twice per job in the runner.
    seconds, micros = divmod(round(timestamp * 1_000_000), 1_000_000)
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)) + ".%03dZ" % (micros // 1000)


def partition_text(partition: Dict[str, Any]) -> str:
    """`day=2024-03-01,region=north`: string keys as they are, other keys as compact JSON."""
    return ",".join(f"{dim}={key_text(key)}" for dim, key in partition.items())


def json_text(value: Any) -> str:
    """json.dumps(value, ensure_ascii=False), without its cost for None, for the strings that
    need no escape and for dicts of them (a job's partition, its folder)."""
    if value is None:
        return "null"
    if type(value) is str:
        if json_plain(value):
            return f'"{value}"'
    elif type(value) is dict:
        return pairs_json(value.items())
    return json.dumps(value, ensure_ascii=False)


def pairs_json(pairs: Collection[Tuple[Any, Any]]) -> str:
    """json_text of the dict of these (key, value) pairs (with distinct keys), e.g. of the
    (dimension, key) pairs of a job's partition."""
    members = []
    for name, value in pairs:
        if type(name) is not str or type(value) is not str or not json_plain(name) or not json_plain(value):
            return json.dumps(dict(pairs), ensure_ascii=False)
        members.append(f'"{name}": "{value}"')
    return "{" + ", ".join(members) + "}"


class LedgerWriter:
    """Appends ledger lines to one file. Lines go out in single write() calls on a descriptor
    opened with O_APPEND, so lines of concurrent writers never interleave within a line; lines
    appended with flush=False wait for the next flush (at the latest, close())."""

    def __init__(self, path: str) -> None:
        self.path = path
        self._fd = os.open(path, os.O_WRONLY | os.O_APPEND | os.O_CREAT | os.O_CLOEXEC, 0o644)
        self._pending: List[str] = []

    def append(self, entry: Dict[str, Any], flush: bool = True) -> None:
        self.append_text(json.dumps(entry, ensure_ascii=False), flush)

    def append_text(self, line: str, flush: bool = True) -> None:
        """Appends a line already encoded as JSON text (without its line feed)."""
        self._pending.append(line + "\n")
        if flush:
            self.flush()

    def flush(self) -> None:
        if not self._pending:
            return
        data = "".join(self._pending).encode("utf-8")
        self._pending = []
        while data:
            written = os.write(self._fd, data)
            data = data[written:]

    def close(self) -> None:
        if self._fd >= 0:
            try:
                self.flush()
            finally:
                os.close(self._fd)
                self._fd = -1


@dataclass
class LastRun:
    """The lines of the newest run in a ledger, and what could not be read on the way."""

    run_id: Optional[str]
    entries: List[Dict[str, Any]] = field(default_factory=list)
    unreadable: List[int] = field(default_factory=list)  # 1-based line numbers


def read_last_run(path: str) -> LastRun:
    """The entries whose run_id is that of the last readable line. Lines that are not JSON
    objects with a run_id are listed in `unreadable` and otherwise ignored. OSError (a missing
    ledger among them) propagates."""
    entries: List[Dict[str, Any]] = []
    unreadable: List[int] = []
    with open(path, "rb") as handle:
        for number, raw in enumerate(handle, start=1):
            if not raw.strip():
                continue
            try:
                entry = json.loads(raw.decode("utf-8"))
            except (UnicodeDecodeError, ValueError):
                unreadable.append(number)
                continue
            if not isinstance(entry, dict) or not isinstance(entry.get("run_id"), str):
                unreadable.append(number)
                continue
            entries.append(entry)
    if not entries:
        return LastRun(None, [], unreadable)
    last = entries[-1]["run_id"]
    return LastRun(last, [e for e in entries if e["run_id"] == last], unreadable)


def latest_jobs(path: str) -> Dict[str, Dict[str, Dict[str, Any]]]:
    """For every asset name in the ledger, the newest entry of each of its jobs, keyed by the
    partition's canonical text, in the order the jobs first appear. Lines that are not entries
    of a job are left out; OSError (a missing ledger among them) propagates."""
    jobs: Dict[str, Dict[str, Dict[str, Any]]] = {}
    with open(path, "rb") as handle:
        for raw in handle:
            try:
                entry = json.loads(raw.decode("utf-8"))
            except (UnicodeDecodeError, ValueError):
                continue
            if not isinstance(entry, dict):
                continue
            name, partition = entry.get("asset"), entry.get("partition")
            if not isinstance(name, str) or not isinstance(partition, dict):
                continue
            jobs.setdefault(name, {})[canonical(partition)] = entry
    return jobs


RUNS_COLUMNS = ("asset", "partition", "status", "duration", "worker pid", "error")


def entry_status(entry: Dict[str, Any]) -> str:
    state = entry.get("state")
    if state in (OK, FAILED, SKIPPED, UP_TO_DATE):
        return state
    if entry.get("skipped"):
        return "skipped"
    return "ok" if entry.get("ok") is True else "failed"


def first_line(text: Optional[str]) -> str:
    if not text:
        return ""
    lines = str(text).strip().splitlines()
    return lines[0] if lines else ""


def format_duration(seconds: Optional[float]) -> str:
    """12 ms, 1.50 s, 2 min 5 s: short enough for a table column."""
    if not isinstance(seconds, (int, float)):
        return ""
    if seconds < 1.0:
        return f"{seconds * 1000:.0f} ms"
    if seconds < 120.0:
        return f"{seconds:.2f} s"
    minutes, rest = divmod(int(round(seconds)), 60)
    return f"{minutes} min {rest} s"


def entry_label(entry: Dict[str, Any]) -> str:
    partition = entry.get("partition")
    name = str(entry.get("asset", ""))
    return f"{name}[{partition_text(partition)}]" if isinstance(partition, dict) and partition else name


def failure_logs(entries: Sequence[Dict[str, Any]]) -> List[Tuple[str, str]]:
    """(label, path) of the job.log, where the traceback is, of each failed job that left one;
    a job that failed in several attempts once."""
    logs: Dict[str, str] = {}
    for entry in entries:
        out_dir = entry.get("out_dir")
        if entry_status(entry) == FAILED and isinstance(out_dir, str):
            path = os.path.join(out_dir, LOG_FILE)
            if os.path.isfile(path):
                logs[entry_label(entry)] = path
    return list(logs.items())


def runs_rows(entries: Sequence[Dict[str, Any]]) -> List[List[str]]:
    """One row of RUNS_COLUMNS per ledger entry, the attempt in the status of a job that ran
    more than once; fields of the wrong type show as blanks."""
    tried: Dict[str, int] = {}
    for entry in entries:
        label = entry_label(entry)
        tried[label] = tried.get(label, 0) + 1
    rows = []
    for entry in entries:
        partition = entry.get("partition")
        pid = entry.get("worker_pid")
        attempt = entry.get("attempt")
        status = entry_status(entry)
        if tried[entry_label(entry)] > 1 and isinstance(attempt, int):
            status += f" (attempt {attempt})"
        rows.append(
            [
                str(entry.get("asset", "")),
                partition_text(partition) if isinstance(partition, dict) else "",
                status,
                "" if entry_status(entry) in (SKIPPED, UP_TO_DATE) else format_duration(entry.get("duration_s")),
                str(pid) if isinstance(pid, int) else "",
                first_line(entry.get("error")),
            ]
        )
    return rows


@dataclass
class History:
    """What the whole ledger says about each job, by `job_key`: its newest entry that ran or
    was skipped (`latest`) and its newest entry that ran (`ran`, ok or failed); and the id,
    job count and times of the last run. Lines of up-to-date jobs only count towards their run:
    they change nothing that a job's state or last duration is taken from."""

    run_id: Optional[str] = None
    run_jobs: int = 0
    run_started: Optional[str] = None
    run_ended: Optional[str] = None
    latest: Dict[str, Dict[str, Any]] = field(default_factory=dict)
    ran: Dict[str, Dict[str, Any]] = field(default_factory=dict)
    unreadable: int = 0
    # How many bytes of the ledger are read: the lines up to there, each whole.
    offset: int = 0

    def add_line(self, raw: bytes) -> None:
        """Takes in one ledger line (bytes, with its line feed)."""
        if _UP_TO_DATE_MARK in raw and raw.startswith(_RUN_ID_HEAD):
            run_id = raw[len(_RUN_ID_HEAD):raw.find(b'"', len(_RUN_ID_HEAD))].decode("utf-8", "replace")
            entry = None
        else:
            if not raw.strip():
                return
            try:
                entry = json.loads(raw.decode("utf-8"))
            except (UnicodeDecodeError, ValueError):
                self.unreadable += 1
                return
            if not isinstance(entry, dict) or not isinstance(entry.get("run_id"), str):
                self.unreadable += 1
                return
            run_id = entry["run_id"]
        if run_id != self.run_id:
            self.run_id, self.run_jobs, self.run_started, self.run_ended = run_id, 0, None, None
        self.run_jobs += 1
        if entry is None:
            return
        started, ended = entry.get("started_at"), entry.get("ended_at")
        if isinstance(started, str) and (self.run_started is None or started < self.run_started):
            self.run_started = started
        if isinstance(ended, str) and (self.run_ended is None or ended > self.run_ended):
            self.run_ended = ended
        partition = entry.get("partition")
        if not isinstance(partition, dict) or not isinstance(entry.get("asset"), str):
            return
        key = job_key(entry["asset"], partition)
        self.latest[key] = entry
        if entry_status(entry) in (OK, FAILED):
            self.ran[key] = entry


def job_key(asset: str, partition: Dict[str, Any]) -> str:
    """A job's identity in the ledger whatever path its output folder was given as."""
    return asset + "\0" + canonical(partition)


# How runner._Run writes the lines of up-to-date jobs (and json.dumps any other entry).
_UP_TO_DATE_MARK = b'"state": "up to date"'
_RUN_ID_HEAD = b'{"run_id": "'


def read_history(path: str, history: Optional[History] = None) -> History:
    """The History of the ledger at `path`; an empty one when there is no ledger. Given the
    History of an earlier read of the same ledger, reads only the lines appended since (all of
    them again when the file has become shorter). OSError other than a missing file
    propagates."""
    if history is None:
        history = History()
    try:
        handle = open(path, "rb")
    except FileNotFoundError:
        return History()
    with handle:
        if os.fstat(handle.fileno()).st_size < history.offset:
            history = History()
        handle.seek(history.offset)
        for raw in handle:
            if not raw.endswith(b"\n"):
                # The end of a line still being written, or torn: it is read with the text
                # that completes it, next time.
                break
            history.offset += len(raw)
            history.add_line(raw)
    return history

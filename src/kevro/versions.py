"""What kevro remembers between runs, and how it tells whether a job is up to date.

- The code version of an asset is a hash over its function's source text, the source of every
  module-level statement that binds a name the function reads (followed through the functions
  and classes of the same module that those statements reach; code in other modules is not
  followed, the text of the import statement is), and its decorator metadata with each input
  given as the upstream asset's display name. Nothing in it depends on where the project lies.
- The data version of a job is the sha256 of its value.json bytes (which `Cache` spares
  reading again while the file's status shows that it has not changed; see SETTLE_NS).
- The version record of a job, ``version.json`` beside its value.json, holds the code version,
  the partition keys, the data version of value.json and, for each input, the data version of
  every upstream job that the job read. The runner removes it before a job starts and writes it
  (a temporary file, then a rename) only after the job has succeeded, so a job that is killed at
  any point, or that fails, has none.

A job is up to date when its record exists and is of this format, its code version is the
current one, its value.json still has the recorded data version, and every upstream job it
reads still has the data version recorded for it. `why_run` says, for a job that is not, the
first of these that fails.
"""

from __future__ import annotations

import hashlib
import json
import os
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Set, Tuple

from kevro.common import CACHE_FILE, RESULT_FILE, VALUE_FILE, VERSION_FILE, json_plain

if TYPE_CHECKING:  # pragma: no cover
    from kevro.graph import Asset

# The "format" of the records this code writes; a record of any other format is not trusted.
FORMAT = "kevro-version-1"

# Reasons to run a job, the first that applies.
FORCED = "forced"
NEVER_MATERIALIZED = "never materialized"
LAST_RUN_FAILED = "last run failed"
CODE_CHANGED = "code changed"
VALUE_CHANGED = "value changed or missing"
UPSTREAM_CHANGED = "upstream changed"
UPSTREAM_WILL_RUN = "upstream will run"

# Hex digits kept of the hash of each part of a code version.
PART_CHARS = 16

# Parts of a code version besides the module-level names (neither can be a Python name).
FUNCTION_PART = "function source"
METADATA_PART = "metadata"


def _digest(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()


def data_version(data: bytes) -> str:
    """The data version of a value.json holding `data`."""
    return hashlib.sha256(data).hexdigest()


# --- code versions -------------------------------------------------------------------------------


@dataclass
class CodeVersion:
    """The code version of one asset: `digest`, and the hash of each part that went into it, so
    that a change can be named. `error` is set instead when no version can be computed (the
    asset then always runs)."""

    digest: str = ""
    parts: Optional[Dict[str, str]] = None
    error: Optional[str] = None

    def changes(self, recorded: Any) -> str:
        """'code changed', followed by the parts that differ from a recorded `parts` dict."""
        if not isinstance(recorded, dict) or not self.parts:
            return CODE_CHANGED
        names = sorted(k for k in set(recorded) | set(self.parts) if recorded.get(k) != self.parts.get(k))
        ordered = [n for n in (FUNCTION_PART, METADATA_PART) if n in names]
        ordered += [n for n in names if n not in (FUNCTION_PART, METADATA_PART)]
        return f"{CODE_CHANGED}: {', '.join(ordered)}" if ordered else CODE_CHANGED


class Cache:
    """What earlier runs worked out and this one need not work out again, kept in
    <out>/.kevro-cache.json (written by `run` only, which holds the output folder):

    - code versions, by the text of everything a code version is computed from (with the
      hash of each module source for that source), so that a run whose code did not change
      parses nothing;
    - for each job folder, the data version of its value.json and its version record, with the
      file status (size, modification and change times, inode, device) each had when it was
      read, taken only once the file had been unchanged for SETTLE_NS: while the files show
      those same statuses, their bytes are those, and they are not read again.

    An entry that does not match is only a miss: the cache can make kevro slower, never wrong."""

    def __init__(self, code: Optional[Dict[str, Any]] = None, values: Optional[Dict[str, Any]] = None) -> None:
        self.code: Dict[str, Any] = code or {}
        self.values: Dict[str, Any] = values or {}
        self.used: Set[str] = set()
        self.changed = False

    @classmethod
    def read(cls, out: str) -> "Cache":
        try:
            with open(os.path.join(out, CACHE_FILE), "rb") as handle:
                data = json.loads(handle.read())
        except (OSError, ValueError):
            return cls()
        if (not isinstance(data, dict) or data.get("format") != FORMAT or not isinstance(data.get("code"), dict)
                or not isinstance(data.get("values"), dict)):
            return cls()
        return cls(data["code"], data["values"])

    def get(self, key: str) -> Optional[CodeVersion]:
        entry = self.code.get(key)
        if (not isinstance(entry, list) or len(entry) != 2 or not isinstance(entry[0], str)
                or not isinstance(entry[1], dict)):
            return None
        self.used.add(key)
        return CodeVersion(entry[0], entry[1])

    def put(self, key: str, version: CodeVersion) -> None:
        self.code[key] = [version.digest, version.parts]
        self.used.add(key)
        self.changed = True

    def write(self, out: str) -> None:
        """Writes the cache when it changed, with the code versions used by this run and as
        many others as keeps their number within four times that."""
        if not self.changed:
            return
        keep = {key: self.code[key] for key in self.used if key in self.code}
        room = max(4 * len(keep), 1000) - len(keep)
        for key, entry in self.code.items():
            if room <= 0:
                break
            if key not in keep:
                keep[key] = entry
                room -= 1
        _write_atomically(os.path.join(out, CACHE_FILE), _compact({"format": FORMAT, "code": keep, "values": self.values}))


def code_versions(assets: Sequence["Asset"], cache: Optional[Cache] = None) -> Dict[str, CodeVersion]:
    """The code version of every asset, by ref. A module's source is parsed once however many
    assets it holds, and not at all for an asset whose version `cache` holds."""
    names = {asset.ref: asset.name for asset in assets}
    modules: Dict[str, Any] = {}
    # The records of one module come one after the other: comparing with the last source seen
    # is cheaper than hashing every copy of it for a dict.
    last_source, last_digest = None, ""
    result = {}
    for asset in assets:
        metadata = dict(asset.metadata) if isinstance(asset.metadata, dict) else {}
        inputs = metadata.get("inputs")
        if isinstance(inputs, dict):
            # An upstream asset by its display name: its reference string holds the project's path.
            metadata["inputs"] = {param: names.get(ref, ref) for param, ref in inputs.items()}
        key = None
        if cache is not None:
            # The metadata comes from the report with its keys sorted, so its repr() is as
            # repeatable as its JSON text, and much cheaper; a key only has to find an entry.
            texts = [FORMAT, asset.function, asset.function_source, repr(metadata)]
            for source in asset.module_sources:
                if source != last_source:
                    last_source, last_digest = source, _digest(source)
                texts.append(last_digest)
            # The text itself is the key: hashing it would cost more than the lookup saves.
            key = "\0".join(texts)
            known = cache.get(key)
            if known is not None:
                result[asset.ref] = known
                continue
        version = _code_version(asset, json.dumps(metadata, sort_keys=True, ensure_ascii=False), modules)
        if cache is not None and key is not None and version.error is None:
            cache.put(key, version)
        result[asset.ref] = version
    return result


def _code_version(asset: "Asset", metadata_text: str, modules: Dict[str, Any]) -> CodeVersion:
    # Imported here: a run whose code versions all come from the cache never needs it.
    from kevro.sources import Module, reads_of_source

    source = asset.function_source
    if not source.strip():
        return CodeVersion(error="the source of the function is not available")
    parts = {FUNCTION_PART: _digest(source), METADATA_PART: _digest(metadata_text)}
    parsed = []
    reads: Optional[Set[str]] = None
    for module_source in asset.module_sources:
        module = modules.get(module_source, False)
        if module is False:
            module = modules[module_source] = Module.parse(module_source)
        if module is not None:
            parsed.append(module)
    # The module whose source holds the function as discovered; else the function's own text,
    # read against the first module (the file may have changed since it was imported).
    found = next((m for m in parsed if m.defines(asset.function, source)), None)
    if found is not None:
        reads = found.reads_of_function(asset.function, source)
    elif parsed:
        found, reads = parsed[0], reads_of_source(source)
    if found is None or reads is None:
        return CodeVersion(error=f"the source of module {asset.module} or of {asset.function}() "
                                 "cannot be parsed")
    for name, text in found.closure(reads).items():
        parts[name] = _digest(text)
    digest = _digest(json.dumps(sorted(parts.items())))
    # The parts only name what changed; the digest over their whole hashes is the version.
    return CodeVersion(digest, {name: part[:PART_CHARS] for name, part in parts.items()})


# --- version records -----------------------------------------------------------------------------


@dataclass
class Stored:
    """What a job's folder holds from earlier runs: its version record (None when there is none
    or it cannot be trusted) and the data version of its value.json (None when unreadable)."""

    record: Optional[Dict[str, Any]]
    value: Optional[str]


_NOTHING = Stored(None, None)


def read_record(out_dir: str) -> Optional[Dict[str, Any]]:
    """The job's version record, or None when it is missing, unreadable or of another format."""
    return _read_record(out_dir)[0]


def _read_record(out_dir: str) -> Tuple[Optional[Dict[str, Any]], Optional[List[int]]]:
    """(the job's version record, the settled status of the bytes read as in `read_value`)."""
    try:
        fd = os.open(os.path.join(out_dir, VERSION_FILE), os.O_RDONLY | os.O_CLOEXEC)
    except OSError:
        return None, None
    try:
        data = _read_all(fd)
        st = os.fstat(fd)
        record = json.loads(data)
    except (OSError, ValueError):
        return None, None
    finally:
        os.close(fd)
    if not _usable(record):
        return None, None
    return record, _stat_key(st) if settled(st) else None


def _usable(record: Any) -> bool:
    """Whether a version record, as read, is one of this format that a decision can read."""
    return (isinstance(record, dict) and record.get("format") == FORMAT and isinstance(record.get("code"), dict)
            and isinstance(record.get("inputs"), dict))


def _stat_key(st: os.stat_result) -> List[int]:
    return [st.st_size, st.st_mtime_ns, st.st_ctime_ns, st.st_ino, st.st_dev]


def read_value(out_dir: str) -> Tuple[Optional[str], Optional[List[int]]]:
    """(data version, file status) of the job's value.json as it is now; the status is that of
    the bytes hashed (taken on the same descriptor, after reading them), and set only when it
    is settled (see `settled`). (None, None) when it cannot be read."""
    try:
        fd = os.open(os.path.join(out_dir, VALUE_FILE), os.O_RDONLY | os.O_CLOEXEC)
    except OSError:
        return None, None
    try:
        data = _read_all(fd)
        st = os.fstat(fd)
    except OSError:
        return None, None
    finally:
        os.close(fd)
    return data_version(data), _stat_key(st) if settled(st) else None


def read_value_bytes(out_dir: str) -> Optional[bytes]:
    """The bytes of the job's value.json as it is now; None when it cannot be read."""
    try:
        with open(os.path.join(out_dir, VALUE_FILE), "rb") as handle:
            return handle.read()
    except OSError:
        return None


def read_value_version(out_dir: str) -> Optional[str]:
    """The data version of the job's value.json as it is now; None when it cannot be read."""
    return read_value(out_dir)[0]


# How long after its last change a file's status can stand for its bytes. A change made later
# gives the file a change time (ctime, which no program can set) from the clock at that moment,
# so it can no longer equal one read this long before; the margin covers the coarse clock that
# file systems stamp times with, down to the 2-second steps of the coarsest.
SETTLE_NS = 3_000_000_000


def settled(st: os.stat_result) -> bool:
    """Whether a status read now can later tell that the file is unchanged: its last change
    (content or metadata) lies SETTLE_NS or more in the past."""
    return time.time_ns() - max(st.st_mtime_ns, st.st_ctime_ns) >= SETTLE_NS


def _read_all(fd: int) -> bytes:
    chunks = []
    while True:
        chunk = os.read(fd, 1 << 16)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


def read_stored(out: str, cache: Optional[Cache] = None) -> Dict[str, Stored]:
    """What every job folder under `out` holds, by folder path (<out>/<asset folder> and
    <out>/<asset folder>/<partition folder>, joined as the plan joins them). Reads every record
    and the data version of the value.json beside each (from `cache` when the file's status
    allows, and then updating it); done while discovery runs, before the plan is known, so it
    visits every folder."""
    stored: Dict[str, Stored] = {}
    known = cache.values if cache is not None else {}
    values: Dict[str, Any] = {}
    try:
        assets = os.scandir(out)
    except OSError:
        return stored
    with assets:
        for entry in assets:
            if entry.name.startswith(".") or not entry.is_dir(follow_symlinks=False):
                continue
            folder = os.path.join(out, entry.name)
            _read_job(folder, entry.name, stored, known, values)
            try:
                partitions = os.scandir(folder)
            except OSError:
                continue
            with partitions:
                for sub in partitions:
                    if sub.is_dir(follow_symlinks=False):
                        _read_job(folder + os.sep + sub.name, entry.name + "/" + sub.name, stored, known, values)
    if cache is not None and values != known:
        cache.values = values
        cache.changed = True
    return stored


def _read_job(out_dir: str, name: str, stored: Dict[str, Stored], known: Dict[str, Any],
              values: Dict[str, Any]) -> None:
    # A cache entry: [data version, *status of value.json, *status of the record, record].
    entry = known.get(name)
    if isinstance(entry, list) and len(entry) == 12 and _usable(entry[11]) and entry[11].get("data") == entry[0]:
        try:
            record_now = _stat_key(os.stat(os.path.join(out_dir, VERSION_FILE)))
            value_now = _stat_key(os.stat(os.path.join(out_dir, VALUE_FILE)))
        except OSError:
            record_now = value_now = None
        if record_now == entry[6:11] and value_now == entry[1:6]:
            values[name] = entry
            stored[out_dir] = Stored(entry[11], entry[0])
            return
    record, record_status = _read_record(out_dir)
    if record is None:
        return
    data = record.get("data")
    value, status = read_value(out_dir)
    if value is not None and value == data and status is not None and record_status is not None:
        values[name] = [value] + status + record_status + [record]
    stored[out_dir] = Stored(record, value)


def stored_for(stored: Dict[str, Stored], out_dir: str) -> Stored:
    return stored.get(out_dir, _NOTHING)


def last_run_failed(out_dir: str) -> bool:
    """Whether the job's result.json records a failure."""
    try:
        with open(os.path.join(out_dir, RESULT_FILE), "rb") as handle:
            record = json.loads(handle.read())
    except (OSError, ValueError):
        return False
    return isinstance(record, dict) and record.get("ok") is not True


def forget(out_dir: str) -> None:
    """Removes the job's version record before it runs: until it has succeeded again, it is
    not up to date."""
    try:
        os.unlink(os.path.join(out_dir, VERSION_FILE))
    except FileNotFoundError:
        pass
    except IsADirectoryError:
        raise OSError(f"{os.path.join(out_dir, VERSION_FILE)} is a directory") from None


def make_record(code: CodeVersion, partition: Dict[str, Any], data: str,
                inputs: Dict[str, Dict[str, str]]) -> Dict[str, Any]:
    return {
        "format": FORMAT,
        "code": {"version": code.digest, "parts": code.parts},
        "partition": partition,
        "data": data,
        "inputs": inputs,
    }


def _compact(value: Any) -> str:
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"))


def record_text(code: CodeVersion, partition: Dict[str, Any], data: str, inputs: Dict[str, Dict[str, str]],
                heads: Dict[str, str]) -> str:
    """The text that write_record writes for make_record(code, partition, data, inputs): what
    the records of one code version share is encoded once and kept in `heads`."""
    head = heads.get(code.digest)
    if head is None:
        head = heads[code.digest] = (f'{{"format":{_compact(FORMAT)},'
                                     f'"code":{_compact({"version": code.digest, "parts": code.parts})}')
    plain = all([type(k) is str and type(v) is str and json_plain(k) and json_plain(v) for k, v in partition.items()])
    keys = "{" + ",".join([f'"{k}":"{v}"' for k, v in partition.items()]) + "}" if plain else _compact(partition)
    return f'{head},"partition":{keys},"data":{_compact(data)},"inputs":{_compact(inputs) if inputs else "{}"}}}'


def write_record(out_dir: str, record: Dict[str, Any]) -> None:
    """Writes the record to a temporary file beside it, then renames it into place, so that a
    reader sees either no record or a whole one."""
    write_record_text(out_dir, _compact(record))


def write_record_text(out_dir: str, text: str) -> None:
    """write_record of the record's text."""
    _write_atomically(os.path.join(out_dir, VERSION_FILE), text)


def _write_atomically(path: str, text: str) -> None:
    temporary = path + ".tmp"
    data = text.encode("utf-8", "surrogatepass")
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o644)
    try:
        while data:
            data = data[os.write(fd, data):]
    finally:
        os.close(fd)
    os.replace(temporary, path)


# --- the decision --------------------------------------------------------------------------------

# One upstream job as a decision sees it: its label, its data version now (None when it has
# none that can be trusted), and whether it is still to run.
Upstream = Tuple[str, Optional[str], bool]


def why_run(out_dir: str, code: CodeVersion, stored: Stored, upstream: Sequence[Upstream],
            forced: bool = False) -> Optional[str]:
    """None when the job is up to date, else the first reason it has to run."""
    if forced:
        return FORCED
    record = stored.record
    if record is None:
        return LAST_RUN_FAILED if last_run_failed(out_dir) else NEVER_MATERIALIZED
    if code.error is not None:
        return f"{CODE_CHANGED}: {code.error}"
    recorded_code = record["code"]
    if recorded_code.get("version") != code.digest:
        return code.changes(recorded_code.get("parts"))
    if stored.value is None or stored.value != record.get("data"):
        return VALUE_CHANGED
    read = recorded_reads(record)
    if read is None:
        return NEVER_MATERIALIZED
    pending = None
    for label, version, will_run in upstream:
        if will_run:
            pending = pending or label
        elif version is None or read.pop(label, None) != version:
            return f"{UPSTREAM_CHANGED}: {label}"
        if will_run:
            read.pop(label, None)
    if read:
        # It read an upstream job that it would not read now.
        return f"{UPSTREAM_CHANGED}: {min(read)}"
    if pending is not None:
        return f"{UPSTREAM_WILL_RUN}: {pending}"
    return None


def recorded_reads(record: Dict[str, Any]) -> Optional[Dict[str, str]]:
    """Upstream label -> data version, over every input of a record; None when malformed."""
    read: Dict[str, str] = {}
    for jobs in record["inputs"].values():
        if not isinstance(jobs, dict):
            return None
        read.update(jobs)
    return read


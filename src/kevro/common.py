"""What every layer of the package shares: the names of the files kevro writes, how a partition
key is shown, plain-text tables and UTF-8 standard output.

It imports nothing of kevro, so that the single-job commands (``python -m kevro.inspect``,
``python -m kevro.worker`` and the warm worker) load it as cheaply as the run commands do.
"""

from __future__ import annotations

import json
import os
import stat
import sys
from typing import Any, Dict, Sequence

# What became of a job in a run.
OK = "ok"
FAILED = "failed"
SKIPPED = "skipped"
UP_TO_DATE = "up to date"

# The files of one job's folder.
VALUE_FILE = "value.json"
RESULT_FILE = "result.json"
# What a job of `python -m kevro run` printed, beside its two output files.
LOG_FILE = "job.log"
# kevro's record of what the job's value was made from (kevro.versions).
VERSION_FILE = "version.json"

# The files of an output folder, beside the asset folders.
LEDGER_FILE = "runs.jsonl"
WORKERS_LOG = "workers.log"
# Held locked by the run that uses the output folder. Asset folders never start with ".".
LOCK_FILE = ".kevro.lock"
# What earlier runs worked out: code versions, value.json statuses (kevro.versions.Cache).
CACHE_FILE = ".kevro-cache.json"


def remove_stale_result(output_dir: str) -> None:
    """Removes a result.json that an earlier run left behind, so that a run which dies midway
    can never leave an old success record beside a new or half-written value.json. Only a
    regular file is removed; a symlink or directory of that name is left alone."""
    path = os.path.join(output_dir, RESULT_FILE)
    try:
        mode = os.lstat(path).st_mode
    except (FileNotFoundError, NotADirectoryError):
        return
    if stat.S_ISREG(mode):
        os.unlink(path)


_ENCODER = json.JSONEncoder(separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def canonical(key: Any) -> str:
    """The identity of a partition key: its compact JSON text with sorted object members."""
    # A run takes this of every job's partition: the plain strings and dicts of them that most
    # are made of are put together here (what the encoder writes for them), the rest encoded.
    if type(key) is dict and all([type(k) is str and json_plain(k) for k in key]):
        members = []
        for name in sorted(key):
            value = key[name]
            if type(value) is not str or not json_plain(value):
                return _ENCODER.encode(key)
            members.append(f'"{name}":"{value}"')
        return "{" + ",".join(members) + "}"
    return _ENCODER.encode(key)


def json_plain(text: str) -> bool:
    """Whether JSON writes the string as it is between its quotes."""
    return text.isprintable() and '"' not in text and "\\" not in text


def ascii_json(text: str) -> str:
    """json.dumps(text) of a str, without the encoder's cost for one that needs no escape."""
    return f'"{text}"' if text.isascii() and json_plain(text) else json.dumps(text)


def kwargs_text(kwargs: Dict[str, Any]) -> str:
    """json.dumps(kwargs), put together directly when every value is a str that needs no escape
    (the partition keys of most jobs)."""
    members = []
    for name, value in kwargs.items():
        if type(value) is not str or not (name.isascii() and json_plain(name) and value.isascii()
                                          and json_plain(value)):
            return json.dumps(kwargs)
        members.append(f'"{name}": "{value}"')
    return "{" + ", ".join(members) + "}"


def key_text(key: Any) -> str:
    """How a key appears in labels, folder names and gathered dicts: a str as itself, any other
    key as its compact JSON text."""
    return key if isinstance(key, str) else _ENCODER.encode(key)


def aligned(header: Sequence[str], rows: Sequence[Sequence[str]]) -> str:
    """A plain text table: columns padded to their widest cell, two blanks apart, no trailing
    blanks, every line ended by a line feed."""
    widths = [len(h) for h in header]
    for row in rows:
        for i, cell in enumerate(row):
            widths[i] = max(widths[i], len(cell))
    lines = []
    for row in [list(header)] + [list(r) for r in rows]:
        line = "  ".join(cell.ljust(widths[i]) for i, cell in enumerate(row))
        lines.append(line.rstrip())
    return "\n".join(lines) + "\n"


def write_atomically(path: str, data: bytes) -> None:
    """Writes `data` to a temporary file beside `path`, then renames it into place, so that a
    reader sees the old file or the whole new one."""
    temporary = f"{path}.{os.getpid()}.tmp"
    with open(temporary, "wb") as handle:
        handle.write(data)
    os.replace(temporary, path)


def write_stdout(text: str, errors: str = "strict") -> None:
    """Writes `text` to standard output as UTF-8 whatever the locale says (bytes when the
    stream has them); `errors` is the encoder's error handler."""
    buffer = getattr(sys.stdout, "buffer", None)
    if buffer is None:
        sys.stdout.write(text)
        sys.stdout.flush()
        return
    sys.stdout.flush()
    buffer.write(text.encode("utf-8", errors))
    buffer.flush()

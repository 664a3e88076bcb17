"""What kevro remembers between runs: code versions from the inspection report, the version
records, up-to-date jobs skipped, `status`, partition selection, the output-folder lock and
what a killed run leaves behind."""

from __future__ import annotations

import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path
from typing import Dict, List

import pytest

import _kevro
from common import by_label, child_env, kevro, label, ledger, value, write_project
from kevro import graph, versions

# --- code versions -------------------------------------------------------------------------------

BASE = """
import os.path
from kevro import asset, partitions

DAYS = partitions(["d1", "d2"])
RATE = 2
LIMIT = 10
SCALE = {"x": 1}
SCALE["y"] = 2
CACHE = None

def helper(x):
    return x * LIMIT

def unrelated():
    return 0

def fill():
    global CACHE
    CACHE = 5

class Box:
    size = 3

    def area(self):
        return self.size * SCALE["x"]

@asset(name="a")
def a():
    return RATE

@asset(name="b", inputs={"a": a})
def b(a):
    return helper(a)

@asset(name="c", inputs={"a": a}, partitions={"day": DAYS})
def c(a, day, RATE=None):
    return [os.path.join(day, "x"), Box().area()]

@asset(name="d")
def d():
    fill()
    return CACHE

@asset(name="e")
def e():
    def inner(y):
        return [y for LIMIT in range(2)]
    return inner(1)
"""

# (edit of BASE, the assets whose code version changes, the parts named for the first of them)
EDITS = [
    (("return RATE", "return RATE + 0"), {"a"}, "function source"),
    (("RATE = 2", "RATE = 3"), {"a"}, "RATE"),
    (("LIMIT = 10", "LIMIT = 11"), {"b"}, "LIMIT"),
    (('SCALE["y"] = 2', 'SCALE["y"] = 3'), {"c"}, "SCALE"),
    (("size = 3", "size = 4"), {"c"}, "Box"),
    (("import os.path", "import os.path, sys"), {"c"}, "os"),
    (('["d1", "d2"]', '["d1", "d3"]'), {"c"}, "metadata"),
    (("    CACHE = 5", "    CACHE = 6"), {"d"}, "CACHE, fill"),
    (("def unrelated():\n    return 0", "def unrelated():\n    return 1"), set(), None),
    (("import os.path\n", "import os.path\n# a comment\n"), set(), None),
]


def versions_of(mods, name: str, source: str) -> Dict[str, versions.CodeVersion]:
    mods.write(name, source)
    records = json.loads(_kevro.inspect_modules([name]))["assets"]
    assets = graph.build_graph(records, cwd=str(mods.root))
    codes = versions.code_versions(assets)
    return {asset.name: codes[asset.ref] for asset in assets}


def test_code_versions_follow_what_each_function_reads(mods):
    base = versions_of(mods, "cv_base", BASE)
    assert all(v.error is None for v in base.values())
    # Upstream assets named in the decorator are not followed, nor locals and parameters that
    # shadow module names (e's LIMIT, c's RATE), nor annotations.
    assert sorted(base["b"].parts) == ["LIMIT", "function source", "helper", "metadata"]
    assert sorted(base["e"].parts) == ["function source", "metadata"]
    for number, ((old, new), stale, parts) in enumerate(EDITS):
        assert BASE.count(old) == 1, old
        edited = versions_of(mods, f"cv_edit{number}", BASE.replace(old, new))
        changed = {name for name in base if edited[name].digest != base[name].digest}
        assert changed == stale, (old, new)
        for name in stale:
            assert edited[name].changes(base[name].parts) == f"code changed: {parts}"


def test_code_version_does_not_depend_on_the_folder(mods, tmp_path):
    first = versions_of(mods, "cv_here", BASE)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    mods.add_path(elsewhere)
    (elsewhere / "cv_there.py").write_text(textwrap.dedent(BASE), encoding="utf-8")
    records = json.loads(_kevro.inspect_modules(["cv_there"]))["assets"]
    assets = graph.build_graph(records, cwd=str(elsewhere))
    codes = versions.code_versions(assets)
    assert {a.name: codes[a.ref].digest for a in assets} == {n: v.digest for n, v in first.items()}


@pytest.mark.parametrize("stored, upstream, expected", [
    (None, [], "never materialized"),
    ({"code": "old"}, [], "code changed: function source"),
    ({"data": "other"}, [], "value changed or missing"),
    ({"value": None}, [], "value changed or missing"),
    ({}, [("u", "v1", False)], None),
    ({}, [("u", "v2", False)], "upstream changed: u"),
    ({}, [("u", None, True)], "upstream will run: u"),
    ({}, [("w", None, True), ("u", "v2", False)], "upstream changed: u"),
    ({"inputs": {"x": {"u": "v1", "gone[k=1]": "v0"}}}, [("u", "v1", False)], "upstream changed: gone[k=1]"),
    ({"format": "kevro-version-0"}, [], "never materialized"),
])
def test_why_run(tmp_path, stored, upstream, expected):
    code = versions.CodeVersion("c1", {"function source": "f1", "metadata": "m1"})
    if stored is None:
        record = None
        known = versions.Stored(None, None)
    else:
        record = {"format": versions.FORMAT, "code": {"version": "c1", "parts": {"function source": "f1", "metadata": "m1"}},
                  "partition": {}, "data": "d1", "inputs": {"x": {"u": "v1"}} if upstream else {}}
        if "code" in stored:
            record["code"] = {"version": "c0", "parts": {"function source": "f0", "metadata": "m1"}}
        record.update({k: v for k, v in stored.items() if k in ("data", "inputs", "format")})
        versions.write_record(str(tmp_path), record)
        known = versions.Stored(versions.read_record(str(tmp_path)), stored.get("value", "d1"))
    assert versions.why_run(str(tmp_path), code, known, upstream) == expected
    assert versions.why_run(str(tmp_path), code, known, upstream, forced=True) == "forced"


# --- runs over a generated project -------------------------------------------------------------

PROJECT = {
    "prices": """
        import os
        from kevro import asset, partitions

        DAYS = partitions(["d1", "d2"])
        REGIONS = partitions(["north", "south"])
        FACTOR = 2
        OFFSET = 0

        @asset(name="base", partitions={"day": DAYS})
        def base(day):
            if os.path.exists("fail-base"):
                raise RuntimeError("asked to fail")
            return {"day": day, "n": 1}

        @asset(name="sales", inputs={"base": base}, partitions={"day": DAYS, "region": REGIONS})
        def sales(base, day, region):
            return base["n"] * FACTOR + len(region)

        @asset(name="total", inputs={"sales": sales})
        def total(sales):
            return sum(v for by_region in sales.values() for v in by_region.values())

        @asset(name="flat")
        def flat():
            return OFFSET
    """,
}


def status(project: Path, *args: str) -> Dict[str, str]:
    done = kevro(project, "status", "pkg.prices", "--json", *args)
    assert done.returncode == 0, done.stderr
    entries = json.loads(done.stdout)
    for entry in entries:
        assert set(entry) == {"asset", "partition", "state", "reason"}
        assert (entry["state"] == "up to date") == (entry["reason"] is None)
    return {label(e): e["reason"] for e in entries}


def run(project: Path, *args: str, code: int = 0) -> Dict[str, dict]:
    """Runs the project and returns the ledger entries of this run by label."""
    before = len(ledger(project)) if (project / "kevro-out" / "runs.jsonl").exists() else 0
    done = kevro(project, "run", "pkg.prices", *args)
    assert done.returncode == code, done.stdout + done.stderr
    entries = ledger(project)[before:]
    for entry in entries:
        assert entry["state"] in ("ok", "failed", "skipped", "up to date")
        assert (entry["reason"] is None) == (entry["state"] in ("skipped", "up to date"))
    return by_label(entries)


def states(entries: Dict[str, dict]) -> Dict[str, str]:
    return {name: entry["state"] for name, entry in entries.items()}


def edit(project: Path, old: str, new: str) -> None:
    path = project / "pkg" / "prices.py"
    text = path.read_text(encoding="utf-8")
    assert text.count(old) == 1
    path.write_text(text.replace(old, new), encoding="utf-8")


ALL = ["base[day=d1]", "base[day=d2]", "flat", "sales[day=d1,region=north]", "sales[day=d1,region=south]",
       "sales[day=d2,region=north]", "sales[day=d2,region=south]", "total"]


def test_reruns_run_only_what_changed(tmp_path):
    project = write_project(tmp_path / "one", PROJECT)
    first = run(project)
    assert sorted(first) == ALL and set(states(first).values()) == {"ok"}
    assert {e["reason"] for e in first.values()} == {"never materialized"}

    # Nothing changed: nothing runs, every job still gets its ledger line.
    done = kevro(project, "run", "pkg.prices")
    assert done.returncode == 0 and "8 jobs: 0 ok, 0 failed, 0 skipped, 8 up to date in" in done.stdout
    assert set(states(by_label(ledger(project)[8:])).values()) == {"up to date"}
    assert set(status(project).values()) == {None}

    # A constant only `flat` reads.
    edit(project, "OFFSET = 0", "OFFSET = 5")
    assert {k: v for k, v in status(project).items() if v} == {"flat": "code changed: OFFSET"}
    assert {k for k, s in states(run(project)).items() if s == "ok"} == {"flat"}

    # An edited function whose value stays the same: its downstream jobs stay up to date.
    edit(project, 'return {"day": day, "n": 1}', 'return {"day": day, "n": 2 - 1}')
    reasons = status(project)
    assert reasons["base[day=d1]"] == "code changed: function source"
    assert reasons["sales[day=d1,region=north]"] == "upstream will run: base[day=d1]"
    assert reasons["total"] == "upstream will run: sales[day=d1,region=north]"
    assert reasons["flat"] is None
    entries = run(project)
    assert {k for k, s in states(entries).items() if s == "ok"} == {"base[day=d1]", "base[day=d2]"}

    # A changed value reruns what reads it.
    edit(project, "FACTOR = 2", "FACTOR = 3")
    entries = run(project)
    assert states(entries)["total"] == "ok"
    assert entries["total"]["reason"] == "upstream changed: sales[day=d1,region=north]"
    assert value(project, entries["total"]) == 4 * 3 + 5 + 5 + 5 + 5

    # A value.json edited by hand, one deleted: those jobs and the jobs reading them rerun.
    out = project / "kevro-out"
    (out / "sales" / "day=d2,region=south" / "value.json").write_text("99", encoding="utf-8")
    (out / "flat" / "value.json").unlink()
    reasons = {k: v for k, v in status(project).items() if v}
    assert reasons == {"sales[day=d2,region=south]": "value changed or missing", "flat": "value changed or missing",
                       "total": "upstream will run: sales[day=d2,region=south]"}
    entries = run(project)
    assert {k for k, s in states(entries).items() if s == "ok"} == {"sales[day=d2,region=south]", "flat"}
    assert value(project, entries["total"]) == 32  # its input came back with the same bytes

    # A failed run: its downstream is skipped, and the next run tries again.
    (project / "fail-base").touch()
    edit(project, "raise RuntimeError", "raise ValueError")
    entries = run(project, code=1)
    assert states(entries)["base[day=d1]"] == "failed" and states(entries)["total"] == "skipped"
    (project / "fail-base").unlink()
    reasons = status(project)
    assert reasons["base[day=d1]"] == "last run failed"
    assert reasons["sales[day=d1,region=north]"] == "upstream will run: base[day=d1]"
    entries = run(project)
    assert {k for k, s in states(entries).items() if s == "ok"} == {"base[day=d1]", "base[day=d2]"}
    assert states(entries)["total"] == "up to date"

    # --force runs every selected job; --select and --partition narrow the selection.
    assert set(status(project, "--force").values()) == {"forced"}
    entries = run(project, "--force", "--select", "sales", "--partition", "region=south")
    assert sorted(entries) == ["base[day=d1]", "base[day=d2]", "sales[day=d1,region=south]",
                               "sales[day=d2,region=south]"]
    assert {e["reason"] for e in entries.values()} == {"forced"}

    # The project folder moved: every version still holds.
    moved = shutil.move(str(project), str(tmp_path / "two"))
    assert set(status(Path(moved)).values()) == {None}


@pytest.mark.parametrize("args, jobs", [
    (["--partition", "day=d2"], ["base[day=d2]", "sales[day=d2,region=north]", "sales[day=d2,region=south]"]),
    (["--partition", "day=d2", "--partition", "region=north"], ["base[day=d2]", "sales[day=d2,region=north]"]),
    (["--partition", "region=north", "--partition", "region=south"],
     ["base[day=d1]", "base[day=d2]"] + ALL[3:7]),
    (["--select", "total", "--partition", "day=d1"],
     ["base[day=d1]", "sales[day=d1,region=north]", "sales[day=d1,region=south]"]),
])
def test_partition_selection(tmp_path, args, jobs):
    project = write_project(tmp_path, PROJECT)
    assert sorted(status(project, *args)) == sorted(jobs)


@pytest.mark.parametrize("args, message", [
    (["--partition", "week=1"], "no selected asset declares the partition dimension 'week'"),
    (["--partition", "day=d9"], "no selected asset has the key 'd9' in its partition dimension 'day'"),
    (["--select", "flat", "--partition", "day=d1"], "no selected asset declares the partition dimension 'day'"),
    (["--partition", "day"], "expected DIM=KEY"),
])
@pytest.mark.parametrize("command", ["run", "status"])
def test_partition_usage_errors(tmp_path, command, args, message):
    project = write_project(tmp_path, PROJECT)
    done = kevro(project, command, "pkg.prices", *args)
    assert done.returncode == 2 and message in done.stderr
    assert not (project / "kevro-out").exists()


SLOW = """
import os
import subprocess
import sys
import time

from kevro import asset, partitions

@asset(name="quick", partitions={"n": partitions([1, 2, 3])})
def quick(n):
    return n

@asset(name="slow", inputs={"quick": quick})
def slow(quick):
    helper = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(120)"])
    with open("pids.tmp", "w") as handle:
        handle.write(f"{os.getpid()} {os.getppid()} {helper.pid}")
    os.rename("pids.tmp", "pids")
    deadline = time.monotonic() + 120
    while not os.path.exists("release") and time.monotonic() < deadline:
        time.sleep(0.02)
    return sorted(quick.values())

@asset(name="after", inputs={"slow": slow})
def after(slow):
    return len(slow)
"""


def alive(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] not in ("Z", "X")
    except FileNotFoundError:
        return False


@pytest.mark.parametrize("mode", ["warm", "isolated"])
def test_a_killed_run_leaves_no_process_and_the_next_finishes_the_rest(tmp_path, mode):
    project = write_project(tmp_path, {"slow": SLOW})
    extra = ["--isolated"] if mode == "isolated" else []
    (project / "kevro-out").mkdir()
    child = subprocess.Popen([sys.executable, "-m", "kevro", "run", "pkg.slow", "--jobs", "1", *extra],
                             cwd=project, env=child_env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 120
        while not (project / "pids").exists():
            assert child.poll() is None and time.monotonic() < deadline
            time.sleep(0.05)
        pids = [int(p) for p in (project / "pids").read_text().split()]
        # The job, its worker (in isolated mode the job's own process) and what the job started.
        if mode == "isolated":
            pids = [pids[0], pids[2]]

        second = kevro(project, "run", "pkg.slow")
        assert second.returncode == 2
        assert f"kevro: error: another kevro run is using kevro-out (pid {child.pid})" in second.stderr

        child.send_signal(signal.SIGKILL)
        child.wait()
        deadline = time.monotonic() + 60
        while any(alive(pid) for pid in pids) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert not [pid for pid in pids if alive(pid)]
    finally:
        child.kill()
        child.wait()
    killed = by_label(ledger(project))
    assert sorted(killed) == ["quick[n=1]", "quick[n=2]", "quick[n=3]"]
    # A torn value.json is never up to date.
    torn = project / "kevro-out" / "quick" / "n=2" / "value.json"
    torn.write_bytes(torn.read_bytes()[:0])
    (project / "release").touch()
    entries = run_module_entries(project, extra)
    assert states(entries) == {"quick[n=1]": "up to date", "quick[n=2]": "ok", "quick[n=3]": "up to date",
                               "slow": "ok", "after": "ok"}
    assert entries["slow"]["reason"] == "never materialized"
    assert value(project, entries["slow"]) == [1, 2, 3]


def run_module_entries(project: Path, extra: List[str]) -> Dict[str, dict]:
    before = len(ledger(project))
    done = kevro(project, "run", "pkg.slow", *extra)
    assert done.returncode == 0, done.stdout + done.stderr
    return by_label(ledger(project)[before:])


def test_the_value_cache_stands_for_value_json_only_while_its_status_holds(tmp_path, monkeypatch):
    job = tmp_path / "asset" / "k=1"
    job.mkdir(parents=True)
    (job / "value.json").write_text("[1, 2]", encoding="utf-8")
    data = versions.data_version(b"[1, 2]")
    versions.write_record(str(job), versions.make_record(versions.CodeVersion("c", {}), {"k": 1}, data, {}))
    key = str(tmp_path / "asset") + os.sep + "k=1"

    cache = versions.Cache()
    assert versions.read_stored(str(tmp_path), cache)[key].value == data
    assert cache.values == {}  # a file changed a moment ago is always read
    real = time.time_ns
    monkeypatch.setattr(versions.time, "time_ns", lambda: real() + versions.SETTLE_NS)
    versions.read_stored(str(tmp_path), cache)
    assert list(cache.values) == ["asset/k=1"] and cache.changed
    cache.write(str(tmp_path))
    cache = versions.Cache.read(str(tmp_path))
    assert list(cache.values) == ["asset/k=1"]
    # The record is kept as well, and read again once written again.
    assert versions.read_stored(str(tmp_path), cache)[key].record["code"]["version"] == "c"
    versions.write_record(str(job), versions.make_record(versions.CodeVersion("d", {}), {"k": 1}, data, {}))
    assert versions.read_stored(str(tmp_path), cache)[key].record["code"]["version"] == "d"
    # An entry whose record a decision could not read is no hit.
    entry = cache.values["asset/k=1"]
    broken = versions.Cache(values={"asset/k=1": entry[:11] + [{"data": entry[0]}]})
    assert versions.read_stored(str(tmp_path), broken)[key].record["code"]["version"] == "d"

    # While the status holds, the cache stands for the bytes; once it changes, they are read.
    stat = os.stat(job / "value.json")
    (job / "value.json").write_text("[1, 3]", encoding="utf-8")
    os.utime(job / "value.json", ns=(stat.st_atime_ns, stat.st_mtime_ns + 1))
    assert versions.read_stored(str(tmp_path), cache)[key].value == versions.data_version(b"[1, 3]")
    # An entry for other bytes than the record's is no hit either.
    cache = versions.Cache(values={"asset/k=1": ["other"] + cache.values.get("asset/k=1", [0])[1:]})
    assert versions.read_stored(str(tmp_path), cache)[key].value == versions.data_version(b"[1, 3]")


@pytest.mark.parametrize("kept", [b"not json", b'{"assets": [1, 2]}', b"[]"])
def test_a_kept_discovery_report_that_gives_no_plan_is_only_a_miss(tmp_path, kept):
    project = write_project(tmp_path, PROJECT)
    run(project)
    (project / "kevro-out" / ".kevro-discovered.json").write_bytes(kept)
    assert set(states(run(project)).values()) == {"up to date"}
    assert (project / "kevro-out" / ".kevro-discovered.json").read_bytes() != kept

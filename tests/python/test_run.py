"""`python -m kevro run`, `list` and `runs`, end to end in child interpreters, with warm workers
and with one process per job."""

from __future__ import annotations

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path
from typing import Dict, List

import pytest

from common import REPO_ROOT, by_label, child_env, kevro, label, ledger, value, write_project

MODES = pytest.mark.parametrize("mode", ["warm", "isolated"])


def mode_args(mode: str) -> List[str]:
    return ["--isolated"] if mode == "isolated" else []


def materialize(root: Path, modules: Dict[str, str], *args: str, code: int):
    """Writes the project, runs `kevro run pkg.<first module> ARGS`; (project, the run, its
    ledger entries by label)."""
    project = write_project(root, modules)
    done = kevro(project, "run", f"pkg.{next(iter(modules))}", *args)
    assert done.returncode == code, done.stderr
    return project, done, by_label(ledger(project))


def result(project: Path, entry: dict) -> dict:
    return json.loads((project / entry["out_dir"] / "result.json").read_text(encoding="utf-8"))


DIAMOND = """
from kevro import asset, partitions

@asset(name="top")
def top():
    return 10

@asset(name="left", inputs={"top": top})
def left(top):
    return top + 1

@asset(name="right", inputs={"top": top})
def right(top):
    return top * 2

@asset(name="bottom", inputs={"left": left, "right": right})
def bottom(left, right):
    return [left, right]

@asset(name="part", partitions={"k": partitions([1, 2, 3, "x"])})
def part(k):
    return {"key": k}

@asset(name="fan_in", inputs={"parts": part, "top": top})
def fan_in(parts, top):
    return {"parts": parts, "top": top}

@asset(name="grid", partitions={"y": partitions(["a", "b"]), "x": partitions([1, 2])})
def grid(x, y):
    return f"{x}{y}"

@asset(name="table", inputs={"grid": grid})
def table(grid):
    return grid
"""


@MODES
def test_diamond_fan_in_and_two_dimensions(tmp_path, mode):
    project, done, jobs = materialize(tmp_path, {"graph": DIAMOND}, "--jobs", "2", *mode_args(mode), code=0)
    entries = list(jobs.values())
    assert len(jobs) == 4 + 4 + 4 + 1 + 1
    assert value(project, jobs["bottom"]) == [11, 20]
    assert value(project, jobs["fan_in"]) == {
        "parts": {"1": {"key": 1}, "2": {"key": 2}, "3": {"key": 3}, "x": {"key": "x"}},
        "top": 10,
    }
    assert value(project, jobs["part[k=x]"]) == {"key": "x"}
    # Gathered dimensions nest in dimension-name order: x outside, y inside.
    assert value(project, jobs["table"]) == {"1": {"a": "1a", "b": "1b"}, "2": {"a": "2a", "b": "2b"}}

    assert len({e["run_id"] for e in entries}) == 1
    for entry in entries:
        assert set(entry) == {"run_id", "asset", "ref", "partition", "started_at", "ended_at", "duration_s",
                              "worker_pid", "host", "ok", "error", "error_type", "skipped", "out_dir", "state",
                              "reason", "attempt"}
        assert (entry["state"], entry["reason"], entry["attempt"]) == ("ok", "never materialized", 1)
        assert (entry["ok"], entry["skipped"], entry["error"], entry["error_type"]) == (True, False, None, None)
        assert isinstance(entry["worker_pid"], int) and entry["worker_pid"] != 0
        assert entry["host"] == socket.gethostname()
        assert entry["started_at"].endswith("Z") and entry["started_at"] <= entry["ended_at"]
        assert entry["duration_s"] >= 0.0
        assert entry["ref"].endswith(":" + entry["asset"])
        assert result(project, entry)["ok"] is True
        assert (project / entry["out_dir"] / "job.log").is_file()
    # Each job ran in a process of its own.
    assert len({e["worker_pid"] for e in entries}) == len(entries)
    assert done.stderr.count("kevro: ok ") == len(entries)
    assert "14 jobs: 14 ok, 0 failed, 0 skipped, 0 up to date in " in done.stdout


@MODES
def test_shop_example(tmp_path, mode):
    project = tmp_path / "examples"
    shutil.copytree(REPO_ROOT / "examples" / "shop", project / "shop")
    modules = ["shop.catalog", "shop.orders", "shop.inventory", "shop.reports"]
    done = kevro(project, "run", *modules, "--out", "out", *mode_args(mode))
    assert done.returncode == 0, done.stderr
    entries = ledger(project, "out")
    assert all(e["ok"] for e in entries) and all(result(project, e)["ok"] for e in entries)
    assert len(entries) == 36

    def values_of(function: str) -> List[dict]:
        return [e for e in entries if e["ref"].endswith(":" + function)]

    # The downstream values are what the functions give for the upstream values on disk.
    sys.path.insert(0, str(project))
    try:
        from shop import inventory

        stock = {e["partition"]["warehouse"]: value(project, e) for e in values_of("stock_levels")}
        lines = {e["partition"]["day"]: value(project, e) for e in values_of("order_lines")}
        plans = values_of("restock_plan")
        assert len(plans) == 9
        for entry in plans:
            warehouse, day = entry["partition"]["warehouse"], entry["partition"]["day"]
            expected = inventory.restock_plan.__kevro_original__(
                stock_levels=stock[warehouse], order_lines=lines[day], warehouse=warehouse, day=day
            )
            assert value(project, entry) == expected
        (alerts,) = values_of("low_stock_alerts")
        assert value(project, alerts) == inventory.low_stock_alerts.__kevro_original__(stock_levels=stock)
        assert value(project, alerts) != []
    finally:
        sys.path.remove(str(project))
        for name in [m for m in sys.modules if m == "shop" or m.startswith("shop.")]:
            del sys.modules[name]
    (dashboard,) = [e for e in entries if e["asset"] == "shop/dashboard"]
    assert sorted(value(project, dashboard)["revenue"]) == ["EUR", "GBP", "USD"]


FAILING = """
from kevro import asset, partitions

DAYS = partitions(["d1", "d2"])

@asset(name="raw", partitions={"day": DAYS})
def raw(day):
    if day == "d2":
        raise ValueError("boom\\nsecond line")
    return day

@asset(name="clean", inputs={"raw": raw}, partitions={"day": DAYS})
def clean(raw, day):
    return raw.upper()

@asset(name="report", inputs={"clean": clean})
def report(clean):
    return clean

@asset(name="alone")
def alone():
    return "fine"
"""


@MODES
def test_failure_skips_downstream_only(tmp_path, mode):
    project, done, jobs = materialize(tmp_path, {"days": FAILING}, *mode_args(mode), code=1)
    status = {name: (e["ok"], e["skipped"]) for name, e in jobs.items()}
    assert status == {
        "raw[day=d1]": (True, False),
        "raw[day=d2]": (False, False),
        "clean[day=d1]": (True, False),
        "clean[day=d2]": (False, True),
        "report": (False, True),
        "alone": (True, False),
    }
    failed = jobs["raw[day=d2]"]
    assert (failed["error"], failed["error_type"]) == ("ValueError: boom\nsecond line", "ValueError")
    # A skip names the failure it comes from, however far upstream.
    for name in ("clean[day=d2]", "report"):
        assert jobs[name]["error"] == "skipped: upstream raw[day=d2] failed"
        assert jobs[name]["worker_pid"] is None
        assert not (project / jobs[name]["out_dir"] / "result.json").exists()
    assert value(project, jobs["clean[day=d1]"]) == "D1"
    assert "kevro: FAILED raw[day=d2]: ValueError: boom\n" in done.stderr
    assert "kevro: skipped report: upstream raw[day=d2] failed\n" in done.stderr
    assert "raw[day=d2]: ValueError: boom\n" in done.stdout
    assert "second line" not in done.stdout
    assert "6 jobs: 3 ok, 1 failed, 2 skipped" in done.stdout

    # `runs` shows this run, one row per job.
    shown = kevro(project, "runs")
    assert shown.returncode == 0, shown.stderr
    rows = shown.stdout.splitlines()
    assert rows[0].startswith(f"run {failed['run_id']}: 6 jobs")
    assert rows[1].split() == ["asset", "partition", "status", "duration", "worker", "pid", "error"]
    (row,) = [r for r in rows if r.startswith("raw") and "d2" in r]
    assert row.split()[:3] == ["raw", "day=d2", "failed"] and row.endswith("ValueError: boom")
    (row,) = [r for r in rows if r.startswith("report")]
    assert row.split()[:2] == ["report", "skipped"]


CRASHES = """
import os
import signal

from kevro import asset

@asset(name="a_segv")
def a_segv():
    os.kill(os.getpid(), signal.SIGSEGV)

@asset(name="b_exit")
def b_exit():
    os._exit(3)

@asset(name="c_fine")
def c_fine():
    return os.getpid()

@asset(name="d_after", inputs={"c": c_fine})
def d_after(c):
    return c
"""


@MODES
def test_dying_jobs_are_worker_deaths(tmp_path, mode):
    project, _, jobs = materialize(tmp_path, {"crash": CRASHES}, "--jobs", "1", *mode_args(mode), code=1)
    assert jobs["a_segv"]["error"] == "worker died: killed by signal SIGSEGV"
    assert jobs["b_exit"]["error"] == "worker died: exited with status 3 without writing result.json"
    for name in ("a_segv", "b_exit"):
        assert (jobs[name]["ok"], jobs[name]["error_type"]) == (False, "WorkerDied")
        assert isinstance(jobs[name]["worker_pid"], int)
    assert jobs["c_fine"]["ok"] and jobs["d_after"]["ok"]
    assert value(project, jobs["c_fine"]) == jobs["c_fine"]["worker_pid"]
    assert value(project, jobs["d_after"]) == value(project, jobs["c_fine"])


KILLS_WORKER = """
import os
import signal

from kevro import asset

@asset(name="a_killer")
def a_killer():
    with open("killed.pid", "w") as handle:
        handle.write(str(os.getppid()))
    os.kill(os.getppid(), signal.SIGKILL)
    os._exit(0)

@asset(name="b_after")
def b_after():
    return os.getppid()
"""


def test_dead_warm_worker_is_replaced(tmp_path):
    project = write_project(tmp_path, {"kill": KILLS_WORKER})
    done = kevro(project, "run", "pkg.kill", "--jobs", "1")
    assert done.returncode == 1, done.stderr
    jobs = by_label(ledger(project))
    killed = int((project / "killed.pid").read_text())
    assert jobs["a_killer"]["error"] == (
        f"worker died: the warm worker process {killed} was killed by signal SIGKILL"
    )
    assert jobs["a_killer"]["error_type"] == "WorkerDied"
    assert jobs["b_after"]["ok"]
    assert value(project, jobs["b_after"]) not in (killed, 1)


DIES_ON_IMPORT = """
import os
import sys

from kevro import asset

# Discovery imports this module safely; a warm worker that imports it dies.
if sys.argv[0].endswith("_warm.py"):
    os._exit(5)

@asset(name="doomed")
def doomed():
    return 1
"""

FINE = """
from kevro import asset

@asset(name="fine")
def fine():
    return 2
"""


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_import_that_kills_the_warm_worker(tmp_path, jobs):
    # A fresh output folder: a worker starts while discovery runs; with --jobs 2 the pool may
    # start another before it learns that the first died importing, and that one dies too.
    project = write_project(tmp_path, {"doomed": DIES_ON_IMPORT, "fine": FINE})
    done = kevro(project, "run", "pkg.doomed", "pkg.fine", "--jobs", jobs)
    assert done.returncode == 1, done.stderr
    jobs = by_label(ledger(project))
    # The job is not blamed for the worker's import: it runs again on a worker that imports
    # nothing up front, where its own import kills only its own process.
    assert jobs["doomed"]["error"] == "worker died: exited with status 5 without writing result.json"
    assert jobs["fine"]["ok"] and value(project, jobs["fine"]) == 2


LOUD = """
import sys

from kevro import asset

print("imported by", sys.argv[0].rsplit("/", 1)[-1])

@asset(name="loud")
def loud():
    return 7
"""


def children_of(pid: int) -> List[int]:
    with open(f"/proc/{pid}/task/{pid}/children", encoding="ascii") as handle:
        return [int(p) for p in handle.read().split()]


def test_warm_worker_lines(tmp_path):
    """A warm worker by hand: what it printed before the runner named the log file moves there,
    and a job whose child was lost before it got its line still runs; then the same in a run."""
    project = write_project(tmp_path, {"loud": LOUD})
    jobs_r, jobs_w = os.pipe()
    reports_r, reports_w = os.pipe()
    with open(tmp_path / "early.out", "w+b") as output:
        worker = subprocess.Popen(
            [sys.executable, "-m", "kevro._warm", "--jobs-fd", str(jobs_r), "--reports-fd", str(reports_w),
             "--", "pkg.loud"], cwd=project, env=child_env(), stdout=output, stderr=output,
            pass_fds=(jobs_r, reports_w))
    os.close(jobs_r)
    os.close(reports_w)
    reports = os.fdopen(reports_r, "rb")
    try:
        assert reports.readline() == b"ready\n"
        log = tmp_path / "workers.log"
        os.write(jobs_w, json.dumps({"log": str(log), "preload": ["pkg.loud"]}).encode() + b"\n")
        deadline = time.monotonic() + 30
        while not children_of(worker.pid) and time.monotonic() < deadline:
            time.sleep(0.01)
        spares = children_of(worker.pid)
        for spare in spares:
            os.kill(spare, signal.SIGKILL)
        while not all(map(gone, spares)) and time.monotonic() < deadline:
            time.sleep(0.01)
        out = tmp_path / "job"
        os.write(jobs_w, json.dumps([41, "pkg.loud", "loud", str(out), "{}"]).encode() + b"\n")
        token, pid, kind, code = reports.readline().decode().split()
        assert (token, kind, code) == ("41", "exit", "0") and int(pid) != worker.pid
        assert json.loads((out / "value.json").read_text()) == 7
        assert log.read_text() == "imported by _warm.py\n"
    finally:
        os.close(jobs_w)
        assert worker.wait(timeout=30) == 0
        reports.close()
    # A first run: the worker that starts while discovery runs puts its output there too.
    done = kevro(project, "run", "pkg.loud")
    assert done.returncode == 0, done.stderr
    assert "imported by _warm.py\n" in (project / "kevro-out" / "workers.log").read_text()


BIG = """
from kevro import asset

@asset(name="big")
def big():
    return ["x" * 1000 + str(i) for i in range(300)]

@asset(name="size", inputs={"big": big})
def size(big):
    return [len(big), sum(map(len, big)), big[-1][-3:]]
"""


def test_job_larger_than_a_pipe_buffer(tmp_path):
    # The keyword text of `size` is about 300 kB: it reaches the warm worker in pieces.
    project = write_project(tmp_path, {"big": BIG})
    done = kevro(project, "run", "pkg.big")
    assert done.returncode == 0, done.stderr
    jobs = by_label(ledger(project))
    assert value(project, jobs["size"]) == [300, 300 * 1000 + 10 + 90 * 2 + 200 * 3, "299"]


STALE = """
import os

from kevro import asset

@asset(name="flaky")
def flaky():
    if os.path.exists("die"):
        os._exit(0)
    return 1
"""


@MODES
def test_stale_result_is_not_success(tmp_path, mode):
    project = write_project(tmp_path, {"flaky": STALE})
    assert kevro(project, "run", "pkg.flaky", *mode_args(mode)).returncode == 0
    (project / "die").touch()
    done = kevro(project, "run", "pkg.flaky", "--force", *mode_args(mode))
    assert done.returncode == 1
    first, second = ledger(project)
    assert first["ok"] and not second["ok"]
    assert second["error"] == "worker died: exited with status 0 without writing result.json"
    assert not (project / second["out_dir"] / "result.json").exists()


GRAPH_ERRORS = {
    "cycle": """
        import pathlib
        from kevro import asset

        HERE = str(pathlib.Path(__file__).resolve())

        @asset(name="first", inputs={"x": HERE + ":second"})
        def first(x):
            return x

        @asset(name="second", inputs={"y": first})
        def second(y):
            return y
    """,
    "missing": """
        import pathlib
        from kevro import asset

        @asset(name="orphan", inputs={"x": str(pathlib.Path(__file__).resolve()) + ":nowhere"})
        def orphan(x):
            return x
    """,
}


@pytest.mark.parametrize(
    "module, args, names",
    [
        ("cycle", ["run"], ["'first'", "'second'", "cycle"]),
        ("missing", ["run"], ["'orphan'", "nowhere"]),
        ("missing", ["list"], ["'orphan'", "nowhere"]),
        ("cycle", ["list"], ["'first'", "'second'", "cycle"]),
    ],
)
def test_graph_errors_exit_2(tmp_path, module, args, names):
    project = write_project(tmp_path, GRAPH_ERRORS)
    done = kevro(project, *args, f"pkg.{module}")
    assert done.returncode == 2
    lines = done.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("kevro: error: ")
    for name in names:
        assert name in lines[0]
    assert not (project / "kevro-out").exists()


def test_select_runs_the_asset_and_its_upstream(tmp_path):
    project = write_project(tmp_path, {"graph": DIAMOND})
    done = kevro(project, "run", "pkg.graph", "--select", "left", "fan_in")
    assert done.returncode == 0, done.stderr
    names = sorted(label(e) for e in ledger(project))
    assert names == ["fan_in", "left", "part[k=1]", "part[k=2]", "part[k=3]", "part[k=x]", "top"]

    done = kevro(project, "run", "pkg.graph", "--select", "nothing")
    assert done.returncode == 2
    assert done.stderr.startswith("kevro: error: ") and "'nothing'" in done.stderr


def test_runs_shows_the_last_run_and_skips_unreadable_lines(tmp_path):
    project = write_project(tmp_path, {"graph": DIAMOND})
    assert kevro(project, "runs").returncode == 1
    assert kevro(project, "run", "pkg.graph").returncode == 0
    assert kevro(project, "run", "pkg.graph", "--select", "left").returncode == 0
    with open(project / "kevro-out" / "runs.jsonl", "a", encoding="utf-8") as handle:
        handle.write("not json\n[1]\n")
    done = kevro(project, "runs")
    assert done.returncode == 0
    rows = done.stdout.splitlines()
    assert rows[0].startswith("run ") and ": 2 jobs" in rows[0]
    assert sorted(r.split()[:4] for r in rows[2:]) == [["left", "up", "to", "date"], ["top", "up", "to", "date"]]
    assert "skipped 2 unreadable line(s)" in done.stderr

    missing = kevro(project, "runs", "--out", "elsewhere")
    assert missing.returncode == 1
    assert "no run ledger at " + os.path.join("elsewhere", "runs.jsonl") in missing.stderr


def test_list_prints_the_table(tmp_path):
    project = write_project(tmp_path, {"graph": DIAMOND})
    done = kevro(project, "list", "pkg.graph")
    assert (done.returncode, done.stderr) == (0, "")
    lines = done.stdout.splitlines()
    assert lines[0].split() == ["ASSET", "FUNCTION", "INPUTS", "PARTITIONS"]
    names = [line.split()[0] for line in lines[1:]]
    assert sorted(names) == ["bottom", "fan_in", "grid", "left", "part", "right", "table", "top"]
    # Upstream assets come first.
    assert names.index("top") < names.index("left") < names.index("bottom")
    assert names.index("part") < names.index("fan_in") and names.index("grid") < names.index("table")


@pytest.mark.parametrize("command, words", [
    ([], ["run", "status", "list", "runs", "show", "report", "worker"]),
    (["run"], ["MODULE", "--out DIR", "--select NAME", "--partition DIM=KEY", "--force", "--jobs N", "--isolated",
               "--retries N", "--timeout SECONDS", "--executor {local,celery}", "--broker URL", "KEVRO_BROKER"]),
    (["worker"], ["MODULE", "--broker URL", "--concurrency N", "--heartbeat-interval SECONDS", "--name NODE",
                  "KEVRO_BROKER", "kevro[celery]"]),
    (["show"], ["ASSET", "--partition DIM=KEY", "--out DIR", "--log"]),
    (["status"], ["MODULE", "--out DIR", "--select NAME", "--partition DIM=KEY", "--force", "--json"]),
    (["list"], ["MODULE"]),
    (["runs"], ["--out DIR"]),
    (["report"], ["MODULE", "--out DIR", "-o FILE"]),
])
def test_help(tmp_path, command, words):
    done = kevro(tmp_path, *command, "--help")
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.startswith("usage: python -m kevro" + "".join(" " + c for c in command))
    for word in words:
        assert word in done.stdout


@pytest.mark.parametrize("args", [
    [], ["run"], ["run", "m", "--jobs", "0"], ["run", "m", "--jobs", "-2"], ["run", "m", "--jobs", "x"],
    ["walk"], ["runs", "extra"],
])
def test_usage_errors_exit_2(tmp_path, args):
    done = kevro(tmp_path, *args)
    assert done.returncode == 2
    assert done.stderr.startswith("usage: python -m kevro")
    assert os.listdir(tmp_path) == []


SLOW = """
import os
import time

from kevro import asset

@asset(name="a_fast")
def a_fast():
    return 1

@asset(name="b_slow")
def b_slow():
    with open("slow.pid", "w") as handle:
        handle.write(str(os.getpid()))
    deadline = time.monotonic() + 60
    while not os.path.exists("release") and time.monotonic() < deadline:
        time.sleep(0.02)
    return 2

@asset(name="c_later")
def c_later():
    return 3
"""


def gone(pid: int) -> bool:
    try:
        with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] in ("Z", "X")
    except FileNotFoundError:
        return True


@MODES
@pytest.mark.parametrize("presses", [1, 2])
def test_ctrl_c(tmp_path, mode, presses):
    project = write_project(tmp_path, {"slow": SLOW})
    child = subprocess.Popen(
        [sys.executable, "-m", "kevro", "run", "pkg.slow", "--jobs", "1", *mode_args(mode)],
        cwd=project, env=child_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
    )
    try:
        pid_file = project / "slow.pid"
        deadline = time.monotonic() + 60
        while not pid_file.exists() or not pid_file.read_text():
            assert child.poll() is None and time.monotonic() < deadline
            time.sleep(0.02)
        slow_pid = int(pid_file.read_text())
        child.send_signal(signal.SIGINT)
        # Wait until the runner has taken the interruption in, then finish or stop b_slow.
        seen = []
        while not any("interrupted" in line for line in seen):
            line = child.stderr.readline()
            assert line, "".join(seen)
            seen.append(line)
        if presses == 1:
            (project / "release").touch()
        else:
            child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert child.returncode == 130, "".join(seen) + err
    jobs = by_label(ledger(project))
    assert jobs["a_fast"]["ok"] and value(project, jobs["a_fast"]) == 1
    assert result(project, jobs["a_fast"])["ok"] is True
    assert jobs["c_later"]["skipped"] and jobs["c_later"]["error"] == "skipped: interrupted"
    assert not (project / jobs["c_later"]["out_dir"]).exists()
    if presses == 1:
        assert jobs["b_slow"]["ok"] and value(project, jobs["b_slow"]) == 2
    else:
        assert jobs["b_slow"]["error"] == "interrupted: stopped by a second Ctrl-C"
        assert not jobs["b_slow"]["ok"] and not jobs["b_slow"]["skipped"]
        deadline = time.monotonic() + 10
        while not gone(slow_pid) and time.monotonic() < deadline:
            time.sleep(0.02)
        assert gone(slow_pid)
    assert "(interrupted)" in out


@pytest.mark.parametrize(
    "record, end, expected",
    [
        ('{"ok":true}', {"status": 0}, (True, None, None)),
        ('{"error":"ValueError: x","error_type":"ValueError","ok":false}', {"status": 1},
         (False, "ValueError: x", "ValueError")),
        # Success is the exit status and the record together, never one of them alone.
        ('{"ok":true}', {"status": 1}, (False, "worker exited with status 1 after a successful run", "WorkerDied")),
        (None, {"status": 0}, (False, "worker died: exited with status 0 without writing result.json", "WorkerDied")),
        ("{\"ok\":tr", {"status": 0}, (False, "worker died: exited with status 0 without writing result.json", "WorkerDied")),
        ('{"ok":true}', {"signal": int(signal.SIGKILL)}, (False, "worker died: killed by signal SIGKILL", "WorkerDied")),
        ('{"ok":"yes"}', {"status": 0}, (False, "result.json records a failure without an error", None)),
        ('{"ok":true}', {"status": 0, "died": "worker died: gone"}, (False, "worker died: gone", "WorkerDied")),
    ],
)
def test_judge(tmp_path, record, end, expected):
    from kevro import executors, runner

    if record is not None:
        (tmp_path / "result.json").write_text(record, encoding="utf-8")
    assert runner.judge(str(tmp_path), executors.JobEvent(0, pid=123, **end)) == expected


def test_texts_put_together_are_the_encoders():
    from types import SimpleNamespace

    from kevro import common, runner, versions

    for kwargs in ({"key": "k1", "day": "2024-01-01"}, {"key": "caf\u00e9"}, {"key": 'a"b'}, {"n": 1}, {}):
        assert common.kwargs_text(kwargs) == json.dumps(kwargs)
    for text in ("pkg.mod", "o/caf\u00e9", "o/\ud800", 'a"b\\', "tab\t"):
        assert common.ascii_json(text) == json.dumps(text)

    plain = SimpleNamespace(name="fan", ref="m.py:fan")
    odd = SimpleNamespace(name='we"ird\u00e9\n', ref="m.py:odd")
    jobs = [SimpleNamespace(asset=plain, partition=[("key", "k1")], partition_keys={"key": "k1"}, out_dir="o/fan/key=k1"),
            SimpleNamespace(asset=odd, partition=[("n", 1), ("s", "\\\u2028")], partition_keys={"n": 1, "s": "\\\u2028"},
                            out_dir="o/\ud800"),
            SimpleNamespace(asset=plain, partition=[], partition_keys={}, out_dir="o/fan")]
    outcomes = [
        runner.Outcome(jobs[0], "ok", 1.7e9 + 0.25, 1.7e9 + 0.5, 0.25, 1234, reason="never run", attempt=1, host="h"),
        runner.Outcome(jobs[1], "failed", 1.7e9, 1.7e9 + 1, 1 / 3, None, 'ValueError: "x"\n', "ValueError", None, 2),
        runner.Outcome(jobs[1], "skipped", error="skipped: upstream x failed"),
        runner.Outcome(jobs[2], "up to date"),
        runner.Outcome(jobs[0], "up to date"),
    ]
    prefixes: dict = {}
    for outcome in outcomes:
        expected = json.dumps(outcome.ledger_entry("r1"), ensure_ascii=False)
        assert runner.ledger_line(outcome, "r1", prefixes) == expected
    # The version record's text is write_record's encoding of make_record.
    code = versions.CodeVersion("d" * 64, {"function source": "a" * 64, "metadata": "b" * 64})
    heads: dict = {}
    for partition, inputs in [({"key": "k1"}, {}), ({"n": 1, "s": "\\\u2028"}, {"up": {'l"x': "e" * 64}})]:
        record = versions.make_record(code, partition, "c" * 64, inputs)
        text = versions.record_text(code, partition, "c" * 64, inputs, heads)
        assert text == json.dumps(record, ensure_ascii=False, separators=(",", ":"))

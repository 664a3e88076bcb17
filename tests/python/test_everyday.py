"""What a user meets first: tracebacks in job.log, exit codes for modules that give nothing to
run, the `kevro` console script, large inputs with --isolated, --retries and --timeout, and
`kevro show`."""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import pytest

from common import child_env, kevro, ledger, run_python, value, write_project

MODES = pytest.mark.parametrize("mode", ["warm", "isolated"])


def mode_args(mode: str):
    return ["--isolated"] if mode == "isolated" else []


FAILING = """
from kevro import asset

def parse(row):
    return int(row)  # line 5

@asset(name="base")
def base():
    return ["1", "x"]

@asset(name="parsed", inputs={"rows": base})
def parsed(rows):
    return [parse(row) for row in rows]

@asset(name="unencodable")
def unencodable():
    return {1, 2}
"""


@MODES
def test_a_failing_job_leaves_its_traceback_in_job_log(tmp_path, mode):
    project = write_project(tmp_path, {"fail": FAILING})
    done = kevro(project, "run", "pkg.fail", *mode_args(mode))
    assert done.returncode == 1, done.stderr
    source = str(project / "pkg" / "fail.py")
    log = (project / "kevro-out" / "parsed" / "job.log").read_text()
    assert log.startswith("Traceback (most recent call last):\n")
    assert f'File "{source}", line 13, in parsed' in log
    assert f'File "{source}", line 5, in parse\n    return int(row)  # line 5\n' in log
    assert log.endswith("ValueError: invalid literal for int() with base 10: 'x'\n"
                        "kevro: parsed failed: ValueError: invalid literal for int() with base 10: 'x'\n")
    log = (project / "kevro-out" / "unencodable" / "job.log").read_text()
    assert "TypeError: Object of type set is not JSON serializable\n" in log
    # The summary keeps the one-line error and names the log.
    assert "  parsed: ValueError: invalid literal for int() with base 10: 'x'\n" in done.stdout
    assert f"    log: {Path('kevro-out', 'parsed', 'job.log')}\n" in done.stdout
    runs = kevro(project, "runs")
    assert f"log of parsed: {Path('kevro-out', 'parsed', 'job.log')}\n" in runs.stdout


# Each case runs in a fresh interpreter through `call`, once as materialize_asset and once
# through the job process's wrapper; the files must come out byte for byte the same.
IDENTITY_MODULE = """
import functools
import sys
from kevro import asset

@asset(name="raises")
def raises(n: int = 1) -> int:
    raise KeyError(n)

@asset(name="ok")
def ok(region: str, *, scale: float = 1.0) -> dict:
    return {"region": region, "scale": scale}

@asset(name="unencodable")
def unencodable():
    return object()

def plain(a, b=2):
    return a + b

@functools.wraps(plain)
def wrapped(*args, **kwargs):
    return plain(*args, **kwargs)

@asset(name="exits")
def exits():
    sys.exit(3)

not_callable = 5
"""

IDENTITY_CASES = [
    ("pkg.ident", "raises", None),
    ("pkg.ident", "raises", '{"n": 7}'),
    ("pkg.ident", "ok", '{"region": "north", "scale": 2.5}'),
    ("pkg.ident", "ok", None),
    ("pkg.ident", "unencodable", None),
    ("pkg.ident", "plain", '{"a": 1}'),
    ("pkg.ident", "wrapped", '{"a": 1}'),
    ("pkg.ident", "exits", None),
    ("pkg.ident", "not_callable", None),
    ("pkg.ident", "missing", None),
    ("pkg.ident", "ok", "[1]"),
    ("pkg.broken", "anything", None),
    ("pkg.nosuch", "anything", None),
]

CALL_ALL = """
import json, sys
import _kevro
from kevro._materialize import materialize
call = _kevro.materialize_asset if sys.argv[1] == "direct" else materialize
for n, (module, function, kwargs) in enumerate(json.loads(sys.argv[2])):
    try:
        call(module, function, f"out/{n}", kwargs)
        print("returned")
    except SystemExit as exc:
        print("SystemExit", exc.code)
"""


def test_the_traceback_leaves_the_files_as_materialize_asset_writes_them(tmp_path):
    outputs = {}
    for how in ("direct", "traced"):
        project = write_project(tmp_path / how, {"ident": IDENTITY_MODULE,
                                                 "broken": "import json\nraise ImportError('no')\n"})
        done = run_python(CALL_ALL, how, json.dumps(IDENTITY_CASES), cwd=project)
        assert done.returncode == 0, done.stderr
        files = {}
        for n in range(len(IDENTITY_CASES)):
            for name in ("value.json", "result.json"):
                path = project / "out" / str(n) / name
                files[n, name] = path.read_bytes() if path.exists() else None
        outputs[how] = (done.stdout, files)
        if how == "traced":
            assert done.stderr.count("Traceback (most recent call last):") == 5, done.stderr
            assert "raise ImportError('no')" in done.stderr and "raise KeyError(n)" in done.stderr
    assert outputs["direct"] == outputs["traced"]
    stdout, files = outputs["direct"]
    assert stdout.split("\n").count("returned") == 3  # ok, plain, wrapped
    assert b'"signature":"(region: str, *, scale: float = 1.0) -> dict"' in files[2, "result.json"]


EMPTY = "X = 1\n"


@pytest.mark.parametrize("command", ["run", "list", "status"])
def test_modules_that_give_nothing_to_run_exit_2(tmp_path, command):
    project = write_project(tmp_path, {"fail": FAILING, "empty": EMPTY,
                                       "broken": "raise RuntimeError('cannot start')\n"})
    for modules, error in [
        (["pkg.nosuch"], "cannot import module 'pkg.nosuch': ModuleNotFoundError: No module named 'pkg.nosuch'"),
        (["pkg.fail", "pkg.broken"], "cannot import module 'pkg.broken': RuntimeError: cannot start"),
        (["pkg.empty"], "module 'pkg.empty' holds no asset"),
    ]:
        done = kevro(project, command, *modules)
        assert done.returncode == 2, (modules, done.stdout, done.stderr)
        assert f"kevro: error: {error}" in done.stderr
    assert not (project / "kevro-out" / "runs.jsonl").exists()


def test_console_script(tmp_path):
    script = Path(sys.executable).parent / "kevro"
    assert script.is_file()
    project = write_project(tmp_path, {"fail": FAILING})
    shown = subprocess.run([str(script), "run", "--help"], cwd=project, capture_output=True, text=True,
                           env=child_env(), timeout=120)
    assert shown.returncode == 0 and shown.stdout.startswith("usage: kevro run ")
    done = subprocess.run([str(script), "run", "pkg.fail", "--select", "base"], cwd=project,
                          capture_output=True, text=True, env=child_env(), timeout=120)
    assert done.returncode == 0, done.stderr
    assert json.loads((project / "kevro-out" / "base" / "value.json").read_text()) == ["1", "x"]


BIG = """
from kevro import asset

@asset(name="big")
def big():
    return ["%07d" % i + "x" * 993 for i in range(20_000)]

@asset(name="size", inputs={"rows": big})
def size(rows):
    return [len(rows), sum(map(len, rows)), rows[-1][:7]]
"""


def test_twenty_megabytes_of_upstream_values_with_isolated(tmp_path):
    project = write_project(tmp_path, {"big": BIG})
    done = kevro(project, "run", "pkg.big", "--isolated", timeout=300)
    assert done.returncode == 0, done.stderr
    entries = {e["asset"]: e for e in ledger(project)}
    assert value(project, entries["size"]) == [20_000, 20_000_000, "0019999"]


FLAKY = """
import os
from kevro import asset

@asset(name="flaky")
def flaky():
    with open("attempts", "a+") as counter:
        counter.write("x")
    with open("attempts") as counter:
        attempt = len(counter.read())
    if attempt < 3:
        if os.environ.get("KEVRO_TEST_CRASH"):
            os._exit(7)
        raise RuntimeError(f"attempt {attempt} fails")
    return attempt

@asset(name="after", inputs={"n": flaky})
def after(n):
    return n * 10
"""


@MODES
@pytest.mark.parametrize("crash", [False, True])
def test_retries(tmp_path, mode, crash):
    for retries, code, states in [("1", 1, ["failed", "failed"]), ("2", 0, ["failed", "failed", "ok"])]:
        project = write_project(tmp_path / retries, {"flaky": FLAKY})
        env = dict(child_env(), **({"KEVRO_TEST_CRASH": "1"} if crash else {}))
        done = subprocess.run([sys.executable, "-m", "kevro", "run", "pkg.flaky", "--retries", retries,
                               *mode_args(mode)], cwd=project, env=env, capture_output=True, text=True,
                              timeout=120)
        assert done.returncode == code, done.stderr
        entries = ledger(project)
        tries = [e for e in entries if e["asset"] == "flaky"]
        assert [(e["attempt"], e["state"]) for e in tries] == list(zip(range(1, len(states) + 1), states))
        assert tries[0]["error_type"] == ("WorkerDied" if crash else "RuntimeError")
        (after,) = [e for e in entries if e["asset"] == "after"]
        if code == 0:
            # The downstream job started once the last attempt was over.
            assert (after["state"], value(project, after)) == ("ok", 30)
            assert after["started_at"] >= tries[-1]["ended_at"]
            assert "kevro: retrying flaky (attempt 3 of 3) after: " in done.stderr
        else:
            assert (after["state"], after["attempt"]) == ("skipped", None)


SLEEPY = """
import time
from kevro import asset

@asset(name="sleepy")
def sleepy():
    time.sleep(60)

@asset(name="after", inputs={"s": sleepy})
def after(s):
    return s

@asset(name="quick")
def quick():
    return 1
"""


@MODES
def test_timeout_stops_the_job(tmp_path, mode):
    project = write_project(tmp_path, {"sleepy": SLEEPY})
    done = kevro(project, "run", "pkg.sleepy", "--timeout", "1", *mode_args(mode), timeout=50)
    assert done.returncode == 1, done.stderr
    entries = {e["asset"]: e for e in ledger(project)}
    sleepy = entries["sleepy"]
    assert (sleepy["state"], sleepy["error_type"], sleepy["attempt"]) == ("failed", "Timeout", 1)
    assert sleepy["error"] == "timed out: stopped after 1 s (--timeout)"
    assert (entries["after"]["state"], entries["quick"]["state"]) == ("skipped", "ok")
    for args in (["--timeout", "0"], ["--timeout", "x"], ["--retries", "-1"]):
        assert kevro(project, "run", "pkg.sleepy", *args).returncode == 2


SHOWN = """
from kevro import asset, partitions

@asset(name="shop/days", partitions={"day": partitions(["d1", "d2"]), "n": partitions([1])})
def days(day, n):
    return {"day": day, "n": n}

@asset(name="bad")
def bad():
    raise LookupError("nothing here")
"""


def test_show(tmp_path):
    project = write_project(tmp_path, {"shown": SHOWN})
    assert kevro(project, "run", "pkg.shown").returncode == 1
    listing = kevro(project, "show", "shop/days")
    assert listing.returncode == 0, listing.stderr
    rows = listing.stdout.splitlines()
    assert rows[0] == "shop/days: 2 partitions; pick one with --partition DIM=KEY"
    assert [r.split()[:2] for r in rows[2:]] == [["day=d1,n=1", "ok"], ["day=d2,n=1", "ok"]]

    one = kevro(project, "show", "shop/days", "--partition", "day=d2", "--out", "kevro-out")
    assert one.returncode == 0, one.stderr
    text = one.stdout
    assert "partition: day=d2,n=1\n" in text
    assert 'value (value.json):\n{\n  "day": "d2",\n  "n": 1\n}\n' in text
    assert '  "ok": true,\n' in text and "job.log" not in text
    assert kevro(project, "show", "shop/days", "--partition", "day=d2", "--partition", "n=1").stdout == text

    bad = kevro(project, "show", "bad", "--log")
    assert bad.returncode == 0, bad.stderr
    assert "value (value.json): none\n" in bad.stdout
    assert '"error_type": "LookupError"' in bad.stdout
    assert "log (job.log):\nTraceback (most recent call last):\n" in bad.stdout
    assert 'raise LookupError("nothing here")\n' in bad.stdout

    for args, error in [
        (["shop/dys"], "no asset named 'shop/dys' in kevro-out/runs.jsonl; nearest: 'shop/days'"),
        (["shop/days", "--partition", "day=d3"], "has no recorded job with the partition day=d3"),
        (["bad", "--partition", "day=d1"], "it has no partitions"),
    ]:
        done = kevro(project, "show", *args)
        assert done.returncode == 2 and error in done.stderr, (args, done.stderr)
    assert kevro(project, "show", "bad", "--out", "elsewhere").returncode == 1

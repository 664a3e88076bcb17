"""`kevro run --executor celery` and `kevro worker`, end to end: a real redis-server on a free
loopback port (with a password, which must never show), real worker processes, real faults."""

from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import sys
import time
from pathlib import Path
from typing import Dict, Iterator, List

import pytest

from common import REPO_ROOT, by_label, child_env, kevro, label, ledger, value, write_project

REDIS = shutil.which("redis-server")
try:
    import celery  # noqa: F401
    import redis
except ImportError:  # pragma: no cover - the set-up installs the extra
    redis = None

needs_cluster = pytest.mark.skipif(REDIS is None or redis is None,
                                   reason="needs Debian's redis-server and the kevro[celery] extra")

PASSWORD = "s3cret-broker-pw"
SHOP = ["shop.catalog", "shop.orders", "shop.inventory", "shop.reports"]

FAN = """
from kevro import asset, partitions

@asset(name="leaf", partitions={"key": partitions(list(range(1000)))})
def leaf(key):
    return key * 2

@asset(name="total", inputs={"leaf": leaf})
def total(leaf):
    return sum(leaf.values())
"""

FAULTS = """
import os
import time

from kevro import asset, partitions

@asset(name="boom")
def boom():
    raise ValueError("boom")

@asset(name="after_boom", inputs={"boom": boom})
def after_boom(boom):
    return boom

@asset(name="exits")
def exits():
    os._exit(3)

@asset(name="flaky")
def flaky():
    if not os.path.exists("flaky.once"):
        open("flaky.once", "w").close()
        raise RuntimeError("first attempt")
    return "second"

@asset(name="fine", partitions={"n": partitions([1, 2.5, "x"])})
def fine(n):
    print("printed by", n)
    return {"n": n, "text": "caf\\u00e9\\n"}

@asset(name="sleepy")
def sleepy():
    with open("sleepy.pid", "w") as handle:
        handle.write(str(os.getpid()))
    time.sleep(60)
    return 1
"""

SLOW = """
import os
import time

from kevro import asset, partitions

@asset(name="slow", partitions={"k": partitions(list(range(4)))})
def slow(k):
    os.makedirs("marks", exist_ok=True)
    with open(f"marks/started-{k}-{os.getpid()}", "w") as handle:
        handle.write(str(os.getppid()))
    time.sleep(2)
    open(f"marks/done-{k}", "w").close()
    return k * 10

@asset(name="sum", inputs={"slow": slow})
def total(slow):
    return sum(slow.values())
"""


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Cluster:
    """A redis-server and `kevro worker` processes started in one project folder."""

    def __init__(self, project: Path) -> None:
        self.project = project
        self.port = free_port()
        self.url = f"redis://:{PASSWORD}@127.0.0.1:{self.port}/0"
        self.redis = subprocess.Popen(
            [REDIS, "--port", str(self.port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
             "--requirepass", PASSWORD], stdout=subprocess.DEVNULL, start_new_session=True)
        self.workers: List[subprocess.Popen] = []
        self.logs: List[Path] = []
        client = redis.Redis.from_url(self.url, socket_connect_timeout=1)
        deadline = time.monotonic() + 20
        while True:
            try:
                client.ping()
                break
            except redis.ConnectionError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)
        self.client = client

    def start_workers(self, count: int, modules: List[str]) -> None:
        for _ in range(count):
            log = self.project / f"worker-{len(self.workers)}.log"
            with open(log, "wb") as output:
                self.workers.append(subprocess.Popen(
                    [sys.executable, "-m", "kevro", "worker", *modules, "--broker", self.url, "--concurrency", "1",
                     "--heartbeat-interval", "0.5"], cwd=self.project, env=child_env(), stdout=output,
                    stderr=output, start_new_session=True))
            self.logs.append(log)
        deadline = time.monotonic() + 90
        for worker, log in zip(self.workers, self.logs):
            while "ready." not in log.read_text(errors="replace"):
                assert worker.poll() is None, log.read_text(errors="replace")
                assert time.monotonic() < deadline, log.read_text(errors="replace")
                time.sleep(0.1)

    def run(self, *args: str, out: str = "out", timeout: float = 180) -> subprocess.CompletedProcess:
        return kevro(self.project, "run", *args, "--out", out, "--executor", "celery", "--broker", self.url,
                     timeout=timeout)

    def sent(self) -> int:
        """Tasks sent through the broker so far (each is one LPUSH)."""
        return int(self.client.info("commandstats").get("cmdstat_lpush", {}).get("calls", 0))

    def stop(self) -> None:
        for proc in self.workers + [self.redis]:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait()
        self.client.close()


@pytest.fixture
def cluster_of(tmp_path: Path) -> Iterator:
    started: List[Cluster] = []

    def make(modules: Dict[str, str]) -> Cluster:
        project = write_project(tmp_path, modules)
        started.append(Cluster(project))
        return started[-1]

    yield make
    for cluster in started:
        cluster.stop()


@pytest.fixture(scope="module")
def cluster(tmp_path_factory) -> Iterator[Cluster]:
    """Two workers over the example project and the modules above."""
    if REDIS is None or redis is None:
        pytest.skip("needs Debian's redis-server and the kevro[celery] extra")
    project = write_project(tmp_path_factory.mktemp("celery"), {"fan": FAN, "faults": FAULTS})
    shutil.copytree(REPO_ROOT / "examples" / "shop", project / "shop")
    started = Cluster(project)
    try:
        started.start_workers(2, SHOP + ["pkg.fan", "pkg.faults"])
        yield started
    finally:
        started.stop()


def job_files(out: Path) -> Dict[str, bytes]:
    return {str(path.relative_to(out)): path.read_bytes() for path in sorted(out.rglob("*.json"))
            if path.name in ("value.json", "result.json", "version.json")}


def outcomes(entries: List[dict]) -> List[tuple]:
    return sorted((label(e), e["state"], e["error_type"], e["error"], e["attempt"]) for e in entries)


@needs_cluster
def test_example_matches_a_local_run_file_by_file(cluster):
    local = kevro(cluster.project, "run", *SHOP, "--out", "example")
    assert local.returncode == 0, local.stderr
    os.rename(cluster.project / "example", cluster.project / "example-local")
    remote = cluster.run(*SHOP, out="example")
    assert remote.returncode == 0, remote.stderr
    assert "36 jobs: 36 ok, 0 failed, 0 skipped, 0 up to date" in remote.stdout
    expected = job_files(cluster.project / "example-local")
    assert len(expected) == 36 * 3
    assert job_files(cluster.project / "example") == expected
    entries = ledger(cluster.project, "example")
    assert {e["host"] for e in entries} == {socket.gethostname()}
    assert all(isinstance(e["worker_pid"], int) for e in entries)
    # The workers' pids, not the runner's children.
    assert not {e["worker_pid"] for e in entries} & {e["worker_pid"] for e in ledger(cluster.project, "example-local")}

    # A rerun sends nothing: every job is up to date before any task would go out.
    sent = cluster.sent()
    again = cluster.run(*SHOP, out="example")
    assert again.returncode == 0, again.stderr
    assert "36 jobs: 0 ok, 0 failed, 0 skipped, 36 up to date" in again.stdout
    assert cluster.sent() == sent

    # The broker's password shows nowhere: output, ledger, logs of jobs and workers.
    texts = [local.stdout, local.stderr, remote.stdout, remote.stderr, again.stderr]
    texts += [p.read_text(errors="replace") for p in cluster.project.rglob("*") if p.is_file()
              and p.suffix in (".log", ".jsonl", ".json", ".html")]
    assert texts and not [t for t in texts if PASSWORD in t]


@needs_cluster
def test_a_thousand_job_fan_out(cluster):
    done = cluster.run("pkg.fan", "--jobs", "8", out="fan")
    assert done.returncode == 0, done.stderr
    assert "1001 jobs: 1001 ok, 0 failed" in done.stdout
    jobs = by_label(ledger(cluster.project, "fan"))
    assert value(cluster.project, jobs["total"]) == sum(k * 2 for k in range(1000))
    assert value(cluster.project, jobs["leaf[key=999]"]) == 1998


@needs_cluster
def test_failures_are_recorded_as_a_local_run_records_them(cluster):
    args = ["pkg.faults", "--select", "boom", "after_boom", "exits", "flaky", "fine", "--retries", "1"]
    local = kevro(cluster.project, "run", *args, "--out", "faults-local")
    (cluster.project / "flaky.once").unlink()
    remote = cluster.run(*args, out="faults")
    assert (local.returncode, remote.returncode) == (1, 1)
    got, expected = ledger(cluster.project, "faults"), ledger(cluster.project, "faults-local")
    assert outcomes(got) == outcomes(expected)
    jobs = {label(e): e for e in got}  # the last attempt of each
    assert [e["attempt"] for e in got if e["asset"] == "flaky"] == [1, 2]
    assert (jobs["boom"]["error_type"], jobs["exits"]["error_type"]) == ("ValueError", "WorkerDied")
    assert jobs["after_boom"]["state"] == "skipped"
    boom_log = (cluster.project / jobs["boom"]["out_dir"] / "job.log").read_text()
    assert 'raise ValueError("boom")' in boom_log and "kevro: boom failed: ValueError: boom" in boom_log
    assert (cluster.project / jobs["fine[n=x]"]["out_dir"] / "job.log").read_text() == "printed by x\n"
    assert job_files(cluster.project / "faults") == {
        name: data.replace(b"faults-local/", b"faults/") for name, data in job_files(cluster.project / "faults-local").items()}
    # The workers outlived the job that took its process down.
    assert all(worker.poll() is None for worker in cluster.workers)


@needs_cluster
def test_a_job_past_its_time_limit_is_stopped_on_its_worker(cluster):
    done = cluster.run("pkg.faults", "--select", "sleepy", "--timeout", "2", out="sleepy")
    assert done.returncode == 1, done.stderr
    (entry,) = ledger(cluster.project, "sleepy")
    assert (entry["error_type"], entry["error"]) == ("Timeout", "timed out: stopped after 2 s (--timeout)")
    pid = int((cluster.project / "sleepy.pid").read_text())
    deadline = time.monotonic() + 30
    while os.path.exists(f"/proc/{pid}") and time.monotonic() < deadline:
        time.sleep(0.1)
    assert not os.path.exists(f"/proc/{pid}")
    # Its worker took the next job.
    assert cluster.run("pkg.faults", "--select", "fine", out="sleepy").returncode == 0


@needs_cluster
def test_workers_run_kevros_task_only_and_json_only(cluster):
    from kevro.celery_executor import make_app

    app = make_app(cluster.url)
    try:
        inspect = app.control.inspect(timeout=3)
        registered = inspect.registered()
        conf = inspect.conf()
    finally:
        app.close()
    assert len(registered) == 2 and all(tasks == ["kevro.job"] for tasks in registered.values())
    for settings in conf.values():
        assert settings["accept_content"] == ["json"] and settings["result_accept_content"] == ["json"]
        assert (settings["task_serializer"], settings["result_serializer"]) == ("json", "json")


def marks(project: Path, kind: str) -> List[str]:
    folder = project / "marks"
    return sorted(p.name for p in folder.iterdir() if p.name.startswith(kind)) if folder.is_dir() else []


def wait_for(condition, what: str, seconds: float = 60) -> None:
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, f"no {what} after {seconds} s"
        time.sleep(0.05)


def parent_of(pid: int) -> int:
    with open(f"/proc/{pid}/stat", encoding="ascii") as stat:
        return int(stat.read().rsplit(")", 1)[1].split()[1])


@needs_cluster
def test_a_worker_killed_midway_has_its_job_run_elsewhere(cluster_of):
    cluster = cluster_of({"slow": SLOW})
    cluster.start_workers(2, ["pkg.slow"])
    run = subprocess.Popen([sys.executable, "-m", "kevro", "run", "pkg.slow", "--out", "out", "--executor", "celery",
                            "--jobs", "4"], cwd=cluster.project, env={**child_env(), "KEVRO_BROKER": cluster.url},
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        wait_for(lambda: marks(cluster.project, "started-"), "job start")
        started = marks(cluster.project, "started-")[0]
        warm = int((cluster.project / "marks" / started).read_text())
        victim = next(w for w in cluster.workers if w.pid == parent_of(warm))
        os.kill(victim.pid, signal.SIGKILL)
        stdout, stderr = run.communicate(timeout=120)
    finally:
        run.kill()
    assert run.returncode == 0, stderr
    assert "job(s) sent again" in stderr
    jobs = by_label(ledger(cluster.project, "out"))  # each job once
    assert sorted(jobs) == ["slow[k=0]", "slow[k=1]", "slow[k=2]", "slow[k=3]", "sum"]
    assert all(e["state"] == "ok" and e["attempt"] == 1 for e in jobs.values())
    assert value(cluster.project, jobs["sum"]) == 60
    # The killed job started twice; the job that ran to its end is the one recorded.
    key = started.split("-")[1]
    assert len([m for m in marks(cluster.project, "started-") if m.split("-")[1] == key]) == 2
    assert jobs[f"slow[k={key}]"]["worker_pid"] != int(started.split("-")[2])


@needs_cluster
def test_a_lost_broker_fails_the_unfinished_jobs(cluster_of):
    cluster = cluster_of({"slow": SLOW})
    cluster.start_workers(1, ["pkg.slow"])
    run = subprocess.Popen([sys.executable, "-m", "kevro", "run", "pkg.slow", "--out", "out", "--executor", "celery",
                            "--broker", cluster.url], cwd=cluster.project, env=child_env(),
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        wait_for(lambda: marks(cluster.project, "done-"), "finished job")
        os.killpg(cluster.redis.pid, signal.SIGKILL)
        stdout, stderr = run.communicate(timeout=90)  # the run ends on its own
    finally:
        run.kill()
    assert run.returncode == 1, stderr
    jobs = by_label(ledger(cluster.project, "out"))
    finished = {m.split("-")[1] for m in marks(cluster.project, "done-")}
    states = {label: (e["state"], e["error_type"]) for label, e in jobs.items()}
    assert states.get("sum") == ("skipped", None), stderr
    for k in range(4):
        state = states[f"slow[k={k}]"]
        assert state == ("ok", None) and str(k) in finished or state == ("failed", "BrokerLost"), state
    lost = [e for e in jobs.values() if e["error_type"] == "BrokerLost"]
    assert lost and all(e["error"].startswith(f"broker lost: redis://:**@127.0.0.1:{cluster.port}/0") for e in lost)
    assert PASSWORD not in stdout + stderr


@pytest.mark.parametrize("command", [["run", "pkg.m", "--executor", "celery"], ["worker", "pkg.m"]])
def test_an_unreachable_broker_is_a_usage_error(tmp_path, command):
    if redis is None:
        pytest.skip("needs the kevro[celery] extra")
    project = write_project(tmp_path, {"m": "from kevro import asset\n\n@asset()\ndef a():\n    return 1\n"})
    url = f"redis://:{PASSWORD}@127.0.0.1:{free_port()}/0"
    done = kevro(project, *command, "--broker", url, timeout=30)
    assert done.returncode == 2
    assert f"cannot reach the broker at redis://:**@127.0.0.1:{url.rsplit(':', 1)[1]}" in done.stderr
    assert PASSWORD not in done.stderr + done.stdout
    unset = kevro(project, *command, timeout=30)
    assert (unset.returncode, unset.stderr) == (2, "kevro: error: no broker: give --broker URL or set KEVRO_BROKER\n")


def test_without_the_extra_the_celery_executor_exits_2_naming_it(tmp_path):
    project = write_project(tmp_path, {"m": "from kevro import asset\n\n@asset()\ndef a():\n    return 1\n"})
    blocked = tmp_path / "blocked" / "celery"
    blocked.mkdir(parents=True)
    (blocked / "__init__.py").write_text("raise ImportError('No module named celery')\n")
    env = child_env()
    env["PYTHONPATH"] = os.pathsep.join([str(blocked.parent), env["PYTHONPATH"]])
    for command in (["run", "pkg.m", "--executor", "celery"], ["worker", "pkg.m"]):
        done = subprocess.run([sys.executable, "-m", "kevro", *command, "--broker", "redis://127.0.0.1:1/0"],
                              cwd=project, env=env, capture_output=True, text=True, timeout=60)
        assert done.returncode == 2
        assert "kevro[celery]" in done.stderr and "pip install" in done.stderr
    # The local executor does not need it.
    local = subprocess.run([sys.executable, "-m", "kevro", "run", "pkg.m"], cwd=project, env=env,
                           capture_output=True, text=True, timeout=60)
    assert local.returncode == 0, local.stderr
    (entry,) = ledger(project)
    assert entry["state"] == "ok" and value(project, entry) == 1

"""Per-job cost of `kevro run --executor celery` against the local warm pool.

    python bench/bench_celery.py [--keys N] [--workers W] [--jobs J] [--in-flight F] [--rounds R]

Starts a redis-server on a free loopback port and W workers (`kevro worker --concurrency 1`),
then runs a generated module with one trivial asset partitioned over N keys (default 1,000)
end to end, as a child `python -m kevro run`: locally with `--jobs J` (default 2), and on the
workers with `--executor celery --jobs F` (jobs handed to the workers at once, default 8). A
run over a single key gives each mode's fixed cost, so the marginal cost per job is
(T(N) - T(1)) / (N - 1), best of R rounds. Prints ms/job both ways and the ratio
celery / local. Needs redis-server (Debian) and the kevro[celery] extra.
"""

from __future__ import annotations

import argparse
import os
import platform
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from typing import Dict, List

MODULE = '''
from kevro import asset, partitions

KEYS = partitions(list(range({keys})))


@asset(partitions={{"key": KEYS}})
def trivial(key: int) -> int:
    return key
'''


def child_env() -> Dict[str, str]:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_workers(broker: str, count: int, deadline: float) -> None:
    from celery import Celery

    app = Celery("bench", broker=broker, set_as_current=False)
    app.conf.accept_content = ["json"]
    try:
        while time.monotonic() < deadline:
            if len(app.control.ping(timeout=0.5) or []) >= count:
                return
        sys.exit("bench_celery: the workers did not come up")
    finally:
        app.close()


def run_once(root: str, module: str, args: List[str]) -> float:
    out = os.path.join(root, "out")
    shutil.rmtree(out, ignore_errors=True)
    command = [sys.executable, "-m", "kevro", "run", module, "--out", out, *args]
    began = time.perf_counter()
    done = subprocess.run(command, cwd=root, env=child_env(), stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True)
    elapsed = time.perf_counter() - began
    if done.returncode != 0:
        sys.exit(f"bench_celery: {' '.join(command)} exited with {done.returncode}:\n{done.stderr}")
    return elapsed


def main(argv: List[str] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--keys", type=int, default=1000, help="partition keys, one job each")
    parser.add_argument("--workers", type=int, default=2, help="kevro worker processes")
    parser.add_argument("--jobs", type=int, default=2, help="--jobs of the local run")
    parser.add_argument("--in-flight", type=int, default=8, help="--jobs of the celery run")
    parser.add_argument("--rounds", type=int, default=1, help="runs per mode; the best counts")
    args = parser.parse_args(argv)
    if args.keys < 2:
        parser.error("--keys must be at least 2")
    if shutil.which("redis-server") is None:
        sys.exit("bench_celery: needs redis-server (Debian package redis-server)")

    root = tempfile.mkdtemp(prefix="kevro-bench-celery-")
    port = free_port()
    broker = f"redis://127.0.0.1:{port}/0"
    procs: List[subprocess.Popen] = []
    try:
        procs.append(subprocess.Popen(["redis-server", "--port", str(port), "--bind", "127.0.0.1",
                                       "--save", "", "--appendonly", "no"],
                                      stdout=subprocess.DEVNULL, start_new_session=True))
        with open(os.path.join(root, "bench_many.py"), "w", encoding="utf-8") as handle:
            handle.write(MODULE.format(keys=args.keys))
        with open(os.path.join(root, "bench_one.py"), "w", encoding="utf-8") as handle:
            handle.write(MODULE.format(keys=1))
        log = open(os.path.join(root, "workers.log"), "wb")
        for _ in range(args.workers):
            procs.append(subprocess.Popen(
                [sys.executable, "-m", "kevro", "worker", "bench_many", "bench_one", "--broker", broker,
                 "--concurrency", "1"], cwd=root, env=child_env(), stdout=log, stderr=log,
                start_new_session=True))
        wait_for_workers(broker, args.workers, time.monotonic() + 60)
        print(f"{platform.python_implementation()} {platform.python_version()}: {args.keys} jobs; "
              f"local --jobs {args.jobs}; celery over {args.workers} workers, --jobs {args.in_flight}; "
              f"best of {args.rounds}")
        modes = {"local": ["--jobs", str(args.jobs)],
                 "celery": ["--executor", "celery", "--broker", broker, "--jobs", str(args.in_flight)]}
        per_job = {}
        for name, extra in modes.items():
            fixed = min(run_once(root, "bench_one", extra) for _ in range(args.rounds))
            total = min(run_once(root, "bench_many", extra) for _ in range(args.rounds))
            per_job[name] = (total - fixed) / (args.keys - 1) * 1000
            print(f"  {name:<7} total {total:7.2f} s  (one-job run {fixed:5.2f} s)  "
                  f"{total / args.keys * 1000:7.2f} ms/job overall  {per_job[name]:7.2f} ms/job marginal")
        print(f"  celery / local: {per_job['celery'] / per_job['local']:.2f}x (marginal ms/job)")
    finally:
        for proc in reversed(procs):
            try:
                os.killpg(proc.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        for proc in procs:
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

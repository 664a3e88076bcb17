"""The kevro command line: ``kevro run|status|list|runs|show|report|worker ...`` (the console script),
or ``python -m kevro ...``.

``run`` discovers the assets of the named modules, plans one job per partition combination and
runs those that are not up to date; ``status`` says which those are and why; ``list`` shows the
asset graph; ``runs`` shows the jobs of the last run from the run ledger; ``show`` prints one
job's value, result record and log; ``report`` writes an HTML page of the graph and its state
(which ``run`` refreshes as it ends); ``worker`` serves the jobs of ``run --executor celery``. Exit status: 0 for success, 1 when a job failed (or, for
``runs`` and ``show``, when there is nothing to show), 2 for a usage error, a named module that
cannot be imported or holds no asset, a graph that cannot be run, an output folder that another
run is using or (for ``report``) no Graphviz, 130 when interrupted.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Tuple

from kevro.common import LEDGER_FILE, aligned, key_text, write_atomically, write_stdout

# As the program was started: the console script, or `python -m kevro`.
PROG = "kevro" if os.path.basename(sys.argv[0] if sys.argv else "") == "kevro" else "python -m kevro"
DEFAULT_OUT = "kevro-out"


def _number(convert: Callable[[str], Any], what: str, valid: Callable[[Any], bool],
            rule: str) -> Callable[[str], Any]:
    """An argparse type: `convert` of the text, refused with "invalid WHAT" when it does not
    convert and with `rule` (where {text} and {value} stand for the text and its value) when it is not `valid`."""

    def parse(text: str) -> Any:
        try:
            value = convert(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid {what}: {text!r}") from None
        if not valid(value):
            raise argparse.ArgumentTypeError(rule.format(text=text, value=value))
        return value

    return parse


_jobs = _number(int, "job count", lambda n: n >= 1, "the job count must be at least 1, not {value}")
_retries = _number(int, "retry count", lambda n: n >= 0, "the retry count must not be negative, not {value}")
_seconds = _number(float, "number of seconds", lambda s: 0 < s < float("inf"),
                   "the time limit must be a positive number of seconds, not {text}")


# Jobs that `run --executor celery` hands to the workers at once, unless --jobs says.
CELERY_IN_FLIGHT = 32


def _add_broker(parser: argparse.ArgumentParser, what: str) -> None:
    parser.add_argument("--broker", metavar="URL", default=None,
                        help=f"{what}, redis://[:PASSWORD@]HOST[:PORT][/DB] (default: the "
                        "KEVRO_BROKER environment variable)")


def _broker(args: argparse.Namespace) -> Optional[str]:
    """The broker URL of the command line or the environment, checked: None (after an error
    message) when it is missing, unreachable or the extra is not installed."""
    try:
        from kevro import celery_executor
    except ImportError as exc:  # pragma: no cover - kevro itself is broken
        _error(str(exc))
        return None
    try:
        celery_executor.load()
    except celery_executor.CeleryMissing as exc:
        _error(str(exc))
        return None
    url = args.broker or os.environ.get(celery_executor.BROKER_ENV)
    if not url:
        _error(f"no broker: give --broker URL or set {celery_executor.BROKER_ENV}")
        return None
    try:
        celery_executor.check_broker(url)
    except celery_executor.BrokerError as exc:
        _error(str(exc))
        return None
    return url


def _add_modules(parser: argparse.ArgumentParser) -> argparse.ArgumentParser:
    parser.add_argument("modules", metavar="MODULE", nargs="+",
                        help="dotted name of a module with assets, importable from here")
    return parser


def _add_out(parser: argparse.ArgumentParser, what: str) -> argparse.ArgumentParser:
    parser.add_argument("--out", metavar="DIR", default=DEFAULT_OUT,
                        help=f"{what} (default: ./{DEFAULT_OUT})")
    return parser


def _partition(text: str) -> Tuple[str, str]:
    dim, sep, key = text.partition("=")
    if not sep or not dim:
        raise argparse.ArgumentTypeError(f"expected DIM=KEY, not {text!r}")
    return dim, key


def _add_selection(parser: argparse.ArgumentParser, verb: str) -> argparse.ArgumentParser:
    parser.add_argument("--select", metavar="NAME", nargs="+", action="extend", default=[],
                        help=f"{verb} only these assets (by display name) and their upstream assets")
    parser.add_argument("--partition", metavar="DIM=KEY", type=_partition, action="append", default=[],
                        help=f"{verb} only the jobs of the assets that declare every named dimension, "
                        "with these keys (a string key as itself, any other as its compact JSON), "
                        "and the upstream jobs they read; may be repeated")
    parser.add_argument("--force", action="store_true",
                        help=f"{verb} every selected job, up to date or not")
    return parser


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Run, check, list and review kevro assets.",
        epilog=f"Run `{PROG} COMMAND --help` for the options of one command.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    run = commands.add_parser(
        "run",
        help="materialize the assets of some modules",
        description="Discover the assets of the named modules and materialize every partition "
        "of them, upstream assets first, into DIR/<asset>/[<partition>/]value.json. A job runs "
        "only when it is not up to date: its last run succeeded, its code is unchanged, its "
        "value.json is as that run left it and every upstream value it read is still the same "
        "(see `status`). Each job's output goes to job.log beside it and its outcome to "
        "DIR/runs.jsonl. One run at a time may use DIR. At the end, DIR/report.html shows the "
        "graph and its state (see `report`).",
        epilog="Exit status: 0 when every job succeeded or was up to date, 1 when one failed or "
        "was skipped, 2 for a usage error, a named module that cannot be imported or holds no "
        "asset, a graph that cannot be run or a DIR that another run is using, 130 when "
        "interrupted. A failed job's traceback is in its job.log. Ctrl-C once stops new jobs from starting; twice stops "
        "the running ones.",
    )
    _add_selection(_add_out(_add_modules(run), "output directory"), "run")
    run.add_argument("--jobs", metavar="N", type=_jobs, default=None,
                     help="jobs to run at once (default: the number of CPUs); with --executor "
                     f"celery, jobs handed to the workers at once (default: {CELERY_IN_FLIGHT})")
    run.add_argument("--isolated", action="store_true",
                     help="start a fresh interpreter for every job instead of forking warm "
                     "workers that have imported the modules once (--executor local only)")
    run.add_argument("--executor", choices=("local", "celery"), default="local",
                     help="where jobs run: local warm workers or processes (default), or the "
                     "Celery workers (`kevro worker`) of a Redis broker; needs the kevro[celery] extra")
    _add_broker(run, "the Redis broker of --executor celery")
    run.add_argument("--retries", metavar="N", type=_retries, default=0,
                     help="run a failed job (a crashed worker or a time-out included) up to N more "
                     "times before it counts as failed; each attempt is a line of DIR/runs.jsonl "
                     "(default: 0)")
    run.add_argument("--timeout", metavar="SECONDS", type=_seconds, default=None,
                     help="stop a job that runs longer than this; it fails with the error type "
                     "Timeout (default: no limit)")
    run.set_defaults(handler=_run)

    worker = commands.add_parser(
        "worker",
        help="run kevro jobs for `run --executor celery`, as a Celery worker",
        description="Start a Celery worker on the Redis broker at URL that runs the jobs of "
        "`run --executor celery`: N warm processes import the named modules once (from here: "
        "start every worker in a checkout of the same code, with the same virtual environment) "
        "and fork a fresh child for each job, so a job that crashes fails alone. The worker "
        "runs kevro's task only and reads JSON only. Needs the kevro[celery] extra.",
        epilog="SIGTERM or Ctrl-C stop the worker once its running jobs are done; a second "
        "Ctrl-C stops it at once, and its unfinished jobs go to other workers. Exit status: 0, "
        "or 2 for a usage error, an unreachable broker or a missing extra.",
    )
    _add_modules(worker)
    _add_broker(worker, "the Redis broker to take jobs from")
    worker.add_argument("--concurrency", metavar="N", type=_jobs, default=max(1, os.cpu_count() or 1),
                        help="jobs to run at once (default: the number of CPUs)")
    worker.add_argument("--heartbeat-interval", metavar="SECONDS", type=_seconds, default=2.0,
                        help="seconds between two heartbeats; a run sends the jobs of a worker "
                        "that misses a few to other workers (default: 2)")
    worker.add_argument("--name", metavar="NODE", default=None,
                        help="the worker's node name (default: kevroPID@HOST)")
    worker.set_defaults(handler=_worker)

    status = commands.add_parser(
        "status",
        help="say which jobs a run would run, and why",
        description="Discover the assets of the named modules like `run` and say, for each job "
        "that a run with the same options would consider, whether it is up to date or why it "
        "will run: forced, never materialized, last run failed, code changed, value changed or "
        "missing, upstream changed: LABEL, upstream will run: LABEL. Runs nothing.",
        epilog="Exit status: 0, or 2 for a usage error, a named module that cannot be imported or "
        "holds no asset, or a graph that cannot be run.",
    )
    _add_selection(_add_out(_add_modules(status), "output directory"), "consider")
    status.add_argument("--json", action="store_true",
                        help='print one JSON array of {"asset", "partition", "state", "reason"} objects')
    status.set_defaults(handler=_status)

    report = commands.add_parser(
        "report",
        help="write an HTML page of the asset graph and its state",
        description="Discover the assets of the named modules like `status` and write one "
        "self-contained HTML page: the graph laid out by Graphviz (`dot`), each asset coloured "
        "by its state (ok and up to date, failed, skipped, stale, never run) with its partition "
        "count and last duration, each input an edge labelled with its parameter; and per asset "
        "its partitions with their state, duration and last run, and each failed job's error "
        "and traceback. Runs nothing. Above a size that dot lays out quickly, the page lists the "
        "assets instead.",
        epilog="Exit status: 0, or 2 for a usage error, a graph that cannot be run, a page that "
        "cannot be written or no Graphviz (Debian package graphviz).",
    )
    _add_out(_add_modules(report), "output directory of the runs")
    report.add_argument("-o", "--output", metavar="FILE", default=None,
                        help="where to write the page (default: DIR/report.html)")
    report.set_defaults(handler=_report)

    _add_modules(commands.add_parser(
        "list",
        help="show the assets of some modules",
        description="Print the assets of the named modules, upstream first, with their "
        "functions, inputs and partitions.",
    )).set_defaults(handler=_list)

    _add_out(commands.add_parser(
        "runs",
        help="show the jobs of the last run",
        description="Print the jobs of the last run recorded in DIR/runs.jsonl: asset, "
        "partition, status, duration, worker pid and the first line of the error.",
    ), "output directory of the runs").set_defaults(handler=_runs)

    show = commands.add_parser(
        "show",
        help="print the value, result record and log of one job",
        description="Print the value (indented JSON) and the result record of the job of ASSET "
        "(by display name, as `runs` shows it) in DIR, and with --log its job.log. The assets and "
        "partitions are those recorded in DIR/runs.jsonl; for a partitioned asset, --partition "
        "picks the job, and without it the partitions are listed with their state in the last "
        "run that had them.",
        epilog="Exit status: 0 when something was shown, 1 when the job's folder holds neither "
        "value.json nor result.json or there is no ledger, 2 for a usage error or a name or "
        "partition that no recorded job has (the nearest names are listed).",
    )
    show.add_argument("asset", metavar="ASSET", help="display name of the asset")
    show.add_argument("--partition", metavar="DIM=KEY", type=_partition, action="append", default=[],
                      help="the job's key in one dimension (a string key as itself, any other as "
                      "its compact JSON); may be repeated")
    show.add_argument("--log", action="store_true", help="print the job's job.log as well")
    _add_out(show, "output directory of the runs").set_defaults(handler=_show)
    return parser


def _error(text: str) -> None:
    print(f"kevro: error: {' '.join(str(text).split())}", file=sys.stderr)


class Prepared(NamedTuple):
    plan: Any
    selected: List[int]  # job indexes
    stored: Dict[str, Any]  # what the job folders hold
    cache: Any  # of code versions
    history: Any  # what the ledger held, for the report; None when not asked for
    codes: Any  # the code version of every asset of the plan


def _discovery(args: argparse.Namespace) -> Any:
    """The discovery child of the named modules, started before the rest of kevro is loaded
    (GraphError for names it cannot be given)."""
    from kevro.discovery import Discovery

    return Discovery(args.modules, strict=True)


def _prepare(args: argparse.Namespace, select: bool = True, history: bool = False, discovery: Any = None,
             on_stored: Optional[Callable[[Dict[str, Any]], None]] = None) -> Prepared:
    """What `run`, `status` and (without a selection) `report` start from; args.graph is every
    asset of the modules. The output folder (and with `history` the ledger) is read while the
    discovery child imports the modules, and the plan worked out from the report that discovery
    gave last time: when this discovery reports the same bytes, that plan is this run's.
    `discovery` is the child when it was started already (it is stopped here when its report is
    not needed); `on_stored` is told what the job folders hold as soon as that is known."""
    if discovery is None:
        discovery = _discovery(args)
    try:
        from kevro import graph, versions  # noqa: F401 - loaded while discovery runs

        cache = versions.Cache.read(args.out)
        stored = versions.read_stored(args.out, cache)
        if on_stored is not None:
            on_stored(stored)
        read = None
        if history:
            from kevro import ledger, report  # noqa: F401 - the page's code loads meanwhile too

            read = ledger.read_history(os.path.join(args.out, LEDGER_FILE))
        ahead = _plan_ahead(args, select, cache)
        records = discovery.records()
    finally:
        discovery.cancel()
    if ahead is not None and ahead[0] == discovery.stdout:
        args.graph = ahead[1]
        return Prepared(ahead[2], ahead[3], stored, cache, read, ahead[4])
    args.discovered = discovery.stdout
    the_plan, selected = _plan(args, records, select)
    return Prepared(the_plan, selected, stored, cache, read, versions.code_versions(the_plan.assets, cache))


DISCOVERED_FILE = ".kevro-discovered.json"


def _plan(args: argparse.Namespace, records: List[dict], select: bool) -> Tuple[Any, List[int]]:
    """(plan, selected job indexes) of discovery's records; args.graph is every asset."""
    from kevro import graph

    assets = args.graph = graph.build_graph(records)
    if not select:
        return graph.plan(assets, args.out), []
    if args.select:
        assets = graph.select(assets, args.select)
    the_plan = graph.plan(assets, args.out)
    return the_plan, graph.select_partitions(the_plan, args.partition)


def _plan_ahead(args: argparse.Namespace, select: bool,
                cache: Any) -> Optional[Tuple[bytes, Any, Any, List[int], Any]]:
    """(the report of the last discovery that `run` kept in DIR, every asset, plan, selection,
    code versions) as _prepare makes them from it; None when there is none or it gives no
    plan."""
    from kevro import versions

    try:
        with open(os.path.join(args.out, DISCOVERED_FILE), "rb") as handle:
            kept = handle.read()
        records = json.loads(kept)["assets"]
        the_plan, selected = _plan(args, records, select)
    except Exception:  # noqa: BLE001 - a kept report that gives no plan is only a miss
        return None
    return kept, args.graph, the_plan, selected, versions.code_versions(the_plan.assets, cache)


def _keep_discovered(args: argparse.Namespace) -> None:
    """Keeps this discovery's report in DIR for the next command's _plan_ahead (only a cache:
    a write that fails costs nothing but that)."""
    discovered = getattr(args, "discovered", None)
    if discovered is None:
        return
    try:
        write_atomically(os.path.join(args.out, DISCOVERED_FILE), discovered)
    except OSError:
        pass


def _run(args: argparse.Namespace) -> int:
    from kevro.discovery import GraphError

    broker = None
    if args.executor == "celery":
        if args.isolated:
            _error("--isolated runs jobs locally; it does not go with --executor celery")
            return 2
        broker = _broker(args)
        if broker is None:
            return 2
    jobs = args.jobs or (CELERY_IN_FLIGHT if broker else max(1, os.cpu_count() or 1))
    early: List[Any] = []

    def start_early(stored: Dict[str, Any]) -> None:
        # When no job folder holds a record, every job will run: one warm worker starts now and
        # imports the modules while discovery does (more would slow discovery down, which the
        # plan waits for); the pool starts the others as jobs need them.
        if not stored and broker is None and not args.isolated:
            from kevro.executors import EarlyWorkers

            early.append(EarlyWorkers(1, args.modules, None))

    try:
        discovery = _discovery(args)
    except GraphError as exc:
        _error(str(exc))
        return 2
    try:
        return _run_with(args, discovery, start_early, early, jobs, broker)
    finally:
        for workers in early:
            workers.close()


def _run_with(args: argparse.Namespace, discovery: Any, start_early: Callable[[Dict[str, Any]], None],
              early: List[Any], jobs: int, broker: Optional[str]) -> int:
    from kevro import graph, runner, versions

    # The output folder is taken at once when it exists (else once the plan is known, before
    # anything is written into it), and held until this process ends.
    try:
        try:
            lock = runner.lock_output(args.out) if os.path.isdir(args.out) else None
        except BaseException:
            discovery.cancel()
            raise
        the_plan, selected, stored, cache, history, codes = _prepare(args, history=True, discovery=discovery,
                                                                     on_stored=start_early)
        if lock is None:
            # Read again now that nothing else can write there; the code versions do not depend
            # on the folder, and what worked them out stays in the cache.
            os.makedirs(args.out, exist_ok=True)
            lock = runner.lock_output(args.out)
            earlier, cache = cache, versions.Cache.read(args.out)
            stored = versions.read_stored(args.out, cache)
            for key in earlier.used:
                cache.code.setdefault(key, earlier.code[key])
                cache.used.add(key)
            cache.changed = cache.changed or earlier.changed
    except (graph.GraphError, runner.Busy) as exc:
        _error(str(exc))
        return 2
    except OSError as exc:  # the output directory cannot be made or locked
        _error(f"{type(exc).__name__}: {exc}")
        return 2
    try:
        try:
            cache.write(args.out)
            _keep_discovered(args)
            result = runner.execute(the_plan, args.out, jobs=jobs, isolated=args.isolated,
                                    force=args.force, selected=selected, stored=stored, codes=codes,
                                    retries=args.retries, timeout=args.timeout, executor=args.executor,
                                    broker=broker, early=early[0] if early else None)
        except OSError as exc:  # the output directory or its ledger cannot be written
            _error(f"{type(exc).__name__}: {exc}")
            return 2
        runner.print_summary(result, sys.stdout)
        # Still holding the output folder: no other run changes it while the page is made.
        _refresh_report(args, the_plan, result, stored, codes, history)
    finally:
        os.close(lock)
    return result.exit_code


def _refresh_report(args: argparse.Namespace, the_plan: Any, result: Any, stored: Any, codes: Any,
                    history: Any) -> None:
    """Writes DIR/report.html after a run and prints its path; a report that cannot be made
    is only a warning, never the run's failure."""
    from kevro import graph, report, versions

    path = os.path.join(args.out, report.REPORT_FILE)
    try:
        if len(args.graph) != len(the_plan.assets):
            # A run of some assets; the page shows them all.
            the_plan = graph.plan(args.graph, args.out)
            codes = versions.code_versions(the_plan.assets, versions.Cache.read(args.out))
        written = report.write_report(the_plan, args.out, path, stored=report.stored_after(result, stored),
                                      codes=codes, modules=args.modules, require_dot=False, history=history)
    except (OSError, ValueError, graph.GraphError) as exc:
        print(f"kevro: warning: report not written: {type(exc).__name__}: {exc}", file=sys.stderr)
        return
    if written.fallback:
        print(f"kevro: warning: the report lists the assets: {written.fallback}", file=sys.stderr)
    print(f"report: {written.path}", flush=True)


def _worker(args: argparse.Namespace) -> int:
    broker = _broker(args)
    if broker is None:
        return 2
    from kevro import celery_executor

    return celery_executor.serve(args.modules, broker, args.concurrency, args.heartbeat_interval, args.name)


STATUS_COLUMNS = ("asset", "partition", "state", "reason")


def _status(args: argparse.Namespace) -> int:
    from kevro.discovery import GraphError

    try:
        discovery = _discovery(args)
        from kevro import ledger, runner

        the_plan, selected, stored, cache, _, codes = _prepare(args, discovery=discovery)
    except GraphError as exc:
        _error(str(exc))
        return 2
    states = runner.status(the_plan, args.out, force=args.force, selected=selected, stored=stored, codes=codes)
    if args.json:
        entries = [{"asset": job.asset.name, "partition": job.partition_keys,
                    "state": "will run" if reason else "up to date", "reason": reason}
                   for job, reason in states]
        write_stdout(json.dumps(entries, ensure_ascii=False) + "\n", "surrogateescape")
        return 0
    rows = [[job.asset.name, ledger.partition_text(job.partition_keys),
             "will run" if reason else "up to date", reason or ""] for job, reason in states]
    waiting = sum(1 for _, reason in states if reason)
    footer = f"{len(rows)} jobs: {len(rows) - waiting} up to date, {waiting} will run"
    if sys.stdout.isatty():
        from kevro import live

        live.print_table(sys.stdout, f"kevro status of {args.out}", STATUS_COLUMNS, rows,
                         style=lambda column, cell: live.STATE_STYLES.get(cell) if column == "state" else None,
                         footer=footer)
        return 0
    write_stdout(aligned(STATUS_COLUMNS, rows) + footer + "\n", "surrogateescape")
    return 0


def _report(args: argparse.Namespace) -> int:
    from kevro.discovery import GraphError

    try:
        discovery = _discovery(args)
        from kevro import report

        the_plan, _, stored, _, history, codes = _prepare(args, select=False, history=True, discovery=discovery)
    except GraphError as exc:
        _error(str(exc))
        return 2
    path = os.path.join(args.out, report.REPORT_FILE) if args.output is None else args.output
    try:
        if args.output is None:
            os.makedirs(args.out, exist_ok=True)
        written = report.write_report(the_plan, args.out, path, stored=stored, codes=codes, modules=args.modules,
                                      history=history)
    except report.GraphvizMissing as exc:
        _error(str(exc))
        return 2
    except OSError as exc:
        _error(f"cannot write {path}: {type(exc).__name__}: {exc}")
        return 2
    if written.fallback:
        print(f"kevro: the report lists the assets: {written.fallback}", file=sys.stderr)
    print(f"report: {written.path} ({written.size:,} bytes)")
    return 0


def _list(args: argparse.Namespace) -> int:
    from kevro import graph

    try:
        assets = graph.build_graph(graph.Discovery(args.modules, strict=True).records())
    except graph.GraphError as exc:
        _error(str(exc))
        return 2
    text = graph.list_table(assets)
    write_stdout(text if text.endswith("\n") else text + "\n", "surrogateescape")
    return 0


def _read_ledger(out: str, read: Callable[[str], Any]) -> Tuple[str, Any]:
    """(path of DIR's run ledger, what `read` made of it), or None in place of the second after
    an error message when the ledger is missing or cannot be read."""
    path = os.path.join(out, LEDGER_FILE)
    try:
        return path, read(path)
    except FileNotFoundError:
        print(f"kevro: no run ledger at {path}; `{PROG} run` writes one", file=sys.stderr)
    except OSError as exc:
        _error(f"cannot read {path}: {exc}")
    return path, None


def _runs(args: argparse.Namespace) -> int:
    from kevro import ledger

    path, last = _read_ledger(args.out, ledger.read_last_run)
    if last is None:
        return 1
    if last.unreadable:
        numbers = ", ".join(str(n) for n in last.unreadable[:10])
        more = f" and {len(last.unreadable) - 10} more" if len(last.unreadable) > 10 else ""
        print(f"kevro: skipped {len(last.unreadable)} unreadable line(s) of {path}: "
              f"line {numbers}{more}", file=sys.stderr)
    if last.run_id is None:
        print(f"kevro: no runs recorded in {path}", file=sys.stderr)
        return 1
    rows = ledger.runs_rows(last.entries)
    started = [e.get("started_at") for e in last.entries if isinstance(e.get("started_at"), str)]
    header = f"run {last.run_id}: {len(rows)} jobs" + (f", started {min(started)}" if started else "")
    logs = ledger.failure_logs(last.entries)
    footer = "".join(f"log of {label}: {log}\n" for label, log in logs)
    if sys.stdout.isatty():
        from kevro import live

        live.print_table(sys.stdout, header, ledger.RUNS_COLUMNS, rows, right=("duration", "worker pid"),
                         style=lambda column, cell: live.STATE_STYLES.get(cell.split(" (")[0]) if column == "status" else None,
                         footer=footer.rstrip("\n") or None)
        return 0
    write_stdout(header + "\n" + aligned(ledger.RUNS_COLUMNS, rows) + footer, "surrogateescape")
    return 0


SHOW_COLUMNS = ("partition", "state", "ended", "error")


def _show(args: argparse.Namespace) -> int:
    import difflib

    from kevro import graph, ledger

    path, known = _read_ledger(args.out, ledger.latest_jobs)
    if known is None:
        return 1
    jobs = known.get(args.asset)
    if jobs is None:
        names = sorted(known)
        nearest = difflib.get_close_matches(args.asset, names, n=5, cutoff=0.5)
        if nearest:
            hint = "; nearest: " + ", ".join(repr(n) for n in nearest)
        elif names:
            hint = "; recorded assets: " + ", ".join(repr(n) for n in names[:10]) + (
                f" and {len(names) - 10} more" if len(names) > 10 else "")
        else:
            hint = ""
        _error(f"no asset named {args.asset!r} in {path}{hint}")
        return 2
    wanted = {dim: key for dim, key in args.partition}
    chosen = [e for _, e in sorted(jobs.items())
              if all(dim in e["partition"] and key_text(e["partition"][dim]) == key for dim, key in wanted.items())]
    if not chosen:
        partitions = ", ".join(ledger.partition_text(e["partition"]) for e in jobs.values())
        _error(f"asset {args.asset!r} has no recorded job with the partition "
               f"{','.join(f'{d}={k}' for d, k in args.partition)}"
               + (f"; its partitions: {partitions}" if partitions else "; it has no partitions"))
        return 2
    if len(chosen) > 1:
        rows = [[ledger.partition_text(e["partition"]), ledger.entry_status(e), str(e.get("ended_at") or ""),
                 ledger.first_line(e.get("error"))] for e in chosen]
        header = (f"{args.asset}: {len(rows)} partitions; pick one with --partition DIM=KEY\n")
        write_stdout(header + aligned(SHOW_COLUMNS, rows), "surrogateescape")
        return 0
    entry = chosen[0]
    partition = list(entry["partition"].items())
    folder = os.path.join(args.out, graph.folder_name(args.asset))
    if partition:
        folder = os.path.join(folder, graph.partition_folder(partition))
    return _show_job(args, entry, folder)


def _show_job(args: argparse.Namespace, entry: Dict[str, Any], folder: str) -> int:
    from kevro import ledger

    from kevro.common import LOG_FILE, RESULT_FILE, VALUE_FILE

    lines = [f"asset: {args.asset}"]
    if entry["partition"]:
        lines.append(f"partition: {ledger.partition_text(entry['partition'])}")
    state = ledger.entry_status(entry)
    attempt = entry.get("attempt")
    when = entry.get("ended_at")
    lines.append(f"last run: {state}" + (f", attempt {attempt}" if isinstance(attempt, int) and attempt > 1 else "")
                 + (f", ended {when}" if isinstance(when, str) else ""))
    if entry.get("error"):
        lines.append(f"error: {ledger.first_line(entry['error'])}")
    lines.append(f"folder: {folder}")
    found = 0
    for title, name in (("value", VALUE_FILE), ("result", RESULT_FILE)):
        file = os.path.join(folder, name)
        try:
            with open(file, "rb") as handle:
                data = handle.read()
        except FileNotFoundError:
            lines.append(f"{title} ({name}): none")
            continue
        except OSError as exc:
            lines.append(f"{title} ({name}): cannot be read: {exc}")
            continue
        found += 1
        try:
            text = json.dumps(json.loads(data), indent=2, ensure_ascii=False)
        except ValueError:
            text = data.decode("utf-8", "replace")
        lines.append(f"{title} ({name}):\n{text}")
    if args.log:
        file = os.path.join(folder, LOG_FILE)
        try:
            with open(file, "rb") as handle:
                log = handle.read().decode("utf-8", "replace")
            lines.append(f"log ({LOG_FILE}):" + ("\n" + log.rstrip("\n") if log.strip() else " empty"))
        except OSError as exc:
            lines.append(f"log ({LOG_FILE}): cannot be read: {exc}")
    write_stdout("\n".join(lines) + "\n", "surrogateescape")
    return 0 if found else 1


def main(argv: Optional[List[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.handler(args)
    except KeyboardInterrupt:
        print("kevro: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())

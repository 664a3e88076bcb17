"""The kevro command line: ``python -m kevro run|list|runs ...``.

``run`` discovers the assets of the named modules, plans one job per partition combination and
runs them; ``list`` shows the asset graph; ``runs`` shows the jobs of the last run from the run
ledger. Exit status: 0 for success, 1 when a job failed (or, for ``runs``, when there is no
ledger), 2 for a usage error or a graph that cannot be run, 130 when interrupted.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import List, Optional, Sequence

from kevro.common import LEDGER_FILE, aligned, write_stdout

PROG = "python -m kevro"
DEFAULT_OUT = "kevro-out"


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid job count: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"the job count must be at least 1, not {value}")
    return value


def _add_modules(parser: argparse.ArgumentParser) -> argparse.ArgumentParser:
    parser.add_argument("modules", metavar="MODULE", nargs="+",
                        help="dotted name of a module with assets, importable from here")
    return parser


def _add_out(parser: argparse.ArgumentParser, what: str) -> argparse.ArgumentParser:
    parser.add_argument("--out", metavar="DIR", default=DEFAULT_OUT,
                        help=f"{what} (default: ./{DEFAULT_OUT})")
    return parser


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Run, list and review kevro assets.",
        epilog="Run `python -m kevro COMMAND --help` for the options of one command.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    run = commands.add_parser(
        "run",
        help="materialize the assets of some modules",
        description="Discover the assets of the named modules and materialize every partition "
        "of them, upstream assets first, into OUT/<asset>/[<partition>/]value.json. Each job's "
        "output goes to job.log beside it and its outcome to DIR/runs.jsonl.",
        epilog="Exit status: 0 when every job succeeded, 1 when one failed or was skipped, "
        "2 for a usage error or a graph that cannot be run, 130 when interrupted. "
        "Ctrl-C once stops new jobs from starting; twice stops the running ones.",
    )
    _add_modules(run)
    _add_out(run, "output directory")
    run.add_argument("--select", metavar="NAME", nargs="+", action="extend", default=[],
                     help="run only these assets (by display name) and their upstream assets")
    run.add_argument("--jobs", metavar="N", type=_jobs, default=max(1, os.cpu_count() or 1),
                     help="jobs to run at once (default: the number of CPUs)")
    run.add_argument("--isolated", action="store_true",
                     help="start a fresh interpreter for every job instead of forking warm "
                     "workers that have imported the modules once")
    run.set_defaults(handler=_run)

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
    return parser


def _error(text: str) -> None:
    print(f"kevro: error: {' '.join(str(text).split())}", file=sys.stderr)


def _graph(modules: Sequence[str]) -> list:
    from kevro import graph

    return graph.build_graph(graph.discover(modules))


def _run(args: argparse.Namespace) -> int:
    from kevro import graph, runner

    try:
        assets = _graph(args.modules)
        if args.select:
            assets = graph.select(assets, args.select)
        the_plan = graph.plan(assets, args.out)
    except graph.GraphError as exc:
        _error(str(exc))
        return 2
    if not the_plan.jobs:
        print("kevro: no assets found in " + ", ".join(args.modules), file=sys.stderr)
        return 0
    try:
        result = runner.execute(the_plan, args.out, jobs=args.jobs, isolated=args.isolated)
    except OSError as exc:  # the output directory or its ledger cannot be written
        _error(f"{type(exc).__name__}: {exc}")
        return 2
    runner.print_summary(result, sys.stdout)
    return result.exit_code


def _list(args: argparse.Namespace) -> int:
    from kevro import graph

    try:
        assets = _graph(args.modules)
    except graph.GraphError as exc:
        _error(str(exc))
        return 2
    text = graph.list_table(assets)
    write_stdout(text if text.endswith("\n") else text + "\n", "surrogateescape")
    return 0


def _runs(args: argparse.Namespace) -> int:
    from kevro import ledger

    path = os.path.join(args.out, LEDGER_FILE)
    try:
        last = ledger.read_last_run(path)
    except FileNotFoundError:
        print(f"kevro: no run ledger at {path}; `python -m kevro run` writes one", file=sys.stderr)
        return 1
    except OSError as exc:
        _error(f"cannot read {path}: {exc}")
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
    if sys.stdout.isatty():
        from kevro import live

        live.print_table(sys.stdout, header, ledger.RUNS_COLUMNS, rows, right=("duration", "worker pid"),
                         style=lambda column, cell: live.STATE_STYLES.get(cell) if column == "status" else None)
        return 0
    write_stdout(header + "\n" + aligned(ledger.RUNS_COLUMNS, rows), "surrogateescape")
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return args.handler(args)
    except KeyboardInterrupt:
        print("kevro: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())

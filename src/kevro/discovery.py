"""Discovery: the asset records of the named modules, from ``python -m kevro.inspect`` run in a
child process.

It imports little, so that a command can start the child before it loads the rest of kevro."""

from __future__ import annotations

import json
import subprocess
import sys
from typing import Any, Dict, List, Optional, Sequence

ERROR_PREFIX = "kevro.inspect: error:"


class GraphError(Exception):
    """A graph that cannot be run; the message names the assets involved."""


def discover(
    modules: Sequence[str],
    *,
    python: str = sys.executable,
    cwd: Optional[str] = None,
    env: Optional[dict] = None,
) -> List[dict]:
    """Runs `python -m kevro.inspect MODULE...` in a child process and returns report["assets"].

    The child's stderr lines (skip warnings for modules that fail to import) are forwarded to
    our stderr once the child has ended; a failing child raises GraphError with its error line.
    An empty module list and a module name that starts with "-" (which the child would take
    for an option) are GraphErrors as well."""
    return Discovery(modules, python=python, cwd=cwd, env=env).records()


class Discovery:
    """`discover` in two steps: the child starts when the object is made, and records() waits
    for its report, so that the caller can do other work while the child imports the modules.
    The child prints its report only once it is complete, so it never waits for us before
    then.

    With `strict`, a named module that cannot be imported, or that holds no asset, is a
    GraphError that gives the import error, in place of the warning line."""

    def __init__(self, modules: Sequence[str], *, python: str = sys.executable,
                 cwd: Optional[str] = None, env: Optional[dict] = None, strict: bool = False) -> None:
        names = list(modules)
        self.names = names
        self.strict = strict
        self.stdout: Optional[bytes] = None  # the child's report, once records() has it
        if not names:
            raise GraphError("no modules to discover assets in")
        for name in names:
            if not isinstance(name, str):
                raise GraphError(f"module name {name!r} is not a string")
            if name.startswith("-"):
                raise GraphError(f"module name {name!r} starts with '-'")
        command = [python, "-m", "kevro.inspect", *names]
        try:
            self.child = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        except OSError as exc:
            raise GraphError(f"cannot run {python!r} -m kevro.inspect: {exc}") from exc

    def records(self) -> List[dict]:
        """report["assets"], once the child has ended."""
        child = self.child
        stdout, stderr = child.communicate()
        self.stdout = stdout
        lines = stderr.decode("utf-8", "replace").splitlines()
        error_line = None
        if child.returncode != 0:
            error_line = next((line for line in reversed(lines) if line.startswith(ERROR_PREFIX)), None)
        skipped: Dict[str, str] = {}
        prefixes = [(f"kevro: skipping module '{name}': ", name) for name in self.names] if self.strict else []
        for line in lines:
            if line is error_line:
                continue
            name = next((name for prefix, name in prefixes if line.startswith(prefix)), None)
            if name is not None and name not in skipped:
                skipped[name] = line[len(f"kevro: skipping module '{name}': "):]
                continue
            sys.stderr.write(line + "\n")
        sys.stderr.flush()

        if child.returncode != 0:
            if error_line is not None:
                raise GraphError(error_line)
            last = next((line for line in reversed(lines) if line.strip()), "")
            status = (
                f"was killed by signal {-child.returncode}"
                if child.returncode < 0
                else f"exited with status {child.returncode}"
            )
            raise GraphError(f"kevro.inspect {status}" + (f": {last}" if last else ""))
        try:
            report = json.loads(stdout.decode("utf-8"))
        except (UnicodeDecodeError, ValueError) as exc:
            raise GraphError(f"kevro.inspect printed no readable report: {exc}") from exc
        if not isinstance(report, dict) or not isinstance(report.get("assets"), list):
            raise GraphError('kevro.inspect printed no readable report: no "assets" list')
        records = report["assets"]
        if self.strict:
            _check_modules(self.names, records, skipped)
        return records

    def cancel(self) -> None:
        """Stops the child when its report is no longer wanted."""
        if self.child.returncode is None:
            self.child.kill()
            self.child.communicate()


def _check_modules(names: Sequence[str], records: Sequence[Any], skipped: Dict[str, str]) -> None:
    """GraphError naming every module that could not be imported (with its error) or holds no
    asset."""
    found = {r.get("module_path") for r in records if isinstance(r, dict)}
    problems = []
    for name in dict.fromkeys(names):
        if name in skipped:
            problems.append(f"cannot import module {name!r}: {skipped[name]}")
        elif name not in found:
            problems.append(f"module {name!r} holds no asset")
    if problems:
        raise GraphError("; ".join(problems))

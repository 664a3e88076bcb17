"""What the commands show on a terminal, drawn with rich: the live progress of a run and tables.

Imported only when the output goes to a terminal, so that plain runs never pay for importing
rich.
"""

from __future__ import annotations

import time
from typing import IO, TYPE_CHECKING, Any, Callable, Dict, Optional, Sequence

from rich.console import Console
from rich.markup import escape
from rich.progress import BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn
from rich.table import Table
from rich.text import Text

from kevro.common import FAILED, OK, SKIPPED, UP_TO_DATE

if TYPE_CHECKING:  # pragma: no cover
    from kevro.graph import Job
    from kevro.runner import Outcome

# The colour of each job state wherever one is shown.
STATE_STYLES = {OK: "green", FAILED: "red", SKIPPED: "yellow", UP_TO_DATE: "cyan", "will run": "yellow"}


class _Progress(Progress):
    """rich's progress display with the labels of the running jobs on a line below the bar."""

    def get_renderables(self) -> Any:
        yield self.make_tasks_table(self.tasks)
        for task in self.tasks:
            yield Text(task.fields["labels"], style="cyan", overflow="ellipsis", no_wrap=True)


class RichProgress:
    """A live display on a terminal: a bar, done/total, the count of each state, what is running
    and the elapsed time; failed jobs are printed above it as they happen."""

    tick_s = 0.1  # how often the display is redrawn while jobs run

    def __init__(self, total: int, stream: IO[str]) -> None:
        self.counts = {OK: 0, FAILED: 0, SKIPPED: 0, UP_TO_DATE: 0}
        self.running: Dict[int, str] = {}
        self.last = 0.0
        self.bar = _Progress(
            BarColumn(bar_width=30),
            MofNCompleteColumn(),
            *[TextColumn(f"{{task.fields[c{n}]}}") for n in range(len(self.counts))],
            TextColumn("running {task.fields[running]}"),
            TimeElapsedColumn(),
            console=Console(file=stream),
            auto_refresh=False,
            redirect_stdout=False,
            redirect_stderr=False,
        )
        self.task = self.bar.add_task("run", total=max(total, 1), **self._fields())
        self.bar.start()

    def _fields(self) -> Dict[str, Any]:
        # One field per state, by position: "ok N" always in colour, the others once above 0.
        fields: Dict[str, Any] = {}
        for n, (state, count) in enumerate(self.counts.items()):
            coloured = count or state == OK
            fields[f"c{n}"] = f"[{STATE_STYLES[state]}]{state} {count}[/]" if coloured else f"{state} {count}"
        labels = list(self.running.values())
        fields["labels"] = ", ".join(labels[:4]) + (
            f" and {len(labels) - 4} more" if len(labels) > 4 else "")
        fields["running"] = len(labels)
        return fields

    def _update(self) -> None:
        self.bar.update(self.task, completed=sum(self.counts.values()), **self._fields())

    def started(self, job: "Job") -> None:
        self.running[job.index] = job.label
        self.tick()

    def finished(self, outcome: "Outcome") -> None:
        self.running.pop(outcome.job.index, None)
        self.counts[outcome.status] += 1
        if outcome.status == FAILED:
            error = (outcome.error or "").strip().splitlines()
            self.bar.console.print(
                f"[red]FAILED[/red] {escape(outcome.job.label)}: {escape(error[0] if error else '')}"
            )
        self.tick()

    def message(self, text: str) -> None:
        self.bar.console.print(f"kevro: {escape(text)}")

    def tick(self) -> None:
        now = time.monotonic()
        if now - self.last >= self.tick_s:
            self.last = now
            self._update()
            self.bar.refresh()

    def close(self) -> None:
        self._update()
        self.bar.stop()  # draws the last frame


def print_table(stream: IO[str], title: str, columns: Sequence[str], rows: Sequence[Sequence[str]],
                *, right: Sequence[str] = (), style: Optional[Callable[[str, str], Optional[str]]] = None,
                footer: Optional[str] = None) -> None:
    """A table of plain-text cells (markup in them is shown as it is) with the columns in
    `right` aligned right; style(column, cell) may name a colour for a cell."""
    table = Table(title=escape(title), title_justify="left")
    for column in columns:
        table.add_column(column, overflow="fold", justify="right" if column in right else "left")
    for row in rows:
        cells = []
        for column, cell in zip(columns, row):
            colour = style(column, cell) if style is not None else None
            cells.append(f"[{colour}]{escape(cell)}[/]" if colour else escape(cell))
        table.add_row(*cells)
    console = Console(file=stream)
    console.print(table)
    if footer is not None:
        console.print(escape(footer))

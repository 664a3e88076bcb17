"""Leak checks for one operation repeated many times.

A leak grows with the repetitions: an operation that keeps one object, one reference or one
block of memory per call leaves N times as much behind after N calls. A cache filling up, an
allocator taking a new block, a dict resizing or the interpreter warming up leaves about the
same whatever N is. So growth is judged per repetition, in rounds of growing length: after a
warm-up round, rounds of N, 2N, 4N, 8N and 16N repetitions run until one stays below the threshold
on every measure. A real leak stays above it in every round; noise falls below it as soon as a
round is long enough to spread it thin. When no round does, the growth of the five rounds is set
against their lengths: a leak rises with them (the median slope between every two rounds is the
leak's size), a fixed cost paid once per round, such as the heap taking another arena on a busy
machine, does not.

What is measured around a round, once the collector has freed everything unreachable:

- CPython: the change of the reference count of each object the operation touches (and of the
  interpreter's total count, where a debug build keeps one); the memory that tracemalloc traces;
  the bytes in use on the C heap (glibc's mallinfo2), which sees the module's own C++
  allocations that tracemalloc does not.
- PyPy: the bytes in use on the C heap, which hold the objects made for the C API and the GC's
  arenas too, and the GC's old-generation memory (arenas and raw-malloced objects). Resident
  memory is recorded but not judged: pages freed by an earlier test stay resident and would
  absorb a leak. The JIT is off while a check runs: the traces it compiles, and their
  bookkeeping in GC memory, go on growing for thousands of repetitions of code as branchy as an
  import, which no round of a test's length outlasts; the module makes the same calls either way.

Each judged round is kept in `RESULTS`, so that a run can print the growth per operation
(tests/python/leak_table.py).
"""

from __future__ import annotations

import contextlib
import ctypes
import dataclasses
import gc
import sys
from typing import Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from common import is_pypy, rss_kib

if not is_pypy:
    import tracemalloc  # PyPy has none

# Repetitions of the first measured round.
CPYTHON_REPEATS = 10_000
PYPY_REPEATS = 100_000

# The smallest object either interpreter can leak takes 16 bytes, and one kept in a list costs
# 8 more for its slot; growth of half that per repetition is a leak.
BYTES_PER_REPETITION = 8
# A reference kept (or dropped) per repetition changes a count by one each time; caches that
# take a reference or two do not scale.
REFS_PER_REPETITION = 0.5

# Measured rounds after the warm-up, each twice as long as the one before.
ROUNDS = 5

# A long round runs in batches of the first round's length with a collection between them:
# PyPy's bookkeeping of the objects made for the C API keeps the size of its largest crowd of
# live objects, so a round run in one go would leave more behind the longer it is.

# PyPy frees an object made for the C API one link of a chain per major collection (the C-side
# reference count reaches zero only once its holder is gone), so a chain of a traceback, its
# frames and their globals takes a dozen collections or more. Collecting stops after three
# collections in a row that freed less than a byte per repetition of the round.
MAX_COLLECTIONS = 64
QUIET_COLLECTIONS = 3


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (field, ctypes.c_size_t)
        for field in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                      "uordblks", "fordblks", "keepcost")
    ]


def _find_mallinfo2() -> Optional[Callable[[], _MallInfo2]]:
    try:
        function = ctypes.CDLL(None).mallinfo2
    except (AttributeError, OSError):
        return None
    function.restype = _MallInfo2
    function.argtypes = []
    return function


_mallinfo2 = _find_mallinfo2()


def native_bytes() -> int:
    """Bytes in use on the C heap (malloc'd blocks, mmap'd ones included); 0 without glibc."""
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return int(info.uordblks + info.hblkhd)


def gc_bytes() -> int:
    """PyPy: the GC's old-generation memory in use (arenas and raw-malloced objects); 0
    elsewhere."""
    if not is_pypy:
        return 0
    stats = gc.get_stats()._s  # the raw figures behind the formatted ones
    return int(stats.total_arena_memory + stats.total_rawmalloced_memory)


def settle(repeats: int) -> None:
    """Collects until nothing unreachable is left that the round could have made."""
    if not is_pypy:
        gc.collect()
        return
    last = gc_bytes() + native_bytes()
    quiet = 0
    for _ in range(MAX_COLLECTIONS):
        gc.collect()
        now = gc_bytes() + native_bytes()
        quiet = quiet + 1 if last - now < repeats else 0
        last = now
        if quiet == QUIET_COLLECTIONS:
            return


@contextlib.contextmanager
def _jit_off() -> Iterator[None]:
    if not is_pypy:
        yield
        return
    import pypyjit

    pypyjit.set_param("off")
    try:
        yield
    finally:
        pypyjit.set_param("default")


@dataclasses.dataclass
class Round:
    """What one measured round of an operation left behind."""

    label: str
    repeats: int
    refcounts: Dict[str, int]  # touched object -> change of its reference count
    total_refs: Optional[int]  # change of sys.gettotalrefcount(), where it exists
    traced: int  # CPython: change of the bytes that tracemalloc traces
    native: int  # change of the bytes in use on the C heap
    gc: int  # PyPy: change of the GC's old-generation memory
    rss_kib: int  # change of resident memory (recorded, not judged)

    def faults(self) -> List[str]:
        """Why this round counts as a leak; empty when it does not."""
        problems = []
        refs = dict(self.refcounts)
        if self.total_refs is not None:
            refs["total"] = self.total_refs
        grown = {name: delta for name, delta in refs.items()
                 if abs(delta) >= REFS_PER_REPETITION * self.repeats}
        if grown:
            problems.append(f"reference counts changed by {grown}")
        for what, delta in (("traced memory", self.traced), ("C heap", self.native),
                            ("GC memory", self.gc)):
            if delta >= BYTES_PER_REPETITION * self.repeats:
                problems.append(f"{what} grew by {delta / self.repeats:.1f} bytes a repetition")
        return problems

    def per_repetition(self, delta: int) -> float:
        return delta / self.repeats


RESULTS: List[Round] = []


def _refcounts(touched: Sequence[object]) -> List[int]:
    return [sys.getrefcount(obj) for obj in touched]


def _name_of(obj: object, index: int) -> str:
    name = getattr(obj, "__qualname__", None) or getattr(obj, "__name__", None)
    if isinstance(name, str):
        return f"{index}:{name}"
    text = repr(obj)
    return f"{index}:{text[:40]}"


def measure(op: Callable[[], object], repeats: int, touched: Sequence[object] = (),
            label: str = "", batch: int = 0) -> Round:
    """Runs `op` `repeats` times, in batches of `batch` (default: all at once) with a
    collection between two batches, and returns what that left behind (warm up before)."""
    batch = batch or repeats
    names = [_name_of(obj, i) for i, obj in enumerate(touched)]
    total = getattr(sys, "gettotalrefcount", None)
    settle(repeats)
    # The list of counts exists before the memory figures are read, so that it stays out of
    # them; the total count is read twice first to learn what one reading adds itself.
    counts_before = _refcounts(touched) if not is_pypy else []
    traced_before = tracemalloc.get_traced_memory()[0] if not is_pypy else 0
    native_before, gc_before, rss_before = native_bytes(), gc_bytes(), rss_kib()
    if total:
        reading = total()
        reading = total() - reading
        refs_before = total()
    for start in range(0, repeats, batch):
        if start:
            gc.collect()
        for _ in range(min(batch, repeats - start)):
            op()
    settle(repeats)
    refs = total() - refs_before - reading if total else None
    native, gc_grown, rss = native_bytes() - native_before, gc_bytes() - gc_before, rss_kib()
    traced = tracemalloc.get_traced_memory()[0] - traced_before if not is_pypy else 0
    counts_after = _refcounts(touched) if not is_pypy else []
    return Round(label, repeats,
                 {name: after - before
                  for name, before, after in zip(names, counts_before, counts_after)},
                 refs, traced, native, gc_grown, rss - rss_before)


def default_repeats(cost: str = "fast") -> int:
    """Repetitions of the first measured round for an operation of the given cost.

    "fast": 100,000 on PyPy, 10,000 on CPython. "slow", for an operation that imports, reads
    source or writes files (0.1 to 1 ms a call): 1,000 and 500. "heavy", for one that executes
    a failing module import again on every call or reads the source of every asset of a module
    (2 to 4 ms a call on PyPy): 200 and 400. Later rounds are longer when the first is noisy;
    leak_table.py --repeats runs any row longer.
    """
    pypy, cpython = {"fast": (PYPY_REPEATS, CPYTHON_REPEATS), "slow": (1_000, 500),
                     "heavy": (200, 400)}[cost]
    return pypy if is_pypy else cpython


def check(op: Callable[[], object], *, repeats: int, touched: Sequence[object] = (),
          label: str = "") -> Round:
    """Warms `op` up with one round, then measures rounds of `repeats`, twice that and so on
    until one shows no leak; returns that round, or raises AssertionError with the figures of
    every measured round."""
    started = not is_pypy and not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    try:
        with _jit_off():
            return _rounds(op, repeats, touched, label)
    finally:
        if started:
            tracemalloc.stop()


def _rounds(op: Callable[[], object], repeats: int, touched: Sequence[object],
            label: str) -> Round:
    # The warm-up fills caches, interns names and grows the heaps to their working size.
    for _ in range(repeats):
        op()
    rounds = []
    for number in range(ROUNDS):
        result = measure(op, repeats << number, touched, label, batch=repeats)
        rounds.append(result)
        if not result.faults():
            RESULTS.append(result)
            return result
    RESULTS.append(rounds[-1])
    scaling = growth_that_scales(rounds)
    if not scaling:
        # Every round grew by about the same amount, however long it was: a block the heap
        # took once per round (an arena, a cache), not something each repetition leaves.
        return rounds[-1]
    details = "; ".join(f"{r.repeats} repetitions: {', '.join(r.faults())}" for r in rounds)
    raise AssertionError(f"{label or op!r} leaks in every round, growing with the repetitions "
                         f"({', '.join(scaling)}): {details}")


def _slope(points: Sequence[Tuple[int, float]]) -> float:
    """The median of the slopes between every two points: growth per repetition that one
    round's outlier cannot move."""
    slopes = sorted((y2 - y1) / (x2 - x1) for i, (x1, y1) in enumerate(points)
                    for x2, y2 in points[i + 1:] if x2 != x1)
    middle = len(slopes) // 2
    return slopes[middle] if len(slopes) % 2 else (slopes[middle - 1] + slopes[middle]) / 2


def growth_that_scales(rounds: Sequence[Round]) -> List[str]:
    """The measures whose growth rises with the round's length by at least the threshold per
    repetition, across all the rounds; a leak does, a fixed cost paid once per round does not."""
    found = []
    names = dict.fromkeys(name for r in rounds for name in r.refcounts)
    for name in names:
        slope = _slope([(r.repeats, r.refcounts.get(name, 0)) for r in rounds])
        if abs(slope) >= REFS_PER_REPETITION:
            found.append(f"reference count of {name} by {slope:.2f} a repetition")
    if all(r.total_refs is not None for r in rounds):
        slope = _slope([(r.repeats, r.total_refs or 0) for r in rounds])
        if abs(slope) >= REFS_PER_REPETITION:
            found.append(f"total reference count by {slope:.2f} a repetition")
    for what, field in (("traced memory", "traced"), ("C heap", "native"), ("GC memory", "gc")):
        slope = _slope([(r.repeats, getattr(r, field)) for r in rounds])
        if slope >= BYTES_PER_REPETITION:
            found.append(f"{what} by {slope:.1f} bytes a repetition")
    return found


def format_table(results: Sequence[Round]) -> str:
    """A Markdown table of the growth per repetition of each operation's judged round."""
    lines = []
    if is_pypy:
        lines.append("| operation | repeats | C heap B/rep | GC B/rep | RSS B/rep |")
        lines.append("|---|---|---|---|---|")
        for r in results:
            lines.append(f"| {r.label} | {r.repeats} | {r.per_repetition(r.native):.2f} | "
                         f"{r.per_repetition(r.gc):.2f} | "
                         f"{r.per_repetition(r.rss_kib * 1024):.2f} |")
    else:
        lines.append("| operation | repeats | refcount deltas | total refs | traced B/rep | "
                     "C heap B/rep |")
        lines.append("|---|---|---|---|---|---|")
        for r in results:
            deltas = ",".join(str(d) for d in r.refcounts.values()) or "-"
            total = "-" if r.total_refs is None else str(r.total_refs)
            lines.append(f"| {r.label} | {r.repeats} | {deltas} | {total} | "
                         f"{r.per_repetition(r.traced):.2f} | {r.per_repetition(r.native):.2f} |")
    return "\n".join(lines)

"""Leak checks for one operation repeated many times.

CPython: the interpreter's total reference count where it keeps one (debug builds), otherwise
the reference counts of the objects that the operation touches, must come back exactly; the
memory that tracemalloc traces and the bytes in use on the C heap (glibc's mallinfo2, which sees
the module's own C++ allocations that tracemalloc does not) must not grow by more than a bound
that grows with the square root of the repetitions, so that any leak of one object per
repetition overshoots it.

PyPy: there are no reference counts to read. The operation runs 100,000 times (fewer for the
slow ones) and resident memory must stay flat after a warm-up round; the C heap and the GC's own
figures are recorded beside it.

Each measured round is kept in `RESULTS`, so that a run can print the growth per operation
(tests/python/leak_table.py).
"""

from __future__ import annotations

import ctypes
import dataclasses
import gc
import math
import sys
from typing import Callable, Dict, List, Optional, Sequence

from common import collect, is_pypy, rss_kib

if not is_pypy:
    import tracemalloc  # PyPy has none

# Repetitions of one measured round.
CPYTHON_REPEATS = 10_000
PYPY_REPEATS = 100_000

# Growth allowed in one measured round of N repetitions: BOUND_BYTES * sqrt(N / 100). For 10,000
# repetitions that is 40 KiB, for 2,000 about 18 KiB, while the smallest object that can leak
# (16 bytes) costs 156 KiB and 31 KiB; any leak of at least 410 / sqrt(N) bytes per repetition
# overshoots the bound.
BOUND_BYTES = 4096

# PyPy: resident memory after warm-up grows in page-sized steps while the GC settles; 4 MiB is well
# above those steps and well below what one leaked object per repetition costs over 100,000
# repetitions (even 64 bytes each are over 6 MiB).
RSS_SLACK_KIB = 4 * 1024

# Rounds after the warm-up: a leak grows in every one, a cache or heap step does not recur.
ROUNDS = 3


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
    """PyPy: memory that the GC reports in use after a collection; 0 elsewhere."""
    if not is_pypy:
        return 0
    return int(gc.get_stats()._s.total_gc_memory)  # the raw figure behind the formatted one


def bound_bytes(repeats: int) -> int:
    """The growth allowed in one round of `repeats` repetitions (CPython's measures)."""
    return int(BOUND_BYTES * math.sqrt(repeats / 100))


@dataclasses.dataclass
class Round:
    """What one measured round of an operation left behind."""

    label: str
    repeats: int
    refcounts: Dict[str, int]  # touched object -> change of its reference count
    total_refs: Optional[int]  # change of sys.gettotalrefcount(), where it exists
    traced: int  # change of the bytes that tracemalloc traces
    native: int  # change of the bytes in use on the C heap
    gc: int  # PyPy: change of the GC's memory in use
    rss_kib: int  # change of resident memory

    def faults(self) -> List[str]:
        """Why this round counts as a leak; empty when it does not."""
        problems = []
        if is_pypy:
            if self.rss_kib >= RSS_SLACK_KIB:
                problems.append(f"resident memory grew by {self.rss_kib} KiB")
            return problems
        if self.total_refs:
            problems.append(f"total reference count changed by {self.total_refs}")
        changed = {name: delta for name, delta in self.refcounts.items() if delta}
        if changed:
            problems.append(f"reference counts changed: {changed}")
        limit = bound_bytes(self.repeats)
        if self.traced > limit:
            problems.append(f"traced memory grew by {self.traced} bytes (bound {limit})")
        if self.native > limit:
            problems.append(f"C heap grew by {self.native} bytes (bound {limit})")
        return problems

    def per_100k_kib(self, delta: int) -> float:
        return delta / 1024 * 100_000 / self.repeats


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
            label: str = "") -> Round:
    """Runs `op` `repeats` times and returns what that left behind (warm up before)."""
    names = [_name_of(obj, i) for i, obj in enumerate(touched)]
    total = getattr(sys, "gettotalrefcount", None)
    collect()
    if is_pypy:
        rss_before, native_before, gc_before = rss_kib(), native_bytes(), gc_bytes()
        for _ in range(repeats):
            op()
        collect()
        return Round(label, repeats, {}, None, 0, native_bytes() - native_before,
                     gc_bytes() - gc_before, rss_kib() - rss_before)
    # The list of counts exists before the memory figures are read, so that it stays out of
    # them; the total count is read twice first to learn what one reading adds itself.
    counts_before = _refcounts(touched)
    traced_before = tracemalloc.get_traced_memory()[0]
    native_before = native_bytes()
    if total:
        reading = total()
        reading = total() - reading
        refs_before = total()
    for _ in range(repeats):
        op()
    collect()
    refs = total() - refs_before - reading if total else None
    native = native_bytes() - native_before
    traced = tracemalloc.get_traced_memory()[0] - traced_before
    counts_after = _refcounts(touched)
    return Round(label, repeats,
                 {name: after - before
                  for name, before, after in zip(names, counts_before, counts_after)},
                 refs, traced, native, 0, 0)


def default_repeats(cost: str = "fast") -> int:
    """Repetitions of one round for an operation of the given cost.

    "fast": 100,000 on PyPy, 10,000 on CPython. "slow", for an operation that imports, reads
    source or writes files (0.1 to 1 ms a call, ten times that on a busy machine): 1,000 and
    500. "heavy", for one that executes a failing module import again on every call or reads
    the source of every asset of a module (2 to 4 ms a call on PyPy): 200 and 300. The slower
    tiers keep a round within seconds, so that the suite stays bounded; what they could leak
    per call (a report, a record, a module's objects, a traceback) is far larger than the bound
    of their shorter rounds. leak_table.py --repeats runs any row longer.
    """
    pypy, cpython = {"fast": (PYPY_REPEATS, CPYTHON_REPEATS), "slow": (1_000, 500),
                     "heavy": (200, 300)}[cost]
    return pypy if is_pypy else cpython


def check(op: Callable[[], object], *, repeats: int, touched: Sequence[object] = (),
          label: str = "") -> Round:
    """Warms `op` up, then measures rounds until one shows no leak; returns that round, or
    raises AssertionError with the figures of every measured round."""
    started = not is_pypy and not tracemalloc.is_tracing()
    if started:
        tracemalloc.start()
    try:
        # The warm-up fills caches, interns names and grows the heaps to their working size;
        # on PyPy it is a whole round, which also lets the JIT compile the loop.
        if is_pypy:
            measure(op, repeats, touched, label)
        else:
            for _ in range(max(repeats // 10, 100)):
                op()
        rounds = []
        for _ in range(ROUNDS):
            result = measure(op, repeats, touched, label)
            rounds.append(result)
            if not result.faults():
                RESULTS.append(result)
                return result
        RESULTS.append(rounds[-1])
        details = "; ".join(", ".join(r.faults()) for r in rounds)
        raise AssertionError(f"{label or op!r} leaks over {repeats} repetitions: {details}")
    finally:
        if started:
            tracemalloc.stop()


def format_table(results: Sequence[Round]) -> str:
    """A Markdown table of the growth per operation."""
    lines = []
    if is_pypy:
        lines.append("| operation | repeats | RSS KiB/100k | C heap KiB/100k | GC KiB/100k |")
        lines.append("|---|---|---|---|---|")
        for r in results:
            lines.append(f"| {r.label} | {r.repeats} | {r.per_100k_kib(r.rss_kib * 1024):.0f} | "
                         f"{r.per_100k_kib(r.native):.1f} | {r.per_100k_kib(r.gc):.1f} |")
    else:
        lines.append("| operation | repeats | refcount deltas | total refs | traced bytes | "
                     "C heap bytes |")
        lines.append("|---|---|---|---|---|---|")
        for r in results:
            deltas = ",".join(str(d) for d in r.refcounts.values()) or "-"
            total = "-" if r.total_refs is None else str(r.total_refs)
            lines.append(f"| {r.label} | {r.repeats} | {deltas} | {total} | {r.traced} | "
                         f"{r.native} |")
    return "\n".join(lines)

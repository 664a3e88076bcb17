"""Nothing leaks: declarations, metadata reads, wrapper calls and refused calls, repeated
100,000 times, leave resident memory where it was after a warm-up."""

from __future__ import annotations

import pytest

from common import collect, rss_kib
from _kevro import asset, partitions

REPEATS = 100_000
# Well above what the allocators keep for themselves, well below what one leaked object per
# repetition would cost (100,000 repetitions of even 64 bytes are over 6 MiB).
SLACK_KIB = 4 * 1024


def raw(a=1, *, k=2):
    return a + k


upstream = asset()(raw)
marker = partitions(["AAPL", "MSFT", 3, {"k": [1.5, None]}])


def declare():
    return asset(name="n", serializer="s", inputs={"data": "x.py:raw", "more": "ref"},
                 partitions={"ticker": marker, "day": marker})(raw)


def declare_upstream():
    return asset(inputs={"data": upstream})(raw)


wrapper = declare()


def read_metadata():
    return wrapper.__kevro_metadata__


def read_attributes():
    return (wrapper.__name__, wrapper.__doc__, wrapper.__module__, wrapper.__qualname__,
            wrapper.__kevro_kind__, wrapper.__kevro_original__, wrapper.__wrapped__)


def call_wrapper():
    return wrapper(1, k=3) + wrapper(2)


def make_partitions():
    return partitions(["a", -1, [0.5, None, {"x": True}]])


def refused():
    for call in (
        lambda: partitions([1, float("nan")]),
        lambda: partitions([object()]),
        lambda: asset(name=1),
        lambda: asset(inputs={"a": "ok", "b": 42}),
        lambda: asset(partitions={"t": marker, "u": [1]}),
        lambda: asset()(),
        lambda: wrapper.__setattr__("x", 1),
        lambda: asset()(42)(),
    ):
        try:
            call()
        except (TypeError, ValueError, AttributeError):
            pass
        else:
            raise AssertionError("expected a refusal")


@pytest.mark.parametrize(
    ("body", "repeats"),
    [
        (declare, REPEATS),
        (declare_upstream, REPEATS // 10),
        (read_metadata, REPEATS),
        (read_attributes, REPEATS),
        (call_wrapper, REPEATS),
        (make_partitions, REPEATS),
        (refused, REPEATS // 10),
    ],
    ids=lambda v: getattr(v, "__name__", str(v)),
)
def test_resident_memory_stays_flat(body, repeats):
    # The interpreter's own heap grows in steps for a while (PyPy's for longer), so one round
    # warms up and the next rounds are measured: a leak grows every round, a heap step does not
    # recur in each one.
    growth = []
    for _ in range(4):
        collect()
        before = rss_kib()
        for _ in range(repeats):
            body()
        collect()
        growth.append(rss_kib() - before)
        if len(growth) > 1 and growth[-1] < SLACK_KIB:
            return
    pytest.fail(f"resident memory grew by {growth[1:]} KiB in rounds of {repeats} repetitions")

"""The leak checks of leakcheck.py catch leaks: an operation that keeps one object, one
reference or one block of C memory per repetition fails them, a clean one passes. (The checks of
the module's own operations are the table of test_leaks.py.)"""

from __future__ import annotations

import ctypes

import pytest

import leakcheck
from _kevro import asset, partitions
from common import is_pypy

kept: list = []


def keeps_an_object() -> None:
    # CPython's measures see 16 bytes a repetition; PyPy's resident memory moves in pages and
    # its GC settles in steps, so there the object is a bytearray of about 140 bytes, the size of the
    # smallest record or exception that the module could leak.
    kept.append(bytearray(64) if is_pypy else object())


libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]


# CPython's C-heap measure sees a block of 64 bytes. PyPy's resident memory does not, when the
# heap holds freed memory that malloc hands out again; there the block is one that malloc maps
# by itself (256 KiB), in rounds of 100.
C_BLOCK, C_REPEATS = (256 * 1024, 100) if is_pypy else (64, leakcheck.CPYTHON_REPEATS)


def keeps_c_memory() -> None:
    # Touched, so that the pages are resident.
    ctypes.memset(libc.malloc(C_BLOCK), 1, C_BLOCK)


def raw():
    return 1


def clean() -> None:
    asset(name="n", partitions={"t": partitions(["a", 1])})(raw).__kevro_metadata__


@pytest.mark.skipif(is_pypy, reason="after the rest of the suite PyPy's resident memory has "
                    "room enough to absorb the planted leak, so the check cannot be proved here")
@pytest.mark.parametrize(("op", "repeats"),
                         [(keeps_an_object, leakcheck.default_repeats()),
                          (keeps_c_memory, C_REPEATS)],
                         ids=["keeps_an_object", "keeps_c_memory"])
def test_a_leak_per_repetition_fails_the_check(op, repeats):
    try:
        with pytest.raises(AssertionError, match="leaks over"):
            leakcheck.check(op, repeats=repeats, label=op.__name__)
    finally:
        kept.clear()


@pytest.mark.skipif(is_pypy, reason="PyPy keeps no reference counts")
def test_a_reference_kept_to_a_touched_object_fails_the_check():
    target = object()
    incref = ctypes.pythonapi.Py_IncRef
    incref.argtypes = [ctypes.py_object]
    with pytest.raises(AssertionError, match="reference counts changed"):
        leakcheck.check(lambda: incref(target), repeats=1_000, touched=(target,))


@pytest.mark.skipif(is_pypy, reason="PyPy's rounds are judged by resident memory")
@pytest.mark.parametrize("cost", ["fast", "slow", "heavy"])
def test_the_bound_is_below_one_small_object_per_repetition(cost):
    # The smallest objects that can leak (an object(), a small int) take 16 to 32 bytes.
    repeats = leakcheck.default_repeats(cost)
    assert leakcheck.bound_bytes(repeats) < 24 * repeats


def test_a_clean_operation_passes():
    result = leakcheck.check(clean, repeats=leakcheck.default_repeats(), label="clean")
    assert result.faults() == []

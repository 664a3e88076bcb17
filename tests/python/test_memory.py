"""The leak checks of leakcheck.py catch leaks: an operation that keeps one object, one
reference or one block of C memory per repetition fails them, on every round, while a clean one
passes. (The checks of the module's own operations are the table of test_leaks.py.)"""

from __future__ import annotations

import ctypes
import importlib.util
import subprocess
import sysconfig
from pathlib import Path

import pytest

import leakcheck
from _kevro import asset, partitions
from common import is_pypy

kept: list = []

libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]


@pytest.fixture(scope="module")
def planted(tmp_path_factory):
    """The C extension of planted.c, built for this interpreter."""
    source = Path(__file__).with_name("planted.c")
    target = tmp_path_factory.mktemp("planted") / ("planted" + sysconfig.get_config_var("EXT_SUFFIX"))
    include = sysconfig.get_paths()["include"]
    subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-Wall", "-Werror", f"-I{include}",
                    str(source), "-o", str(target)], check=True)
    spec = importlib.util.spec_from_file_location("planted", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def keeps_an_object() -> None:
    kept.append(object())


def keeps_c_memory() -> None:
    # Touched, so that the block is really in use.
    ctypes.memset(libc.malloc(64), 1, 64)


def raw():
    return 1


def clean() -> None:
    asset(name="n", partitions={"t": partitions(["a", 1])})(raw).__kevro_metadata__


def fails_every_round(op, repeats: int, touched=(), why: str = "grew by") -> None:
    try:
        with pytest.raises(AssertionError) as info:
            leakcheck.check(op, repeats=repeats, touched=touched)
    finally:
        kept.clear()
    # Every round was judged a leak for that reason, the longest one included.
    rounds = str(info.value).split("; ")
    assert len(rounds) == leakcheck.ROUNDS and all(why in text for text in rounds)
    assert rounds[-1].startswith(f"{repeats << (leakcheck.ROUNDS - 1)} repetitions:")


@pytest.mark.parametrize("op", [keeps_an_object, keeps_c_memory], ids=lambda op: op.__name__)
def test_a_leak_per_repetition_fails_the_check(op):
    fails_every_round(op, leakcheck.default_repeats("slow"))


def test_a_reference_kept_to_a_fresh_object_fails_the_check(planted):
    # The object made for each call is never freed: on PyPy, its C-API twin neither.
    fails_every_round(lambda: planted.keep_reference([]), leakcheck.default_repeats("slow"))


@pytest.mark.skipif(is_pypy, reason="PyPy keeps no reference counts")
def test_a_reference_kept_to_a_touched_object_fails_the_check(planted):
    target = object()
    fails_every_round(lambda: planted.keep_reference(target), 1_000, (target,),
                      "reference counts changed")


@pytest.mark.parametrize("every_round", [False, True], ids=["once", "every-round"])
def test_noise_that_does_not_grow_with_the_repetitions_passes(every_round):
    # A cache that takes a block far above the threshold once, in the middle of the first
    # measured round, or a heap that takes another 512 KiB arena in every round: a fixed amount
    # however long the round. Only the second outlasts even the longest round.
    repeats = leakcheck.default_repeats("slow")
    size = 512 * 1024 if every_round else 64 * 1024
    firsts = {repeats + (repeats << n) - repeats + repeats // 2 for n in range(leakcheck.ROUNDS)}
    calls = [0]

    def takes_a_block() -> None:
        calls[0] += 1
        if calls[0] in firsts if every_round else calls[0] == repeats + repeats // 2:
            kept.append(bytearray(size))

    try:
        result = leakcheck.check(takes_a_block, repeats=repeats, label="cache")
    finally:
        kept.clear()
    assert result.repeats > repeats  # the first round saw the block and was not enough
    if every_round:
        assert result.repeats == repeats << (leakcheck.ROUNDS - 1) and result.faults()


def test_a_clean_operation_passes():
    result = leakcheck.check(clean, repeats=leakcheck.default_repeats(), label="clean")
    assert result.faults() == []

"""Wrapper call overhead: `w(1, 2, k=3)` for `w = asset()(f)`, against calling `f` directly and
against a pure-Python `functools.wraps` wrapper, measured in the same run.

    PYTHONPATH=build/dev-NAME:src python bench/bench_wrapper.py [--calls N] [--repeats R]
"""

from __future__ import annotations

import argparse
import functools
import platform
import time

from _kevro import asset


def f(a, b, k=0):
    return a


def python_wrapper(function):
    @functools.wraps(function)
    def wrapper(*args, **kwargs):
        return function(*args, **kwargs)

    return wrapper


def loop_direct(n):
    start = time.perf_counter()
    for _ in range(n):
        f(1, 2, k=3)
    return time.perf_counter() - start


def make_loop(target):
    def loop(n):
        start = time.perf_counter()
        for _ in range(n):
            target(1, 2, k=3)
        return time.perf_counter() - start

    return loop


def best_ns(loop, calls, repeats):
    """Best time per call of `repeats` rounds of `calls` calls each, in nanoseconds."""
    return min(loop(calls) for _ in range(repeats)) / calls * 1e9


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200_000)
    parser.add_argument("--repeats", type=int, default=7)
    args = parser.parse_args()

    wrapped = asset()(f)
    assert wrapped(1, 2, k=3) == f(1, 2, k=3)
    loops = {
        "direct f(1, 2, k=3)": loop_direct,
        "functools.wraps wrapper": make_loop(python_wrapper(f)),
        "AssetWrapper": make_loop(wrapped),
    }
    # One warm-up round each, so that a JIT has compiled every loop before it is timed.
    for loop in loops.values():
        loop(args.calls)
    results = {name: best_ns(loop, args.calls, args.repeats) for name, loop in loops.items()}

    direct = results["direct f(1, 2, k=3)"]
    python = results["functools.wraps wrapper"]
    native = results["AssetWrapper"]
    print(f"{platform.python_implementation()} {platform.python_version()}, "
          f"{args.calls} calls x {args.repeats} rounds, best round")
    for name, ns in results.items():
        print(f"  {name:26s} {ns:9.1f} ns/call")
    print(f"  ratio AssetWrapper / direct call       {native / direct:6.2f}x")
    print(f"  ratio AssetWrapper / functools.wraps   {native / python:6.2f}x")


if __name__ == "__main__":
    main()

"""Declaration cost: `asset(name=..., inputs={...}, partitions={...})(f)` per second and
`partitions(list(range(100_000)))`, each against a pure-Python function that makes the same
`json.dumps` calls, imports and checks, measured in the same run.

    PYTHONPATH=build/dev-NAME:src python bench/bench_declare.py [--declarations N] [--repeats R]
"""

from __future__ import annotations

import argparse
import json
import platform
import time

from _kevro import asset, partitions


# The pure-Python baseline: the same checks, lookups, imports and json calls as the module.
class PyPartitions:
    __slots__ = ("values",)

    def __init__(self, values):
        self.values = values


def py_partitions(values):
    if not isinstance(values, list):
        raise TypeError(f"argument 'values': '{type(values).__qualname__}' object cannot be "
                        "converted to 'PyList'")
    import json as json_module

    keys = []
    start = len(values)
    i = 0
    while i < min(len(values), start):
        keys.append(json_module.loads(json_module.dumps(values[i])))
        i += 1
    return PyPartitions(keys)


class PyWrapper:
    __slots__ = ("function", "metadata")

    def __init__(self, function, metadata):
        self.function = function
        self.metadata = metadata

    def __call__(self, *args, **kwargs):
        return self.function(*args, **kwargs)

    __kevro_kind__ = "asset"

    @property
    def __kevro_original__(self):
        return self.function


def py_reference(value):
    try:
        kind = value.__kevro_kind__
    except BaseException:
        kind = None
    if isinstance(kind, str) and kind == "asset":
        try:
            function = value.__kevro_original__
        except BaseException:
            function = value
        import inspect
        import pathlib

        path = str(pathlib.Path(inspect.getsourcefile(function)).resolve())
        name = function.__name__
        if not isinstance(name, str):
            raise TypeError
        return path + ":" + name
    if not isinstance(value, str):
        raise TypeError("inputs values must be @asset-decorated functions or asset ref strings")
    return value


def py_asset(*, name=None, inputs=None, partitions=None, serializer=None):
    if name is not None and not isinstance(name, str):
        raise TypeError
    if serializer is not None and not isinstance(serializer, str):
        raise TypeError
    refs = None
    if inputs is not None:
        if not isinstance(inputs, dict):
            raise TypeError
        refs = {}
        for key, value in dict.items(inputs):
            if not isinstance(key, str):
                raise TypeError
            refs[key] = py_reference(value)
    dims = None
    if partitions is not None:
        if not isinstance(partitions, dict):
            raise TypeError
        dims = {}
        for key, value in dict.items(partitions):
            if not isinstance(key, str) or type(value) is not PyPartitions:
                raise TypeError
            dims[key] = list(value.values)
    metadata = (name, serializer, refs, dims)

    def asset_decorator(*args, **kwargs):
        if len(args) != 1:
            raise TypeError("asset() decorator expects exactly one argument (the function)")
        copy = (name, serializer, dict(refs) if refs is not None else None,
                {k: list(v) for k, v in dims.items()} if dims is not None else None)
        return PyWrapper(args[0], copy)

    del metadata
    return asset_decorator


def raw():
    return [1, 2, 3]


def processed(data, ticker):
    return data


def best_seconds(body, count, repeats):
    return min(timed(body, count) for _ in range(repeats)) / count


def timed(body, count):
    start = time.perf_counter()
    for _ in range(count):
        body()
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--declarations", type=int, default=5_000)
    parser.add_argument("--keys", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    native_raw = asset()(raw)
    python_raw = py_asset()(raw)
    native_marker = partitions(["AAPL", "MSFT", "GOOG"])
    python_marker = py_partitions(["AAPL", "MSFT", "GOOG"])

    cases = {
        "declaration, upstream asset": (
            lambda: asset(name="p", inputs={"data": native_raw}, partitions={"t": native_marker})(processed),
            lambda: py_asset(name="p", inputs={"data": python_raw}, partitions={"t": python_marker})(processed),
            args.declarations,
        ),
        "declaration, string refs": (
            lambda: asset(name="p", inputs={"data": "x.py:raw"}, partitions={"t": native_marker})(processed),
            lambda: py_asset(name="p", inputs={"data": "x.py:raw"}, partitions={"t": python_marker})(processed),
            args.declarations * 10,
        ),
    }
    keys = list(range(args.keys))
    print(f"{platform.python_implementation()} {platform.python_version()}, best of {args.repeats}")
    for label, (native, python, count) in cases.items():
        native()
        python()
        timed(native, count)
        timed(python, count)
        n = best_seconds(native, count, args.repeats)
        p = best_seconds(python, count, args.repeats)
        print(f"  {label:30s} native {1 / n:12,.0f}/s  pure Python {1 / p:12,.0f}/s  "
              f"ratio {n / p:5.2f}x")
    assert json.loads(json.dumps(keys[:3])) == [0, 1, 2]
    native_keys = lambda: partitions(keys)  # noqa: E731
    python_keys = lambda: py_partitions(keys)  # noqa: E731
    native_keys()
    python_keys()
    n = best_seconds(native_keys, 1, args.repeats)
    p = best_seconds(python_keys, 1, args.repeats)
    print(f"  partitions(list(range({args.keys:,})))  native {n * 1e3:9.1f} ms   pure Python "
          f"{p * 1e3:9.1f} ms   ratio {n / p:5.2f}x")


if __name__ == "__main__":
    main()

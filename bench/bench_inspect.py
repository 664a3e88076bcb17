"""Discovery benchmark: `_kevro.inspect_modules` against a pure-Python function that makes the
same standard-library calls and builds the same report with the interpreter's `json`.

    PYTHONPATH=build/dev-pypy:src pypy3 bench/bench_inspect.py [--modules 500] [--assets 20]

A code base of generated modules (upstream inputs, one- and two-dimensional partitions, return
annotations) is written to a temporary directory. The first call imports every module, so it
is timed once on its own; the figures that are compared are warm calls, on modules that the
interpreter has cached, alternating native and baseline. Both reports must be byte-identical.
Most of the time of either side goes to `inspect.getsource` and `inspect.getmembers`, which
both make: that floor is why the ratio is expected near 1.
"""

from __future__ import annotations

import argparse
import builtins
import importlib
import json
import os
import pathlib
import platform
import statistics
import sys
import tempfile
import time
from typing import List

import _kevro

PACKAGE = "kevro_bench_shop"


def module_text(index: int, assets: int) -> str:
    """One generated module: a chain of assets, each reading the one before it."""
    lines = [
        f'"""Generated module {index} of the benchmark code base."""',
        "",
        "import typing",
        "",
        "from kevro import asset, partitions",
    ]
    if index > 0:
        lines.append(f"from {PACKAGE}.m{index - 1:03d} import a{index - 1:03d}_00 as upstream")
    lines += [
        "",
        'REGIONS = partitions(["eu", "us", "apac", "latam"])',
        'DAYS = partitions(["2024-01-01", "2024-01-02", "2024-01-03", 7, None, 2.5])',
        "",
        "",
    ]
    annotations = ["int", "dict", "'pd.DataFrame'", "typing.Optional[float]", "list", "None", ""]
    for a in range(assets):
        name = f"a{index:03d}_{a:02d}"
        annotation = annotations[a % len(annotations)]
        returns = f" -> {annotation}" if annotation else ""
        inputs = {}
        if a > 0:
            inputs["prev"] = f"a{index:03d}_{a - 1:02d}"
        if index > 0 and a % 5 == 1:
            inputs["up"] = "upstream"
        parts = []
        if a % 3 == 1:
            parts = ['"region": REGIONS']
        elif a % 3 == 2:
            parts = ['"region": REGIONS', '"day": DAYS']
        options = []
        if a % 4 == 0:
            options.append(f'name="asset {index}.{a}"')
        if inputs:
            options.append("inputs={" + ", ".join(f'"{k}": {v}' for k, v in inputs.items()) + "}")
        if parts:
            options.append("partitions={" + ", ".join(parts) + "}")
        params = list(inputs) + (["region"] if parts else []) + (["day"] if len(parts) > 1 else [])
        body = [
            f"@asset({', '.join(options)})",
            f"def {name}({', '.join(params)}){returns}:",
            f'    """Asset {a} of module {index}."""',
            f"    values = [{a}, {index}]",
            "    return values",
            "",
            "",
        ]
        if a % 6 == 5:
            # Some assets sit in an indented block.
            body = ["if True:"] + ["    " + line if line else "" for line in body]
        lines += body
    return "\n".join(lines).rstrip() + "\n"


def generate(root: pathlib.Path, modules: int, assets: int) -> List[str]:
    package = root / PACKAGE
    package.mkdir()
    (package / "__init__.py").write_text("")
    names = []
    for index in range(modules):
        (package / f"m{index:03d}.py").write_text(module_text(index, assets))
        names.append(f"{PACKAGE}.m{index:03d}")
    return names


def python_inspect_modules(modules) -> str:
    """The same standard-library calls as the native function, in the same order."""
    if isinstance(modules, str):
        raise TypeError("argument 'modules': Can't extract `str` to `Vec`")
    names = list(modules)
    for item in names:
        if not isinstance(item, str):
            raise TypeError("argument 'modules': item is not a str")
    importlib_ = importlib.import_module("importlib")
    inspect_ = importlib.import_module("inspect")
    textwrap_ = importlib.import_module("textwrap")
    sys_ = importlib.import_module("sys")
    pathlib_ = importlib.import_module("pathlib")
    json_ = importlib.import_module("json")
    info = sys_.version_info
    version = f"{info.major.__index__()}.{info.minor.__index__()}.{info.micro.__index__()}"

    def normalised(obj) -> str:
        return textwrap_.dedent(inspect_.getsource(obj)).strip() + "\n"

    records = []
    for name in names:
        try:
            module = importlib_.import_module(name)
        except BaseException as exc:  # noqa: BLE001 - any failed import only skips the module
            os.write(2, f"kevro: skipping module '{name}': {type(exc).__qualname__}: {exc}\n".encode())
            continue
        module_source = normalised(module)
        for entry in inspect_.getmembers(module):
            value = entry[1]
            try:
                kind = value.__kevro_kind__
            except BaseException:  # noqa: BLE001
                continue
            if not isinstance(kind, str) or kind != "asset":
                continue
            metadata = json_.loads(json_.dumps(value.__kevro_metadata__))
            try:
                function = value.__kevro_original__
            except BaseException:  # noqa: BLE001
                function = value
            function_source = normalised(function)
            function_name = function.__name__
            try:
                source_file = inspect_.getsourcefile(function)
            except BaseException:  # noqa: BLE001
                file_path = ""
            else:
                file_path = str(pathlib_.Path(source_file).resolve())
            annotation = inspect_.signature(function).return_annotation
            if annotation is inspect_.Signature.empty:
                return_type = None
            elif builtins.isinstance(annotation, type):
                return_type = annotation.__name__
            else:
                return_type = str(annotation)
            records.append(
                {
                    "decorator_metadata": metadata,
                    "file_path": file_path,
                    "function_name": function_name,
                    "function_source": function_source,
                    "kind": "asset",
                    "module_path": module.__name__,
                    "module_source": module_source,
                    "python_version": version,
                    "return_type": return_type,
                }
            )
    return json_.dumps({"assets": records}, separators=(",", ":"), sort_keys=True, ensure_ascii=False)


def timed(function, names) -> tuple:
    start = time.perf_counter()
    report = function(names)
    return time.perf_counter() - start, report


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--modules", type=int, default=500)
    parser.add_argument("--assets", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=5, help="warm calls of each side")
    args = parser.parse_args()
    if not hasattr(_kevro, "asset"):
        print("the asset decorator is not built; nothing to measure", file=sys.stderr)
        return 1

    with tempfile.TemporaryDirectory(prefix="kevro-bench-") as tmp:
        root = pathlib.Path(tmp)
        names = generate(root, args.modules, args.assets)
        sys.path.insert(0, str(root))
        importlib.invalidate_caches()

        cold, native_report = timed(_kevro.inspect_modules, names)
        native_times, python_times = [], []
        python_report = ""
        for _ in range(args.repeat):
            t, native_report = timed(_kevro.inspect_modules, names)
            native_times.append(t)
            t, python_report = timed(python_inspect_modules, names)
            python_times.append(t)

        if native_report != python_report:
            print("reports differ", file=sys.stderr)
            return 1
        assets = len(json.loads(native_report)["assets"])

    native = statistics.median(native_times)
    python = statistics.median(python_times)
    print(f"interpreter      {platform.python_implementation()} {platform.python_version()}")
    print(f"code base        {args.modules} modules x {args.assets} assets, {assets} records, "
          f"report {len(native_report.encode()) / 1e6:.1f} MB (byte-identical on both sides)")
    print(f"first call       {cold:.3f} s (native, includes importing every module)")
    print(f"warm, native     median {native:.3f} s  min {min(native_times):.3f} s  ({args.repeat} calls)")
    print(f"warm, pure Python median {python:.3f} s  min {min(python_times):.3f} s  ({args.repeat} calls)")
    print(f"ratio native/Python  {native / python:.3f} (median), {min(native_times) / min(python_times):.3f} (min)")
    return 0


if __name__ == "__main__":
    sys.exit(main())

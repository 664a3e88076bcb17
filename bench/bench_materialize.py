"""Per-call cost of materialize_asset for a trivial asset, against pure Python making the same calls.

    python bench/bench_materialize.py [--calls N] [--rounds R]

Both sides run in the same warm interpreter, alternating round by round; the best round of each
is reported, in microseconds per call, with the ratio native / Python.
"""

from __future__ import annotations

import _kevro
from _common import compare_materialize

ASSET = '''
def trivial(n: int) -> int:
    return n
'''


def materialize_py(module_name, function_name, output_dir, input_kwargs_json=None):
    """The same calls into Python as materialize_asset makes, in the same order."""
    import importlib
    import inspect
    import json
    import pathlib

    output_path = pathlib.Path(output_dir)
    output_path.mkdir(parents=True, exist_ok=True)
    result_path = output_path.__truediv__("result.json")
    try:
        module = importlib.import_module(module_name)
        target = getattr(module, function_name)
        try:
            function = target.__kevro_original__
        except BaseException:
            function = target
        if input_kwargs_json is None:
            value = function()
        else:
            kwargs = json.loads(input_kwargs_json)
            if not isinstance(kwargs, dict):
                raise TypeError(
                    f"'{type(kwargs).__qualname__}' object cannot be converted to 'PyDict'")
            value = function(**kwargs)
        value_path = output_path.__truediv__("value.json")
        value_path.write_text(json.dumps(value), "utf-8")
        record = {
            "artifact_format": "json",
            "function_name": function_name,
            "module_path": module_name,
            "ok": True,
            "result_type": type(value).__name__,
            "signature": str(inspect.signature(function)),
            "value_path": str(value_path),
        }
        text = json.dumps(record, ensure_ascii=False, separators=(",", ":"), sort_keys=True)
        result_path.write_text(text, "utf-8")
    except BaseException as exc:
        import sys

        record = {"error": f"{type(exc).__qualname__}: {exc}", "error_type": type(exc).__name__,
                  "ok": False}
        result_path.write_text(json.dumps(record, ensure_ascii=False, separators=(",", ":")),
                               "utf-8")
        sys.exit(1)


def main() -> None:
    compare_materialize(__doc__, "kevro_bench_assets", ASSET, {
        "materialize_asset": (_kevro.materialize_asset, "native"),
        "pure Python": (materialize_py, "python"),
    }, ratio=("materialize_asset", "pure Python"))


if __name__ == "__main__":
    main()

"""Running out of memory inside the module gives MemoryError, never a crash.

Each case runs in a child interpreter that first builds what it needs (a key, a name or a JSON
text of BIG bytes) and performs the operation once, then caps its own address space a little
above what it holds (RLIMIT_AS) and performs the same operation again: the copy that the
module's C++ side makes of the big text no longer fits, and the allocation fails there. The
child then lifts the cap and performs the operation a third time, which must give what the
first time gave.
"""

from __future__ import annotations

import os
import sys
import textwrap

import pytest

from common import run_python

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs RLIMIT_AS and /proc"),
    # The sanitizer's allocator ends the process on a failed operator new instead of throwing.
    pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                       reason="AddressSanitizer aborts on allocation failure"),
]

BIG = 96 * 1024 * 1024
# What the interpreter may still allocate under the cap (its collector included): well below
# the size of any copy of the big text.
HEADROOM = 24 * 1024 * 1024

CHILD = r'''
import gc, json, os, resource, sys, tempfile
import _kevro

BIG = {big}
HEADROOM = {headroom}


def vm_bytes():
    with open("/proc/self/status", encoding="ascii") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("VmSize not found")


def innermost(traceback):
    while traceback.tb_next is not None:
        traceback = traceback.tb_next
    return traceback.tb_frame.f_code.co_name


def under_cap(operation):
    """Runs `operation` with the address space capped HEADROOM above what the process holds;
    returns the exception that ended it, or None. Garbage is collected first, so that memory
    freed by a late collection cannot make room under the cap."""
    for _ in range(3):
        gc.collect()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (vm_bytes() + HEADROOM, hard))
    try:
        operation()
    except BaseException as error:
        return error
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    return None


def after_failure():
    pass

{setup}

# The first result stays alive until the end, so that its memory is not there to be reused.
first = operation()
print("before:", describe(first), flush=True)
caught = under_cap(operation)
if caught is None:
    print("caught: nothing", flush=True)
else:
    print("caught:", type(caught).__name__, "in", innermost(caught.__traceback__), flush=True)
    caught = None
after_failure()
print("after:", describe(operation()), flush=True)
'''

# Each case defines operation() (the call into the module) and describe(result) (a short text
# that shows the result was whole); some define after_failure() to show what the failure left.
CASES = {
    # The parser's copy of the text that json.dumps gave for a partition key.
    "partitions parses a key": (
        """
        text = '"' + "k" * BIG + '"'
        json.dumps = lambda obj: text

        def operation():
            return _kevro.partitions(["x"])

        describe = repr
        """,
        "MemoryError",
        [],
        "Partitions(1 values)",
    ),
    # asset() copies the keys out of the marker into its metadata.
    "asset copies partition keys": (
        """
        marker = _kevro.partitions(["k" * BIG])

        def operation():
            return _kevro.asset(partitions={"d": marker})

        def describe(decorator):
            return type(decorator).__name__
        """,
        "MemoryError",
        [],
        "builtin_function_or_method",
    ),
    # The decorator gives the wrapper its own copy of the metadata.
    "decorator copies metadata": (
        """
        decorator = _kevro.asset(name="n", partitions={"d": _kevro.partitions(["k" * BIG])})

        def f():
            return 1

        def operation():
            return decorator(f)

        def describe(wrapper):
            return wrapper.__name__ + " " + str(wrapper())
        """,
        "MemoryError",
        [],
        "f 1",
    ),
    # __kevro_metadata__ writes each dimension's keys as compact JSON text.
    "metadata getter writes keys": (
        """
        def f():
            return 1

        wrapper = _kevro.asset(partitions={"d": _kevro.partitions(["k" * BIG])})(f)

        def operation():
            return wrapper.__kevro_metadata__

        def describe(metadata):
            return str(len(metadata["partitions"]["d"]["values_json"]))
        """,
        "MemoryError",
        [],
        str(BIG + 4),
    ),
    # inspect_modules reads each asset's metadata back through json.dumps and the parser.
    "inspect_modules parses metadata": (
        """
        folder = tempfile.mkdtemp()
        with open(os.path.join(folder, "mem_inspect_mod.py"), "w", encoding="utf-8") as module:
            module.write("import _kevro\\n\\n@_kevro.asset()\\ndef a():\\n    return 1\\n")
        sys.path.insert(0, folder)
        import mem_inspect_mod
        text = '{"k":"' + "k" * BIG + '"}'
        json.dumps = lambda obj: text

        def operation():
            return _kevro.inspect_modules(["mem_inspect_mod"])

        def describe(report):
            record = json.loads(report)["assets"][0]
            return record["function_name"] + " " + str(len(record["decorator_metadata"]["k"]))
        """,
        "MemoryError",
        [],
        f"a {BIG}",
    ),
    # materialize_asset copies the function's name into result.json's record; running out of
    # memory there is a failure of the run, recorded like any other.
    "materialize_asset records the name": (
        """
        import types
        module = types.ModuleType("mem_worker_mod")
        sys.modules["mem_worker_mod"] = module
        name = "f" * BIG
        setattr(module, name, lambda: 7)
        output = tempfile.mkdtemp()

        def operation():
            return _kevro.materialize_asset("mem_worker_mod", name, output)

        def read_record():
            with open(os.path.join(output, "result.json"), encoding="utf-8") as record:
                return json.load(record)

        def describe(result):
            record = read_record()
            return " ".join([str(result), str(record["ok"]), str(len(record["function_name"]))])

        def after_failure():
            record = read_record()
            print("record:", record["ok"], record["error_type"], repr(record["error"]))
        """,
        "SystemExit",
        ["record: False MemoryError 'MemoryError: '"],
        f"None True {BIG}",
    ),
}


@pytest.mark.parametrize("case", list(CASES))
def test_allocation_failure_raises_and_the_module_recovers(case):
    setup, error, middle, description = CASES[case]
    code = CHILD.format(big=BIG, headroom=HEADROOM, setup=textwrap.dedent(setup))
    result = run_python(code, timeout=300)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        f"before: {description}",
        f"caught: {error} in operation",
        *middle,
        f"after: {description}",
    ], result.stderr

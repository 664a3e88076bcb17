#!/usr/bin/env bash
# Runs the Python suite under CPython against a build of _kevro with AddressSanitizer and UBSan,
# then the in-process tests of the module once more with full allocation stacks, for leaks.
# The sanitizer runtimes are preloaded into the interpreter (child interpreters inherit them).
# Each process writes its sanitizer reports to a file of its own, and scripts/sanitizer_logs.py
# judges them: any memory error fails the run, and so does a leak whose allocation the module
# made; leaks of the interpreter's own allocations at exit are counted and ignored.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=.venv-cpython
scripts/bootstrap.sh "$venv" python3
build=build/asan-cpython
if [ ! -f "$build/build.ninja" ]; then
    "$venv/bin/cmake" -S . -B "$build" -G Ninja -DKEVRO_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DPython_EXECUTABLE="$PWD/$venv/bin/python" -DCMAKE_MAKE_PROGRAM="$PWD/$venv/bin/ninja" >/dev/null
fi
"$venv/bin/cmake" --build "$build" --target _kevro -j 2
runtimes="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
logs="$PWD/$build/sanitizer-logs"
rm -rf "$logs"
mkdir -p "$logs/suite" "$logs/leaks"
# handle_segv=0: the runner's tests crash jobs on purpose, and such a job must die by its signal.
common="quarantine_size_mb=0:abort_on_error=1:detect_leaks=1:handle_segv=0"
status=0
# The memory-growth checks measure resident memory and heap totals, which the sanitizer's
# allocator changes; leaks are this run's leak detector's to find, so those two files sit out,
# and so do the Celery tests, whose workers make the same calls into the module as local runs.
# The interpreter's frames carry no frame pointers, so the fast unwinder stops at the first of
# them: here a leak is the module's only when its own code asked for the memory.
LD_PRELOAD="$runtimes" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="$common:log_path=$logs/suite/asan" LSAN_OPTIONS="exitcode=0" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    PYTHONPATH="$PWD/$build:$PWD/src" "$venv/bin/python" -m pytest -q -p no:cacheprovider \
    --ignore=tests/python/test_leaks.py --ignore=tests/python/test_memory.py \
    --ignore=tests/python/test_celery.py "$@" ||
    status=$?
"$venv/bin/python" scripts/sanitizer_logs.py "$logs/suite" || status=1

# The leak pass: the tests that call the module in this process, with the full unwinder, so
# that an object the module made through the C API and never released is traced back to it.
# Twelve frames reach from the allocator through the C API into the module's caller.
if [ "$#" -eq 0 ]; then
    LD_PRELOAD="$runtimes" PYTHONMALLOC=malloc \
        ASAN_OPTIONS="$common:log_path=$logs/leaks/asan:fast_unwind_on_malloc=0:malloc_context_size=12" \
        LSAN_OPTIONS="exitcode=0" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        PYTHONPATH="$PWD/$build:$PWD/src" "$venv/bin/python" -m pytest -q -p no:cacheprovider \
        tests/python/test_decorator.py tests/python/test_wrapper.py tests/python/test_partitions.py \
        tests/python/test_from_python.py tests/python/test_inspect.py tests/python/test_worker.py \
        tests/python/test_binding.py tests/python/test_module.py || status=$?
    "$venv/bin/python" scripts/sanitizer_logs.py "$logs/leaks" || status=1
fi
exit "$status"

#!/usr/bin/env bash
# Runs the Python suite under CPython against a build of _kevro with AddressSanitizer and UBSan.
# The sanitizer runtimes are preloaded into the interpreter; leak detection is off, because the
# interpreter's own allocations at exit would drown what the module allocates.
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
# The memory-growth test measures resident memory, which the sanitizer's quarantine inflates.
LD_PRELOAD="$runtimes" PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:quarantine_size_mb=0:abort_on_error=1" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    PYTHONPATH="$PWD/$build:$PWD/src" "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"

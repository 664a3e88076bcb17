#!/usr/bin/env bash
# Runs every benchmark: the C++ JSON benchmark, then each Python benchmark under PyPy and under
# CPython. Benchmarks print figures and ratios; none of them fails on a timing.
set -euo pipefail
cd "$(dirname "$0")/.."
KEVRO_APT_EXTRA="libbenchmark-dev rapidjson-dev libsimdjson-dev ${KEVRO_APT_EXTRA:-}" \
    scripts/bootstrap.sh .venv pypy3
scripts/bootstrap.sh .venv-cpython python3

build=build/bench
if [ ! -f "$build/build.ninja" ]; then
    .venv/bin/cmake -S . -B "$build" -G Ninja -DKEVRO_PYTHON_MODULE=OFF -DKEVRO_BUILD_BENCH=ON \
        -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" >/dev/null
fi
.venv/bin/cmake --build "$build" -j 2
for exe in "$build"/bench/kevro_json_bench; do
    [ -x "$exe" ] && "$exe"
done

for script in bench/*.py; do
    for venv in .venv .venv-cpython; do
        echo "== $script under $("$venv/bin/python" -c 'import platform; print(platform.python_implementation())')"
        "$venv/bin/python" "$script"
    done
done

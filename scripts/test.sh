#!/usr/bin/env bash
# Runs every test: the C++ unit tests under ctest, then the Python suite under one interpreter.
#   scripts/test.sh [VENV [INTERPRETER]]     defaults: .venv pypy3
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${1:-.venv}
interpreter=${2:-pypy3}
scripts/bootstrap.sh "$venv" "$interpreter"

build=build/cpp-tests
if [ ! -f "$build/build.ninja" ]; then
    "$venv/bin/cmake" -S . -B "$build" -G Ninja -DKEVRO_PYTHON_MODULE=OFF -DKEVRO_BUILD_TESTS=ON \
        -DCMAKE_MAKE_PROGRAM="$PWD/$venv/bin/ninja" >/dev/null
fi
"$venv/bin/cmake" --build "$build" -j 2
"$venv/bin/ctest" --test-dir "$build" --output-on-failure -j 2

"$venv/bin/python" -m pytest -q

#!/usr/bin/env bash
# Runs every C++ test binary under valgrind's memory checker: any memory error, and any definite
# or indirect leak, fails the run. Each gtest suite runs in a valgrind process of its own, two
# at a time, so that the long float suites do not run one after the other; kevro-json runs
# under valgrind through its ctest script.
#   scripts/valgrind-tests.sh [VENV]     default: .venv (for cmake and ninja)
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${1:-.venv}
jobs=2

if ! command -v valgrind >/dev/null; then
    echo "valgrind-tests.sh: valgrind is not installed" >&2
    exit 2
fi
if [ ! -x "$venv/bin/cmake" ] || [ ! -x "$venv/bin/ninja" ]; then
    echo "valgrind-tests.sh: no cmake and ninja in $venv (run scripts/bootstrap.sh first)" >&2
    exit 2
fi

build=build/cpp-valgrind
if [ ! -f "$build/build.ninja" ]; then
    "$venv/bin/cmake" -S . -B "$build" -G Ninja -DKEVRO_PYTHON_MODULE=OFF -DKEVRO_BUILD_TESTS=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_MAKE_PROGRAM="$PWD/$venv/bin/ninja" >/dev/null
fi
"$venv/bin/cmake" --build "$build" -j "$jobs"

logs="$build/valgrind-logs"
rm -rf "$logs"
mkdir -p "$logs"
# nouserintercepts: the allocation-failure tests bring their own operator new, which must stay
# in charge (valgrind still sees the malloc and free under it).
options="--leak-check=full --errors-for-leak-kinds=definite,indirect --track-origins=yes --quiet"
options+=" --soname-synonyms=somalloc=nouserintercepts"
export KEVRO_VALGRIND="valgrind --error-exitcode=1 $options"
export KEVRO_VALGRIND_LOGS="$PWD/$logs"

# One suite of one binary: "BINARY SUITE". Prints one line, and the log when the suite fails.
run_suite() {
    local binary=$1 suite=$2
    local log="$KEVRO_VALGRIND_LOGS/$(basename "$binary")-${suite//\//_}.log"
    local start=$SECONDS status=0
    $KEVRO_VALGRIND "$binary" --gtest_filter="$suite.*" >"$log" 2>&1 || status=$?
    if [ "$status" -ne 0 ]; then
        cat "$log"
        echo "FAILED $(basename "$binary") $suite (exit $status, $((SECONDS - start)) s)"
        return 1
    fi
    echo "ok     $(basename "$binary") $suite ($((SECONDS - start)) s)"
}
export -f run_suite

start=$SECONDS
status=0
# Suite lines are the unindented ones of --gtest_list_tests ("Suite." or "Prefix/Suite.").
for binary in $(find "$build/tests/cpp" -maxdepth 1 -type f -executable | sort); do
    "$binary" --gtest_list_tests | sed -n 's/^\([^ #][^ ]*\)\.\( .*\)\{0,1\}$/\1/p' |
        sed "s#^#$binary #"
done | xargs -P "$jobs" -L 1 bash -c 'run_suite "$@"' _ || status=1

# The command-line tool, through its own test script with valgrind in front of it: an error
# changes the tool's exit status (99, apart from its own 1 and 2) and its standard error, both
# of which the script compares.
wrapper="$build/kevro-json-valgrind"
printf '#!/bin/sh\nexec valgrind --error-exitcode=99 %s "%s" "$@"\n' "$options" \
    "$PWD/$build/kevro-json" >"$wrapper"
chmod +x "$wrapper"
tool_start=$SECONDS
if "$venv/bin/cmake" -DTOOL="$PWD/$wrapper" -DWORK="$PWD/$build/valgrind-tool-test" \
    -P tests/cpp/kevro_json_tool_test.cmake >"$logs/kevro-json.log" 2>&1; then
    echo "ok     kevro-json ($((SECONDS - tool_start)) s)"
else
    cat "$logs/kevro-json.log"
    echo "FAILED kevro-json"
    status=1
fi

echo "valgrind: $((SECONDS - start)) s in all"
if [ "$status" -ne 0 ]; then
    echo "valgrind: errors found (logs in $logs)" >&2
fi
exit "$status"

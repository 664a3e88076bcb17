#!/bin/sh
# Builds the JSON fuzz target with clang and runs it for a bounded time (default 60 seconds),
# seeded with the shared conformance files. Prints the number of executions at the end.
# Usage: scripts/fuzz.sh [seconds]
set -eu
seconds="${1:-60}"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/json-fuzz"
seeds_src="$root/../shared/testdata/json-conformance/test_parsing"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKEVRO_PYTHON_MODULE=OFF -DKEVRO_FUZZ=ON >/dev/null
cmake --build "$build" --target kevro_json_fuzz -j2

# The corpus grows in the build directory; the seeds are copied fresh on each run.
mkdir -p "$build/corpus" "$build/seeds" "$build/findings"
if [ -d "$seeds_src" ]; then
    cp "$seeds_src"/*.json "$build/seeds/"
else
    echo "fuzz.sh: no conformance files at $seeds_src; starting from an empty corpus" >&2
fi

log="$build/fuzz.log"
status=0
"$build/fuzz/kevro_json_fuzz" "$build/corpus" "$build/seeds" \
    -dict="$root/fuzz/json.dict" -max_total_time="$seconds" -max_len=4096 -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$build/findings/" \
    >"$log" 2>&1 || status=$?
tail -n 25 "$log"
executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")"
echo "fuzz.sh: ${executions:-unknown} executions in ${seconds} s, exit status $status"
if [ "$status" -ne 0 ]; then
    echo "fuzz.sh: findings in $build/findings" >&2
fi
exit "$status"

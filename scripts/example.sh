#!/usr/bin/env bash
# The main job on the bundled example project: set up, discover the shop's assets, then
# materialize one partition of one asset with the worker and show the two files it wrote.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh .venv pypy3
py="$PWD/.venv/bin/python"
out="$PWD/example-out"
cd examples

echo "== discovery: python -m kevro.inspect shop.catalog shop.orders shop.inventory shop.reports"
mkdir -p "$out"
"$py" -m kevro.inspect shop.catalog shop.orders shop.inventory shop.reports --pretty >"$out/report.json"
head -n 40 "$out/report.json"
count=$("$py" -c 'import json, sys; print(len(json.load(open(sys.argv[1]))["assets"]))' "$out/report.json")
echo "   ... ($count asset records; the whole report is in $out/report.json)"

echo
echo "== materialization: python -m kevro.worker shop.orders raw_orders $out/raw_orders/2024-03-02"
"$py" -m kevro.worker shop.orders raw_orders "$out/raw_orders/2024-03-02" --kwargs '{"day": "2024-03-02"}'
for f in value.json result.json; do
    echo "-- $out/raw_orders/2024-03-02/$f"
    cat "$out/raw_orders/2024-03-02/$f"
    echo
done

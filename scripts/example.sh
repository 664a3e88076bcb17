#!/usr/bin/env bash
# The main job on the bundled example project: set up, then materialize every asset of the shop
# with `python -m kevro run` (dependency order, one job per partition, warm workers; a second
# run finds every job up to date) and show what it wrote and what a rerun would do.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh .venv pypy3
py="$PWD/.venv/bin/python"
out="$PWD/example-out"
modules="shop.catalog shop.orders shop.inventory shop.reports"
cd examples

echo "== python -m kevro list $modules"
"$py" -m kevro list $modules

echo
echo "== python -m kevro run $modules --out $out"
"$py" -m kevro run $modules --out "$out"

echo
echo "== $out/shop%2Fdashboard/value.json"
cat "$out/shop%2Fdashboard/value.json"
echo
echo
echo "== python -m kevro runs --out $out"
"$py" -m kevro runs --out "$out"

echo
echo "== python -m kevro status $modules --out $out --partition day=2024-03-01"
"$py" -m kevro status $modules --out "$out" --partition day=2024-03-01

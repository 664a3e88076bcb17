#!/usr/bin/env bash
# The main job on the bundled example project: set up, then materialize every asset of the shop
# with `kevro run` (dependency order, one job per partition, warm workers; a second
# run finds every job up to date) and show what it wrote and what a rerun would do.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/bootstrap.sh .venv pypy3
kevro="$PWD/.venv/bin/kevro"
out="$PWD/example-out"
modules="shop.catalog shop.orders shop.inventory shop.reports"
cd examples

echo "== kevro list $modules"
"$kevro" list $modules

echo
echo "== kevro run $modules --out $out"
"$kevro" run $modules --out "$out"

echo
echo "== $out/shop%2Fdashboard/value.json"
cat "$out/shop%2Fdashboard/value.json"
echo
echo
echo "== kevro runs --out $out"
"$kevro" runs --out "$out"

echo
echo "== kevro status $modules --out $out --partition day=2024-03-01"
"$kevro" status $modules --out "$out" --partition day=2024-03-01

echo
echo "== kevro show shop/dashboard --out $out"
"$kevro" show shop/dashboard --out "$out"

#!/usr/bin/env bash
# Regenerates docs/report.png, the README's picture of `kevro report`: runs the bundled example
# into a scratch folder and takes a headless Chromium screenshot of the report that the run
# leaves, with the details of one asset open.
#   scripts/screenshot.sh [OUTPUT.png]     default: docs/report.png
set -euo pipefail
cd "$(dirname "$0")/.."
target=${1:-docs/report.png}
scripts/bootstrap.sh .venv pypy3
py="$PWD/.venv/bin/python"
scratch=$(mktemp -d)
chromium_pid=""
cleanup() {
    # Every process of the browser's session, then the scratch folder with its profile.
    if [ -n "$chromium_pid" ]; then kill -KILL -- "-$chromium_pid" 2>/dev/null || true; fi
    rm -rf "$scratch"
}
trap cleanup EXIT

modules="shop.catalog shop.orders shop.inventory shop.reports"
(cd examples && "$py" -m kevro run $modules --out "$scratch/out" --jobs 2 >/dev/null 2>&1)
page="$scratch/out/report.html"
# The details shown: those of shop/daily_revenue.
index=$(grep -o 'id="asset-[0-9]*" data-index="[0-9]*" data-asset="shop/daily_revenue"' "$page" |
    sed 's/^id="asset-\([0-9]*\)".*/\1/')
mkdir -p "$(dirname "$target")"
setsid chromium --headless --no-sandbox --disable-gpu --no-first-run --hide-scrollbars \
    --user-data-dir="$scratch/profile" --window-size=1400,860 --screenshot="$PWD/$target" \
    "file://$page#asset-$index" >/dev/null 2>&1 &
chromium_pid=$!
if ! timeout 120 tail --pid="$chromium_pid" -f /dev/null; then
    echo "screenshot: chromium did not finish within 120 s" >&2
    exit 1
fi
wait "$chromium_pid"
chromium_pid=""
echo "screenshot: $target"

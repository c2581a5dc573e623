#!/usr/bin/env bash
# Takes the README's pictures of the status page from the real program: two simulated boxes
# (tools/vellumetric-sim) on 127.0.0.2 and 127.0.0.3, a headless hub combining them and serving
# its status page on a free loopback port, and headless Chromium opening the page at laptop width
# (1280 CSS pixels) and at phone width (390). The page gathers SECONDS of data first (default 40);
# then the second box is stopped, so the pictures show a lost box beside a connected one.
# Written to docs/status-page.png and docs/status-page-phone.png.
#
#   scripts/screenshot_page.sh [SECONDS]
#
# The browser contacts nothing outside loopback (tests/e2e/devtools.py lists its flags).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=${TESSAMER_BUILD_DIR:-build}
seconds=${1:-40}
if ! command -v chromium >/dev/null; then bash scripts/setup.sh; fi
cmake --build "$build" -j 2 --target tessamer vellumetric-sim
mkdir -p docs
python3 tests/e2e/status_page_test.py --tessamer "$build/src/app/tessamer" \
  --sim "$build/tools/vellumetric-sim/vellumetric-sim" --screenshots docs --seconds "$seconds"

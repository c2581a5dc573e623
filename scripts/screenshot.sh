#!/usr/bin/env bash
# Takes the README's picture of the operator window: runs the demo (three simulated boxes on
# loopback) under a virtual X display, presses "Connect", waits until the hub has published data,
# and saves the window as a PNG (default docs/demo-window.png).
# The hub's servers listen on free ports, so nothing else on this machine is disturbed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
out=${1:-docs/demo-window.png}
build=${TESSAMER_BUILD_DIR:-build}
if ! command -v xvfb-run >/dev/null; then bash scripts/setup.sh; fi
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target tessamer tessamer-window
log=$(mktemp)
trap 'rm -f "$log"' EXIT
mkdir -p "$(dirname "$out")"
rm -f "$out"
case "$out" in /*) picture=$out ;; *) picture=$root/$out ;; esac
TESSAMER_SCREENSHOT="$picture" timeout 90 \
  xvfb-run -a -s "-screen 0 1024x768x24" \
  "$build/src/app/tessamer" --demo --default-box 127.0.0.1 --data-port 0 --utility-port 0 \
  --log "$log"
if [ ! -s "$out" ]; then
  echo "screenshot.sh: no picture was taken; the log says:" >&2
  cat "$log" >&2
  exit 1
fi
echo "saved $out"

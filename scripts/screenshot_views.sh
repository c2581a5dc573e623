#!/usr/bin/env bash
# Takes the README's pictures of the "Boxes and viewers" and "Live data" windows with real data:
# two simulated boxes (tools/vellumetric-sim) on 127.0.0.2 and 127.0.0.3 at high ports, the window
# under a virtual X display with those two rows stored in a settings folder of its own, and one
# viewer reading the data port. The second box is stopped partway, so the pictures show a lost box
# beside a connected one. Defaults: docs/boxes-and-viewers.png and docs/live-data.png.
#
# With --sample first, the windows are fed made-up snapshots instead (tests/app/health_pictures.cpp):
# ten minutes of two boxes, the second lost for the last ninety seconds.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
sample=false
if [ "${1:-}" = --sample ]; then sample=true; shift; fi
boxes_out=${1:-docs/boxes-and-viewers.png}
live_out=${2:-docs/live-data.png}
build=${TESSAMER_BUILD_DIR:-build}
seconds=${TESSAMER_SCREENSHOT_SECONDS:-60}   # how long the two windows gather data
lose_after=${TESSAMER_LOSE_AFTER:-45}        # seconds after the start that the second box goes
box_port=47311 box_utility_port=47319 data_port=47321 utility_port=47329
if ! command -v xvfb-run >/dev/null; then bash scripts/setup.sh; fi
if $sample; then
  cmake --build "$build" -j 2 --target health_pictures
  mkdir -p "$(dirname "$boxes_out")" "$(dirname "$live_out")"
  xvfb-run -a -s "-screen 0 1280x1024x24" "$build/tests/health_pictures" "$boxes_out" "$live_out"
  echo "saved $boxes_out and $live_out"
  exit 0
fi
cmake --build "$build" -j 2 --target tessamer tessamer-window vellumetric-sim
sim=$build/tools/vellumetric-sim/vellumetric-sim

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# The settings' value of an address a.b.c.d: its four bytes in reverse order.
stored() { echo $(( ($4 << 24) | ($3 << 16) | ($2 << 8) | $1 )); }
mkdir -p "$work/config/Vellumetric Systems"
printf '[IP]\nBox_0=%s\nBox_1=%s\n' "$(stored 127 0 0 2)" "$(stored 127 0 0 3)" \
  >"$work/config/Vellumetric Systems/Tessamer.conf"

"$sim" --boxes 1 --address 127.0.0.2 --data-port $box_port --utility-port $box_utility_port \
  --rate 2 --serial VM-20417 >"$work/sim-1.log" 2>&1 &
pids+=($!)
"$sim" --boxes 1 --address 127.0.0.3 --data-port $box_port --utility-port $box_utility_port \
  --rate 2 --serial VM-20418 >"$work/sim-2.log" 2>&1 &
second_box=$!
pids+=($second_box)
# One viewer: connects once the hub's data server listens and reads until the end.
(for _ in $(seq 1 100); do
   if exec 3<>"/dev/tcp/127.0.0.1/$data_port"; then cat <&3 >/dev/null; exit 0; fi 2>/dev/null
   sleep 0.2
 done) &
pids+=($!)
(sleep "$lose_after"; kill "$second_box" 2>/dev/null || true) &
pids+=($!)

mkdir -p "$(dirname "$boxes_out")" "$(dirname "$live_out")"
rm -f "$boxes_out" "$live_out"
absolute() { case "$1" in /*) echo "$1" ;; *) echo "$root/$1" ;; esac; }
XDG_CONFIG_HOME="$work/config" \
TESSAMER_SCREENSHOT_BOXES=$(absolute "$boxes_out") \
TESSAMER_SCREENSHOT_LIVE_DATA=$(absolute "$live_out") \
TESSAMER_SCREENSHOT_SECONDS=$seconds \
  timeout $((seconds + 60)) xvfb-run -a -s "-screen 0 1280x1024x24" \
  "$build/src/app/tessamer" --default-box 127.0.0.1 --box-port $box_port \
  --box-utility-port $box_utility_port --data-port $data_port --utility-port $utility_port \
  --log "$work/hub.log"
if [ ! -s "$boxes_out" ] || [ ! -s "$live_out" ]; then
  echo "screenshot_views.sh: the pictures were not taken; the log says:" >&2
  cat "$work/hub.log" >&2
  exit 1
fi
echo "saved $boxes_out and $live_out"

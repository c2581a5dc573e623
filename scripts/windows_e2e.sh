#!/usr/bin/env bash
# The Windows programs end to end under Wine: vellumetric-sim.exe serves two boxes on loopback,
# tessamer.exe --headless merges them and serves a viewer (a reader on this side) the combined
# header and data, a second hub on the taken data port ends with status 4, Ctrl-C (SIGINT, which
# Wine hands to the console handler as Ctrl-C) ends the hub with status 0, --version prints
# the version, and --record and export (this build has no recording) stop with a line, status 2.
#   scripts/windows_e2e.sh BUILD_FOLDER     (the caller sets WINEPREFIX; loopback and high ports only)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
wine=${TESSAMER_WINE64:-/usr/lib/wine/wine64}
export WINEDEBUG=-all
hub_exe=$build/src/app/tessamer.exe
sim_exe=$build/tools/vellumetric-sim/vellumetric-sim.exe
work=$build/e2e
rm -rf "$work"
mkdir -p "$work"

box_data=47101 box_utility=47109 data=47110 utility=47119 second_utility=47129
version=$(sed -n 's/^project(tessamer VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")

pids=()
cleanup() { for pid in "${pids[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done; }
trap cleanup EXIT
fail() {
  echo "windows e2e: $*" >&2
  for file in "$work"/*.out "$work"/*.err; do echo "--- $file" >&2; cat "$file" >&2; done
  exit 1
}
# Waits up to SECONDS for a line matching PATTERN in FILE.
wait_for() {  # file pattern seconds
  local deadline=$((SECONDS + $3))
  until grep -q -- "$2" "$1" 2>/dev/null; do
    [ $SECONDS -lt "$deadline" ] || return 1
    sleep 0.2
  done
}

echo "-- tessamer.exe --version, and without --headless"
text=$("$wine" "$hub_exe" --version | tr -d '\r')
[ "$text" = "tessamer $version" ] || fail "--version printed '$text'"
status=0
"$wine" "$hub_exe" >"$work/window.out" 2>"$work/window.err" || status=$?
[ "$status" = 2 ] || fail "without --headless the status was $status, not 2"
grep -q "has no window" "$work/window.err" || fail "without --headless: no word of the missing window"

echo "-- tessamer.exe --record and export: no recording in this build"
status=0
"$wine" "$hub_exe" --headless --default-box 127.0.0.1 --box 127.0.0.2 --record "$work/job.sqlite" \
  >"$work/record.out" 2>"$work/record.err" || status=$?
[ "$status" = 2 ] || fail "--record: the status was $status, not 2"
grep -q "has no job recording" "$work/record.err" || fail "--record: no word of the missing recording"
[ ! -e "$work/job.sqlite" ] || fail "--record: a file was made"
status=0
"$wine" "$hub_exe" export "$work/job.sqlite" >"$work/export.out" 2>"$work/export.err" || status=$?
[ "$status" = 2 ] || fail "export: the status was $status, not 2"
grep -q "has no job recording" "$work/export.err" || fail "export: no word of the missing recording"

echo "-- vellumetric-sim.exe: two boxes"
mkfifo "$work/sim.in"
"$wine" "$sim_exe" --boxes 2 --address 127.0.0.2 --data-port $box_data --utility-port $box_utility \
  --rate 20 <"$work/sim.in" >"$work/sim.out" 2>"$work/sim.err" &
sim=$!
pids+=("$sim")
exec 3>"$work/sim.in"
python3 - "$box_data" <<'PY' || fail "the simulated boxes did not listen"
import socket, sys, time
deadline = time.monotonic() + 60
while True:
    try:
        socket.create_connection(("127.0.0.3", int(sys.argv[1])), timeout=2).close()
        break
    except OSError:
        if time.monotonic() > deadline: sys.exit(1)
        time.sleep(0.2)
PY
kill -0 "$sim" 2>/dev/null || fail "the simulator ended (is a port taken?)"

echo "-- tessamer.exe --headless against them"
"$wine" "$hub_exe" --headless --default-box 127.0.0.1 --box 127.0.0.2:$box_data \
  --box 127.0.0.3:$box_data --box-utility-port $box_utility --data-port $data \
  --utility-port $utility --log "$work/hub-log.txt" >"$work/hub.out" 2>"$work/hub.err" &
hub=$!
pids+=("$hub")
wait_for "$work/hub.out" "^listening data=$data utility=$utility" 60 || fail "the hub did not listen"
wait_for "$work/hub.out" "^headers-complete" 60 || fail "the boxes' headers did not come"

python3 - "$data" "$work/viewer.out" <<'PY' || fail "the viewer did not get the combined header and data"
import socket, sys
port, out = int(sys.argv[1]), sys.argv[2]
viewer = socket.create_connection(("127.0.0.1", port), timeout=30)
text = b""
while True:
    lines = text.split(b"\r\n")
    names = [l for l in lines if l.startswith(b"#") and b"_0" in l and b"_1" in l and b"Min" not in l]
    data = [l for l in lines[:-1] if l[:1].isdigit()]
    if names and len(data) >= 3:
        break
    chunk = viewer.recv(4096)
    if not chunk:
        break
    text += chunk
open(out, "wb").write(text)
sys.exit(0 if names and len(data) >= 3 else 1)
PY

echo "-- a second tessamer.exe on the taken data port"
status=0
"$wine" "$hub_exe" --headless --default-box 127.0.0.1 --box 127.0.0.2:$box_data --data-port $data \
  --utility-port $second_utility --log "$work/second-log.txt" >"$work/second.out" \
  2>"$work/second.err" || status=$?
[ "$status" = 4 ] || fail "the second hub ended with $status, not 4"
grep -q "could not be started on port: $data" "$work/second.err" || fail "the second hub did not say why"
sed -n 's/^/   /p' "$work/second.err" | tr -d '\r'

echo "-- Ctrl-C ends the hub"
kill -INT "$hub"
status=0
wait "$hub" || status=$?
[ "$status" = 0 ] || fail "the hub ended with $status after Ctrl-C, not 0"
grep -q "^stopped" "$work/hub.out" || fail "the hub did not report its stop"

kill -0 "$sim" 2>/dev/null || fail "the simulator ended early"
echo quit >&3
exec 3>&-
status=0
wait "$sim" || status=$?
[ "$status" = 0 ] || fail "the simulator ended with $status after quit"
pids=()
echo "windows e2e: passed"

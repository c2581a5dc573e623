#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test.
#   scripts/test.sh               everything CI runs: the plain build, ASan+UBSan, TSan, the
#                                 fuzzers, the Debian package, a three-minute soak of the real
#                                 programs under injected faults (scripts/soak.py --seed 1),
#                                 and the Windows cross build with its tests under Wine and its
#                                 programs end to end
#   scripts/test.sh --no-windows  the same without the Windows stage
#   scripts/test.sh --quick       the plain build and its tests only
#   scripts/test.sh --soak-minutes N  the soak runs N minutes (default 3; 0 leaves it out)
#   (--windows is still accepted: the Windows stage runs by default)
# Build folders: build/ (plain), build-asan/, build-tsan/, build-fuzz/, build-win/, build-package/.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

quick=0
windows=1
soak_minutes=3
while [ $# -gt 0 ]; do
  arg=$1; shift
  case "$arg" in
    --soak-minutes)
      [[ "${1:-}" =~ ^[0-9]+$ ]] || { echo "test.sh: --soak-minutes takes minutes" >&2; exit 2; }
      soak_minutes=$1; shift ;;
    --quick) quick=1 ;;
    --windows) windows=1 ;;
    --no-windows) windows=0 ;;
    -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
    *) echo "test.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

bash scripts/setup.sh

jobs=$(nproc)
# Let the compiler cache serve clones of the project in other folders (CI builds a fresh clone).
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
supp="$root/scripts/sanitizers"

configure_and_build() {  # folder, cmake options...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

run_tests() {  # folder
  (cd "$1" && ctest --output-on-failure -j "$jobs" --timeout 300)
}

echo "== plain build"
configure_and_build build
run_tests build
[ "$quick" = 1 ] && exit 0

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
configure_and_build build-asan -DTESSAMER_SANITIZE=address -DTESSAMER_BUILD_BENCH=OFF
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
LSAN_OPTIONS="suppressions=$supp/lsan.supp" \
  run_tests build-asan

echo "== ThreadSanitizer"
# Without the window: Debian's Qt is not built for ThreadSanitizer (its races are suppressed anyway),
# and the window's threads meet the hub only through the bridge, whose tests run here.
configure_and_build build-tsan -DTESSAMER_SANITIZE=thread -DTESSAMER_BUILD_BENCH=OFF \
  -DTESSAMER_BUILD_APP=OFF
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$supp/tsan.supp" \
  run_tests build-tsan

echo "== fuzzers"
if compgen -G "fuzz/*_fuzz.cpp" >/dev/null; then
  fuzzers=()
  for source in fuzz/*_fuzz.cpp; do fuzzers+=("$(basename "$source" .cpp)"); done
  CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTESSAMER_FUZZ=ON -DTESSAMER_SANITIZE=address -DTESSAMER_BUILD_APP=OFF \
    -DTESSAMER_BUILD_BENCH=OFF >/dev/null
  cmake --build build-fuzz -j "$jobs" --target "${fuzzers[@]}"
  # FUZZ_SECONDS is the whole stage's budget, shared out among the fuzzers.
  seconds=$(( ${FUZZ_SECONDS:-60} / ${#fuzzers[@]} ))
  [ "$seconds" -ge 1 ] || seconds=1
  for source in fuzz/*_fuzz.cpp; do
    name=$(basename "$source" .cpp)
    corpus="fuzz/corpus/$name"
    work=$(mktemp -d)
    [ -d "$corpus" ] && cp -r "$corpus"/. "$work"/
    echo "-- $name"
    ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
      "build-fuzz/fuzz/$name" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -print_final_stats=1 "$work" 2>&1 | tail -n 12
    status=${PIPESTATUS[0]}
    rm -rf "$work"
    [ "$status" = 0 ] || { echo "fuzzer $name failed" >&2; exit 1; }
  done
fi


# ---- Debian package ------------------------------------------------------------------------------
# Builds the .deb and checks it: lintian (an error fails), the unpacked programs run, the service
# unit passes systemd-analyze verify, the desktop entry validates.
echo "== package"
bash scripts/package.sh --check
# ---- end of the Debian package -------------------------------------------------------------------


# ---- soak ------------------------------------------------------------------------------------------
# The plain build's programs, eight simulated boxes and reference sinks under injected faults for
# --soak-minutes (default 3) with a fixed seed: every record once, every fault seen in time, no
# growth. Its table and JSON go to build/soak/.
if [ "$soak_minutes" -gt 0 ]; then
  echo "== soak ($soak_minutes min)"
  soak_start=$SECONDS
  rm -rf build/soak
  python3 scripts/soak.py --minutes "$soak_minutes" --seed 1 --build build --out build/soak
  echo "soak stage: $((SECONDS - soak_start)) s"
fi
# ---- end of soak -----------------------------------------------------------------------------------


# ---- Windows ---------------------------------------------------------------------------------------
# The MinGW-w64 cross build; its test programs and its programs end to end under Wine, in a Wine
# prefix of the build folder's own (made on first use, about a minute). Left out by --no-windows.
if [ "$windows" = 1 ]; then
echo "== Windows (MinGW-w64 under Wine)"
windows_start=$SECONDS
configure_and_build build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DTESSAMER_BUILD_BENCH=OFF
(
  export WINEPREFIX="$root/build-win/wine-prefix" WINEDEBUG=-all
  wineserver=/usr/lib/wine/wineserver
  mkdir -p "$WINEPREFIX"  # the server needs the folder; the first program fills it
  "$wineserver" -p || true  # one server for every program of the stage (or the one running)
  trap '"$wineserver" -k 2>/dev/null || true' EXIT
  /usr/lib/wine/wine64 build-win/src/app/tessamer.exe --version >/dev/null  # makes the prefix once
  (cd build-win && ctest --output-on-failure -j "$jobs" --timeout 150)
  bash scripts/windows_e2e.sh build-win
)
echo "Windows stage: $((SECONDS - windows_start)) s"
fi
# ---- end of Windows --------------------------------------------------------------------------------

echo "all test runs passed"

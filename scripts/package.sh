#!/usr/bin/env bash
# Builds the two Debian packages in build-package/ and prints their paths on the last two lines:
# tessamer (the hub without Qt, vellumetric-sim, the service) and tessamer-window (the window).
#   scripts/package.sh           build the packages (Release, with Debian's hardening flags)
#   scripts/package.sh --check   build them, then check them: lintian on each (an error or a
#                                warning fails), the unpacked programs run, the hub links no Qt,
#                                the unit verifies against the unpacked tree, the desktop entry
#                                validates, and scripts/package_test.sh checks the fields, the
#                                contents and the maintainer scripts
# Only the programs and their man pages are built; the compiler cache makes a rebuild cheap.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

check=0
for arg in "$@"; do
  case "$arg" in
    --check) check=1 ;;
    -h|--help) sed -n '2,10p' "$0"; exit 0 ;;
    *) echo "package.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

bash scripts/setup.sh
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
dir=build-package

# What dpkg-buildflags gives Debian's own packages with hardening=+all, less the debug
# information (the packages are stripped) and the file-prefix map.
release_flags="-O2 -DNDEBUG -D_FORTIFY_SOURCE=2 -fstack-protector-strong"
release_flags+=" -fstack-clash-protection -fcf-protection"
link_flags="-Wl,-z,relro -Wl,-z,now"

fail() {
  echo "package.sh: $*" >&2
  exit 1
}

build_packages() {
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSAMER_BUILD_BENCH=OFF \
    "-DCMAKE_CXX_FLAGS_RELEASE=$release_flags" "-DCMAKE_EXE_LINKER_FLAGS=$link_flags" >/dev/null
  cmake --build "$dir" -j "$(nproc)" \
    --target tessamer tessamer-window vellumetric-sim tessamer_package_files >&2
  rm -f "$dir"/tessamer_*.deb "$dir"/tessamer-window_*.deb
  local log="$dir/cpack.log"
  if ! (cd "$dir" && cpack -G DEB) >"$log" 2>&1; then
    cat "$log" >&2
    return 1
  fi
}

# The unit as packaged, checked by systemd-analyze with its programs taken from the unpacked tree
# (the packages are not installed here) and its man page looked up there. Any remark fails.
verify_unit() {  # unpacked tree
  local tree=$1 unit=$1/usr/lib/systemd/system/tessamer.service program
  for program in $(sed -n 's/^Exec[A-Za-z]*=\([^ ]*\).*/\1/p' "$unit" | sort -u); do
    case "$program" in
      /usr/bin/*) [ -x "$tree$program" ] || fail "the unit starts $program, which is not in the package" ;;
      *) [ -x "$program" ] || fail "the unit starts $program, which is not on this system" ;;
    esac
  done
  grep -q -- '--config /etc/tessamer/tessamer.conf' "$unit" &&
    [ -f "$tree/etc/tessamer/tessamer.conf" ] || fail "the unit's configuration is not in the package"
  if ! command -v systemd-analyze >/dev/null; then
    echo "package.sh: no systemd-analyze, the unit is not verified" >&2
    return 0
  fi
  mkdir "$tree/verify"
  sed "s#^\(Exec[A-Za-z]*=\)/usr/bin/#\1$tree/usr/bin/#" "$unit" >"$tree/verify/tessamer.service"
  local remarks
  remarks=$(MANPATH="$tree/usr/share/man" \
            systemd-analyze verify "$tree/verify/tessamer.service" 2>&1) &&
    [ -z "$remarks" ] || fail "systemd-analyze verify: ${remarks:-failed}"
}

# The unpacked programs, without a display as a service has none.
check_programs() {  # unpacked tree of both packages, version
  local tree=$1 version=$2 settings
  local -a run=(env -u DISPLAY -u WAYLAND_DISPLAY)
  [ "$("${run[@]}" "$tree/usr/bin/tessamer" --version)" = "tessamer $version" ] ||
    fail "the unpacked tessamer does not say version $version"
  [ "$("${run[@]}" "$tree/usr/bin/tessamer-window" --version)" = "tessamer $version" ] ||
    fail "the unpacked tessamer-window does not say version $version"
  "${run[@]}" "$tree/usr/bin/vellumetric-sim" --help >/dev/null
  settings=$("${run[@]}" "$tree/usr/bin/tessamer" --check-config \
             --config "$tree/etc/tessamer/tessamer.conf") ||
    fail "tessamer --check-config does not take the shipped configuration"
  grep -qx 'keep-trying = 5' <<<"$settings" ||
    fail "the shipped configuration does not keep trying: $settings"
  if LC_ALL=C ldd "$tree/usr/bin/tessamer" | grep -i 'qt'; then
    fail "the hub program links Qt"
  fi
}

check_packages() {  # hub .deb, window .deb
  local hub=$1 window=$2 deb version
  for deb in "$hub" "$window"; do
    echo "-- lintian $(basename "$deb")" >&2
    lintian --fail-on error,warning --display-info "$deb" 2> >(grep -v 'root privileges' >&2) >&2
  done
  tree=$(mktemp -d)
  trap 'rm -rf "$tree"' EXIT
  dpkg -x "$hub" "$tree"
  dpkg -x "$window" "$tree"
  version=$(dpkg-deb -f "$hub" Version)
  check_programs "$tree" "$version"
  verify_unit "$tree"
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$tree/usr/share/applications/tessamer-window.desktop"
  fi
  bash scripts/package_test.sh "$hub" "$window"
  echo "-- package checks passed" >&2
}

build_packages
hub=$(ls "$dir"/tessamer_*.deb)
window=$(ls "$dir"/tessamer-window_*.deb)
if [ "$check" = 1 ]; then check_packages "$hub" "$window"; fi
echo "$hub"
echo "$window"

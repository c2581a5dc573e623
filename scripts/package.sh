#!/usr/bin/env bash
# Builds the Debian package of tessamer and vellumetric-sim in build-package/ and prints its path
# on the last line.
#   scripts/package.sh           build the package (Release, with Debian's hardening flags)
#   scripts/package.sh --check   build it, then check it: lintian (an error fails), the unpacked
#                                programs run, the service unit verifies against the unpacked
#                                tree, the desktop entry validates
# Only the two programs and their man pages are built; the compiler cache makes a rebuild cheap.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

check=0
for arg in "$@"; do
  case "$arg" in
    --check) check=1 ;;
    -h|--help) sed -n '2,8p' "$0"; exit 0 ;;
    *) echo "package.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

bash scripts/setup.sh
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
dir=build-package

# What dpkg-buildflags gives Debian's own packages with hardening=+all, less the debug
# information (the package is stripped) and the file-prefix map.
release_flags="-O2 -DNDEBUG -D_FORTIFY_SOURCE=2 -fstack-protector-strong"
release_flags+=" -fstack-clash-protection -fcf-protection"
link_flags="-Wl,-z,relro -Wl,-z,now"

fail() {
  echo "package.sh: $*" >&2
  exit 1
}

build_package() {
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSAMER_BUILD_BENCH=OFF \
    "-DCMAKE_CXX_FLAGS_RELEASE=$release_flags" "-DCMAKE_EXE_LINKER_FLAGS=$link_flags" >/dev/null
  cmake --build "$dir" -j "$(nproc)" --target tessamer vellumetric-sim tessamer_package_files >&2
  rm -f "$dir"/tessamer_*.deb
  local log="$dir/cpack.log"
  if ! (cd "$dir" && cpack -G DEB) >"$log" 2>&1; then
    cat "$log" >&2
    return 1
  fi
}

# The unit as packaged, checked by systemd-analyze with its program taken from the unpacked tree
# (the package is not installed here) and its man page looked up there. Any remark fails.
verify_unit() {  # unpacked tree
  local tree=$1 unit=$1/usr/lib/systemd/system/tessamer.service
  local program
  program=$(sed -n 's/^ExecStart=\([^ ]*\).*/\1/p' "$unit")
  [ -x "$tree$program" ] || fail "the unit starts $program, which is not in the package"
  grep -q -- '--config /etc/tessamer/tessamer.conf' "$unit" &&
    [ -f "$tree/etc/tessamer/tessamer.conf" ] || fail "the unit's configuration is not in the package"
  if ! command -v systemd-analyze >/dev/null; then
    echo "package.sh: no systemd-analyze, the unit is not verified" >&2
    return 0
  fi
  mkdir "$tree/verify"
  sed "s#^ExecStart=$program#ExecStart=$tree$program#" "$unit" >"$tree/verify/tessamer.service"
  local remarks
  remarks=$(MANPATH="$tree/usr/share/man" \
            systemd-analyze verify "$tree/verify/tessamer.service" 2>&1) &&
    [ -z "$remarks" ] || fail "systemd-analyze verify: ${remarks:-failed}"
}

check_package() {  # .deb
  local deb=$1 version
  echo "-- lintian" >&2
  lintian --fail-on error --display-info "$deb" 2> >(grep -v 'root privileges' >&2) >&2
  tree=$(mktemp -d)
  trap 'rm -rf "$tree"' EXIT
  dpkg -x "$deb" "$tree"
  version=$(dpkg-deb -f "$deb" Version)
  # Neither needs a display: a service has none.
  [ "$(env -u DISPLAY -u WAYLAND_DISPLAY "$tree/usr/bin/tessamer" --version)" = "tessamer $version" ] ||
    fail "the unpacked tessamer does not say version $version"
  env -u DISPLAY -u WAYLAND_DISPLAY "$tree/usr/bin/vellumetric-sim" --help >/dev/null
  verify_unit "$tree"
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$tree/usr/share/applications/tessamer.desktop"
  fi
  echo "-- package checks passed" >&2
}

build_package
deb=$(ls "$dir"/tessamer_*.deb)
if [ "$check" = 1 ]; then check_package "$deb"; fi
echo "$deb"

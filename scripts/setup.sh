#!/usr/bin/env bash
# Installs every build and test dependency from Debian packages, only what is missing.
# Idempotent and quiet: at most one package-list update per run.
set -euo pipefail

packages=(cmake ninja-build g++ ccache libasio-dev qt6-base-dev libgtest-dev libgmock-dev
          libbenchmark-dev libcli11-dev clang-14 libclang-rt-14-dev locales xvfb ncat netcat-openbsd
          help2man lintian dpkg-dev systemd desktop-file-utils libsystemd-dev libcpp-httplib-dev
          nlohmann-json3-dev qt6-charts-dev libqt6opengl6-dev g++-mingw-w64-x86-64-posix wine64
          googletest prometheus libsqlite3-dev sqlite3 libmosquitto-dev mosquitto
          mosquitto-clients libjs-chart.js chromium iproute2 nftables openssl)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  # Asio's recommends pull in most of Boost; nothing here needs them.
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# A comma-decimal locale, so tests can prove that numbers on the wire ignore the locale.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  "${sudo_cmd[@]}" sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^de_DE.UTF-8 UTF-8' /etc/locale.gen || echo 'de_DE.UTF-8 UTF-8' | "${sudo_cmd[@]}" tee -a /etc/locale.gen >/dev/null
  "${sudo_cmd[@]}" locale-gen >/dev/null
fi

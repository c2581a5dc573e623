#!/usr/bin/env bash
# Installs what is missing, builds, and starts tessamer with the given arguments.
# Without arguments it starts the demo: simulated boxes on this machine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target tessamer tessamer-window
if [ $# -eq 0 ]; then set -- --demo; fi
exec build/src/app/tessamer "$@"

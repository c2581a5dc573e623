#!/bin/sh
# Runs one cross-built test program under Wine for CTest:
#   scripts/wine_test.sh WINE64 PROGRAM.exe [ARGUMENTS...]
# The first program of a Wine server starts Wine's own service processes (services.exe,
# winedevice.exe, rpcss.exe, ...), which inherit that program's standard output and error and
# outlive it. Had they inherited CTest's pipe, CTest would wait for the pipe's end until the
# test's time-out although the program had ended. So a program with nothing to say starts them
# first, with its output going nowhere; then the test program takes this process's place.
set -eu
wine=$1
shift
"$wine" cmd /c exit </dev/null >/dev/null 2>&1 || true
exec "$wine" "$@"

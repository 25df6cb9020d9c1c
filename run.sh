#!/bin/sh
# Runs the simulated appliance on this machine, building it first when needed.
# Options go to orvo-sim: ./run.sh --help lists them, ./run.sh notest skips
# the start-up self-test. Ctrl-C stops it.
set -eu
cd "$(dirname "$0")"
tools/deps.sh run
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
echo "building orvo-sim..." >&2
if ! cmake --build build -j "$(nproc)" --target orvo-sim >build/run-build.log 2>&1; then
  cat build/run-build.log >&2
  exit 1
fi
if [ "$(id -u)" -ne 0 ]; then
  # The sandbox binds files over /dev, /sys and /etc, which needs root.
  if ! command -v sudo >/dev/null; then
    echo "run.sh: the simulator needs root: run it as root" >&2
    exit 1
  fi
  exec sudo build/sim/orvo-sim "$@"
fi
exec build/sim/orvo-sim "$@"

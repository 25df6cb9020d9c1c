#!/bin/sh
# Runs the simulated appliance on this machine, building it first when needed.
# Options are passed to orvo-sim (try: ./run.sh notest).
set -eu
cd "$(dirname "$0")"
tools/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" >/dev/null
exec build/sim/orvo-sim "$@"

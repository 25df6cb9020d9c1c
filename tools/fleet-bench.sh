#!/bin/sh
# Builds the programs in Release and runs the benchmark of the client over
# many appliances: find and apply on a virtual site of 50 sandboxed
# appliances (-n APPLIANCES, -r ROUNDS go to orvo-fleet-bench). Needs root,
# bubblewrap and iproute2.
set -eu
cd "$(dirname "$0")/.."
tools/deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j "$(nproc)" --target orvo-fleet-bench >/dev/null
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi
exec build-release/bench/orvo-fleet-bench "$@"

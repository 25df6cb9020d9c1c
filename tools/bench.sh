#!/bin/sh
# Builds the programs in Release and runs the benchmark: requests per second
# and round-trip latency of the daemon for VERSION, GRGB 0, GTSB 0 and an
# unknown keyword, beside a bare UDP echo server (the floor). Options go to
# orvo-bench (-n REQUESTS, -r ROUNDS). Needs root and bubblewrap.
set -eu
cd "$(dirname "$0")/.."
tools/deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j "$(nproc)" --target orvo-bench >/dev/null
exec build-release/bench/orvo-bench "$@"

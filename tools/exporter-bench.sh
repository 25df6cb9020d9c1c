#!/bin/sh
# Builds the programs in Release and runs the benchmark of the exporter: one
# scrape of a virtual site of 50 sandboxed appliances probed at once, probes
# per second, and the exporter's resident memory over 10,000 probes
# (-n APPLIANCES, -r ROUNDS, -p PROBES go to orvo-exporter-bench). Needs
# root, bubblewrap, iproute2 and libmicrohttpd.
set -eu
cd "$(dirname "$0")/.."
tools/deps.sh
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-release -j "$(nproc)" --target orvo-exporter-bench >/dev/null
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi
exec build-release/bench/orvo-exporter-bench "$@"

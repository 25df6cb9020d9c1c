#!/bin/sh
# The exporter's figures, before and after a change (prints them, checks
# nothing): for the exporter of REF (default main) and for this tree's,
#  - one probe of an appliance, without and with its room's settings file:
#    the datagrams the exporter sent and received, and the time;
#  - a probe of an appliance whose DSP hangs (and what the daemon is left
#    busy with: a probe of it at once after);
#  - 50 appliances each probed every 15 s, as Prometheus scrapes them, for
#    SECONDS (default 60): probes per second, the slowest, the exporter's
#    CPU time and resident set.
# Every appliance is a sandboxed daemon with a DSP stand-in on a virtual
# site of its own network namespaces (nothing leaves them).
#
#   bench/exporter_figures.sh [--before REF|--no-before] [--seconds SECONDS]
#
# Needs root, bubblewrap, iproute2 and libmicrohttpd; builds in Release in
# build-release/ (REF's exporter in build-release/before-COMMIT/).
set -eu
cd "$(dirname "$0")/.."
before=main
seconds=60
while [ $# -gt 0 ]; do
  case $1 in
    --before) before=$2; shift 2 ;;
    --no-before) before=""; shift ;;
    --seconds) seconds=$2; shift 2 ;;
    *)
      echo "usage: bench/exporter_figures.sh [--before REF|--no-before] [--seconds SECONDS]" >&2
      exit 2
      ;;
  esac
done
tools/deps.sh >/dev/null
cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DORVO_BUILD_EXPORTER=ON >/dev/null
cmake --build build-release -j2 --target orvo-exporter-bench orvo-udpc orvo-udpd >/dev/null
bench=build-release/bench/orvo-exporter-bench
after=build-release/orvo-exporter
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi

# REF's exporter, built once per commit from its sources as committed.
if [ -n "$before" ]; then
  commit=$(git rev-parse --short "$before^{commit}")
  folder=$PWD/build-release/before-$commit
  if [ ! -x "$folder/build/orvo-exporter" ]; then
    echo "building the exporter of $before ($commit)..."
    rm -rf "$folder"
    mkdir -p "$folder/source"
    git archive "$commit" | tar -x -C "$folder/source"
    cmake -S "$folder/source" -B "$folder/build" -DCMAKE_BUILD_TYPE=Release \
      -DORVO_BUILD_EXPORTER=ON >/dev/null
    cmake --build "$folder/build" -j2 --target orvo-exporter >/dev/null
  fi
  before_exporter=$folder/build/orvo-exporter
fi

# The exporter's own lines (it says where it listens) are left out.
run() {
  "$bench" "$@" 2>&1 | grep -v '^orvo-exporter: ' || true
}

if [ -n "$before" ]; then
  echo "== before: the exporter of $before ($commit)"
  run -m probe -n 2 -e "$before_exporter"
fi
echo "== after: this tree's exporter ($(git describe --always --dirty))"
run -m probe -n 2 -e "$after"
if [ -n "$before" ]; then
  echo "== before: 50 appliances at a 15-second scrape interval"
  run -m sustained -n 50 -s "$seconds" -e "$before_exporter"
fi
echo "== after: 50 appliances at a 15-second scrape interval"
run -m sustained -n 50 -s "$seconds" -e "$after"

#!/bin/sh
# Prints how well the services are confined: systemd-analyze security of each
# unit, offline (no running systemd needed), each check and then the score
# (0 is fully confined, 10 not at all). Fails when a score is above its
# limit: 2.5 for the daemon (which must keep raw I/O as root for /dev/mem),
# 1.5 for the exporter and the panel (which need no privilege at all).
#
#   tools/unit-score.sh [UNIT-FILE ...]
#
# The unit files default to those that CMake configured in build/ (the ones
# the packages install). The limit goes by the file's name.
set -eu
if [ $# -eq 0 ]; then
  dist=$(dirname "$0")/../build/dist
  set -- "$dist/orvo-udpd.service" "$dist/orvo-exporter.service" "$dist/orvo-panel.service"
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for unit in "$@"; do
  if [ ! -f "$unit" ]; then
    echo "no unit $unit (configure the build first: cmake -S . -B build)" >&2
    exit 1
  fi
  name=$(basename "$unit" .in)
  case $name in
    orvo-exporter* | orvo-panel*) threshold=15 ;;
    *) threshold=25 ;;
  esac
  # systemd-analyze names the unit after the file it reads.
  cp "$unit" "$scratch/$name"
  systemd-analyze security --offline=yes --threshold=$threshold "$scratch/$name" || status=1
done
exit $status

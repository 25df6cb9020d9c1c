#!/bin/sh
# Prints how well the service is confined: systemd-analyze security of the
# unit, offline (no running systemd needed), each check and then the score
# (0 is fully confined, 10 not at all). Fails when the score is above 2.5.
#
#   tools/unit-score.sh [UNIT-FILE]
#
# UNIT-FILE defaults to the unit that CMake configured in build/ (the one the
# packages install).
set -eu
unit=${1:-$(dirname "$0")/../build/dist/orvo-udpd.service}
if [ ! -f "$unit" ]; then
  echo "no unit $unit (configure the build first: cmake -S . -B build)" >&2
  exit 1
fi
# systemd-analyze names the unit after the file it reads.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cp "$unit" "$scratch/orvo-udpd.service"
systemd-analyze security --offline=yes --threshold=25 "$scratch/orvo-udpd.service"

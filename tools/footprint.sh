#!/bin/sh
# Footprint of the appliance programs of an armhf build (default build-armhf):
# for each, the size once stripped and the libraries it needs. Fails when
# either is larger than 16 KiB or needs more than libc.
#
# The size grows in a step: the writable data must start at a fixed offset
# within a 4 KiB page of the file, so once the code and constants outgrow the
# room before it (`readelf -l`: the end of the first LOAD segment against the
# offset of the second), the file grows by 4 KiB at once.
set -eu
build=${1:-build-armhf}
strip=arm-linux-gnueabihf-strip
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for entry in orvo-udpd:16384 orvo-udpc:16384; do
  name=${entry%%:*}
  limit=${entry#*:}
  program=$build/$name
  if [ ! -f "$program" ]; then
    echo "$name: $program not found (build it with cmake/toolchain-armhf.cmake)" >&2
    status=1
    continue
  fi
  if ! readelf -h "$program" | grep -q 'Machine: *ARM$'; then
    echo "$name: $program is not an ARM program" >&2
    status=1
    continue
  fi
  "$strip" -o "$scratch/$name" "$program"
  size=$(wc -c < "$scratch/$name")
  needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ' | sed 's/ $//')
  printf '%s: %d bytes stripped (at most %d), needs: %s\n' "$name" "$size" "$limit" "${needed:-nothing}"
  if [ "$size" -gt "$limit" ]; then
    echo "  $name is too large: $size bytes, the limit is $limit" >&2
    status=1
  fi
  "$(dirname "$0")/check-libs.sh" "$program" >/dev/null || status=1
done
exit $status

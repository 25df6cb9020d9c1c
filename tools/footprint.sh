#!/bin/sh
# Footprint of the appliance programs of an armhf build (default build-armhf):
# for each, the size once stripped and the libraries it needs. Fails when
# orvo-udpd reaches 64 KiB, orvo-udpc 16 KiB, or either needs more than libc.
set -eu
build=${1:-build-armhf}
strip=arm-linux-gnueabihf-strip
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
status=0
for entry in orvo-udpd:65536 orvo-udpc:16384; do
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
  printf '%s: %d bytes stripped (must stay under %d), needs: %s\n' "$name" "$size" "$limit" "${needed:-nothing}"
  if [ "$size" -ge "$limit" ]; then
    echo "  $name is too large: $size bytes, the limit is under $limit" >&2
    status=1
  fi
  "$(dirname "$0")/check-libs.sh" "$program" >/dev/null || status=1
done
exit $status

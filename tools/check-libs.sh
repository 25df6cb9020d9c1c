#!/bin/sh
# Fails unless every program given needs the C library alone.
set -eu
status=0
for program in "$@"; do
  needed=$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  echo "$program needs: $needed"
  for library in $needed; do
    case "$library" in
      libc.so.*) ;;
      *) echo "  $program must not need $library" >&2; status=1 ;;
    esac
  done
done
exit $status

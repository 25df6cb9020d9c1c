#!/bin/sh
# Builds the Debian packages of the appliance programs from Release builds
# (size-optimised, stripped): for amd64 (this machine) and armhf (the
# appliance, cross-built with cmake/toolchain-armhf.cmake).
#
#   tools/package.sh [-o FOLDER] [ARCH ...]     ARCH: amd64, armhf (default both)
#
# The packages land in FOLDER (default build-package/), the build trees in
# FOLDER/build-ARCH.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build-package
while getopts o: option; do
  case $option in
    o) out=$OPTARG ;;
    *) echo "usage: $0 [-o FOLDER] [amd64] [armhf]" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
[ $# -gt 0 ] || set -- amd64 armhf
mkdir -p "$out"
out=$(cd "$out" && pwd)
native=$(dpkg --print-architecture)

for arch in "$@"; do
  build=$out/build-$arch
  set -- -DCMAKE_BUILD_TYPE=Release -DORVO_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr
  if [ "$arch" != "$native" ]; then
    toolchain=$root/cmake/toolchain-$arch.cmake
    if [ ! -f "$toolchain" ]; then
      echo "no cross toolchain for $arch: $toolchain is missing" >&2
      exit 1
    fi
    set -- "$@" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCPACK_DEBIAN_PACKAGE_ARCHITECTURE="$arch"
  fi
  echo "== $arch"
  cmake -S "$root" -B "$build" "$@" >/dev/null
  cmake --build "$build" -j "$(nproc)"
  "$root/tools/check-libs.sh" "$build/orvo-udpd" "$build/orvo-udpc"
  (cd "$build" && cpack -G DEB >/dev/null)
  for package in "$build"/orvo_*_"$arch".deb; do
    [ -f "$package" ] || { echo "cpack made no $arch package" >&2; exit 1; }
    mv "$package" "$out/"
    echo "built $out/$(basename "$package")"
  done
done

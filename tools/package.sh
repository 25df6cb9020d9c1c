#!/bin/sh
# Builds the Debian packages with debhelper (the debian/ folder): for amd64
# (this machine) orvo-udpd, orvo-udpc, orvo-exporter and orvo-panel; for armhf (the
# appliance, cross-built with dpkg-buildpackage -a armhf and the cross
# toolchain) orvo-udpd and orvo-udpc alone, with the build profile
# pkg.orvo.noexporter (the exporter runs on the monitoring host, and its HTTP
# library is not needed for armhf). Both also make the transitional package
# orvo (architecture all), which takes an installed orvo of 0.1.0 over to
# orvo-udpd and orvo-udpc. Needs what tools/deps.sh installs.
#
#   tools/package.sh [-o FOLDER] [ARCH ...]     ARCH: amd64, armhf (default both)
#
# The packages land in FOLDER (default build-package/). Each is built from a
# copy of the source tree in FOLDER/build-ARCH, so the tree itself stays
# untouched and two builds can run side by side.
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

# The package's version is the one in debian/changelog; the build's must be
# the same.
version=$(dpkg-parsechangelog -l "$root/debian/changelog" -S Version)
project=$(sed -n 's/^project(orvo .*VERSION \([0-9.]*\)).*/\1/p' "$root/CMakeLists.txt")
if [ "$version" != "$project" ]; then
  echo "debian/changelog is at $version, CMakeLists.txt at $project: add a changelog entry" >&2
  exit 1
fi

for arch in "$@"; do
  build=$out/build-$arch
  source=$build/orvo-$version
  rm -rf "$build"
  mkdir -p "$source"
  (cd "$root" && tar --exclude='./build*' --exclude=./.git --exclude='./obj-*' -cf - .) |
    tar -C "$source" -xf -
  echo "== $arch"
  options="-b -us -uc"
  packages="orvo-udpd orvo-udpc orvo-exporter orvo-panel"
  if [ "$arch" != "$(dpkg --print-architecture)" ]; then
    options="$options -a $arch -Ppkg.orvo.noexporter"
    packages="orvo-udpd orvo-udpc"
  fi
  # shellcheck disable=SC2086
  if ! (cd "$source" && dpkg-buildpackage $options >"$build/build.log" 2>&1); then
    tail -n 40 "$build/build.log" >&2
    echo "dpkg-buildpackage failed for $arch: $build/build.log" >&2
    exit 1
  fi
  files=""
  for name in $packages; do files="$files ${name}_${version}_$arch.deb"; done
  files="$files orvo_${version}_all.deb"
  for file in $files; do
    [ -f "$build/$file" ] || { echo "dpkg-buildpackage made no $file" >&2; exit 1; }
  done
  "$root/tools/check-libs.sh" "$source"/obj-*/orvo-udpd "$source"/obj-*/orvo-udpc
  [ "$arch" != armhf ] || "$root/tools/footprint.sh" "$(echo "$source"/obj-*)"
  for file in $files; do
    mv "$build/$file" "$out/"
    echo "built $out/$file ($(stat -c %s "$out/$file") bytes)"
  done
done

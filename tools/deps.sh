#!/bin/sh
# Installs, with apt-get, whatever this project needs that the machine lacks:
# with "run" only what building and running the simulator takes (./run.sh),
# otherwise everything the build and the whole test suite need (./test.sh).
set -eu
role=${1:-test}
case $role in
  run | test) ;;
  *)
    echo "usage: tools/deps.sh [run|test]" >&2
    exit 2
    ;;
esac
packages="cmake make g++ clang libgtest-dev bubblewrap tmux"
# The code formatter (tools/format.sh).
packages="$packages clang-format"
# The virtual site of many appliances: network namespaces joined by a bridge.
packages="$packages iproute2"
# The exporter for Prometheus: its HTTP library, found through pkg-config,
# the C library's password hashing (crypt_r) for basic authentication, and
# GnuTLS (the library's TLS) for the hashes of the settings files.
packages="$packages libmicrohttpd-dev libgnutls28-dev pkg-config libcrypt-dev"
# Prometheus: the server the monitor test runs on a virtual site, and
# promtool, which checks the exporter's metrics and the shipped example
# configuration and tests its alerting rules; Alertmanager, which the
# monitor test runs with the shipped example configuration (and its amtool
# checks that configuration).
packages="$packages prometheus prometheus-alertmanager"
# The panel's browser test: Debian's Chromium driven by Selenium, with a
# font of its own so that screenshots look alike on every machine.
packages="$packages chromium chromium-driver python3-selenium fonts-dejavu-core"
# The appliance's CPU: cross compiler, its binutils, GoogleTest's sources to
# build for it, and the emulator that runs its programs here.
packages="$packages g++-arm-linux-gnueabihf binutils-arm-linux-gnueabihf googletest qemu-user"
# Manual page lint, and the capture the dissector is tested on.
packages="$packages mandoc tshark"
# The Debian packages (debhelper) and their lint; the system test's Debian
# root and its container.
packages="$packages debhelper lintian mmdebstrap systemd-container"
# The armhf root of the system test: its programs under qemu-user, also
# inside the container (a static emulator), and the check mmdebstrap needs.
packages="$packages qemu-user-static arch-test"
# The board test: Debian's ARM kernel under full-system emulation, and the
# device tree compiler for the board's LEDs and DSP window.
packages="$packages qemu-system-arm device-tree-compiler"
# clang's sanitizer and libFuzzer runtimes, and the symbolizer for their reports.
packages="$packages libclang-rt-14-dev llvm-14"
# The simulator: compiler, CMake, GoogleTest (its build folder is the tests'
# too) and the sandbox; the panel beside it: its HTTP library.
if [ "$role" = run ]; then
  packages="cmake make g++ libgtest-dev bubblewrap libmicrohttpd-dev pkg-config"
fi
missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages:$missing; run this as root (or install them)" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  # A transient fault is retried by apt, then once more after a pause; an
  # index that still fails (a mirror mid-sync) leaves apt the lists it has,
  # and the install says whether they do.
  if ! apt-get update -qq -o Acquire::Retries=3; then
    echo "apt-get update failed; once more in 30 s" >&2
    sleep 30
    apt-get update -qq -o Acquire::Retries=3 || echo "apt-get update failed again; installing from the lists apt has" >&2
  fi
  # shellcheck disable=SC2086
  apt-get install -y -qq -o Acquire::Retries=3 --no-install-recommends $missing
fi

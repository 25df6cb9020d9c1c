#!/bin/sh
# Installs what is missing, builds for this host (g++ and clang) and for the
# appliance's CPU (armhf), and runs the whole suite on both: natively, then
# the armhf unit tests and the sandbox tests with the armhf programs, both
# under qemu-user, then the system test of the packages under systemd and
# the board test of the armhf packages on Debian's ARM kernel. The
# monitor test (a real Prometheus watching a virtual site through the
# exporter) runs in the native run and under the sanitizers; not with the
# armhf programs: the exporter and Prometheus are the monitoring host's, and
# the armhf daemon's answers are the armhf sandbox run's. Ends
# with the summary of every test run; fails when any build, check or test
# failed.
set -eu
cd "$(dirname "$0")"
tools/deps.sh
jobs=$(nproc)
# As in cmake/toolchain-armhf.cmake: the target's libraries from the sysroot only.
emulator="qemu-arm -L /usr/arm-linux-gnueabihf -E LD_LIBRARY_PATH=/lib"
# The sandbox tests take the programs under test from these; the first run
# must get the ones of the native build.
unset ORVO_UDPD ORVO_UDPC ORVO_KEEPER ORVO_RUN_PREFIX
# Sandboxes on a memory file system: the tests measure the daemon, not the
# disk's fsync.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  export TMPDIR=/dev/shm
fi

# clang must build the appliance programs warning-free as well.
cmake -S . -B build-clang -DCMAKE_CXX_COMPILER=clang++ -DORVO_BUILD_TESTS=OFF >/dev/null
cmake --build build-clang -j "$jobs"

cmake -S . -B build -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVO_BUILD_EXPORTER=ON >/dev/null
cmake --build build -j "$jobs"

# What goes onto the appliance: size-optimised and stripped, with the unit tests.
cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-armhf -j "$jobs"

failed=""
# The code style (.clang-format): tools/format.sh formats what this lists.
tools/format.sh --check || failed="$failed format"
tools/check-libs.sh build/orvo-udpd build/orvo-udpc build-armhf/orvo-udpd build-armhf/orvo-udpc ||
  failed="$failed check-libs"
tools/footprint.sh build-armhf || failed="$failed footprint"
# Every test carries a label, so that ctest -L finds it.
if [ "$(ctest --test-dir build -N -LE . | sed -n 's/^Total Tests: //p')" != 0 ]; then
  echo "tests without a label: ctest --test-dir build -N -LE . lists them" >&2
  failed="$failed labels"
fi

logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT

# Runs ctest with the given arguments and keeps its output under the name given.
# Most tests spend their time waiting on the daemon, not on the CPU.
run_ctest() {
  name=$1
  shift
  echo "== ctest: $name"
  { ctest --output-on-failure --no-tests=error -j 8 --timeout 300 "$@" ||
    touch "$logs/$name.failed"; } 2>&1 | tee "$logs/$name.log"
}

run_ctest native --test-dir build -LE 'system|board'
run_ctest armhf-unit --test-dir build-armhf
(
  export ORVO_UDPD="$PWD/build-armhf/orvo-udpd" ORVO_UDPC="$PWD/build-armhf/orvo-udpc"
  export ORVO_RUN_PREFIX="$emulator"
  run_ctest armhf-sandbox --test-dir build -L appliance
)
# The package that the native run built, on Debian 12 booted with its own
# systemd in a container (the first run on a machine builds the root folder).
run_ctest system --test-dir build -L system -FS orvo_package
# The armhf packages on the appliance's kind of kernel: Debian's armmp
# kernel and systemd under full-system emulation (the first run on a machine
# builds the board's root folder). Verbose: the figures measured on the
# board (memory, start-up, bench) are in its output.
run_ctest board --test-dir build -L board -FS orvo_package --verbose

# Hardening: a minute of fuzzing the request path, then the suite under
# ASan+UBSan and under TSan (not the packages, the system and board tests: they
# build and run the packages, whatever the build's sanitizers).
echo "== fuzz"
tools/fuzz.sh 60 || failed="$failed fuzz"
echo "== sanitizers"
tools/sanitize-check.sh address -LE 'package|system|board' || failed="$failed asan-ubsan"
tools/sanitize-check.sh thread -LE 'package|system|board' || failed="$failed tsan"

echo
echo "== summary"
for name in native armhf-unit armhf-sandbox system board; do
  case $name in
    native) echo "-- $name: unit, sandbox, exporter, monitor (Prometheus, Alertmanager), panel, browser and package tests, x86-64 build" ;;
    armhf-unit) echo "-- $name: unit tests, armhf build under $emulator" ;;
    armhf-sandbox) echo "-- $name: sandbox tests, armhf programs under $emulator" ;;
    system) echo "-- $name: the packages under systemd in a Debian 12 container" ;;
    board) echo "-- $name: the armhf packages on Debian's ARM kernel under qemu-system-arm" ;;
  esac
  grep -q '% tests passed' "$logs/$name.log" || echo "(no summary: ctest did not finish)"
  sed -n '/% tests passed/,$p' "$logs/$name.log"
  [ ! -f "$logs/$name.failed" ] || failed="$failed $name"
done
# The panel as the browser test saw it, for people to look at.
for shot in build/browser-screenshots/*.png; do
  [ ! -f "$shot" ] || echo "-- browser screenshot: $PWD/$shot"
done
if [ -n "$failed" ]; then
  echo "FAILED:$failed"
  exit 1
fi

#!/bin/sh
# Builds everything with sanitizers in a folder of its own and runs tests
# under them. Fails on any sanitizer report, from the test programs or from
# the daemon, which runs detached in its sandbox with its standard streams
# closed.
#
#   tools/sanitize-check.sh address [CTEST ARGS...]
#       AddressSanitizer (with LeakSanitizer) and UndefinedBehaviorSanitizer
#   tools/sanitize-check.sh thread [CTEST ARGS...]
#       ThreadSanitizer: every sandboxed daemon runs its two threads, the
#       request loop and the identify blink; the effect tests make them meet
#
# Both run the whole suite; CTEST ARGS narrow it (e.g. -R Identify).
#
# Every sanitizer writes its reports to files in one folder (log_path), and
# halts the program at the first one. The sandbox mounts that folder, named
# by ORVO_SANITIZER_LOG_DIR, at the same path in every jail, so the daemon's
# reports land there too; after the run any file in it fails the check.
set -eu
cd "$(dirname "$0")/.."
mode=${1:-}
[ $# -gt 0 ] && shift
case "$mode" in
  address)
    sanitizers=address,undefined
    build=${ORVO_ASAN_BUILD:-build-asan}
    ;;
  thread)
    sanitizers=thread
    build=${ORVO_TSAN_BUILD:-build-tsan}
    ;;
  *)
    echo "usage: tools/sanitize-check.sh address|thread [CTEST ARGS...]" >&2
    exit 2
    ;;
esac
tools/deps.sh
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVO_SANITIZE="$sanitizers" >/dev/null
cmake --build "$build" -j "$(nproc)"

logs=$(cd "$build" && pwd)/sanitizer-logs
rm -rf "$logs"
mkdir -p "$logs"
chmod 0777 "$logs"
export ORVO_SANITIZER_LOG_DIR="$logs"
export ASAN_OPTIONS="log_path=$logs/report:detect_leaks=1:halt_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="log_path=$logs/report:halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="log_path=$logs/report:halt_on_error=1:second_deadlock_stack=1"

# The sandboxes' LED and settings files on a memory file system: on a disk
# every truncating rewrite costs I/O that the appliance's sysfs does not, and
# with the sanitizers' slowdown on top the timing of the LED tests suffers.
[ -d /dev/shm ] && export TMPDIR=/dev/shm

status=0
(cd "$build" && ctest --output-on-failure -j 4 --timeout 600 "$@") || status=1
for report in "$logs"/*; do
  [ -e "$report" ] || continue
  echo "sanitizer report $report:" >&2
  cat "$report" >&2
  status=1
done
if [ "$status" -ne 0 ]; then
  echo "sanitize-check $mode: FAILED" >&2
else
  echo "sanitize-check $mode: clean"
fi
exit $status

#!/bin/sh
# Builds everything with ThreadSanitizer in its own folder and runs the tests
# of the identify blink and the effects under it. Fails on any report, from
# the test programs or from the daemon, which runs detached in its sandbox.
#
# Reports go to files: log_path is relative, so each process writes into its
# own working folder. The daemon works in "/" and so writes into its settings
# folder, where the effect tests look for "sanitizer-report.*" before the
# sandbox goes; the test programs run in $reports, which is checked here.
set -eu
cd "$(dirname "$0")/.."
build=${ORVO_TSAN_BUILD:-build-tsan}
compiler=${ORVO_TSAN_CXX:-}
if [ -z "$compiler" ]; then
  if command -v clang++ >/dev/null 2>&1; then compiler=clang++; else compiler=g++; fi
fi

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER="$compiler" -DORVO_SANITIZE=thread \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"

build=$(cd "$build" && pwd)
reports=$build/tsan-reports
report_folder=media/data/mic-array
rm -rf "$reports"
mkdir -p "$reports/$report_folder"

TSAN_OPTIONS="halt_on_error=1 exitcode=66 log_path=$report_folder/sanitizer-report"
export TSAN_OPTIONS

status=0
cd "$reports"
"$build/tests/unit_tests" --gtest_filter='ImpressStep.*:LedOutput.*' || status=1
"$build/tests/appliance_tests" --gtest_filter='Identify.*:ShowEffects.*' || status=1

for report in "$reports/$report_folder"/sanitizer-report*; do
  [ -e "$report" ] || continue
  echo "ThreadSanitizer report in $report:" >&2
  cat "$report" >&2
  status=1
done
if [ "$status" -ne 0 ]; then
  echo "tsan-check: FAILED" >&2
else
  echo "tsan-check: no ThreadSanitizer report"
fi
exit $status

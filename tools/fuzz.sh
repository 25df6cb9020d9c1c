#!/bin/sh
# Fuzzes the daemon's request path inside the appliance sandbox, under
# AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   tools/fuzz.sh [SECONDS]     fuzz from the seed corpus for SECONDS (60)
#   tools/fuzz.sh FILE...       run these inputs once (a crash to reproduce)
#
# Fails on any crash, leak, sanitizer report or broken request-path check;
# the inputs that caused it are kept and their folder is printed.
set -eu
cd "$(dirname "$0")/.."
tools/deps.sh
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVO_FUZZ=ON >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target request-fuzzer fuzz-jail

work=$(mktemp -d "${TMPDIR:-/tmp}/orvo-fuzz.XXXXXX")
mkdir "$work/corpus" "$work/artifacts" "$work/inputs"
cp tests/fuzz/keywords.dict "$work/"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:${UBSAN_OPTIONS:-}"
export ASAN_SYMBOLIZER_PATH="${ASAN_SYMBOLIZER_PATH:-$(command -v llvm-symbolizer || true)}"
run() {
  limit=$1
  shift
  build-fuzz/tests/fuzz/fuzz-jail -t "$limit" build-fuzz/tests/fuzz/request-fuzzer "$work" \
    -max_len=2048 -timeout=10 -rss_limit_mb=2048 -dict=/fuzz/keywords.dict \
    -artifact_prefix=/fuzz/artifacts/ "$@"
}

status=0
case "${1:-60}" in
  *[!0-9]*)
    for input in "$@"; do
      cp "$input" "$work/inputs/"
      shift
      set -- "$@" "/fuzz/inputs/$(basename "$input")"
    done
    run 300 "$@" || status=$?
    ;;
  *)
    seconds=${1:-60}
    cp tests/fuzz/corpus/* "$work/corpus/"
    run $((seconds + 300)) -max_total_time="$seconds" -print_final_stats=1 /fuzz/corpus || status=$?
    ;;
esac

if [ "$status" -ne 0 ] || [ -n "$(ls "$work/artifacts")" ]; then
  echo "fuzz: FAILED (status $status); inputs kept in $work/artifacts:" >&2
  ls -l "$work/artifacts" >&2
  exit 1
fi
rm -rf "$work"
echo "fuzz: clean"

#!/bin/sh
# Fuzzes the daemon's request path inside the appliance sandbox, the
# client's parsers (reply matching, settings files, find's replies), the
# panel's check of the lines its pages send and its checks of requests (the
# guard's headers, login, session cookie, page names), under
# AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   tools/fuzz.sh [SECONDS]        fuzz from the seed corpora for SECONDS (60):
#                                  two thirds the daemon, the rest the client,
#                                  the line check and the panel's requests
#                                  (a tenth of all each)
#   tools/fuzz.sh FILE...          run these inputs once through the daemon's,
#   tools/fuzz.sh --client FILE... the client's,
#   tools/fuzz.sh --line FILE...   the line check's
#   tools/fuzz.sh --panel FILE...  or the panel's (a crash to reproduce)
#
# Fails on any crash, leak, sanitizer report or broken check; the inputs that
# caused it are kept and their folder is printed.
set -eu
cd "$(dirname "$0")/.."
tools/deps.sh
cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DORVO_FUZZ=ON >/dev/null
cmake --build build-fuzz -j "$(nproc)" --target request-fuzzer fuzz-jail client-fuzzer \
  line-fuzzer panel-fuzzer

work=$(mktemp -d "${TMPDIR:-/tmp}/orvo-fuzz.XXXXXX")
mkdir "$work/corpus" "$work/artifacts" "$work/inputs" "$work/client-corpus" "$work/line-corpus" \
  "$work/panel-corpus"
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

# The client's fuzzer needs no sandbox; what it prints for refused files is
# dropped (-close_fd_mask=2), its own and the sanitizers' reports are not.
client() {
  build-fuzz/tests/fuzz/client-fuzzer -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -dict="$work/keywords.dict" -close_fd_mask=2 -artifact_prefix="$work/artifacts/" "$@"
}

# The line check's fuzzer: lines of a page, no longer than a request.
line() {
  build-fuzz/tests/fuzz/line-fuzzer -max_len=256 -timeout=10 -rss_limit_mb=2048 \
    -dict="$work/keywords.dict" -artifact_prefix="$work/artifacts/" "$@"
}

# The panel's fuzzer: a request's headers, path and login fields.
panel() {
  build-fuzz/tests/fuzz/panel-fuzzer -max_len=1024 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$work/artifacts/" "$@"
}

status=0
case "${1:-60}" in
  --client)
    shift
    client "$@" || status=$?
    ;;
  --line)
    shift
    line "$@" || status=$?
    ;;
  --panel)
    shift
    panel "$@" || status=$?
    ;;
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
    line_seconds=$((seconds / 10))
    client_seconds=$((seconds / 3 - 2 * line_seconds))
    cp tests/fuzz/corpus/* "$work/corpus/"
    daemon_seconds=$((seconds - client_seconds - 2 * line_seconds))
    run $((daemon_seconds + 300)) -max_total_time=$daemon_seconds \
      -print_final_stats=1 /fuzz/corpus || status=$?
    if [ "$client_seconds" -gt 0 ]; then
      cp tests/fuzz/client-corpus/* "$work/client-corpus/"
      client -max_total_time="$client_seconds" -print_final_stats=1 "$work/client-corpus" ||
        status=$?
    fi
    if [ "$line_seconds" -gt 0 ]; then
      cp tests/fuzz/line-corpus/* "$work/line-corpus/"
      line -max_total_time="$line_seconds" -print_final_stats=1 "$work/line-corpus" || status=$?
      cp tests/fuzz/panel-corpus/* "$work/panel-corpus/"
      panel -max_total_time="$line_seconds" -print_final_stats=1 "$work/panel-corpus" ||
        status=$?
    fi
    ;;
esac

if [ "$status" -ne 0 ] || [ -n "$(ls "$work/artifacts")" ]; then
  echo "fuzz: FAILED (status $status); inputs kept in $work/artifacts:" >&2
  ls -l "$work/artifacts" >&2
  exit 1
fi
rm -rf "$work"
echo "fuzz: clean"

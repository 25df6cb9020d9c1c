#!/bin/sh
# Runs the simulated appliance on this machine and the commissioning panel
# beside it, building them first when needed. Options go to orvo-sim:
# ./run.sh --help lists them, ./run.sh notest skips the start-up self-test.
# The panel listens on 127.0.0.1:9495 and talks to the simulated appliance
# alone; the address to open (with its login token) is printed and shown in
# the simulator's view. Ctrl-C stops both.
set -eu
cd "$(dirname "$0")"
tools/deps.sh run
# The exporter and the panel need libmicrohttpd, which the simulator does
# not: they are left out of the build where that is not installed.
exporter=OFF
if command -v pkg-config >/dev/null && pkg-config --exists libmicrohttpd; then
  exporter=ON
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVO_BUILD_EXPORTER=$exporter >/dev/null
targets=orvo-sim
[ "$exporter" = OFF ] || targets="orvo-sim orvo-panel"
echo "building $targets..." >&2
# shellcheck disable=SC2086
if ! cmake --build build -j "$(nproc)" --target $targets >build/run-build.log 2>&1; then
  cat build/run-build.log >&2
  exit 1
fi
sim=build/sim/orvo-sim
if [ "$(id -u)" -ne 0 ]; then
  # The sandbox binds files over /dev, /sys and /etc, which needs root.
  if ! command -v sudo >/dev/null; then
    echo "run.sh: the simulator needs root: run it as root" >&2
    exit 1
  fi
  sim="sudo $sim"
fi
for argument in "$@"; do
  case $argument in
    -h | --help) exec $sim "$@" ;;
  esac
done

# The panel, with a state folder of its own for this run; it goes when the
# simulator stops, however that happens.
run=$(mktemp -d "${TMPDIR:-/tmp}/orvo-run.XXXXXX")
panel_pid=""
cleanup() {
  if [ -n "$panel_pid" ]; then
    kill "$panel_pid" 2>/dev/null || true
    wait "$panel_pid" 2>/dev/null || true
  fi
  rm -rf "$run"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
note=""
if [ -x build/panel/orvo-panel ]; then
  mkdir "$run/state"
  build/panel/orvo-panel --listen 127.0.0.1:9495 --targets 127.0.0.1/32 --state-dir "$run/state" \
    --pages panel/www >"$run/login" 2>build/run-panel.log &
  panel_pid=$!
  # It prints the address to open once it listens.
  i=0
  while [ $i -lt 100 ] && [ ! -s "$run/login" ] && kill -0 "$panel_pid" 2>/dev/null; do
    sleep 0.1
    i=$((i + 1))
  done
  url=$(sed -n 's/^orvo-panel: open //p' "$run/login")
  if [ -n "$url" ]; then
    note="Panel: $url"
    echo "The panel: $url" >&2
  else
    note="Panel: did not start, see build/run-panel.log"
    echo "run.sh: the panel did not start:" >&2
    cat build/run-panel.log >&2
  fi
fi

status=0
if [ -n "$note" ]; then
  $sim --note "$note" "$@" || status=$?
else
  $sim "$@" || status=$?
fi
exit $status

#!/bin/bash
# The board test's checks, inside the booted board (run once by a unit of
# board_test.sh after multi-user.target). Every result is one line on the
# serial console, for the host to read:
#
#   ORVO-BOARD ok WHAT                a check that passed
#   ORVO-BOARD fail WHAT: DETAIL      a check that failed
#   ORVO-BOARD figure NAME: VALUE     a measurement, printed by the host
#   ORVO-BOARD reboot                 the first boot is over (the packages installed)
#   ORVO-BOARD done                   the last line; then the board powers off
#
# Next to this script: the packages under test (debs/), the armhf
# orvo-dspsim and orvo-bench, and facts (the platform's LED names, from
# board_facts, and the version text this board gives).
set -u
dir=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=/dev/null
. "$dir/facts"
port_hex=C156 # 49494, as /proc/net/udp shows it
led_count=$(($(wc -w <<<"$led_names") / 3))
unit=orvo-udpd.service

say() { echo "ORVO-BOARD $*"; }
ok() { say "ok $*"; }
bad() { say "fail $*"; }
figure() { say "figure $*"; }
# expect WHAT GOT WANT
expect() {
  if [ "$2" = "$3" ]; then ok "$1"; else bad "$1: got [$2], want [$3]"; fi
}
finish() {
  say done
  systemctl poweroff --no-block
  exit 0
}

uptime_s() { read -r up _ </proc/uptime && echo "$up"; }
# Seconds, with two decimals, from the monotonic time (microseconds) of a
# property of the service to now.
since() {
  local then
  then=$(systemctl show -p "$1" --value "$unit")
  awk -v now="$(uptime_s)" -v then="$then" 'BEGIN { printf "%.2f", now - then / 1e6 }'
}
port_open() {
  local line
  while read -r line; do
    [[ $line == *":$port_hex "* ]] && return 0
  done </proc/net/udp
  return 1
}
# Waits up to $1 seconds for the daemon's port.
wait_port() {
  local deadline
  deadline=$(($(date +%s) + $1))
  until port_open; do
    [ "$(date +%s)" -lt "$deadline" ] || return 1
    sleep 0.05
  done
}
prop() { systemctl show -p "$1" --value "$unit"; }
main_pid() {
  local pid
  pid=$(prop MainPID)
  [[ $pid =~ ^[1-9][0-9]*$ ]] && [ "$(cat "/proc/$pid/comm" 2>/dev/null)" = orvo-udpd ] &&
    echo "$pid"
}
client() { timeout 40 orvo-udpc -t 30 127.0.0.1 "$@" 2>&1 | tr -d '\r'; }
status_field() { awk -v f="$2:" '$1 == f { print $2 }' "/proc/$1/status"; }
# The brightness of every LED class device, in the order of led_names.
leds_now() {
  local name out=""
  for name in $led_names; do
    out="$out $(cat "/sys/class/leds/$name/brightness" 2>/dev/null || echo missing)"
  done
  echo "${out# }"
}
# What a GPIO LED reads back for the levels the daemon writes: it is on or
# off (max_brightness 1), so every level above 0 reads 1. LEDS is a list of
# "NAME LEVEL" pairs that are not dark.
leds_expected() {
  local name level out="" want
  for name in $led_names; do
    want=0
    for level in $1; do
      case $level in "$name="*) [ "${level#*=}" -gt 0 ] && want=1 ;; esac
    done
    out="$out $want"
  done
  echo "${out# }"
}
dump_service() {
  systemctl status --no-pager "$unit" 2>&1 | sed 's/^/ORVO-BOARD log /'
  journalctl -b --no-pager -o short-monotonic -u "$unit" 2>&1 | tail -n 30 | sed 's/^/ORVO-BOARD log /'
}

checks_started=$(uptime_s)
figure "multi-user.target reached: $(systemctl show -p ActiveEnterTimestampMonotonic --value \
  multi-user.target | awk '{ printf "%.1f", $1 / 1e6 }') s after boot"
# The board boots twice. The first boot checks the platform as the device
# tree makes it and the DSP, installs the packages with dpkg and sees the
# service start; then the board boots again, and the second boot checks the
# appliance as it comes up.
installed=/var/lib/orvo-board/installed
first_boot() {
  figure "kernel: $(uname -r) $(uname -m)"

  # --- The platform: the LED class devices of the device tree, the window
  count=0
  for name in $led_names; do
    [ -e "/sys/class/leds/$name/brightness" ] && count=$((count + 1))
  done
  expect "LED class devices" "$count" "$(wc -w <<<"$led_names")"
  figure "LED max_brightness: $(cat "/sys/class/leds/${led_names%% *}/max_brightness")" \
    "(GPIO LEDs: a level reads back as on or off)"
  # The window must be kept out of the kernel's RAM (a no-map reservation), or
  # the kernel would not let /dev/mem map it.
  window=$((window_address))
  in_ram=""
  while IFS= read -r line; do
    case $line in
      [0-9a-f]*" : System RAM")
        range=${line%% *}
        [ "$window" -ge $((16#${range%-*})) ] && [ "$window" -le $((16#${range#*-})) ] && in_ram=$range
        ;;
    esac
  done </proc/iomem
  expect "System RAM holding the mailbox window $(printf '%08x' "$window")" "$in_ram" ""

  # --- The DSP stand-in on /dev/mem (started with the board), then the packages
  expect "DSP stand-in on /dev/mem" "$(systemctl is-active orvo-board-dsp.service)" active
  output=$(dpkg -i "$dir"/debs/*.deb 2>&1)
  status=$?
  expect "dpkg -i $(cd "$dir/debs" && echo *.deb)" "$status" 0
  [ "$status" -eq 0 ] || { sed 's/^/ORVO-BOARD log /' <<<"$output"; dump_service; }
  expect "orvo-udpc installed" "$(command -v orvo-udpc)" /usr/bin/orvo-udpc
  expect "the service after installation" "$(prop ActiveState)" active
  if wait_port 120; then
    figure "start-up, self-test included: $(since InactiveExitTimestampMonotonic) s to the open port"
    ok "the daemon opened its port"
  else
    bad "the daemon never opened its port"
    dump_service
    finish
  fi
}
if [ ! -e "$installed" ]; then
  first_boot
  mkdir -p "${installed%/*}" && touch "$installed"
  say reboot
  systemctl reboot --no-block
  exit 0
fi

# --- The appliance as it boots: the service started with the board, its
# LED class devices (a module that udev loads) and the DSP in place
expect "the service after boot" "$(prop ActiveState)" active
expect "the service's start condition at boot" "$(prop ConditionResult)" yes
seconds() { awk '{ printf "%.1f", $1 / 1e6 }'; }
figure "the service started $(prop InactiveExitTimestampMonotonic | seconds) s after boot;" \
  "udev set up ${led_names%% *} at $(udevadm info -q property -p "/class/leds/${led_names%% *}" |
    sed -n 's/^USEC_INITIALIZED=//p' | seconds) s"
wait_port 120 || {
  bad "the daemon started at boot never opened its port"
  dump_service
  finish
}
pid=$(main_pid) || {
  bad "the service has no main process orvo-udpd"
  dump_service
  finish
}

# --- Confinement, as this kernel applies it
expect "seccomp mode of the daemon" "$(status_field "$pid" Seccomp)" 2
filters=$(status_field "$pid" Seccomp_filters)
if [ "${filters:-0}" -ge 1 ]; then
  ok "the unit's system call filter is in force ($filters filters)"
else
  bad "no system call filter on the daemon: Seccomp_filters [$filters]"
fi
expect "effective capabilities (CAP_SYS_RAWIO alone)" "$(status_field "$pid" CapEff)" 0000000000020000
expect "capability bounding set" "$(status_field "$pid" CapBnd)" 0000000000020000
expect "no new privileges" "$(status_field "$pid" NoNewPrivs)" 1
expect "drop-ins of the unit" "$(prop DropInPaths)" ""
expect "PrivateIPC" "$(prop PrivateIPC)" yes
if [ "$(readlink "/proc/$pid/ns/ipc")" != "$(readlink /proc/1/ns/ipc)" ]; then
  ok "the daemon has an IPC namespace of its own"
else
  bad "the daemon shares the IPC namespace of PID 1"
fi
score=$(systemd-analyze security "$unit" 2>&1 |
  sed -n "s/.*Overall exposure level for $unit: \([0-9.]*\).*/\1/p")
offline=$(systemd-analyze security --offline=yes "/lib/systemd/system/$unit" 2>&1 |
  sed -n "s/.*Overall exposure level for $unit: \([0-9.]*\).*/\1/p")
figure "systemd-analyze security: $score (offline: $offline)"
expect "exposure on the board and offline" "$score" "$offline"

# A probe with the unit's own confinement: ioprio_set (group @resources,
# which the filter takes out; lowering its own I/O priority needs no
# capability) must fail with EPERM; the same probe without the filter
# lines must succeed.
probe() {
  local name=$1 drop=$2
  {
    echo "[Service]"
    sed -n '/^\[Service\]/,/^\[/p' "/lib/systemd/system/$unit" |
      grep -vE "^(\[|#|$|Type=|ExecStart=|EnvironmentFile=|Restart|$drop)"
    echo "Type=oneshot"
    echo "ExecStart=/bin/sh -c 'ionice -c 3 true 2>&1; echo probe-status \$?'"
  } >"/run/systemd/system/$name.service"
  systemctl daemon-reload
  systemctl start "$name.service" 2>/dev/null
  local i
  for i in $(seq 1 50); do
    journalctl -b -o cat "_SYSTEMD_UNIT=$name.service" | grep -q probe-status && break
    sleep 0.1
  done
  journalctl -b -o cat "_SYSTEMD_UNIT=$name.service" | tr '\n' ' '
}
filtered=$(probe orvo-board-probe NONE)
unfiltered=$(probe orvo-board-control SystemCallFilter=)
case $filtered in
  *"Operation not permitted"*"probe-status 1"*) ok "a call outside the filter fails with EPERM" ;;
  *) bad "a call outside the filter: [$filtered]" ;;
esac
expect "the same call without the filter" "$unfiltered" "probe-status 0 "

# --- Every command, through the client
expect DEFAULTS "$(client DEFAULTS)" "ACK DEFAULTS"
expect VERSION "$(client VERSION)" "ACK VERSION $version_text"
expect "TRACKING 0" "$(client TRACKING 0)" "ACK TRACKING 0"
expect "NOISESUP 1" "$(client NOISESUP 1)" "ACK NOISESUP 1"
expect NOISERED "$(client NOISERED)" "ACK NOISERED 1"
expect "APT 3" "$(client APT 3)" "ACK APT 3"
expect "EQ 1 -3" "$(client EQ 1 -3)" "ACK EQ 1 -3"
expect DSPSTATUS "$(client DSPSTATUS)" "ACK DSPSTATUS 0"
expect MICTEST "$(client MICTEST)" "ACK MICTEST 0"
expect "NULLMASK 6" "$(client NULLMASK 6)" "ACK NULLMASK 6"
expect "NULL 3" "$(client NULL 3)" "ACK NULL 3"
expect "ACTNULCOL (active blue, nulled red)" "$(client ACTNULCOL 0 0 255 255 0 0)" \
  "ACK ACTNULCOL 0 0 255 255 0 0"
expect "STS 5 B=0" "$(client STS 5 B=0)" "ACK STS 5 B=0"
expect "GTS 5" "$(client GTS 5)" "ACK GTS 5 CH5R=1 CH5G=1 CH5B=0 CH5SC=0"
expect "STSB 7 G=100" "$(client STSB 7 G=100)" "ACK STSB 7 G=100"
expect "GTSB 7" "$(client GTSB 7)" "ACK GTSB 7 CH7R=0 CH7G=100 CH7B=100 CH7SC=0"
expect "SRGB 9 255 255 255" "$(client SRGB 9 255 255 255)" "ACK SRGB 9 255 255 255"
expect "GRGB 9" "$(client GRGB 9)" "ACK GRGB 2 CH9 255 255 255"
expect "ID 1" "$(client ID 1)" "ACK ID 1"
expect "ID 0" "$(client ID 0)" "ACK ID 0"
expect IMPRESS "$(client IMPRESS)" "ACK IMPRESS"
expect "LEDs after IMPRESS (dark)" "$(leds_now)" "$(leds_expected "")"
expect FU "$(client FU)" "ACK FU"
# The LED state: every LED blue but LED 3 (nulled: red), LED 5 (blue
# switched off: dark), LED 7 (green added) and LED 9 (white).
on=""
for n in $(seq 1 "$led_count"); do
  case $n in
    3) on="$on led3r=1" ;;
    5) ;;
    7) on="$on led7g=1 led7b=1" ;;
    9) on="$on led9r=1 led9g=1 led9b=1" ;;
    *) on="$on led${n}b=1" ;;
  esac
done
expect "LEDs showing the state (on/off)" "$(leds_now)" "$(leds_expected "$on")"
# /proc/PID/status takes its figures from counters that this kernel (6.1)
# keeps per thread and adds up only now and then; smaps_rollup counts the
# pages themselves.
rollup() { awk -v f="$1:" '$1 == f { print $2 }' "/proc/$pid/smaps_rollup"; }
figure "private memory of the daemon: Anonymous $(rollup Anonymous) kB, Rss $(rollup Rss) kB," \
  "Pss $(rollup Pss) kB (status: RssAnon $(status_field "$pid" RssAnon) kB," \
  "VmRSS $(status_field "$pid" VmRSS) kB)"

# --- The benchmark: ratios to a bare UDP echo server on the same loopback
if bench=$("$dir/orvo-bench" -a -n "${bench_requests:-2000}" -r 4 2>&1); then
  ok "benchmark"
else
  bad "benchmark: $(tail -n 1 <<<"$bench")"
fi
sed 's/^/ORVO-BOARD bench /' <<<"$bench"

# --- kill -9: systemd starts the daemon again; the settings come back from
# their files into a DSP stand-in started afresh
sums=$(cd /media/data/mic-array && md5sum -- *)
kill -9 "$pid"
systemctl restart orvo-board-dsp.service
new=""
for i in $(seq 1 600); do
  new=$(main_pid) && [ "$new" != "$pid" ] && break
  new=""
  sleep 0.1
done
if [ -n "$new" ] && wait_port 120; then
  ok "systemd started the daemon again after kill -9"
else
  bad "the daemon did not come back after kill -9"
  dump_service
fi
expect "restarts" "$(prop NRestarts)" 1
expect "EQ 1 after the restart" "$(client EQ 1)" "ACK EQ 1 -3"
expect "GRGB 9 after the restart" "$(client GRGB 9)" "ACK GRGB 2 CH9 255 255 255"
expect "NULL after the restart" "$(client NULL)" "ACK NULL 3"

# Start-up without the self-test, as the defaults file allows.
echo DAEMON_ARGS=notest >/etc/default/orvo-udpd
systemctl restart "$unit"
if wait_port 60; then
  figure "start-up without the self-test: $(since InactiveExitTimestampMonotonic) s to the open port"
else
  bad "the daemon started without the self-test never opened its port"
fi
rm /etc/default/orvo-udpd

# --- Removal keeps the appliance's settings
installed=$(dpkg-query -W -f '${Package}\n' 'orvo*' 2>/dev/null | tr '\n' ' ')
# shellcheck disable=SC2086
output=$(dpkg -r $installed 2>&1) || bad "dpkg -r $installed: $output"
expect "daemons after dpkg -r" "$(pidof orvo-udpd)" ""
expect "settings after dpkg -r" "$(cd /media/data/mic-array && md5sum -- *)" "$sums"

say "failed units: $(systemctl --failed --plain --no-legend | cut -d ' ' -f 1 | tr '\n' ' ')"
figure "the checks took $(awk -v a="$checks_started" -v b="$(uptime_s)" 'BEGIN { printf "%.0f", b - a }') s"
finish

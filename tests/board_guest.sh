#!/bin/bash
# The board test's checks, inside the booted board (run once per boot by a
# unit of board_test.sh after multi-user.target). Every check is a TAP line
# (harness.sh) on the serial console, marked for the host to pick out of the
# kernel's lines and number on in its own run:
#
#   ORVO-BOARD ok N WHAT              a check that passed
#   ORVO-BOARD not ok N WHAT          a check that failed, its evidence after it
#   ORVO-BOARD # TEXT                 evidence, a note or a measurement
#   ORVO-BOARD reboot                 the first boot is over (the packages installed)
#   ORVO-BOARD done                   the last line; then the board powers off
#
# Next to this script: harness.sh and appliance_checks.sh, the packages
# under test (debs/), the armhf orvo-dspsim and orvo-bench, and facts (the
# platform's facts from board_facts, and the version text this board gives).
set -u
dir=$(cd "$(dirname "$0")" && pwd)
tap_prefix="ORVO-BOARD "
# shellcheck source=harness.sh
. "$dir/harness.sh"
# shellcheck source=/dev/null
. "$dir/facts"
on_appliance() { "$@"; }
dsp_restart() { systemctl restart orvo-board-dsp.service; }
client_seconds=30
# shellcheck source=appliance_checks.sh
. "$dir/appliance_checks.sh"

finish() {
  tap 'done'
  systemctl poweroff --no-block
  exit 0
}
seconds() { awk '{ printf "%.1f", $1 / 1e6 }'; }

checks_started=$(cut -d ' ' -f 1 /proc/uptime)
note "multi-user.target reached $(systemctl show -p ActiveEnterTimestampMonotonic --value \
  multi-user.target | seconds) s after boot"

# --- The first boot: the platform as the device tree makes it, the DSP,
# the packages installed with dpkg and the service they start. Then the
# board boots again.
first_boot_done=/var/lib/orvo-board/first-boot-done
first_boot() {
  local name count=0 window in_ram="" line range output status
  note "kernel: $(uname -r) $(uname -m)"
  # The LED class devices of the device tree, and the window.
  for name in $led_names; do
    [ -e "$led_class/$name/brightness" ] && count=$((count + 1))
  done
  check_eq "LED class devices" "$count" "$(wc -w <<<"$led_names")"
  note "LED max_brightness: $(cat "$led_class/${led_names%% *}/max_brightness")" \
    "(GPIO LEDs: a level reads back as on or off)"
  # The window must be kept out of the kernel's RAM (a no-map reservation), or
  # the kernel would not let /dev/mem map it.
  window=$((window_address))
  while IFS= read -r line; do
    case $line in
      [0-9a-f]*" : System RAM")
        range=${line%% *}
        [ "$window" -ge $((16#${range%-*})) ] && [ "$window" -le $((16#${range#*-})) ] && in_ram=$range
        ;;
    esac
  done </proc/iomem
  check_eq "System RAM holding the mailbox window $(printf '%08x' "$window")" "$in_ram" ""

  check_eq "DSP stand-in on $memory_file" "$(systemctl is-active orvo-board-dsp.service)" active
  output=$(dpkg -i "$dir"/debs/*.deb 2>&1)
  status=$?
  if [ "$status" -eq 0 ]; then
    pass "dpkg -i $(cd "$dir/debs" && echo *.deb)"
  else
    fail "dpkg -i $(cd "$dir/debs" && echo *.deb)" "status $status" "$output" "$(service_evidence)"
  fi
  check_eq "orvo-udpc installed" "$(command -v orvo-udpc)" /usr/bin/orvo-udpc
  check_eq "the service after installation" "$(prop ActiveState)" active
  if wait_port 120; then
    pass "the daemon opened its port"
    note "start-up, self-test included: $(since InactiveExitTimestampMonotonic) s to the open port"
  else
    fail "the daemon opened its port" "$(service_evidence)"
    finish
  fi
}
if [ ! -e "$first_boot_done" ]; then
  first_boot
  mkdir -p "${first_boot_done%/*}" && touch "$first_boot_done"
  tap reboot
  systemctl reboot --no-block
  exit 0
fi

# --- The second boot: the appliance as it boots: the service started with
# the board, its LED class devices (a module that udev loads) and the DSP
# in place
note "the service started $(prop InactiveExitTimestampMonotonic | seconds) s after boot;" \
  "udev set up ${led_names%% *} at $(udevadm info -q property -p "/class/leds/${led_names%% *}" |
    sed -n 's/^USEC_INITIALIZED=//p' | seconds) s"
check_service_up || finish
pid=$(main_pid)

# --- Confinement, as this kernel applies it: what the container checks too,
# and what only a kernel of the appliance's kind shows
check_confinement
check_eq "drop-ins of the unit" "$(prop DropInPaths)" ""
check_eq "PrivateIPC" "$(prop PrivateIPC)" yes
if [ "$(readlink "/proc/$pid/ns/ipc")" != "$(readlink /proc/1/ns/ipc)" ]; then
  pass "the daemon has an IPC namespace of its own"
else
  fail "the daemon has an IPC namespace of its own" "it shares the IPC namespace of PID 1"
fi
score=$(systemd-analyze security "$unit" 2>&1 |
  sed -n "s/.*Overall exposure level for $unit: \([0-9.]*\).*/\1/p")
offline=$(systemd-analyze security --offline=yes "/lib/systemd/system/$unit" 2>&1 |
  sed -n "s/.*Overall exposure level for $unit: \([0-9.]*\).*/\1/p")
check_eq "exposure on the board and offline" "$score" "$offline"

# A probe with the unit's own confinement: ioprio_set (group @resources,
# which the filter takes out; lowering its own I/O priority needs no
# capability) must fail with EPERM; the same probe without the filter
# lines must succeed.
probe() {
  local name=$1 drop=$2 i
  {
    echo "[Service]"
    sed -n '/^\[Service\]/,/^\[/p' "/lib/systemd/system/$unit" |
      grep -vE "^(\[|#|$|Type=|ExecStart=|EnvironmentFile=|Restart|$drop)"
    echo "Type=oneshot"
    echo "ExecStart=/bin/sh -c 'ionice -c 3 true 2>&1; echo probe-status \$?'"
  } >"/run/systemd/system/$name.service"
  systemctl daemon-reload
  systemctl start "$name.service" 2>/dev/null
  for i in $(seq 1 50); do
    journalctl -b -o cat "_SYSTEMD_UNIT=$name.service" | grep -q probe-status && break
    sleep 0.1
  done
  journalctl -b -o cat "_SYSTEMD_UNIT=$name.service" | tr '\n' ' '
}
check_match "a call outside the filter fails with EPERM" "$(probe orvo-board-probe NONE)" \
  "Operation not permitted.*probe-status 1"
check_eq "the same call without the filter" "$(probe orvo-board-control SystemCallFilter=)" "probe-status 0 "

# --- Every command, and the journal
check_commands
check_journal
# /proc/PID/status takes its figures from counters that this kernel (6.1)
# keeps per thread and adds up only now and then; smaps_rollup counts the
# pages themselves.
rollup() { awk -v f="$1:" '$1 == f { print $2 }' "/proc/$pid/smaps_rollup"; }
note "private memory of the daemon: Anonymous $(rollup Anonymous) kB, Rss $(rollup Rss) kB," \
  "Pss $(rollup Pss) kB (status: RssAnon $(status_field "$pid" RssAnon) kB," \
  "VmRSS $(status_field "$pid" VmRSS) kB)"

# --- The benchmark: ratios to a bare UDP echo server on the same loopback
if bench=$("$dir/orvo-bench" -a -n "${bench_requests:-2000}" -r 4 2>&1); then
  pass "benchmark"
else
  fail "benchmark" "$(tail -n 1 <<<"$bench")"
fi
while IFS= read -r line; do note "bench $line"; done <<<"$bench"

# --- kill -9, with the settings that check_commands made
check_restart

# Start-up without the self-test, as the defaults file allows.
echo DAEMON_ARGS=notest >/etc/default/orvo-udpd
systemctl restart "$unit"
if wait_port 60; then
  pass "the daemon started without the self-test opens its port"
  note "start-up without the self-test: $(since InactiveExitTimestampMonotonic) s to the open port"
else
  fail "the daemon started without the self-test opens its port" "$(service_evidence)"
fi
rm /etc/default/orvo-udpd

# --- Removal of every package of ours keeps the appliance's settings
# shellcheck disable=SC2046
check_removal $(dpkg-query -W -f '${Package}\n' 'orvo*' 2>/dev/null)

note "failed units: $(systemctl --failed --plain --no-legend | cut -d ' ' -f 1 | tr '\n' ' ')"
note "the checks took $(awk -v a="$checks_started" -v b="$(cut -d ' ' -f 1 /proc/uptime)" \
  'BEGIN { printf "%.0f", b - a }') s"
finish

# shellcheck shell=bash
# The checks of the appliance that run both in the system test's container
# and on the board test's emulated board: the service as the appliance boots
# it, every command, the journal, the confinement, the restart after kill -9,
# removal. Sourced (bash) after harness.sh and the platform's facts (the
# output of board_facts). The caller defines
#
#   on_appliance COMMAND...   runs COMMAND on the appliance (through nsenter
#                             in the container; as it is on the board)
#   dsp_restart               starts the DSP stand-in afresh
#
# and sets version_text, the text of the appliance's version file, and
# client_seconds, how long the client waits for a reply. Each
# check_* function is a group of checks that a scenario picks; each needs
# the daemon's service running, as the appliance boots it, and nothing else
# (but check_restart, which wants the settings of check_commands back).

unit=orvo-udpd.service
port_hex=$(printf '%04X' "$control_port") # as /proc/net/udp shows it

prop() { on_appliance systemctl show -p "$1" --value "$unit"; }
client() {
  on_appliance timeout $((client_seconds + 10)) orvo-udpc -t "$client_seconds" 127.0.0.1 "$@" 2>&1 | tr -d '\r'
}
# Daemons running on the appliance (by name: under qemu-user the program is
# the emulator).
daemons() { on_appliance sh -c 'grep -lx orvo-udpd /proc/[0-9]*/comm 2>/dev/null | wc -l'; }
# The service's main process: the one process systemd took after the
# daemon detached, the one it restarts.
main_pid() {
  local pid
  pid=$(prop MainPID)
  [[ $pid =~ ^[1-9][0-9]*$ ]] && [ "$(on_appliance cat "/proc/$pid/comm" 2>/dev/null)" = orvo-udpd ] &&
    echo "$pid"
}
# status_field PID FIELD: a field of /proc/PID/status.
status_field() { on_appliance awk -v f="$2:" '$1 == f { print $2 }' "/proc/$1/status"; }
port_open() { on_appliance grep -q ":$port_hex " /proc/net/udp; }
# wait_port SECONDS: waits until the daemon's port is bound; fails after
# SECONDS.
wait_port() {
  local deadline=$(($(date +%s) + $1))
  until port_open; do
    [ "$(date +%s)" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}
# since PROPERTY: seconds, two decimals, from a monotonic timestamp of the
# service (microseconds) to now.
since() {
  local up
  read -r up _ < <(on_appliance cat /proc/uptime)
  awk -v now="$up" -v then="$(prop "$1")" 'BEGIN { printf "%.2f", now - then / 1e6 }'
}
# Checksums of the settings files, to see them survive.
settings_sums() { on_appliance sh -c 'cd "$1" && md5sum -- *' sh "$settings_folder" 2>/dev/null; }
# The service's state and its last log lines, as evidence.
service_evidence() {
  on_appliance systemctl status --no-pager "$unit" 2>&1
  on_appliance journalctl -b --no-pager -o short-monotonic -u "$unit" 2>&1 | tail -n 30
}

# The brightness of every LED class device, in the order of led_names, as
# on (1) or off (0): the board's GPIO LEDs know no other levels.
leds_now() {
  # shellcheck disable=SC2016
  on_appliance sh -c 'for name in $2; do echo "$(cat "$1/$name/brightness" 2>/dev/null || echo missing)"; done' \
    sh "$led_class" "$led_names" |
    awk '{ printf "%s%s", (NR > 1 ? " " : ""), ($1 == "missing" ? $1 : ($1 > 0)) }'
}
# leds_expected "NAME=LEVEL ...": the same for the LEDs named lit, the rest
# dark.
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

# The service came up with the appliance and serves. Fails (status 1) when
# the daemon does not serve: the checks after it would only repeat that.
check_service_up() {
  check_eq "the service after boot" "$(prop ActiveState)" active
  check_eq "the service's start condition at boot" "$(prop ConditionResult)" yes
  if ! wait_port 120; then
    fail "the daemon started at boot opens port $control_port" "$(service_evidence)"
    return 1
  fi
  pass "the daemon started at boot opens port $control_port"
  if ! main_pid >/dev/null; then
    fail "systemd knows the daemon as the service's main process" "$(service_evidence)"
    return 1
  fi
  pass "systemd knows the daemon as the service's main process"
}

# Every command through the client, and what the LEDs and the settings
# folder show of them.
check_commands() {
  check_eq DEFAULTS "$(client DEFAULTS)" "ACK DEFAULTS"
  check_eq VERSION "$(client VERSION)" "ACK VERSION $version_text"
  check_eq "TRACKING 0" "$(client TRACKING 0)" "ACK TRACKING 0"
  check_eq "NOISESUP 1" "$(client NOISESUP 1)" "ACK NOISESUP 1"
  check_eq NOISERED "$(client NOISERED)" "ACK NOISERED 1"
  check_eq "APT 3" "$(client APT 3)" "ACK APT 3"
  check_eq "EQ 1 -3" "$(client EQ 1 -3)" "ACK EQ 1 -3"
  check_eq DSPSTATUS "$(client DSPSTATUS)" "ACK DSPSTATUS 0"
  check_eq MICTEST "$(client MICTEST)" "ACK MICTEST 0"
  check_eq "NULLMASK 6" "$(client NULLMASK 6)" "ACK NULLMASK 6"
  check_eq "NULL 3" "$(client NULL 3)" "ACK NULL 3"
  check_eq "ACTNULCOL (active blue, nulled red)" "$(client ACTNULCOL 0 0 255 255 0 0)" \
    "ACK ACTNULCOL 0 0 255 255 0 0"
  check_eq "STS 5 B=0" "$(client STS 5 B=0)" "ACK STS 5 B=0"
  check_eq "GTS 5" "$(client GTS 5)" "ACK GTS 5 CH5R=1 CH5G=1 CH5B=0 CH5SC=0"
  check_eq "STSB 7 G=100" "$(client STSB 7 G=100)" "ACK STSB 7 G=100"
  check_eq "GTSB 7" "$(client GTSB 7)" "ACK GTSB 7 CH7R=0 CH7G=100 CH7B=100 CH7SC=0"
  check_eq "SRGB 9 255 255 255" "$(client SRGB 9 255 255 255)" "ACK SRGB 9 255 255 255"
  check_eq "GRGB 9" "$(client GRGB 9)" "ACK GRGB 2 CH9 255 255 255"
  check_eq "ID 1" "$(client ID 1)" "ACK ID 1"
  check_eq "ID 0" "$(client ID 0)" "ACK ID 0"
  check_eq IMPRESS "$(client IMPRESS)" "ACK IMPRESS"
  check_eq "LEDs after IMPRESS (dark)" "$(leds_now)" "$(leds_expected "")"
  check_eq FU "$(client FU)" "ACK FU"
  # The LED state: every LED blue but LED 3 (nulled: red), LED 5 (blue
  # switched off: dark), LED 7 (green added) and LED 9 (white).
  local n on="" led_count
  led_count=$(($(wc -w <<<"$led_names") / 3))
  for n in $(seq 1 "$led_count"); do
    case $n in
      3) on="$on led3r=1" ;;
      5) ;;
      7) on="$on led7g=1 led7b=1" ;;
      9) on="$on led9r=1 led9g=1 led9b=1" ;;
      *) on="$on led${n}b=1" ;;
    esac
  done
  check_eq "LEDs showing the state (on/off)" "$(leds_now)" "$(leds_expected "$on")"
  if on_appliance test -s "$eq1_file" -a -s "$led_state_file"; then
    pass "the settings files of EQ band 1 and of the LEDs written"
  else
    fail "the settings files of EQ band 1 and of the LEDs written" \
      "$(on_appliance ls -l "$settings_folder" 2>&1)"
  fi
}

# An unknown keyword is refused and logged to the journal, with the daemon's
# identity, facility daemon (3) and priority err (3).
check_journal() {
  check_eq "unknown keyword" "$(client BOGUS)" "NACK BOGUS"
  local entry="" i field
  for i in $(seq 1 50); do
    entry=$(on_appliance journalctl -o json --no-pager "_SYSTEMD_UNIT=$unit" |
      grep -F '"MESSAGE":"invalid command '"'BOGUS'"' received"')
    [ -z "$entry" ] || break
    sleep 0.1
  done
  if [ -z "$entry" ]; then
    fail "the journal has the unknown keyword's entry" "$(service_evidence)"
    return
  fi
  pass "the journal has the unknown keyword's entry"
  for field in '"SYSLOG_IDENTIFIER":"orvo-udpd"' '"SYSLOG_FACILITY":"3"' '"PRIORITY":"3"'; do
    check_has "the journal entry's $field" "$entry" "$field"
  done
}

# Confinement: the daemon as the kernel sees it (the one capability, no new
# privileges, a system call filter) and systemd's score of the unit.
check_confinement() {
  local pid score
  if ! pid=$(main_pid); then
    fail "the daemon is the service's main process" "$(service_evidence)"
    return
  fi
  check_eq "seccomp mode of the daemon" "$(status_field "$pid" Seccomp)" 2
  check_range "system call filters on the daemon" "$(status_field "$pid" Seccomp_filters)" 1 ""
  check_eq "effective capabilities (CAP_SYS_RAWIO alone)" "$(status_field "$pid" CapEff)" 0000000000020000
  check_eq "capability bounding set" "$(status_field "$pid" CapBnd)" 0000000000020000
  check_eq "no new privileges" "$(status_field "$pid" NoNewPrivs)" 1
  score=$(on_appliance systemd-analyze security "$unit" 2>&1 |
    sed -n "s/.*Overall exposure level for $unit: \([0-9.]*\).*/\1/p")
  note "systemd-analyze security of the daemon: $score"
  check_range "the unit's exposure, at most 2.5" "$score" "" 2.5
}

# kill -9: systemd starts the daemon again, with its self-test, and the
# settings that check_commands made come back from their files into a DSP
# stand-in started afresh.
check_restart() {
  local before after="" i
  if ! before=$(main_pid); then
    fail "the daemon is the service's main process" "$(service_evidence)"
    return
  fi
  on_appliance sh -c 'kill -9 "$1"' sh "$before"
  dsp_restart
  for i in $(seq 1 600); do
    after=$(main_pid) && [ "$after" != "$before" ] && break
    after=""
    sleep 0.1
  done
  if [ -n "$after" ] && wait_port 120; then
    pass "systemd started the daemon again after kill -9"
  else
    fail "systemd started the daemon again after kill -9" "$(service_evidence)"
    return
  fi
  check_eq "restarts" "$(prop NRestarts)" 1
  check_range "seconds from the restarted daemon's start to its port (self-test 11 s)" \
    "$(since ExecMainStartTimestampMonotonic)" 10 ""
  check_eq "EQ 1 after the restart" "$(client EQ 1)" "ACK EQ 1 -3"
  check_eq "GRGB 9 after the restart" "$(client GRGB 9)" "ACK GRGB 2 CH9 255 255 255"
  check_eq "NULL after the restart" "$(client NULL)" "ACK NULL 3"
}

# check_removal PACKAGE...: dpkg -r stops the daemon and takes its service
# files away; the settings folder is the appliance's data and stays.
check_removal() {
  local sums
  sums=$(settings_sums)
  check "dpkg -r $*" on_appliance dpkg -r "$@"
  check_eq "daemons after dpkg -r" "$(daemons)" 0
  check_eq "orvo-udpd after dpkg -r" "$(on_appliance dpkg-query -W -f='${Status}' orvo-udpd 2>&1)" \
    "deinstall ok config-files"
  check "dpkg -r takes the unit away" on_appliance test ! -e "/lib/systemd/system/$unit"
  check "dpkg -r leaves the init script not executable" on_appliance test ! -x /etc/init.d/orvo-udpd
  check_eq "settings after dpkg -r" "$(settings_sums)" "$sums"
}

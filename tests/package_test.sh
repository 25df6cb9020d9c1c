#!/bin/bash
# What ships beside the programs: the manual pages, the bash completion, the
# Debian packages (orvo-udpd, orvo-udpc, orvo-exporter) and the service files
# in them, the Prometheus material.
#
#   package_test.sh manuals    SOURCE BUILD
#   package_test.sh completion SOURCE
#   package_test.sh build      SOURCE FOLDER          (makes the amd64 and armhf packages)
#   package_test.sh lintian    FOLDER
#   package_test.sh contents   FOLDER VERSION
#   package_test.sh service    SOURCE FOLDER
#   package_test.sh initscript FOLDER STUB
#   package_test.sh prometheus SOURCE
set -u

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
  fi
  echo "all checks passed"
}

# The texts of the messages the daemon logs, each up to its first value.
log_messages() {
  tr -d '\n' <"$1/daemon/server/log.h" |
    grep -oE 'kLog[A-Za-z]+\[\] = +"[^"]*"' | sed -E 's/^[^"]*"//; s/"$//; s/%.*//; s/\\n$//'
}

# The packages of each architecture: the appliance's daemon, the client, and
# the exporter (not for the appliance).
amd64_packages="orvo-udpd orvo-udpc orvo-exporter"
armhf_packages="orvo-udpd orvo-udpc"

# The package NAME for ARCH made by `build`.
package_file() {
  local file
  file=$(ls "$1/$2"_*_"$3".deb 2>/dev/null | head -n 1)
  [ -n "$file" ] || { echo "FAIL: no $3 package $2 in $1 (the build test makes it)" >&2; exit 1; }
  echo "$file"
}

# The amd64 packages made by `build`, extracted together into FOLDER/root.
package_root() {
  local folder=$1 name file
  root=$folder/root
  rm -rf "$root"
  for name in $amd64_packages; do
    file=$(package_file "$folder" "$name" amd64) || exit 1
    dpkg-deb -x "$file" "$root" || { echo "FAIL: dpkg-deb -x $file" >&2; exit 1; }
  done
}

# The manual pages as installed: lint clean. (That they describe every
# command, in its forms, is a unit test: tests/protocol_test.cpp.)
check_manuals() {
  local source=$1 build=$2 page output
  for page in "$build/man/orvo-udpd.8" "$build/man/orvo-udpc.1" "$build/man/orvo-exporter.1"; do
    [ -f "$page" ] || { fail "$page was not generated"; continue; }
    if command -v mandoc >/dev/null; then
      output=$(mandoc -T lint -W style "$page" 2>&1)
    else
      output=$(groff -ww -z -man "$page" 2>&1)
    fi
    [ -z "$output" ] || fail "$(basename "$page") does not lint clean:"$'\n'"$output"
    grep -q '^\.SH SECURITY' "$page" && grep -q 'no authentication' "$page" ||
      fail "$(basename "$page") does not say that the protocol has no authentication"
    grep -q '@[A-Z_]*@' "$page" && fail "$(basename "$page") has unfilled placeholders"
  done
  # Every message the daemon logs is listed, up to its first value (as the
  # manual prints it), and so is the one it writes before the log is open.
  local messages
  mapfile -t messages < <(log_messages "$source")
  [ "${#messages[@]}" -gt 0 ] || fail "found no messages in daemon/server/log.h"
  for message in "${messages[@]}" "failed to daemonize"; do
    grep -qF "$message" "$build/man/orvo-udpd.8" || fail "orvo-udpd.8 does not list \"$message\""
  done
}

# Runs the completion as bash would for the line typed so far and prints the
# candidates sorted, one line.
complete_line() {
  COMP_LINE=$1
  COMP_POINT=${#1}
  COMPREPLY=()
  _orvo_udpc 2>/dev/null
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

expect_completion() {
  local got
  got=$(complete_line "$1")
  [ "$got" = "$2" ] || fail "completing [$1]: got [$got], want [$2]"
}

check_completion() {
  local source=$1
  # shellcheck disable=SC1091
  . "$source/dist/orvo-udpc.bash-completion" || { fail "the completion does not load"; return; }
  complete -p orvo-udpc 2>/dev/null | grep -q -- '-F _orvo_udpc' ||
    fail "the completion is not registered for orvo-udpc"

  # The keywords and the argument ranges of each command are a unit test
  # against the protocol's table (tests/protocol_test.cpp); here, what the
  # word typed so far selects of them.
  expect_completion "orvo-udpc appliance NO" "NOISERED NOISESUP"
  expect_completion "orvo-udpc appliance NULLM" "NULLMASK"
  expect_completion "orvo-udpc appliance NOISERED 1" "1"
  expect_completion "orvo-udpc appliance GTS 1" "1 10 11 12 13 14 15 16"
  # STS and STSB: the component first, then its value; bash splits the word
  # at "=" and replaces only what follows it.
  expect_completion "orvo-udpc appliance STS 3 G" "G="
  expect_completion "orvo-udpc appliance STSB 0 B=1" "10 100"
  expect_completion "orvo-udpc appliance STS 3 r=" ""
  # The host: names from the hosts file.
  HOSTFILE=$(mktemp)
  printf '192.0.2.10 appliance-one\n192.0.2.11 appliance-two\n' >"$HOSTFILE"
  expect_completion "orvo-udpc appliance-o" "appliance-one"
  # Options before the host: the file of -a, then hosts; none after -s HOST.
  expect_completion "orvo-udpc -" "-a -f -h -r -s -t -w"
  expect_completion "orvo-udpc -t 3 appliance-one EQ " "0 1 2"
  expect_completion "orvo-udpc -a $source/dist/orvo-udpc.bash-comp" "$source/dist/orvo-udpc.bash-completion"
  expect_completion "orvo-udpc -a room.orvo appliance-one appliance-t" "appliance-two"
  expect_completion "orvo-udpc -s appliance-one " ""
  rm -f "$HOSTFILE"
}

check_contents() {
  local folder=$1 version=$2
  package_root "$folder"

  # The control fields; the daemon and the client take the place of the
  # single package of earlier versions.
  local name package field value
  for name in $amd64_packages; do
    package=$(package_file "$folder" "$name" amd64)
    for field in "Package:$name" "Version:$version" Architecture:amd64; do
      value=$(dpkg-deb -f "$package" "${field%%:*}")
      [ "$value" = "${field#*:}" ] || fail "$name: field ${field%%:*} is [$value], want [${field#*:}]"
    done
    for field in Maintainer Description Section Priority; do
      [ -n "$(dpkg-deb -f "$package" "$field")" ] || fail "$name: field $field is empty"
    done
  done
  for name in orvo-udpd orvo-udpc; do
    package=$(package_file "$folder" "$name" amd64)
    for field in Breaks Replaces; do
      value=$(dpkg-deb -f "$package" "$field")
      [ "$value" = "orvo (<< 0.2.0~)" ] || fail "$name: field $field is [$value], want [orvo (<< 0.2.0~)]"
    done
  done
  # The transitional package: nothing but its documentation, the two new
  # packages as its dependencies.
  package=$(package_file "$folder" orvo all)
  value=$(dpkg-deb -f "$package" Depends)
  [ "$value" = "orvo-udpc (>= $version), orvo-udpd (>= $version)" ] || fail "orvo: Depends is [$value]"
  value=$(dpkg-deb -c "$package" | awk '$1 !~ /^d/ { print $6 }' | tr '\n' ' ')
  [ "$value" = "./usr/share/doc/orvo/changelog.gz ./usr/share/doc/orvo/copyright " ] ||
    fail "the transitional package holds $value"
  local depends
  package=$(package_file "$folder" orvo-udpd amd64)
  depends=$(dpkg-deb -f "$package" Depends)
  [[ $depends =~ ^libc6\ \(\>=\ ([0-9.]+)\)$ ]] || fail "orvo-udpd: Depends is [$depends], want libc6 alone"
  local declared=${BASH_REMATCH[1]:-0}
  [ "$(dpkg-deb -f "$(package_file "$folder" orvo-udpc amd64)" Depends)" = "$depends" ] ||
    fail "orvo-udpc depends on more than the C library"
  [[ $(dpkg-deb -f "$(package_file "$folder" orvo-exporter amd64)" Depends) == *libmicrohttpd* ]] ||
    fail "orvo-exporter does not depend on its HTTP library"
  # The maintainer scripts register the service with init-system-helpers.
  [[ $(dpkg-deb -f "$package" Pre-Depends) == "init-system-helpers "* ]] ||
    fail "Pre-Depends is [$(dpkg-deb -f "$package" Pre-Depends)], want init-system-helpers"
  [ "$(dpkg-deb -I "$package" conffiles 2>/dev/null)" = "/etc/init.d/orvo-udpd" ] ||
    fail "the init script is not orvo-udpd's one conffile"
  package=$(package_file "$folder" orvo-exporter amd64)
  [ "$(dpkg-deb -I "$package" conffiles 2>/dev/null)" = "/etc/default/orvo-exporter" ] ||
    fail "the exporter's options are not orvo-exporter's one conffile"
  # Enabled and started on installation.
  dpkg-deb -I "$package" postinst | grep -q "deb-systemd-helper enable 'orvo-exporter.service'" &&
    dpkg-deb -I "$package" postinst | grep -q "deb-systemd-invoke \$_dh_action 'orvo-exporter.service'" ||
    fail "orvo-exporter's postinst does not enable and start the service"

  # Every file where it belongs, with its mode and owner, and nothing else.
  local listing expected lua
  # The folder of Lua plugins that Wireshark loads by itself.
  lua=$(tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p')
  [[ $lua == /usr/lib/*/wireshark/plugins ]] || fail "tshark names no global Lua plugin folder: [$lua]"
  for name in $amd64_packages; do
    package=$(package_file "$folder" "$name" amd64)
    listing=$(dpkg-deb -c "$package" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort)
    case $name in
      orvo-udpd) expected='-rwxr-xr-x root/root ./usr/sbin/orvo-udpd
-rw-r--r-- root/root ./usr/share/man/man8/orvo-udpd.8.gz
-rw-r--r-- root/root ./lib/systemd/system/orvo-udpd.service
-rw-r--r-- root/root ./lib/udev/rules.d/60-orvo-udpd.rules
-rwxr-xr-x root/root ./etc/init.d/orvo-udpd
-rw-r--r-- root/root ./usr/share/doc/orvo-udpd/examples/control-system.conf' ;;
      orvo-udpc) expected="-rwxr-xr-x root/root ./usr/bin/orvo-udpc
-rw-r--r-- root/root ./usr/share/man/man1/orvo-udpc.1.gz
-rw-r--r-- root/root ./usr/share/bash-completion/completions/orvo-udpc
-rw-r--r-- root/root .$lua/orvo.lua" ;;
      orvo-exporter) expected='-rwxr-xr-x root/root ./usr/bin/orvo-exporter
-rw-r--r-- root/root ./usr/share/man/man1/orvo-exporter.1.gz
-rw-r--r-- root/root ./lib/systemd/system/orvo-exporter.service
-rw-r--r-- root/root ./etc/default/orvo-exporter
-rw-r--r-- root/root ./usr/share/doc/orvo-exporter/examples/prometheus.yml
-rw-r--r-- root/root ./usr/share/doc/orvo-exporter/examples/orvo-rules.yml
-rw-r--r-- root/root ./usr/share/lintian/overrides/orvo-exporter' ;;
    esac
    expected=$(printf '%s\n-rw-r--r-- root/root ./usr/share/doc/%s/changelog.gz\n-rw-r--r-- root/root ./usr/share/doc/%s/copyright\n' \
      "$expected" "$name" "$name" | sort)
    [ "$listing" = "$expected" ] ||
      fail "$name holds"$'\n'"$listing"$'\n'"instead of"$'\n'"$expected"
    dpkg-deb -c "$package" | awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root")' | grep -q . &&
      fail "a folder of $name is not root's with mode 755"
  done
  cmp -s "$root$lua/orvo.lua" "$(dirname "$0")/../dist/orvo.lua" || fail "the packaged dissector is not dist/orvo.lua"

  # The armhf build makes the daemon and the client alone.
  local armhf=() file
  for name in $armhf_packages; do
    armhf+=("$(package_file "$folder" "$name" armhf)")
  done
  for file in "$folder"/*_armhf.deb; do
    [[ " ${armhf[*]} " == *" $file "* ]] || fail "the armhf build made $(basename "$file")"
  done

  # The programs: stripped, needing the C library alone, no newer one than
  # the package depends on; the armhf ones too (their dependency is named in
  # debian/shlibs.cross).
  rm -rf "$folder/root-armhf"
  for file in "${armhf[@]}"; do
    [ "$(dpkg-deb -f "$file" Depends)" = "$depends" ] ||
      fail "$(basename "$file") depends on [$(dpkg-deb -f "$file" Depends)], not [$depends]"
    dpkg-deb -x "$file" "$folder/root-armhf"
  done
  local program newest
  for program in "$root/usr/sbin/orvo-udpd" "$root/usr/bin/orvo-udpc" \
    "$folder/root-armhf/usr/sbin/orvo-udpd" "$folder/root-armhf/usr/bin/orvo-udpc"; do
    [ -f "$program" ] || { fail "$program is missing"; continue; }
    readelf -S -W "$program" | grep -qE '\.symtab|\.debug_' && fail "$program is not stripped"
    readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | grep -qv '^libc\.so\.6$' &&
      fail "$program needs more than the C library"
    newest=$(readelf --dyn-syms -W "$program" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -V | tail -n 1)
    [ "$(printf '%s\n%s\n' "$newest" "$declared" | sort -V | tail -n 1)" = "$declared" ] ||
      fail "$program needs glibc $newest, the package depends on $declared"
  done
  readelf -S -W "$root/usr/bin/orvo-exporter" | grep -qE '\.symtab|\.debug_' &&
    fail "orvo-exporter is not stripped"

  # The manual pages: valid gzip, the right page, the package's version and
  # the places the service files really have.
  local page
  page=$(gzip -dc "$root/usr/share/man/man8/orvo-udpd.8.gz") || fail "orvo-udpd.8.gz is not gzip"
  [[ $page == ".TH ORVO\\-UDPD 8 "*"\"orvo $version\""* ]] || fail "orvo-udpd.8 has a wrong title line"
  grep -qF '/lib/systemd/system/orvo\-udpd.service' <<<"$page" &&
    grep -qF '/etc/init.d/orvo\-udpd' <<<"$page" ||
    fail "orvo-udpd.8 does not name the installed service files"
  gzip -dc "$root/usr/share/man/man1/orvo-udpc.1.gz" | head -n 1 | grep -q '^\.TH ORVO\\-UDPC 1 ' ||
    fail "orvo-udpc.1.gz is not the client's page"
  gzip -dc "$root/usr/share/man/man1/orvo-exporter.1.gz" | head -n 1 | grep -q '^\.TH ORVO\\-EXPORTER 1 ' ||
    fail "orvo-exporter.1.gz is not the exporter's page"

  # The service files start the programs where the packages put them, the
  # exporter with the options of its defaults file.
  grep -qx 'ExecStart=/usr/sbin/orvo-udpd $DAEMON_ARGS' "$root/lib/systemd/system/orvo-udpd.service" ||
    fail "the unit does not start /usr/sbin/orvo-udpd"
  grep -qx 'DAEMON=/usr/sbin/orvo-udpd' "$root/etc/init.d/orvo-udpd" ||
    fail "the init script does not start /usr/sbin/orvo-udpd"
  grep -qx 'ExecStart=/usr/bin/orvo-exporter $ORVO_EXPORTER_ARGS' "$root/lib/systemd/system/orvo-exporter.service" &&
    grep -qx 'EnvironmentFile=-/etc/default/orvo-exporter' "$root/lib/systemd/system/orvo-exporter.service" ||
    fail "the exporter's unit does not start /usr/bin/orvo-exporter with /etc/default/orvo-exporter"
  grep -q '^ORVO_EXPORTER_ARGS=' "$root/etc/default/orvo-exporter" ||
    fail "/etc/default/orvo-exporter sets no ORVO_EXPORTER_ARGS"
}

# Every package: no tag at all, pedantic ones included.
check_lintian() {
  local folder=$1 output name packages=()
  for name in $amd64_packages; do packages+=("$(package_file "$folder" "$name" amd64)"); done
  for name in $armhf_packages; do packages+=("$(package_file "$folder" "$name" armhf)"); done
  packages+=("$(package_file "$folder" orvo all)")
  # lintian leaves files in TMPDIR: give it one of its own.
  local scratch
  scratch=$(mktemp -d)
  output=$(TMPDIR=$scratch lintian --info --pedantic --fail-on error,warning,info,pedantic \
    "${packages[@]}" 2>&1)
  local status=$?
  rm -rf "$scratch"
  output=$(grep -v '^running with root' <<<"$output")
  [ -z "$output" ] || echo "$output"
  [ "$status" -eq 0 ] && [ -z "$output" ] || fail "lintian found tags (status $status)"
}

check_service() {
  local source=$1 folder=$2
  package_root "$folder"
  local unit=$root/lib/systemd/system/orvo-udpd.service
  local exporter=$root/lib/systemd/system/orvo-exporter.service
  grep -qx 'Type=forking' "$unit" || fail "the unit is not Type=forking"
  grep -qx 'Restart=on-failure' "$unit" || fail "the unit does not restart on failure"
  grep -qx 'ConditionPathIsDirectory=/sys/class/leds/led1r' "$unit" ||
    fail "the unit does not start on the appliance alone"
  grep -qx 'DynamicUser=yes' "$exporter" || fail "the exporter does not run under a dynamic user"
  grep -qx 'WantedBy=multi-user.target' "$exporter" || fail "the exporter's unit is not enabled at boot"
  # Confined: the scores of tools/unit-score.sh, at most 2.5 for the daemon
  # and 1.5 for the exporter.
  local output
  output=$("$source/tools/unit-score.sh" "$unit" "$exporter" 2>&1) ||
    fail "tools/unit-score.sh:"$'\n'"$output"
  grep 'Overall exposure' <<<"$output"
  # Verified in the packages' tree, beside the system's own units (which they
  # refer to), the daemon's with the example drop-in that limits who may talk
  # to it; the manual pages they name are looked up there too.
  mkdir -p "$root/usr/lib/systemd" "$root/etc/systemd/system/orvo-udpd.service.d"
  cp -a /lib/systemd/system "$root/usr/lib/systemd/" || { fail "cannot copy the system's units"; return; }
  cp "$root/usr/share/doc/orvo-udpd/examples/control-system.conf" "$root/etc/systemd/system/orvo-udpd.service.d/"
  output=$(MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" \
    /lib/systemd/system/orvo-udpd.service /lib/systemd/system/orvo-exporter.service 2>&1)
  local status=$?
  [ $status -eq 0 ] && [ -z "$output" ] ||
    fail "systemd-analyze verify (status $status):"$'\n'"$output"
}

# The Prometheus material: the example configuration as Prometheus reads it,
# the alerting rules against their tests.
check_prometheus() {
  local source=$1 output
  command -v promtool >/dev/null || { fail "promtool is missing (tools/deps.sh installs prometheus)"; return; }
  output=$(cd "$source/dist/prometheus" && promtool check config prometheus.yml 2>&1) ||
    fail "promtool check config:"$'\n'"$output"
  output=$(cd "$source/dist/prometheus" && promtool test rules orvo-rules.test.yml 2>&1) ||
    fail "promtool test rules:"$'\n'"$output"
}

# The init script, with its daemon replaced by a stub that detaches alike.
check_initscript() {
  local folder=$1 stub=$2
  package_root "$folder"
  local work=$folder/init
  rm -rf "$work"
  mkdir -p "$work"
  cp "$stub" "$work/orvo-udpd"
  local script=$work/orvo-udpd.init
  # The appliance's LED class device: a folder of the test's (missing first).
  sed -e "s|^DAEMON=.*|DAEMON=$work/orvo-udpd|" \
    -e "s|^APPLIANCE_DEVICE=.*|APPLIANCE_DEVICE=$work/led1r|" "$root/etc/init.d/orvo-udpd" >"$script"
  sh -n "$script" || { fail "the init script does not parse"; return; }
  grep -q '^### BEGIN INIT INFO' "$script" && grep -q '^# Provides: *orvo-udpd$' "$script" &&
    grep -q '^# Default-Start: *2 3 4 5$' "$script" && grep -q '^### END INIT INFO' "$script" ||
    fail "the init script's LSB header is incomplete"

  run() {
    output=$(sh "$script" "$@" 2>&1)
    status=$?
  }
  pids() { pidof "$work/orvo-udpd" | wc -w; }
  local output status first
  run status
  [ $status -eq 3 ] || fail "status before start: $status ($output), want 3"
  # Not the appliance: nothing starts, and that is no error.
  run start
  [ $status -eq 0 ] && [ "$(pids)" -eq 0 ] && [[ $output == *"not the appliance"* ]] ||
    fail "start without the LED device: status $status, $(pids) daemon(s): $output"
  mkdir "$work/led1r"
  run start
  [ $status -eq 0 ] && [ "$(pids)" -eq 1 ] || fail "start: status $status, $(pids) daemon(s): $output"
  first=$(pidof "$work/orvo-udpd")
  run status
  [ $status -eq 0 ] || fail "status while running: $status ($output), want 0"
  run start
  [ $status -eq 0 ] && [ "$(pids)" -eq 1 ] ||
    fail "a second start: status $status, $(pids) daemon(s): $output"
  run restart
  [ $status -eq 0 ] && [ "$(pids)" -eq 1 ] && [ "$(pidof "$work/orvo-udpd")" != "$first" ] ||
    fail "restart: status $status, daemon $(pidof "$work/orvo-udpd") (was $first): $output"
  run stop
  [ $status -eq 0 ] && [ "$(pids)" -eq 0 ] || fail "stop: status $status, $(pids) daemon(s) left: $output"
  run stop
  [ $status -eq 0 ] || fail "stopping a stopped daemon: status $status ($output)"
  run status
  [ $status -eq 3 ] || fail "status after stop: $status ($output), want 3"
  run frobnicate
  [ $status -ne 0 ] && [[ $output == Usage:* ]] || fail "an unknown action: status $status ($output)"
  # Whatever happened, leave nothing running.
  local pid
  for pid in $(pidof "$work/orvo-udpd"); do kill "$pid"; done
}

case "${1:-}" in
  manuals) check_manuals "$2" "$3" ;;
  completion) check_completion "$2" ;;
  build)
    rm -rf "$3"
    "$2/tools/package.sh" -o "$3" amd64 armhf || fail "tools/package.sh failed"
    ;;
  lintian) check_lintian "$2" ;;
  contents) check_contents "$2" "$3" ;;
  service) check_service "$2" "$3" ;;
  initscript) check_initscript "$2" "$3" ;;
  prometheus) check_prometheus "$2" ;;
  *) echo "usage: $0 manuals|completion|build|lintian|contents|service|initscript|prometheus ..." >&2; exit 2 ;;
esac
finish

#!/bin/bash
# What ships beside the programs: the manual pages, the bash completion, the
# Debian packages (orvo-udpd, orvo-udpc, orvo-exporter, orvo-panel) and the
# service files in them, the Prometheus material.
#
#   package_test.sh manuals    SOURCE BUILD
#   package_test.sh completion SOURCE
#   package_test.sh build      SOURCE FOLDER          (makes the amd64 and armhf packages)
#   package_test.sh lintian    FOLDER
#   package_test.sh contents   FOLDER VERSION
#   package_test.sh service    SOURCE FOLDER
#   package_test.sh initscript FOLDER STUB
#   package_test.sh prometheus SOURCE
#
# Each is a scenario of its own (a test of ctest's); contents, lintian,
# service and initscript take the packages that build made. Every check is
# one TAP line (harness.sh).
set -u
# shellcheck source=harness.sh
. "$(dirname "$0")/harness.sh"
trap 'verdict $?' EXIT

# The texts of the messages the daemon logs, each up to its first value.
log_messages() {
  tr -d '\n' <"$1/daemon/server/log.h" |
    grep -oE 'kLog[A-Za-z]+\[\] = +"[^"]*"' | sed -E 's/^[^"]*"//; s/"$//; s/%.*//; s/\\n$//'
}

# The packages of each architecture: the appliance's daemon, the client, and
# the exporter and the panel (not for the appliance).
amd64_packages="orvo-udpd orvo-udpc orvo-exporter orvo-panel"
armhf_packages="orvo-udpd orvo-udpc"

# packages_find FOLDER: the files of the packages made by `build`, in deb
# (deb[NAME_ARCH]); stops when one is missing.
declare -A deb
packages_find() {
  local name arch file
  for name in $amd64_packages $armhf_packages orvo; do
    case $name in
      orvo) arch=all ;;
      *) [[ " $armhf_packages " == *" $name "* ]] && arch="amd64 armhf" || arch=amd64 ;;
    esac
    for arch in $arch; do
      file=$(ls "$1/${name}_"*"_$arch.deb" 2>/dev/null | head -n 1)
      [ -n "$file" ] || fatal "a $arch package $name in $1 (the build test makes it)" "$(ls "$1" 2>&1)"
      deb[${name}_$arch]=$file
    done
  done
}

# The amd64 packages made by `build`, extracted together into FOLDER/root.
package_root() {
  local folder=$1 name
  packages_find "$folder"
  root=$folder/root
  rm -rf "$root"
  for name in $amd64_packages; do
    dpkg-deb -x "${deb[${name}_amd64]}" "$root" || fatal "dpkg-deb -x ${deb[${name}_amd64]}"
  done
}

# The manual pages as installed: lint clean. (That they describe every
# command, in its forms, is a unit test: tests/protocol_test.cpp.)
check_manuals() {
  local source=$1 build=$2 page name output
  for page in "$build/man/orvo-udpd.8" "$build/man/orvo-udpc.1" "$build/man/orvo-exporter.1" \
    "$build/man/orvo-panel.1"; do
    name=$(basename "$page")
    if [ ! -f "$page" ]; then
      fail "$name was generated"
      continue
    fi
    if command -v mandoc >/dev/null; then
      output=$(mandoc -T lint -W style "$page" 2>&1)
    else
      output=$(groff -ww -z -man "$page" 2>&1)
    fi
    check_empty "$name lints clean" "$output"
    if grep -q '^\.SH SECURITY' "$page" && grep -q 'no authentication' "$page"; then
      pass "$name says that the protocol has no authentication"
    else
      fail "$name says that the protocol has no authentication" "$(grep -n -A3 '^\.SH SECURITY' "$page")"
    fi
    check_empty "$name has no unfilled placeholders" "$(grep -n '@[A-Z_]*@' "$page")"
  done
  # Every message the daemon logs is listed, up to its first value (as the
  # manual prints it), and so is the one it writes before the log is open.
  local messages message missing
  mapfile -t messages < <(log_messages "$source")
  check_range "messages found in daemon/server/log.h" "${#messages[@]}" 1 ""
  missing=""
  for message in "${messages[@]}" "failed to daemonize"; do
    grep -qF "$message" "$build/man/orvo-udpd.8" 2>/dev/null || missing="$missing"$'\n'"$message"
  done
  check_empty "orvo-udpd.8 lists every message the daemon logs" "${missing#$'\n'}"
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
  check_eq "completing [$1]" "$(complete_line "$1")" "$2"
}

check_completion() {
  local source=$1
  # shellcheck disable=SC1091
  if ! . "$source/dist/orvo-udpc.bash-completion"; then
    fail "the completion loads"
    return
  fi
  pass "the completion loads"
  check_has "the completion is registered for orvo-udpc" "$(complete -p orvo-udpc 2>&1)" "-F _orvo_udpc"

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

# The listing of a package's files: mode, owner, path; sorted.
package_files() { dpkg-deb -c "$1" | awk '$1 !~ /^d/ { print $1, $2, $6 }' | sort; }

check_contents() {
  local folder=$1 version=$2
  package_root "$folder"

  # The control fields; the daemon and the client take the place of the
  # single package of earlier versions.
  local name package field
  for name in $amd64_packages; do
    package=${deb[${name}_amd64]}
    for field in "Package:$name" "Version:$version" Architecture:amd64; do
      check_eq "$name: field ${field%%:*}" "$(dpkg-deb -f "$package" "${field%%:*}")" "${field#*:}"
    done
    for field in Maintainer Description Section Priority; do
      check_match "$name: field $field is set" "$(dpkg-deb -f "$package" "$field")" .
    done
  done
  for name in orvo-udpd orvo-udpc; do
    for field in Breaks Replaces; do
      check_eq "$name: field $field" "$(dpkg-deb -f "${deb[${name}_amd64]}" "$field")" "orvo (<< 0.2.0~)"
    done
  done
  # The transitional package: nothing but its documentation, the two new
  # packages as its dependencies.
  package=${deb[orvo_all]}
  check_eq "orvo: field Depends" "$(dpkg-deb -f "$package" Depends)" \
    "orvo-udpc (>= $version), orvo-udpd (>= $version)"
  check_eq "the transitional package's files" \
    "$(dpkg-deb -c "$package" | awk '$1 !~ /^d/ { print $6 }' | tr '\n' ' ')" \
    "./usr/share/doc/orvo/changelog.gz ./usr/share/doc/orvo/copyright "
  local depends declared
  package=${deb[orvo-udpd_amd64]}
  depends=$(dpkg-deb -f "$package" Depends)
  check_match "orvo-udpd: field Depends is the C library alone" "$depends" '^libc6 \(>= [0-9.]+\)$'
  declared=$(sed -n 's/^libc6 (>= \([0-9.]*\))$/\1/p' <<<"$depends")
  declared=${declared:-0}
  check_eq "orvo-udpc: field Depends (the C library alone)" "$(dpkg-deb -f "${deb[orvo-udpc_amd64]}" Depends)" \
    "$depends"
  for name in orvo-exporter orvo-panel; do
    check_has "$name: field Depends names its HTTP library" \
      "$(dpkg-deb -f "${deb[${name}_amd64]}" Depends)" libmicrohttpd
  done
  # The maintainer scripts register the service with init-system-helpers.
  check_match "orvo-udpd: field Pre-Depends" "$(dpkg-deb -f "$package" Pre-Depends)" '^init-system-helpers '
  check_eq "orvo-udpd's conffiles" "$(dpkg-deb -I "$package" conffiles 2>&1)" /etc/init.d/orvo-udpd
  # The exporter and the panel: their defaults files, enabled and started on
  # installation; the exporter's settings folder made first, the panel's
  # user made before its service starts.
  local postinst
  for name in orvo-exporter orvo-panel; do
    package=${deb[${name}_amd64]}
    check_eq "$name's conffiles" "$(dpkg-deb -I "$package" conffiles 2>&1)" /etc/default/$name
    postinst=$(dpkg-deb -I "$package" postinst)
    check_has "$name's postinst enables the service" "$postinst" \
      "deb-systemd-helper enable '$name.service'"
    check_has "$name's postinst starts the service" "$postinst" \
      "deb-systemd-invoke \$_dh_action '$name.service'"
  done
  check_match "orvo-exporter's postinst makes the settings folder before it starts the service" \
    "$(dpkg-deb -I "${deb[orvo-exporter_amd64]}" postinst | tr '\n' ' ')" \
    'systemd-tmpfiles .*orvo-exporter\.conf.*deb-systemd-invoke'
  check_match "orvo-panel's postinst makes its user before it starts the service" \
    "$(tr '\n' ' ' <<<"$postinst")" 'systemd-sysusers .*orvo-panel\.conf.*deb-systemd-invoke'
  check_has "orvo-panel's postrm removes the state folder on purge" \
    "$(dpkg-deb -I "${deb[orvo-panel_amd64]}" postrm)" "rm -rf /var/lib/orvo-panel"

  # Every file where it belongs, with its mode and owner, and nothing else;
  # the panel's pages are those of the source tree.
  local expected lua pages
  pages=$(cd "$(dirname "$0")/../panel/www" && find . -type f | sed 's|^\./|-rw-r--r-- root/root ./usr/share/orvo-panel/www/|')
  check_match "the pages in panel/www" "$pages" 'www/index\.html'
  # The folder of Lua plugins that Wireshark loads by itself.
  lua=$(tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:[[:space:]]*//p')
  check_match "tshark's global Lua plugin folder" "$lua" '^/usr/lib/.*/wireshark/plugins$'
  for name in $amd64_packages; do
    package=${deb[${name}_amd64]}
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
-rw-r--r-- root/root ./usr/share/doc/orvo-exporter/examples/alertmanager.yml
-rw-r--r-- root/root ./usr/lib/tmpfiles.d/orvo-exporter.conf
-rw-r--r-- root/root ./usr/share/lintian/overrides/orvo-exporter' ;;
      orvo-panel) expected="-rwxr-xr-x root/root ./usr/bin/orvo-panel
-rw-r--r-- root/root ./usr/share/man/man1/orvo-panel.1.gz
-rw-r--r-- root/root ./lib/systemd/system/orvo-panel.service
-rw-r--r-- root/root ./etc/default/orvo-panel
-rw-r--r-- root/root ./usr/lib/sysusers.d/orvo-panel.conf
-rw-r--r-- root/root ./usr/share/lintian/overrides/orvo-panel
$pages" ;;
    esac
    expected=$(printf '%s\n-rw-r--r-- root/root ./usr/share/doc/%s/changelog.gz\n-rw-r--r-- root/root ./usr/share/doc/%s/copyright\n' \
      "$expected" "$name" "$name" | sort)
    check_eq "$name's files, modes and owners" "$(package_files "$package")" "$expected"
    check_empty "$name's folders are root's, with mode 755" \
      "$(dpkg-deb -c "$package" | awk '$1 ~ /^d/ && ($1 != "drwxr-xr-x" || $2 != "root/root")')"
  done
  check "the packaged dissector is dist/orvo.lua" cmp "$root$lua/orvo.lua" "$(dirname "$0")/../dist/orvo.lua"

  # The armhf build makes the daemon and the client alone.
  local armhf=() file extra=""
  for name in $armhf_packages; do
    armhf+=("${deb[${name}_armhf]}")
  done
  for file in "$folder"/*_armhf.deb; do
    [[ " ${armhf[*]} " == *" $file "* ]] || extra="$extra $(basename "$file")"
  done
  check_empty "the armhf build makes orvo-udpd and orvo-udpc alone" "${extra# }"

  # The programs: stripped, needing the C library alone, no newer one than
  # the package depends on; the armhf ones too (their dependency is named in
  # debian/shlibs.cross).
  rm -rf "$folder/root-armhf"
  for file in "${armhf[@]}"; do
    check_eq "$(basename "$file"): field Depends" "$(dpkg-deb -f "$file" Depends)" "$depends"
    dpkg-deb -x "$file" "$folder/root-armhf"
  done
  local program newest what
  for program in "$root/usr/sbin/orvo-udpd" "$root/usr/bin/orvo-udpc" \
    "$folder/root-armhf/usr/sbin/orvo-udpd" "$folder/root-armhf/usr/bin/orvo-udpc"; do
    what=${program#"$folder/"}
    if [ ! -f "$program" ]; then
      fail "$what is there"
      continue
    fi
    check_empty "$what is stripped" "$(readelf -S -W "$program" | grep -E '\.symtab|\.debug_')"
    check_empty "$what needs the C library alone" \
      "$(readelf -d "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | grep -v '^libc\.so\.6$')"
    newest=$(readelf --dyn-syms -W "$program" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -V | tail -n 1)
    check_eq "$what needs no newer glibc than the package depends on ($declared)" \
      "$(printf '%s\n%s\n' "$newest" "$declared" | sort -V | tail -n 1)" "$declared"
  done
  for program in orvo-exporter orvo-panel; do
    check_empty "$program is stripped" "$(readelf -S -W "$root/usr/bin/$program" | grep -E '\.symtab|\.debug_')"
  done

  # The manual pages: valid gzip, the right page, the package's version and
  # the places the service files really have.
  local page
  page=$(gzip -dc "$root/usr/share/man/man8/orvo-udpd.8.gz" 2>&1)
  check_match "orvo-udpd.8.gz: its title line" "$(head -n 1 <<<"$page")" \
    "^\.TH ORVO\\\\-UDPD 8 .*\"orvo $version\""
  check_has "orvo-udpd.8 names the installed unit" "$page" '/lib/systemd/system/orvo\-udpd.service'
  check_has "orvo-udpd.8 names the installed init script" "$page" '/etc/init.d/orvo\-udpd'
  check_match "orvo-udpc.1.gz is the client's page" \
    "$(gzip -dc "$root/usr/share/man/man1/orvo-udpc.1.gz" 2>&1 | head -n 1)" '^\.TH ORVO\\-UDPC 1 '
  check_match "orvo-exporter.1.gz is the exporter's page" \
    "$(gzip -dc "$root/usr/share/man/man1/orvo-exporter.1.gz" 2>&1 | head -n 1)" '^\.TH ORVO\\-EXPORTER 1 '
  check_match "orvo-panel.1.gz is the panel's page" \
    "$(gzip -dc "$root/usr/share/man/man1/orvo-panel.1.gz" 2>&1 | head -n 1)" '^\.TH ORVO\\-PANEL 1 '

  # The service files start the programs where the packages put them, the
  # exporter with the options of its defaults file.
  check_line "the unit starts /usr/sbin/orvo-udpd" "$root/lib/systemd/system/orvo-udpd.service" \
    'ExecStart=/usr/sbin/orvo-udpd $DAEMON_ARGS'
  check_line "the init script starts /usr/sbin/orvo-udpd" "$root/etc/init.d/orvo-udpd" \
    'DAEMON=/usr/sbin/orvo-udpd'
  check_line "the exporter's unit starts /usr/bin/orvo-exporter" "$root/lib/systemd/system/orvo-exporter.service" \
    'ExecStart=/usr/bin/orvo-exporter $ORVO_EXPORTER_ARGS'
  check_line "the exporter's unit reads /etc/default/orvo-exporter" \
    "$root/lib/systemd/system/orvo-exporter.service" 'EnvironmentFile=-/etc/default/orvo-exporter'
  check_match "/etc/default/orvo-exporter sets ORVO_EXPORTER_ARGS" \
    "$(grep '^ORVO_EXPORTER_ARGS=' "$root/etc/default/orvo-exporter")" .
  # The panel: its login address into a file of its runtime folder, its
  # options from its defaults file; the exporter reads the panel's rooms.
  check_line "the panel's unit starts /usr/bin/orvo-panel" "$root/lib/systemd/system/orvo-panel.service" \
    'ExecStart=/bin/sh -c '"'"'exec "$$0" "$$@" >"$$RUNTIME_DIRECTORY/login"'"'"' /usr/bin/orvo-panel $ORVO_PANEL_ARGS'
  check_line "the panel's unit reads /etc/default/orvo-panel" \
    "$root/lib/systemd/system/orvo-panel.service" 'EnvironmentFile=-/etc/default/orvo-panel'
  check_match "/etc/default/orvo-panel sets ORVO_PANEL_ARGS" \
    "$(grep '^ORVO_PANEL_ARGS=' "$root/etc/default/orvo-panel")" .
  check_match "the exporter's settings folder is the panel's state folder" \
    "$(grep '^ORVO_EXPORTER_ARGS=' "$root/etc/default/orvo-exporter")" '--settings-dir /var/lib/orvo-panel( |"|$)'
  check_has "the exporter's package makes that folder" "$(cat "$root/usr/lib/tmpfiles.d/orvo-exporter.conf")" \
    'd /var/lib/orvo-panel 0755'
}

# Every package: no tag at all, pedantic ones included.
check_lintian() {
  local folder=$1 output status scratch
  packages_find "$folder"
  # lintian leaves files in TMPDIR: give it one of its own.
  scratch=$(mktemp -d)
  output=$(TMPDIR=$scratch lintian --info --pedantic --fail-on error,warning,info,pedantic \
    "${deb[@]}" 2>&1)
  status=$?
  rm -rf "$scratch"
  output=$(grep -v '^running with root' <<<"$output")
  check_eq "lintian's status" "$status" 0
  check_empty "lintian's tags" "$output"
}

check_service() {
  local source=$1 folder=$2
  package_root "$folder"
  local unit=$root/lib/systemd/system/orvo-udpd.service
  local exporter=$root/lib/systemd/system/orvo-exporter.service
  local panel=$root/lib/systemd/system/orvo-panel.service
  check_line "the unit is Type=forking" "$unit" 'Type=forking'
  check_line "the unit restarts on failure" "$unit" 'Restart=on-failure'
  check_line "the unit starts on the appliance alone" "$unit" 'ConditionPathIsDirectory=/sys/class/leds/led1r'
  check_line "the exporter runs under a dynamic user" "$exporter" 'DynamicUser=yes'
  check_line "the exporter's unit is enabled at boot" "$exporter" 'WantedBy=multi-user.target'
  check_line "the panel runs under its own user" "$panel" 'User=orvo-panel'
  check_line "the panel's state folder is readable by the exporter" "$panel" 'StateDirectoryMode=0755'
  check_line "the panel's unit is enabled at boot" "$panel" 'WantedBy=multi-user.target'
  # Confined: the scores of tools/unit-score.sh, at most 2.5 for the daemon
  # and 1.5 for the exporter and the panel.
  local output status
  output=$("$source/tools/unit-score.sh" "$unit" "$exporter" "$panel" 2>&1)
  status=$?
  note "$(grep 'Overall exposure' <<<"$output" | tr '\n' ' ')"
  if [ "$status" -eq 0 ]; then
    pass "tools/unit-score.sh: the units' exposure"
  else
    fail "tools/unit-score.sh: the units' exposure" "status $status" "$output"
  fi
  # Verified in the packages' tree, beside the system's own units (which they
  # refer to), the daemon's with the example drop-in that limits who may talk
  # to it; the manual pages they name are looked up there too.
  mkdir -p "$root/usr/lib/systemd" "$root/etc/systemd/system/orvo-udpd.service.d"
  if ! cp -a /lib/systemd/system "$root/usr/lib/systemd/"; then
    fail "the system's units copied into the packages' tree"
    return
  fi
  cp "$root/usr/share/doc/orvo-udpd/examples/control-system.conf" "$root/etc/systemd/system/orvo-udpd.service.d/"
  # The panel's unit starts it through the system's shell, and the
  # exporter's reloads it with the shell's kill; the packages do not bring
  # the shell.
  mkdir -p "$root/bin" && cp -L /bin/sh "$root/bin/sh"
  output=$(MANPATH=$root/usr/share/man systemd-analyze verify --root="$root" \
    /lib/systemd/system/orvo-udpd.service /lib/systemd/system/orvo-exporter.service \
    /lib/systemd/system/orvo-panel.service 2>&1)
  status=$?
  check_eq "systemd-analyze verify: status" "$status" 0
  check_empty "systemd-analyze verify: its findings" "$output"
}

# The Prometheus material: the example configuration as Prometheus reads it,
# the alerting rules against their tests, the example Alertmanager
# configuration as Alertmanager reads it.
check_prometheus() {
  local source=$1
  if ! command -v promtool >/dev/null; then
    fail "promtool is there (tools/deps.sh installs prometheus)"
    return
  fi
  if ! command -v amtool >/dev/null; then
    fail "amtool is there (tools/deps.sh installs prometheus-alertmanager)"
    return
  fi
  check "promtool check config" sh -c 'cd "$1" && promtool check config prometheus.yml' sh \
    "$source/dist/prometheus"
  check "promtool test rules" sh -c 'cd "$1" && promtool test rules orvo-rules.test.yml' sh \
    "$source/dist/prometheus"
  check "amtool check-config" amtool check-config "$source/dist/prometheus/alertmanager.yml"
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
  if ! sh -n "$script"; then
    fail "the init script parses"
    return
  fi
  pass "the init script parses"
  local header
  header=$(sed -n '/^### BEGIN INIT INFO/,/^### END INIT INFO/p' "$script")
  check_match "the init script's LSB header" "$header" \
    $'^### BEGIN INIT INFO\n(.*\n)?# Provides: *orvo-udpd\n(.*\n)?# Default-Start: *2 3 4 5\n(.*\n)?### END INIT INFO$'

  # run ACTION: the script's output and status, and the daemons running.
  local output status first daemons
  run() {
    output=$(sh "$script" "$@" 2>&1)
    status=$?
    daemons=$(pidof "$work/orvo-udpd" | wc -w)
  }
  # check_outcome WHAT WANT: what run saw, "status S, N daemon(s)"; the
  # script's output as the evidence.
  check_outcome() {
    local got="status $status, $daemons daemon(s)"
    if [ "$got" = "$2" ]; then pass "$1"; else fail "$1" "got:  [$got]" "want: [$2]" "$output"; fi
  }
  run status
  check_outcome "status before start" "status 3, 0 daemon(s)"
  # Not the appliance: nothing starts, and that is no error.
  run start
  check_outcome "start without the LED device" "status 0, 0 daemon(s)"
  check_has "start without the LED device says why" "$output" "not the appliance"
  mkdir "$work/led1r"
  run start
  check_outcome "start" "status 0, 1 daemon(s)"
  first=$(pidof "$work/orvo-udpd")
  run status
  check_outcome "status while running" "status 0, 1 daemon(s)"
  run start
  check_outcome "a second start" "status 0, 1 daemon(s)"
  run restart
  check_outcome "restart" "status 0, 1 daemon(s)"
  if [ -n "$first" ] && [ "$(pidof "$work/orvo-udpd")" != "$first" ]; then
    pass "restart starts a new daemon"
  else
    fail "restart starts a new daemon" "daemon $(pidof "$work/orvo-udpd"), was [$first]" "$output"
  fi
  run stop
  check_outcome "stop" "status 0, 0 daemon(s)"
  run stop
  check_outcome "stopping a stopped daemon" "status 0, 0 daemon(s)"
  run status
  check_outcome "status after stop" "status 3, 0 daemon(s)"
  run frobnicate
  if [ "$status" -ne 0 ] && [[ $output == Usage:* ]]; then
    pass "an unknown action is refused with the usage"
  else
    fail "an unknown action is refused with the usage" "status $status" "$output"
  fi
  # Whatever happened, leave nothing running.
  local pid
  for pid in $(pidof "$work/orvo-udpd"); do kill "$pid"; done
}

case "${1:-}" in
  manuals) check_manuals "$2" "$3" ;;
  completion) check_completion "$2" ;;
  build)
    rm -rf "$3"
    check "tools/package.sh -o $3 amd64 armhf" "$2/tools/package.sh" -o "$3" amd64 armhf
    ;;
  lintian) check_lintian "$2" ;;
  contents) check_contents "$2" "$3" ;;
  service) check_service "$2" "$3" ;;
  initscript) check_initscript "$2" "$3" ;;
  prometheus) check_prometheus "$2" ;;
  *) echo "usage: $0 manuals|completion|build|lintian|contents|service|initscript|prometheus ..." >&2; exit 2 ;;
esac

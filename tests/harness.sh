# shellcheck shell=bash
# What the package, system and board test scripts share (sourced, bash).
#
# The assertion library: every check is one TAP line on standard output,
# "ok N WHAT" or "not ok N WHAT", a failed one followed by its evidence as
# "#" lines (got and want, a file's lines, a command's output); notes are
# "#" lines too. The exit trap ends with `verdict`: the plan ("1..N") and
# "N passed, N failed", and a failing status when a check failed. Checks
# never stop the script (set -u, no -e): every check runs. Lines go out
# with tap_prefix before them (the board's checks mark theirs on the
# serial console so).
#
# Below it: qemu-user for ARM programs through binfmt_misc, and the Debian
# roots of the system and board tests.

started=${started:-$(date +%s)}
tap_prefix=${tap_prefix:-}
checks=0
failures=0
skips=0

tap() { printf '%s%s\n' "$tap_prefix" "$*"; }
note() { tap "# $*"; }
# evidence TEXT...: each line of each TEXT as a "#" line below a check.
evidence() {
  local text line
  for text in "$@"; do
    while IFS= read -r line; do tap "#   $line"; done <<<"$text"
  done
}

# pass WHAT; fail WHAT [EVIDENCE...]; skip WHAT REASON
pass() {
  checks=$((checks + 1))
  tap "ok $checks $1"
}
fail() {
  checks=$((checks + 1))
  failures=$((failures + 1))
  tap "not ok $checks $1"
  evidence "${@:2}"
}
skip() {
  checks=$((checks + 1))
  skips=$((skips + 1))
  tap "ok $checks $1 # SKIP $2"
}
# Stops the script where going on makes no sense; the exit trap cleans up.
fatal() {
  fail "$@"
  tap "Bail out! $1"
  exit 1
}

# check_eq WHAT GOT WANT
check_eq() {
  if [ "$2" = "$3" ]; then pass "$1"; else fail "$1" "got:  [$2]" "want: [$3]"; fi
}
# check_empty WHAT GOT: nothing wanted (files left behind, a lint's output).
check_empty() {
  if [ -z "$2" ]; then pass "$1"; else fail "$1" "got, where nothing is wanted:" "$2"; fi
}
# check_match WHAT GOT ERE: GOT matches the extended regular expression.
check_match() {
  if [[ $2 =~ $3 ]]; then pass "$1"; else fail "$1" "got:  [$2]" "want: /$3/"; fi
}
# check_has WHAT TEXT STRING: TEXT holds STRING.
check_has() {
  if [[ $2 == *"$3"* ]]; then pass "$1"; else fail "$1" "want: [$3] in" "$2"; fi
}
# check_range WHAT GOT MIN MAX: a number within MIN..MAX (either may be "").
check_range() {
  if awk -v x="$2" -v lo="$3" -v hi="$4" 'BEGIN {
       exit !(x ~ /^-?[0-9]+(\.[0-9]*)?$/ && (lo == "" || x + 0 >= lo + 0) && (hi == "" || x + 0 <= hi + 0))
     }'; then
    pass "$1"
  else
    fail "$1" "got:  [$2]" "want: ${3:-any} to ${4:-any}"
  fi
}
# check_line WHAT FILE LINE: FILE has LINE, whole.
check_line() {
  if grep -qxF -- "$3" "$2" 2>/dev/null; then
    pass "$1"
  else
    fail "$1" "want the line [$3] in $2:" "$(cat "$2" 2>&1)"
  fi
}
# check WHAT COMMAND...: the command succeeds; else its status and output.
check() {
  local output status
  output=$("${@:2}" 2>&1)
  status=$?
  if [ "$status" -eq 0 ]; then
    pass "$1"
  else
    fail "$1" "\$ $(printf '%q ' "${@:2}")" "status $status" "$output"
  fi
}

# verdict STATUS: the end of the exit trap, after the clean-up: the plan and
# the counts. Fails when a check failed, or with the status the script
# stopped with.
verdict() {
  tap "1..$checks"
  tap "# $((checks - failures - skips)) passed, $failures failed, $skips skipped ($(($(date +%s) - started)) s)"
  [ "$failures" -eq 0 ] || exit 1
  [ "$1" -eq 0 ] || exit "$1"
  exit 0
}

# tap_relay: TAP lines of another run (the board's) as checks of this one,
# numbered on here; their "#" lines pass through.
tap_relay() {
  local line
  while IFS= read -r line; do
    case $line in
      "ok "*"# SKIP "*) line=${line#ok }; line=${line#* }; skip "${line% \# SKIP *}" "${line##*# SKIP }" ;;
      "ok "*) line=${line#ok }; pass "${line#* }" ;;
      "not ok "*) line=${line#not ok }; fail "${line#* }" ;;
      "#"*) tap "$line" ;;
    esac
  done
}

# arm_emulator_register NAME EMULATOR: ARM ELF programs run under EMULATOR
# through an entry NAME of this run's own in binfmt_misc (F: the emulator is
# opened now, so that it also serves containers and chroots).
binfmt=/proc/sys/fs/binfmt_misc
binfmt_entry=""
binfmt_mounted=""
arm_emulator_register() {
  if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" || fatal "cannot mount binfmt_misc"
    binfmt_mounted=yes
  fi
  printf '%s' ":$1:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$2:FC" \
    >"$binfmt/register" || fatal "cannot register $2 with binfmt_misc"
  binfmt_entry=$1
}
# Removes the entry, and binfmt_misc when this run mounted it and no other
# entry is left.
arm_emulator_unregister() {
  [ -z "$binfmt_entry" ] || echo -1 >"$binfmt/$binfmt_entry"
  binfmt_entry=""
  if [ -n "$binfmt_mounted" ] && [ "$(ls "$binfmt" | grep -cvx 'register\|status')" -eq 0 ]; then
    umount "$binfmt"
  fi
  binfmt_mounted=""
}

# The Debian 12 suites of this host's own apt sources, one "deb URI SUITE
# COMPONENT..." line each, as apt's configuration has them (so that no
# mirror is written here); nothing when the host has none.
host_debian_sources() {
  # shellcheck disable=SC2016
  apt-get indextargets --no-release-info --format '$(TARGET_OF) $(REPO_URI) $(RELEASE) $(COMPONENT)' |
    awk '$1 == "deb" && ($3 == "bookworm" || $3 ~ /^bookworm-/) {
      key = $2 " " $3
      if (!(key in components)) { order[++n] = key; components[key] = $4 }
      else if (index(" " components[key] " ", " " $4 " ") == 0) components[key] = components[key] " " $4
    }
    END { for (i = 1; i <= n; i++) print "deb " order[i] " " components[order[i]] }'
}

# debian_root_build DIR LOG MMDEBSTRAP-OPTION...: builds a Debian 12 root
# in DIR with mmdebstrap from this host's apt sources, its output in LOG.
# apt retries a transient fault itself; a failed build is tried once more
# after a pause. When the failure is the security suite's index (a mirror
# caught mid-sync serves one that does not match its Release file), it says
# so and builds without that suite: the roots are test fixtures, the
# packages under test do not come from them. DIR/.suites names the suites
# the root was built from. On failure: mmdebstrap's last lines, status 1.
debian_root_build() {
  local dir=$1 log=$2 sources=$2.sources.list retried="" security failed
  local options=("${@:3}")
  host_debian_sources >"$sources"
  if [ ! -s "$sources" ]; then
    note "this host's apt sources have no Debian 12 suite: mmdebstrap's defaults"
  fi
  while :; do
    rm -rf "$dir"
    if [ -s "$sources" ]; then
      set -- bookworm "$dir" "$sources"
    else
      set -- bookworm "$dir"
    fi
    if mmdebstrap --aptopt='Acquire::Retries "3"' "${options[@]}" "$@" >"$log" 2>&1; then
      if [ -s "$sources" ]; then
        awk '{ print $3 }' "$sources" | paste -sd ' ' >"$dir/.suites"
      else
        echo "mmdebstrap's defaults" >"$dir/.suites"
      fi
      note "root built from: $(cat "$dir/.suites")"
      return 0
    fi
    security=$(awk '$3 ~ /-security/ { print $3; exit }' "$sources")
    failed=""
    [ -z "$security" ] || failed=$(grep '^[EW]:' "$log" | grep -F -m 1 "$security")
    if [ -n "$failed" ]; then
      note "the security suite failed, building without it: $failed"
      grep -vF " $security " "$sources" >"$sources.new"
      mv "$sources.new" "$sources"
    elif [ -z "$retried" ]; then
      note "mmdebstrap failed ($(grep '^E:' "$log" | tail -n 1)); once more in 30 s"
      retried=yes
      sleep 30
    else
      break
    fi
  done
  tail -n 30 "$log" >&2
  rm -rf "$dir"
  return 1
}

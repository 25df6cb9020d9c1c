# What the system and board test scripts share (sourced, bash): failed
# checks counted, the verdict at the end, and qemu-user for ARM programs
# through binfmt_misc. The script sets started=$(date +%s) before it.

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# Stops the test where going on makes no sense; the trap cleans up.
fatal() {
  fail "$@"
  exit 1
}
note() { echo "-- $*"; }

# verdict STATUS: the end of the exit trap, after the clean-up. Fails when a
# check failed, or with the status the script stopped with.
verdict() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures check(s) failed ($(($(date +%s) - started)) s)" >&2
    exit 1
  fi
  [ "$1" -eq 0 ] || exit "$1"
  echo "all checks passed ($(($(date +%s) - started)) s)"
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

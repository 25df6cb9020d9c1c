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

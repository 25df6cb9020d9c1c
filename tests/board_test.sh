#!/bin/bash
# The armhf package on the appliance's own kind of kernel: Debian 12's armmp
# kernel and systemd booted under full-system emulation (qemu-system-arm,
# machine raspi2b), with the appliance's 45 LEDs as GPIO LEDs and the DSP's
# mailbox window as a reserved page of physical memory, both added to
# Debian's device tree.
#
#   board_test.sh root
#   board_test.sh PACKAGES DSPSIM BENCH FACTS
#
# "root" only builds the cached root folder. Otherwise PACKAGES is the
# folder holding the armhf packages to test (every orvo*_armhf.deb in it is
# installed), DSPSIM and BENCH the armhf orvo-dspsim and orvo-bench, FACTS
# the native board_facts (the platform's LED names, paths and mailbox window).
#
# In the guest, a unit of this test installs the packages with dpkg, runs
# the checks of board_guest.sh (those of appliance_checks.sh among them,
# which the system test runs in its container) with the DSP stand-in
# serving the window through /dev/mem, prints them as TAP lines on the
# serial console and powers the guest off; this script numbers them on
# among its own checks (harness.sh) and fails on any failed one.
#
# The root folder (mmdebstrap, armhf: the kernel, systemd, udev, kmod, a
# small initramfs) is built once under qemu-user and kept under
# ORVO_BOARD_CACHE (default /var/cache/orvo-board-root), named after its
# inputs; a run copies nothing of it but what the SD image takes. Needs root.
#
# Environment:
#   ORVO_BOARD_DENY=CALL   a drop-in takes CALL out of the service's system
#                          call filter: the test must then fail (a check of
#                          the test itself). clock_nanosleep, say: the
#                          daemon's waits need it (glibc on armhf makes the
#                          time64 call only for times beyond 2038)
#   ORVO_BOARD_TIMEOUT=S   hard limit of each of the guest's two boots
#                          (default 600 s; they take about 2 and 3 minutes)
#   ORVO_BOARD_CONSOLE=F   keep the guest's console output in file F
set -u
cache=${ORVO_BOARD_CACHE:-/var/cache/orvo-board-root}
timeout_s=${ORVO_BOARD_TIMEOUT:-600}
deny=${ORVO_BOARD_DENY:-}
here=$(cd "$(dirname "$0")" && pwd)
started=$(date +%s)
# shellcheck source=harness.sh
. "$here/harness.sh"

if [ $# -eq 1 ] && [ "$1" = root ]; then
  root_only=yes
elif [ $# -eq 4 ]; then
  root_only=""
  packages=$(readlink -f "$1")
  dspsim=$(readlink -f "$2")
  bench=$(readlink -f "$3")
  facts=$(readlink -f "$4")
else
  echo "usage: $0 root | $0 PACKAGES DSPSIM BENCH FACTS" >&2
  exit 2
fi

[ "$(id -u)" -eq 0 ] || fatal "the board test needs root (mmdebstrap, mounts)"
for tool in mmdebstrap qemu-system-arm dtc mke2fs flock; do
  command -v "$tool" >/dev/null || fatal "$tool is missing (tools/deps.sh installs it)"
done
emulator=/usr/bin/qemu-arm-static
[ -x "$emulator" ] || fatal "$emulator is missing (tools/deps.sh installs it)"

run=$(mktemp -d "${TMPDIR:-/tmp}/orvo-board.XXXXXX")
mounted=""
qemu_pid=""

cleanup() {
  local status=$?
  if [ -n "$qemu_pid" ]; then
    kill -KILL "$qemu_pid" 2>/dev/null
    wait "$qemu_pid" 2>/dev/null
  fi
  if [ -n "$mounted" ]; then
    umount "$run/root" 2>/dev/null || umount -l "$run/root"
  fi
  arm_emulator_unregister
  rm -rf "$run"
  verdict $status
}
trap cleanup EXIT
trap 'echo "interrupted" >&2; exit 1' INT TERM HUP

# --- The root folder: built once, shared by every run (lock held while used)
# The initramfs has only what the board needs to mount its root (the SDHCI
# controller's driver and ext4): with Debian's default (most modules)
# mkinitramfs takes about 11 minutes under qemu-user, and runs twice.
include=systemd,systemd-sysv,udev,kmod,dbus,linux-image-armmp,initramfs-tools
initramfs_modules="sdhci-iproc ext4"
root_cache=$cache/bookworm-armhf-$(echo "minbase $include $initramfs_modules" | md5sum | cut -c1-8)
mkdir -p "$cache"
exec 9>"$cache/lock"
flock -s 9
[ -e "$root_cache/.complete" ] || flock -x 9
if [ ! -e "$root_cache/.complete" ]; then
  note "building the board's root folder in $root_cache (once)"
  # Roots built from other inputs are of no more use (nobody else holds the
  # lock); a build that was cut short may have left its mounts behind.
  for old in "$cache"/bookworm-armhf-*; do
    findmnt -rn -o TARGET | grep -F "$old/" | sort -r | xargs -r -n 1 umount -l
    rm -rf "$old"
  done
  mkdir -p "$run/initramfs"
  echo MODULES=list >"$run/initramfs/board.conf"
  cat >"$run/initramfs/board-modules" <<EOF
#!/bin/sh
[ "\$1" = prereqs ] && exit 0
. /usr/share/initramfs-tools/hook-functions
manual_add_modules $initramfs_modules
EOF
  chmod 755 "$run/initramfs/board-modules"
  # The root's maintainer scripts are ARM programs: qemu-user runs them.
  arm_emulator_register "orvo-board-$$" "$emulator"
  t0=$(date +%s)
  # shellcheck disable=SC2016
  debian_root_build "$root_cache.new" "$run/mmdebstrap.log" \
    --variant=minbase --architectures=armhf --include="$include" \
    --essential-hook='mkdir -p "$1/etc/initramfs-tools/conf.d" "$1/etc/initramfs-tools/hooks"' \
    --essential-hook="copy-in $run/initramfs/board.conf /etc/initramfs-tools/conf.d" \
    --essential-hook="copy-in $run/initramfs/board-modules /etc/initramfs-tools/hooks" ||
    fatal "mmdebstrap failed"
  arm_emulator_unregister
  touch "$root_cache.new/.complete"
  mv "$root_cache.new" "$root_cache"
  note "root folder built in $(($(date +%s) - t0)) s"
fi
flock -s 9
[ -z "$root_only" ] || exit 0

# --- The board's files: the root folder below an overlay that takes this
# run's additions (the packages, the checks, the platform's set-up)
for file in "$dspsim" "$bench" "$facts"; do
  [ -x "$file" ] || fatal "no program $file"
done
debs=("$packages"/orvo*_armhf.deb)
[ -e "${debs[0]}" ] || fatal "no armhf package in $packages (tools/package.sh armhf builds it)"
# The packages are picked by name; the board needs the daemon and the client
# from them.
for program in ./usr/sbin/orvo-udpd ./usr/bin/orvo-udpc; do
  for deb in "${debs[@]}"; do
    grep -q " $program\$" <<<"$(dpkg-deb -c "$deb")" && continue 2
  done
  fatal "none of ${debs[*]##*/} holds $program"
done
note "packages under test: ${debs[*]##*/}"

mkdir -p "$run/upper" "$run/work" "$run/root"
mount -t overlay overlay -o "lowerdir=$root_cache,upperdir=$run/upper,workdir=$run/work" \
  "$run/root" || fatal "cannot mount the overlay of $root_cache"
mounted=yes
board=$run/root/opt/orvo-board
mkdir -p "$board/debs"
cp "${debs[@]}" "$board/debs/"
cp "$dspsim" "$bench" "$here/board_guest.sh" "$here/harness.sh" "$here/appliance_checks.sh" "$board/"
"$facts" >"$board/facts" || fatal "$facts prints the platform's facts"
version_text=1.0.0-board
echo "version_text=$version_text" >>"$board/facts"
# shellcheck source=/dev/null
. "$board/facts"

# The appliance's own folders: its version file and its settings folder.
mkdir -p "$run/root${version_file%/*}" "$run/root$settings_folder"
echo "$version_text" >"$run/root$version_file"
echo board >"$run/root/etc/hostname"
echo "/dev/mmcblk0 / ext4 defaults,noatime 0 1" >"$run/root/etc/fstab"

units=$run/root/etc/systemd/system
# The DSP runs from power-on, ahead of the daemon's start-up.
cat >"$units/orvo-board-dsp.service" <<UNIT
[Unit]
Description=DSP stand-in serving the mailbox window through /dev/mem
Before=orvo-udpd.service

[Service]
ExecStart=/opt/orvo-board/orvo-dspsim --mem $memory_file

[Install]
WantedBy=multi-user.target
UNIT
cat >"$units/orvo-board-check.service" <<UNIT
[Unit]
Description=Board test: checks the package, reports on the serial console, powers off
After=multi-user.target

[Service]
Type=oneshot
TimeoutStartSec=infinity
ExecStart=/opt/orvo-board/board_guest.sh
StandardOutput=tty
StandardError=tty
TTYPath=/dev/ttyAMA0

[Install]
WantedBy=multi-user.target
UNIT
mkdir -p "$units/multi-user.target.wants"
ln -s ../orvo-board-check.service ../orvo-board-dsp.service "$units/multi-user.target.wants/"
# What the test does not need: log-ins on the console (it is the test's),
# the scrub of ext4 metadata (it took 5 minutes once), timers.
for masked in serial-getty@ttyAMA0.service getty@tty1.service e2scrub_reap.service \
  e2scrub_all.timer fstrim.timer apt-daily.timer apt-daily-upgrade.timer dpkg-db-backup.timer; do
  ln -sf /dev/null "$units/$masked"
done
if [ -n "$deny" ]; then
  mkdir -p "$units/orvo-udpd.service.d"
  printf '[Service]\nSystemCallFilter=~%s\n' "$deny" >"$units/orvo-udpd.service.d/deny.conf"
  note "a drop-in takes $deny out of the service's system call filter: the test must fail"
fi

# --- The device tree: Debian's own for the board, with the appliance's LEDs
# as GPIO LEDs and the DSP's window kept out of the kernel's RAM. GPIO
# lines 14 and 15 are the serial console's, 47 and up the SD card's and the
# board's own LED: the LEDs take lines 0-13 and 16-46, whose other users
# (the I2C and PWM blocks, the pin settings of the GPIO block) go.
# The card is read through the board's SDHCI controller (PIO) instead of
# its SD host (DMA): the emulator hands the card to the SDHCI controller
# while nothing claims lines 48-53, and the SD host's driver, module
# bcm2835, oopsed in its DMA completion in about half of the boots here.
kernel=$(ls "$root_cache/lib/modules")
cp "$root_cache/boot/vmlinuz-$kernel" "$run/vmlinuz"
cp "$root_cache/boot/initrd.img-$kernel" "$run/initrd.img"
dtc -q -I dtb -O dts -o "$run/board.dts" "$root_cache/usr/lib/linux-image-$kernel/bcm2836-rpi-2-b.dtb" ||
  fatal "cannot decompile the board's device tree"
{
  printf '%s\n' \
    '&{/soc/gpio@7e200000} { /delete-property/ pinctrl-0; /delete-property/ pinctrl-names; };' \
    '&{/soc/i2c@7e205000} { status = "disabled"; };' \
    '&{/soc/i2c@7e804000} { status = "disabled"; };' \
    '&{/soc/pwm@7e20c000} { status = "disabled"; };' \
    '&{/soc/mmc@7e202000} { status = "disabled"; };' \
    '&{/soc/mmc@7e300000} { status = "okay"; bus-width = <4>; };' \
    '&{/reserved-memory} {'
  printf '\tmailbox-window@%x { reg = <%s %s>; no-map; };\n};\n' \
    "$window_address" "$window_address" "$window_size"
  printf '/ {\n\t/delete-node/ leds;\n\tleds {\n\t\tcompatible = "gpio-leds";\n'
  line=0
  for name in $led_names; do
    [ $line -ne 14 ] || line=16
    printf '\t\t%s { label = "%s"; gpios = <&{/soc/gpio@7e200000} %d 0>; default-state = "off"; };\n' \
      "$name" "$name" $line
    line=$((line + 1))
  done
  printf '\t};\n};\n'
} >>"$run/board.dts"
[ "$line" -le 47 ] || fatal "the board has no free GPIO line for every LED"
dtc -q -I dts -O dtb -o "$run/board.dtb" "$run/board.dts" || fatal "cannot compile the device tree"

# --- The SD card: an ext4 file system of the whole root (its size must be
# a power of two)
truncate -s 1G "$run/sd.img"
mke2fs -q -t ext4 -L root -d "$run/root" "$run/sd.img" || fatal "cannot write the SD card image"
umount "$run/root" && mounted=""
note "board prepared in $(($(date +%s) - started)) s"

# --- Two boots, each with a hard limit: the first installs the packages,
# the second checks the appliance as it boots; then the guest powers off.
# Emulation, not the appliance, asks for two things of the kernel's
# command line. rodata=off: with the kernel's memory write-protected, the
# end of each module's loading flushes the TLB page by page over a wide
# range of addresses, which the emulator does on all four cores in step; on
# this machine's two cores that stalled the guest for a minute at a time
# (soft lockups) and tripled the time to multi-user.target. And the drivers
# that need the video core's firmware, which the emulator lacks (vchiq, its
# sound, the display's vc4 and drm), and the USB host's (dwc2), which the
# test does not need, are not loaded. A kernel fault ends the boot at once
# and fails the test; stalls are counted. Each boot is a check: no kernel
# fault, and the board powered off in time.
kernel_fault='Kernel panic|Internal error: |Unable to handle kernel|kernel BUG at'
boot() {
  local log=$1 t_boot name faulted=""
  name=$(basename "$log" .log)
  t_boot=$(date +%s)
  qemu-system-arm -M raspi2b -m 1G -kernel "$run/vmlinuz" -initrd "$run/initrd.img" \
    -dtb "$run/board.dtb" -drive "file=$run/sd.img,if=sd,format=raw" -nographic -no-reboot \
    -append "console=ttyAMA0,115200 root=/dev/mmcblk0 rootfstype=ext4 rootwait rw rodata=off module_blacklist=drm,vc4,snd_bcm2835,vchiq,dwc2 systemd.firstboot=off" \
    </dev/null >"$log" 2>&1 &
  qemu_pid=$!
  while kill -0 "$qemu_pid" 2>/dev/null && [ $(($(date +%s) - t_boot)) -lt "$timeout_s" ]; do
    if grep -aqE "$kernel_fault" "$log"; then
      sleep 5
      kill -KILL "$qemu_pid"
      faulted=yes
      fail "$name: the board's kernel runs without a fault" \
        "it failed after $(($(date +%s) - t_boot)) s:" "$(tr -d '\r' <"$log" | grep -aE -m 1 -A 12 "$kernel_fault")"
      break
    fi
    sleep 1
  done
  [ -n "$faulted" ] || pass "$name: the board's kernel runs without a fault"
  if kill -0 "$qemu_pid" 2>/dev/null; then
    kill -KILL "$qemu_pid"
    fail "$name: the board powers off within $timeout_s s"
  elif [ -z "$faulted" ]; then
    pass "$name: the board powers off within $timeout_s s"
  fi
  wait "$qemu_pid"
  qemu_pid=""
  note "$name ran for $(($(date +%s) - t_boot)) s"
  [ -z "${ORVO_BOARD_CONSOLE:-}" ] || cat "$log" >>"$ORVO_BOARD_CONSOLE"
}
[ -z "${ORVO_BOARD_CONSOLE:-}" ] || : >"$ORVO_BOARD_CONSOLE"
boot "$run/boot1.log"
if tr -d '\r' <"$run/boot1.log" | grep -aq 'ORVO-BOARD reboot$'; then
  boot "$run/boot2.log"
fi
cat "$run"/boot*.log >"$run/console.log"
stalls=$(grep -acE 'soft lockup|self-detected stall|rcu_sched detected stalls' "$run/console.log")
[ "$stalls" -eq 0 ] || note "the board's kernel reported $stalls stall(s) (soft lockups, RCU)"

# --- What the board reported: its checks, numbered on among this run's
results=$(tr -d '\r' <"$run/console.log" | sed -n 's/.*ORVO-BOARD //p')
grep -qx reboot <<<"$results" && note "the packages were installed: the board booted again"
tap_relay <<<"$results"
if grep -qx 'done' <<<"$results"; then
  pass "the board finished its checks"
else
  fail "the board finished its checks" "the console's last lines:" "$(tail -n 60 "$run/console.log" | tr -d '\r')"
fi
if [ "$failures" -ne 0 ]; then
  note "the console's last lines but the checks':"
  evidence "$(tr -d '\r' <"$run/console.log" | grep -av 'ORVO-BOARD' | tail -n 20)"
fi

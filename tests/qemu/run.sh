#!/usr/bin/env bash
# Boots a Linux guest under QEMU (software emulation) whose initramfs holds busybox and
# zelkova-ata with the shared libraries it needs, drives QEMU's emulated PIIX IDE disk and CD through real port I/O from inside the
# guest, and checks the results on the host.
#
#   run.sh ZELKOVA_ATA WORK_DIR
# Every wait is bounded; the guest powers itself off and a watchdog kills QEMU if it does not.
set -euo pipefail

tool=$(readlink -f "$1")
work=$(readlink -m "$2")
here=$(cd "$(dirname "$0")" && pwd)
boot_timeout=${ZKV_QEMU_TIMEOUT:-300}

# shellcheck source=guest-lib.sh
. "$here/guest-lib.sh"
guest_require "qemu test"

rm -rf "$work"
mkdir -p "$work"

# A sparse disk larger than 2^28 sectors, with marks above and below the 28-bit limit, and a
# small CD image.
disk="$work/disk.img"
cd_img="$work/cd.iso"
truncate -s 160G "$disk"
truncate -s 4M "$cd_img"
python3 "$here/guest.py" prepare "$disk" > "$work/plan.env"
# shellcheck disable=SC1091
. "$work/plan.env"

guest_stage "$work/root" "$tool"
cat > "$work/root/init" <<INIT
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev 2>/dev/null
echo "@@ioports"
grep -E '01f0|03f6|0170|0376' /proc/ioports
echo "@@drivers"
ls /sys/bus/pci/drivers 2>/dev/null | tr '\n' ' '; echo
run() { name=\$1; shift; echo "@@begin \$name"; zelkova-ata "\$@"; echo "@@end \$name \$?"; }
run detect detect
run cd_status_after_detect --slave status
run identify identify
run status status
run read_high read $HIGH_LBA 2
run read_low read $LOW_LBA
run write exec $WRITE_RECORD $WRITE_DATA
run readback read $WRITE_LBA
run write_ext exec $WRITE_EXT_RECORD $WRITE_EXT_DATA
run read_past read $PAST_LBA
run status_after_error status
run cd_identify --slave identify
run cd_status --slave status
run identify_again identify
echo "@@done"
sync
poweroff -f
INIT
guest_boot "qemu test" "$boot_timeout" "$work" 256 \
    "console=ttyS0 panic=-1 quiet loglevel=3 libata.force=disable modprobe.blacklist=ata_piix,ata_generic,pata_acpi,libata" \
    -drive "file=$disk,format=raw,if=none,id=hd0,cache=writeback" \
    -device "ide-hd,drive=hd0,bus=ide.0,unit=0,model=$DISK_MODEL,serial=$DISK_SERIAL" \
    -drive "file=$cd_img,format=raw,if=none,id=cd0,media=cdrom,readonly=on" \
    -device "ide-cd,drive=cd0,bus=ide.0,unit=1"
python3 "$here/guest.py" check "$disk" "$work/console.log"

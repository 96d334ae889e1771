#!/usr/bin/env bash
# Surface scans inside a Linux guest under QEMU (software emulation) on QEMU's emulated PIIX IDE
# disk, whose image sits under QEMU's blkdebug driver with read errors injected at chosen
# sectors. zelkova-ata runs the scans through real port I/O; the host checks that the reported
# bad blocks are exactly the injected sectors.
#
#   scan-guest.sh ZELKOVA_ATA WORK_DIR
# Every wait is bounded; the guest powers itself off and a watchdog kills QEMU if it does not.
set -euo pipefail

tool=$(readlink -f "$1")
work=$(readlink -m "$2")
here=$(cd "$(dirname "$0")" && pwd)
boot_timeout=${ZKV_QEMU_TIMEOUT:-480}

# shellcheck source=guest-lib.sh
. "$here/guest-lib.sh"
guest_require "qemu scan test"

rm -rf "$work"
mkdir -p "$work"

# A sparse disk larger than 2^28 sectors, and the blkdebug rules: one read error per sector.
disk="$work/disk.img"
truncate -s 140G "$disk"
python3 "$here/scan_check.py" prepare "$work/blkdebug.cfg" > "$work/plan.env"
# shellcheck disable=SC1091
. "$work/plan.env"

guest_stage "$work/root" "$tool"
cat > "$work/root/init" <<INIT
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
# The console is a terminal: the progress bar on standard error would mix with the lines.
run() { name=\$1; shift; echo "@@begin \$name"; zelkova-ata "\$@" 2>/dev/null; echo "@@end \$name \$?"; }
run scan_read scan $LOW_START $LOW_COUNT --read-data --slice 200
run scan_verify scan $LOW_START $LOW_COUNT --slice 200
run scan_read48 scan $HIGH_START $HIGH_COUNT --read-data --lba48 --slice 200
echo "@@done"
poweroff -f
INIT
guest_boot "qemu scan test" "$boot_timeout" "$work" 256 \
    "console=ttyS0 panic=-1 quiet loglevel=3 libata.force=disable modprobe.blacklist=ata_piix,ata_generic,pata_acpi,libata" \
    -drive "if=none,id=hd0,driver=raw,file.driver=blkdebug,file.config=$work/blkdebug.cfg,file.image.driver=file,file.image.filename=$disk" \
    -device "ide-hd,drive=hd0,bus=ide.0,unit=0"
python3 "$here/scan_check.py" check "$work/console.log"

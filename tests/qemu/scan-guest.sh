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

kernel=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1 || true)
busybox=$(command -v busybox || true)
for need in "$kernel" "$busybox" "$(command -v qemu-system-x86_64 || true)" "$(command -v cpio || true)"; do
    if [ -z "$need" ] || [ ! -e "$need" ]; then
        echo "qemu scan test: missing kernel, busybox, qemu-system-x86_64 or cpio (scripts/install-deps)" >&2
        exit 1
    fi
done
if ldd "$busybox" > /dev/null 2>&1; then
    echo "qemu scan test: $busybox is not static (install busybox-static)" >&2
    exit 1
fi

rm -rf "$work"
mkdir -p "$work/root/bin" "$work/root/proc" "$work/root/sys" "$work/root/dev"

# A sparse disk larger than 2^28 sectors, and the blkdebug rules: one read error per sector.
disk="$work/disk.img"
truncate -s 140G "$disk"
python3 "$here/scan_check.py" prepare "$work/blkdebug.cfg" > "$work/plan.env"
# shellcheck disable=SC1091
. "$work/plan.env"

cp "$tool" "$work/root/bin/zelkova-ata"
for lib in $(ldd "$tool" | grep -o '/[^ ]*'); do
    mkdir -p "$work/root$(dirname "$lib")"
    cp -L "$lib" "$work/root$lib"
done
cp "$busybox" "$work/root/bin/busybox"
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
chmod +x "$work/root/init"
(cd "$work/root" && find . | cpio -o -H newc --quiet | gzip -1 > "$work/initramfs.gz")

console="$work/console.log"
: > "$console"
set +e
timeout --kill-after=10 "$boot_timeout" qemu-system-x86_64 \
    -machine pc -accel tcg -m 256 -smp 1 \
    -display none -monitor none -no-reboot -nodefaults \
    -serial "file:$console" \
    -kernel "$kernel" -initrd "$work/initramfs.gz" \
    -append "console=ttyS0 panic=-1 quiet loglevel=3 libata.force=disable modprobe.blacklist=ata_piix,ata_generic,pata_acpi,libata" \
    -drive "if=none,id=hd0,driver=raw,file.driver=blkdebug,file.config=$work/blkdebug.cfg,file.image.driver=file,file.image.filename=$disk" \
    -device "ide-hd,drive=hd0,bus=ide.0,unit=0"
rc=$?
set -e
if [ $rc -ne 0 ]; then
    echo "qemu scan test: qemu ended with status $rc (124 = timed out after ${boot_timeout}s)" >&2
    tail -n 40 "$console" >&2
    exit 1
fi
python3 "$here/scan_check.py" check "$console"

#!/usr/bin/env bash
# Boots a Linux guest under QEMU whose own kernel drives the emulated PIIX IDE disk (libata,
# ata_piix, the SCSI disk and CD drivers from the installed kernel's modules), then checks that
# zelkova-ata lists the IDE function, takes the channel from ata_piix, drives the disk by port
# I/O, gives the channel back, and refuses to take it while the disk is in use: active swap, an
# ext2 file system on it mounted only in another mount namespace, and an exclusive open through
# a device node the guest made itself (neither of the last two shows in the tool's mount table).
#
#   kernel-guest.sh ZELKOVA_ATA WORK_DIR HOLD_EXCLUSIVE
# Every wait is bounded; the guest powers itself off and a watchdog kills QEMU if it does not.
set -euo pipefail

tool=$(readlink -f "$1")
work=$(readlink -m "$2")
hold=$(readlink -f "$3")
here=$(cd "$(dirname "$0")" && pwd)
boot_timeout=${ZKV_QEMU_TIMEOUT:-240}
model="ZKV KERNEL GUEST DISK"
serial="ZKVK20260002"

# shellcheck source=guest-lib.sh
. "$here/guest-lib.sh"
guest_require "qemu kernel guest" modprobe
kver=${kernel#/boot/vmlinuz-}
modprobe=$(command -v modprobe || echo /sbin/modprobe)

rm -rf "$work"
mkdir -p "$work/root/lib/mod"

# The modules in load order (their dependencies first), uncompressed.
: > "$work/modules.order"
for m in scsi_common scsi_mod libata ata_piix cdrom sr_mod sd_mod ext4; do
    "$modprobe" --show-depends -S "$kver" "$m" | awk '$1 == "insmod" { print $2 }' \
        >> "$work/modules.order"
done
n=0
load=""
while read -r path; do
    base=$(basename "$path")
    name=${base%%.ko*}
    [ -e "$work/root/lib/mod/$name.ko" ] && continue
    case "$base" in
        *.ko.xz) xz -dc "$path" > "$work/root/lib/mod/$name.ko" ;;
        *.ko.zst) zstd -qdc "$path" > "$work/root/lib/mod/$name.ko" ;;
        *.ko.gz) gzip -dc "$path" > "$work/root/lib/mod/$name.ko" ;;
        *) cp "$path" "$work/root/lib/mod/$name.ko" ;;
    esac
    load="$load $name"
    n=$((n + 1))
done < "$work/modules.order"
echo "qemu kernel guest: $n modules:$load"

guest_stage "$work/root" "$tool"
guest_add_program "$work/root" "$hold" hold-exclusive
guest_add_pci_ids "$work/root"

key='pci-0000:00:01.1/1'
cat > "$work/root/init" <<INIT
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev 2>/dev/null
mkdir -p /tmp
for m in $load; do insmod /lib/mod/\$m.ko 2>/dev/null; done
# until FILE has content, at most 30 s
until_file() { i=0; while [ ! -s \$1 ] && [ \$i -lt 300 ]; do sleep 0.1; i=\$((i+1)); done; }
waitfor() { i=0; while [ \$i -lt 300 ]; do [ \$1 /sys/block/sda ] && return 0; sleep 0.1; i=\$((i+1)); done; return 1; }
sda() { if [ -e /sys/block/sda ]; then echo "@@sda \$1 present"; else echo "@@sda \$1 absent"; fi; }
run() { name=\$1; shift; echo "@@begin \$name"; zelkova-ata "\$@" > /tmp/\$name.out; rc=\$?; cat /tmp/\$name.out; echo "@@end \$name \$rc"; }
waitfor -e
sda at_start
echo "@@partitions \$(ls /sys/block/sda | grep '^sda[0-9]' | tr '\n' ' ')"
echo "@@driver \$(basename \$(readlink /sys/bus/pci/devices/0000:00:01.1/driver) 2>/dev/null)"
run controllers controllers
run take take '$key'
sda after_take
echo "@@driver_after_take \$(readlink /sys/bus/pci/devices/0000:00:01.1/driver)"
run identify identify
driver=\$(sed -n 's/.*"driver":"\([^"]*\)".*/\1/p' /tmp/take.out)
run give give '$key' "\$driver"
waitfor -e
sda after_give
echo "@@driver_after_give \$(basename \$(readlink /sys/bus/pci/devices/0000:00:01.1/driver) 2>/dev/null)"
mkswap /dev/sda > /dev/null && swapon /dev/sda
echo "@@swaps"; cat /proc/swaps
run take_swap take '$key'
sda after_refusal
swapoff /dev/sda
echo "@@uptime in_use_begin \$(cut -d' ' -f1 /proc/uptime)"
mke2fs -F /dev/sda 8192 > /dev/null 2>&1
mkdir -p /mnt
# Mounted only in another mount namespace: this one's mount table does not show it.
unshare -m --propagation private sh -c 'mount -t ext4 /dev/sda /mnt && echo yes > /tmp/ns;
    i=0; while [ ! -e /tmp/release ] && [ \$i -lt 600 ]; do sleep 0.1; i=\$((i+1)); done' &
ns=\$!
until_file /tmp/ns
echo "@@ns_mounted \$(cat /tmp/ns 2>/dev/null)"
echo "@@own_mountinfo \$(grep -c " \$(cat /sys/block/sda/dev) " /proc/self/mountinfo)"
run take_ns take '$key'
sda after_ns
touch /tmp/release
wait \$ns
# Held open exclusively through a node of the guest's own making.
mknod /tmp/own-node b \$(cat /sys/block/sda/dev | tr ':' ' ')
hold-exclusive /tmp/own-node 60 > /tmp/held &
holder=\$!
until_file /tmp/held
echo "@@held \$(cat /tmp/held)"
run take_held take '$key'
sda after_held
kill \$holder
echo "@@uptime in_use_end \$(cut -d' ' -f1 /proc/uptime)"
echo "@@done"
poweroff -f
INIT
disk="$work/disk.img"
truncate -s 64M "$disk"
# One partition (MBR, sectors 2048 to the end), so that the take-over holds a disk with a
# partition behind it.
python3 - "$disk" <<'MBR'
import struct, sys
with open(sys.argv[1], "r+b") as f:
    entry = struct.pack("<B3sB3sII", 0, b"\xfe\xff\xff", 0x83, b"\xfe\xff\xff", 2048, 131072 - 2048)
    f.seek(446)
    f.write(entry)
    f.seek(510)
    f.write(b"\x55\xaa")
MBR
guest_boot "qemu kernel guest" "$boot_timeout" "$work" 384 \
    "console=ttyS0 panic=-1 quiet loglevel=3" \
    -drive "file=$disk,format=raw,if=none,id=hd0,cache=writeback" \
    -device "ide-hd,drive=hd0,bus=ide.0,unit=0,model=$model,serial=$serial"
python3 "$here/kernel_guest.py" "$work/console.log" "$model"

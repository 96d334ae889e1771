#!/usr/bin/env bash
# Boots a Linux guest under QEMU whose disk sits behind QEMU's AHCI controller, driven by the
# guest's own libata, and sends ATA commands to it through SG_IO ATA PASS-THROUGH (16) with
# the pass-through probe: IDENTIFY, 28- and 48-bit reads (beyond 2^28 on a sparse image), a
# write, READ NATIVE MAX EXT, a sector made to fail by QEMU's blkdebug driver, a read past the
# end in both sense formats, the protocols and opcodes libata takes or refuses, the resets, and
# a command that outlives its SG_IO time-out on a second, slow disk. Then zelkova-ata itself:
# the disk listed as a pass-through channel, and identify, read and a scan over the failing
# sector through `--device`, which takes the channel and gives it back; and the take of a third
# disk refused while it is in use: active swap, mounted only in another mount namespace, held
# open exclusively or mounted through a device node the guest made under another name.
# The host checks the answers against the image and what QEMU was given.
#
#   passthrough-guest.sh PROBE ZELKOVA_ATA WORK_DIR HOLD_EXCLUSIVE
# Every wait is bounded; the guest powers itself off and a watchdog kills QEMU if it does not.
set -euo pipefail

probe=$(readlink -f "$1")
tool=$(readlink -f "$2")
work=$(readlink -m "$3")
hold=$(readlink -f "$4")
here=$(cd "$(dirname "$0")" && pwd)
boot_timeout=${ZKV_QEMU_TIMEOUT:-240}

# shellcheck source=guest-lib.sh
. "$here/guest-lib.sh"
guest_require "qemu pass-through guest" modprobe

rm -rf "$work"
mkdir -p "$work/root"
disk="$work/disk.img"
truncate -s 160G "$disk"
truncate -s 32M "$work/in-use.img"
python3 "$here/passthrough_check.py" prepare "$disk" "$work/blkdebug.cfg" >"$work/plan.env"
# shellcheck disable=SC1091
. "$work/plan.env"

guest_modules "$work/root" scsi_common scsi_mod libata libahci ahci sd_mod sg ext4
echo "qemu pass-through guest: modules:$guest_load"
guest_stage "$work/root" "$probe"
mv "$work/root/bin/zelkova-ata" "$work/root/bin/zkv-passthrough-probe"
guest_add_program "$work/root" "$tool" zelkova-ata
guest_add_program "$work/root" "$hold" hold-exclusive
guest_add_pci_ids "$work/root"

cat >"$work/root/init" <<INIT
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev 2>/dev/null
mkdir -p /tmp /mnt
# The disk driver comes last, so that the slow disk is not scanned for partitions.
for m in $guest_load; do [ \$m = sd_mod ] || insmod /lib/mod/\$m.ko 2>/dev/null; done
i=0; while [ \$i -lt 300 ] && [ \$(ls /sys/class/scsi_generic | wc -l) -lt 3 ]; do
    sleep 0.1; i=\$((i+1)); done
sgof() { for d in /sys/class/scsi_generic/sg*; do
    case "\$(cat \$d/device/model)" in "\$1"*) echo /dev/\$(basename \$d);; esac; done; }
sg=\$(sgof "ZKV AHCI PASS-TH")
slow=\$(sgof "ZKV SLOW DISK")
use=\$(sgof "ZKV IN-USE DISK")
echo "@@sg \$sg \$slow \$use"
echo "@@begin timeout"; zkv-passthrough-probe \$slow cmd op=0x25 proto=6 ext lba=8 sc=1 in=512 timeout=1000; echo "@@end timeout \$?"
echo "@@begin after_timeout"; zkv-passthrough-probe \$slow cmd op=0x25 proto=6 ext lba=8 sc=1 in=512 timeout=10000; echo "@@end after_timeout \$?"
echo "@@dmesg_timeout"; dmesg | grep -E 'ata2' | tail -n 12
echo 1 > \$(readlink -f /sys/class/scsi_generic/\${slow#/dev/}/device)/delete
insmod /lib/mod/sd_mod.ko
i=0; while [ \$i -lt 300 ] && [ \$(ls /sys/block | grep -c '^sd') -lt 2 ]; do
    sleep 0.1; i=\$((i+1)); done
blkof() { for b in /sys/block/sd*; do
    case "\$(cat \$b/device/model)" in "\$1"*) basename \$b;; esac; done; }
blk=\$(blkof "ZKV AHCI PASS-TH")
ublk=\$(blkof "ZKV IN-USE DISK")
echo "@@blocks \$blk \$ublk"
echo "@@kernel \$(uname -r)"
for b in /sys/block/sd*; do echo "@@block \$(cat \$b/device/model) \$(cat \$b/size)"; done
run() { name=\$1; shift; echo "@@begin \$name"; zkv-passthrough-probe \$sg "\$@"; echo "@@end \$name \$?"; }
P=zkv-passthrough-probe
run dsense_initial dsense
run identify cmd op=0xEC proto=4 sc=1 in=512
run identify_nock cmd op=0xEC proto=4 sc=1 in=512 nock
run read28 cmd op=0x20 proto=4 lba=$LOW_LBA sc=2 in=1024
run read48 cmd op=0x24 proto=4 ext lba=$HIGH_LBA sc=1 in=512
run read48_nock cmd op=0x24 proto=4 ext lba=$HIGH_LBA sc=1 in=512 nock
run readdma48 cmd op=0x25 proto=6 ext lba=$HIGH_LBA sc=1 in=512
run readlast cmd op=0x24 proto=4 ext lba=$LAST_LBA sc=1 in=512
run nativemax cmd op=0x27 proto=3 ext
run write48 cmd op=0x34 proto=5 ext lba=$WRITE_LBA sc=1 out=512
run flush cmd op=0xEA proto=3 ext
run bad_fixed cmd op=0x24 proto=4 ext lba=$BAD_LBA sc=1 in=512
run past_fixed cmd op=0x24 proto=4 ext lba=$PAST_LBA sc=1 in=512
run past_fixed_nock cmd op=0x24 proto=4 ext lba=$PAST_LBA sc=1 in=512 nock
run dsense_on dsense 1
run bad_desc cmd op=0x24 proto=4 ext lba=$BAD_LBA sc=1 in=512
run past_desc cmd op=0x24 proto=4 ext lba=$PAST_LBA sc=1 in=512
run past28_desc cmd op=0x20 proto=4 lba=$PAST28_LBA sc=1 in=512
run after_error cmd op=0xEC proto=4 sc=1 in=512
run dsense_off dsense 0
run engine_low engine $LOW_LBA 2
run engine_high engine $HIGH_LBA 1
run engine_bad engine $BAD_LBA 1
zrun() { name=\$1; shift; echo "@@begin \$name"; zelkova-ata "\$@"; echo "@@end \$name \$?"; }
zrun tool_controllers controllers
zrun tool_identify --device \$sg identify
zrun tool_read --device \$sg read $HIGH_LBA
zrun tool_read_block --device /dev/\$blk read $LOW_LBA 2
zrun tool_scan --device \$sg scan $SCAN_START $SCAN_COUNT --lba48 --read-data
zrun tool_usage --device \$sg --slave status
run dsense_after_tool dsense
# Without CAP_SYS_RAWIO: what a start-up without a privileged helper would have.
echo "@@begin norawio_cmd"; zkv-passthrough-probe norawio \$sg cmd op=0xEC proto=4 sc=1 in=512
echo "@@end norawio_cmd \$?"
echo "@@begin norawio_tool"; zkv-passthrough-probe norawio run zelkova-ata --device \$sg identify
echo "@@end norawio_tool \$?"
echo "@@begin norawio_dsense"; zkv-passthrough-probe norawio \$sg dsense 1
echo "@@end norawio_dsense \$?"
run dsense_after_norawio dsense 0
# The third disk: taken while free, refused while in use in ways this mount table does not show.
until_file() { i=0; while [ ! -s \$1 ] && [ \$i -lt 300 ]; do sleep 0.1; i=\$((i+1)); done; }
zrun use_free --device \$use identify
mkswap /dev/\$ublk > /dev/null && swapon /dev/\$ublk
echo "@@swaps \$(grep -c "^/dev/\$ublk " /proc/swaps)"
zrun use_swap --device \$use identify
swapoff /dev/\$ublk
mke2fs -F /dev/\$ublk > /dev/null 2>&1
unshare -m --propagation private sh -c "mount -t ext4 /dev/\$ublk /mnt && echo yes > /tmp/ns;
    i=0; while [ ! -e /tmp/release ] && [ \\\$i -lt 600 ]; do sleep 0.1; i=\\\$((i+1)); done" &
ns=\$!
until_file /tmp/ns
echo "@@ns_mounted \$(cat /tmp/ns 2>/dev/null) \$(grep -c " \$(cat /sys/block/\$ublk/dev) " /proc/self/mountinfo)"
zrun use_ns --device \$use identify
touch /tmp/release
wait \$ns
mknod /tmp/own-node b \$(tr ':' ' ' < /sys/block/\$ublk/dev)
hold-exclusive /tmp/own-node 60 > /tmp/held &
holder=\$!
until_file /tmp/held
echo "@@held \$(cat /tmp/held)"
zrun use_held --device \$use identify
kill \$holder
wait \$holder
mount -t ext4 /tmp/own-node /mnt
echo "@@node_mounted \$(grep -c " /tmp/own-node " /proc/self/mountinfo)"
zrun use_node_mounted --device \$use identify
umount /mnt
for p in 0 1 2 3 7 8 9 13 14 15; do run proto\$p cmd op=0xE5 proto=\$p; done
run proto4 cmd op=0xEC proto=4 sc=1 in=512
run proto5 cmd op=0x30 proto=5 lba=$SCRATCH_LBA sc=1 out=512
run proto6 cmd op=0xC8 proto=6 lba=$LOW_LBA sc=1 in=512
run proto10 cmd op=0xC8 proto=10 lba=$LOW_LBA sc=1 in=512
run proto11 cmd op=0xCA proto=11 lba=$SCRATCH_LBA sc=1 out=512
run proto12 cmd op=0x60 proto=12 ext fr=1 lba=$LOW_LBA in=512
run setfeatures03 cmd op=0xEF proto=3 fr=0x03 sc=0x46
run setfeatures02 cmd op=0xEF proto=3 fr=0x02
run op5c cmd op=0x5C proto=3
run op5f cmd op=0x5F proto=3
run vendor80 cmd op=0x80 proto=3
run vendorf0 cmd op=0xF0 proto=3
run scsireset scsireset
echo "@@scsi_before \$(ls /sys/class/scsi_generic | tr '\n' ' ')"
run linkreset linkreset
echo "@@scsi_after \$(ls /sys/class/scsi_generic | tr '\n' ' ')"
run after_reset cmd op=0xEC proto=4 sc=1 in=512
echo "@@dmesg"
dmesg | grep -iE 'ata[0-9]|sd |reset' | tail -n 40
echo "@@done"
sync
poweroff -f
INIT
guest_boot "qemu pass-through guest" "$boot_timeout" "$work" 256 \
    "console=ttyS0 panic=-1 quiet loglevel=3" \
    -device ahci,id=ahci0 \
    -drive "if=none,id=hd0,driver=raw,file.driver=blkdebug,file.config=$work/blkdebug.cfg,file.image.driver=file,file.image.filename=$disk" \
    -device "ide-hd,drive=hd0,bus=ahci0.0,model=$DISK_MODEL,serial=$DISK_SERIAL,ver=$DISK_FIRMWARE" \
    -drive "if=none,id=hd1,driver=null-co,size=64M,read-zeroes=on,latency-ns=$SLOW_NS" \
    -device "ide-hd,drive=hd1,bus=ahci0.1,model=ZKV SLOW DISK,serial=ZKVSLOW1" \
    -drive "if=none,id=hd2,driver=raw,file=$work/in-use.img" \
    -device "ide-hd,drive=hd2,bus=ahci0.2,model=ZKV IN-USE DISK,serial=ZKVUSE01"
python3 "$here/passthrough_check.py" check "$disk" "$work/console.log"

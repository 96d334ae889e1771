#!/usr/bin/env python3
"""Host side of the QEMU pass-through test: marks sectors of the sparse image and writes the
blkdebug rules, then checks what the probe printed in the guest against the image and the
parameters QEMU was given."""
import json
import re
import sys

import guest_console

SECTOR = 512
LOW_LBA = 1000
HIGH_LBA = (1 << 28) + 777
WRITE_LBA = (1 << 28) + 2000
SCRATCH_LBA = 3000
BAD_LBA = 5000
SCAN_START = 4096  # the scan through zelkova-ata covers BAD_LBA
SCAN_COUNT = 2048
DISK_MODEL = "ZKV AHCI PASS-THROUGH DISK"
DISK_SERIAL = "ZKVP20260020"
DISK_FIRMWARE = "ZKV1"
SLOW_NS = 3_000_000_000  # every request of the slow disk takes this long
PATTERN = bytes((i * 7 + 1) & 0xFF for i in range(SECTOR))  # what the probe writes


def mark(lba):
    text = f"ZKV-PT-LBA-{lba:012d}-".encode()
    return (text * (SECTOR // len(text) + 1))[:SECTOR]


def fnv(data):
    h = 1469598103934665603
    for c in data:
        h = ((h ^ c) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return f"{h:016x}"


def sectors_of(disk):
    with open(disk, "rb") as f:
        f.seek(0, 2)
        return f.tell() // SECTOR


def prepare(disk, rules):
    last = sectors_of(disk) - 1
    with open(disk, "r+b") as f:
        for lba in (LOW_LBA, LOW_LBA + 1, HIGH_LBA, last):
            f.seek(lba * SECTOR)
            f.write(mark(lba))
    with open(rules, "w") as f:
        f.write('[inject-error]\nevent = "read_aio"\nerrno = "5"\n'
                f'sector = "{BAD_LBA}"\nonce = "off"\n\n')
    plan = {"LOW_LBA": LOW_LBA, "HIGH_LBA": HIGH_LBA, "LAST_LBA": last, "WRITE_LBA": WRITE_LBA,
            "SCRATCH_LBA": SCRATCH_LBA, "BAD_LBA": BAD_LBA, "SCAN_START": SCAN_START,
            "SCAN_COUNT": SCAN_COUNT, "PAST_LBA": last + 10,
            "PAST28_LBA": (1 << 28) - 2, "DISK_MODEL": f"'{DISK_MODEL}'",
            "DISK_SERIAL": DISK_SERIAL, "SLOW_NS": SLOW_NS, "DISK_FIRMWARE": DISK_FIRMWARE}
    for k, v in plan.items():
        print(f"{k}={v}")


def parse(console):
    text = guest_console.read_console(console)
    runs = {name: (rc, guest_console.last(objects) or {})
            for name, rc, _, objects in guest_console.runs(text)}
    return text, runs


def read_image(disk, lba, count=1):
    with open(disk, "rb") as f:
        f.seek(lba * SECTOR)
        return f.read(count * SECTOR)


def tool_checks(text, runs, run, disk, expect):
    """zelkova-ata on the pass-through channel, against the probe's own answers and the image."""
    entries = run("tool_controllers").get("controllers", [])
    m = re.search(r"@@sg (\S+) (\S+) (\S+)\n", text)
    b = re.search(r"@@blocks (\S+) (\S+)\n", text)
    sg, use_sg = (m.group(1), m.group(3)) if m else (None, None)
    blk, use_blk = (b.group(1), b.group(2)) if b else (None, None)
    chans = [e for e in entries if e.get("passthrough", "").startswith("/dev/sg")]
    expect(sorted((e.get("passthrough"), e.get("block")) for e in chans)
           == sorted([(sg, blk), (use_sg, use_blk)]),
           f"controllers lists both AHCI disks the kernel kept as pass-through channels: {chans}")
    main = [e for e in chans if e.get("passthrough") == sg]
    expect(len(main) == 1 and main[0].get("ranges") == []
           and main[0].get("chanals") == 1 and main[0].get("disableable") is True
           and re.fullmatch(r"pci-0000:00:..\..-port1", main[0].get("key", "")) is not None,
           f"the marked disk's channel: no ranges, one channel, free, keyed by its port: {main}")
    ti = run("tool_identify")
    expect(ti.get("result") == 0 and ti.get("model") == DISK_MODEL
           and ti.get("serial") == DISK_SERIAL and ti.get("firmware") == DISK_FIRMWARE,
           "zelkova-ata --device identify gives the disk's model, serial and firmware")
    for name, lba, count in (("tool_read", HIGH_LBA, 1), ("tool_read_block", LOW_LBA, 2)):
        r = run(name)
        expect(r.get("result") == 0
               and bytes.fromhex(r.get("data", "")) == read_image(disk, lba, count),
               f"zelkova-ata --device {name}: {count} sector(s) at {lba} are the image's bytes")
    scan = run("tool_scan").get("summary", {})
    errors = sum(scan.get(k, 0) for k in ("unc", "idnf", "abort", "other"))
    expect(scan.get("processed_sectors") == SCAN_COUNT and errors >= 1,
           f"zelkova-ata --device scan covers {SCAN_COUNT} sectors and finds the bad one: {scan}")
    section = re.search(r"@@begin tool_scan\n(.*?)@@end tool_scan", text, re.S)
    bad = []
    for line in (section.group(1) if section else "").splitlines():
        try:
            block = json.loads(line)
        except ValueError:
            continue
        if block.get("error"):
            bad.append((block.get("lba"), block.get("sectors")))
    expect(bad == [(BAD_LBA, 1)], f"the scan's only failing block is sector {BAD_LBA}: {bad}")
    expect(run("dsense_after_tool").get("dsense") == 0,
           "D_SENSE is put back when zelkova-ata gives the channel back")
    expect(runs.get("tool_usage", (None,))[0] == 2, "--device with --slave is a usage error")
    in_use_checks(text, runs, expect)
    # Without CAP_SYS_RAWIO (a user with read-write access to the nodes): port I/O is refused,
    # the pass-through path is not.
    raw = run("norawio_cmd")
    tool = run("norawio_tool")
    expect(re.search(r"@@begin norawio_cmd\nioperm_errno=1\n", text) is not None
           and re.search(r"@@begin norawio_tool\nioperm_errno=1\n", text) is not None,
           "without CAP_SYS_RAWIO ioperm is refused (EPERM)")
    expect(raw.get("outcome") == "completed" and raw.get("model") == DISK_MODEL
           and runs.get("norawio_tool", (None,))[0] == 0 and tool.get("result") == 0
           and tool.get("model") == DISK_MODEL and run("norawio_dsense").get("dsense") == 1,
           "without it ATA PASS-THROUGH still works, MODE SELECT sets D_SENSE, and zelkova-ata "
           f"--device takes the channel, identifies the disk and gives it back: {tool}")


CANT_DISABLE = "This controller can't be disabled.\r\nMaybe it was used to boot system from."
KERNEL_CLAIM = "the kernel refuses to open it exclusively"


def in_use_checks(text, runs, expect):
    """The third disk: taken while free, refused while in use, whatever the tool's own view."""
    rc, free = runs.get("use_free", (None, {}))
    expect(rc == 0 and free.get("result") == 0 and free.get("model") == "ZKV IN-USE DISK",
           "the free disk is taken through --device and identified")
    expect(re.search(r"@@swaps 1\n", text) is not None, "the disk then carries active swap")
    expect(re.search(r"@@ns_mounted yes 0\n", text) is not None,
           "then it is mounted only in another mount namespace, absent from this one's table")
    expect(re.search(r"@@held held\n", text) is not None,
           "then it is held open exclusively through a node the guest made")
    expect(re.search(r"@@node_mounted 1\n", text) is not None,
           "then it is mounted here through that node, under the node's name")
    for name, why, what in (("use_swap", "is active swap", "active swap"),
                            ("use_ns", KERNEL_CLAIM, "mounted in another mount namespace"),
                            ("use_held", KERNEL_CLAIM, "held open through another node"),
                            ("use_node_mounted", "is mounted on /mnt",
                             "mounted through another node")):
        rc, r = runs.get(name, (None, {}))
        expect(rc == 1 and r.get("ok") is False and r.get("message", "").startswith(CANT_DISABLE)
               and why in r.get("reason", "") and "model" not in r,
               f"the take is refused while the disk is {what}: {r}")


def check(disk, console):
    text, runs = parse(console)
    sectors = sectors_of(disk)
    expect = guest_console.Checks()

    def run(name):
        return runs.get(name, (None, {}))[1]

    for name, (rc, obj) in runs.items():
        print(f"     {name}: rc {rc} {json.dumps(obj, sort_keys=True)}")
    expect("@@done" in text, "the guest ran every command")
    ident = run("identify")
    expect(ident.get("outcome") == "completed", "IDENTIFY DEVICE completes through pass-through")
    expect(ident.get("model") == DISK_MODEL, f"model {ident.get('model')!r} is {DISK_MODEL!r}")
    expect(ident.get("serial") == DISK_SERIAL, f"serial {ident.get('serial')!r}")
    expect(ident.get("firmware") == DISK_FIRMWARE, f"firmware {ident.get('firmware')!r}")
    expect(ident.get("lba48") == sectors, f"48-bit capacity {ident.get('lba48')} is {sectors}")
    m = re.search(r"@@block ZKV AHCI PASS-TH (\d+)", text)
    expect(m is not None and int(m.group(1)) == sectors, "the kernel's disk has the same size")
    for name, lba, count in (("read28", LOW_LBA, 2), ("read48", HIGH_LBA, 1),
                             ("read48_nock", HIGH_LBA, 1), ("readdma48", HIGH_LBA, 1),
                             ("readlast", sectors - 1, 1)):
        r = run(name)
        want = fnv(read_image(disk, lba, count))
        expect(r.get("fnv") == want and r.get("outcome") == "completed",
               f"{name}: {count} sector(s) at {lba} are the image's bytes")
    nm = run("nativemax")
    expect(nm.get("regs", {}).get("lba") == sectors - 1,
           f"READ NATIVE MAX EXT gives the last sector {sectors - 1}")
    expect(run("write48").get("outcome") == "completed"
           and read_image(disk, WRITE_LBA) == PATTERN, "WRITE SECTORS EXT lands in the image")
    for name in ("bad_fixed", "bad_desc"):
        # The fixed format of kernels that misplace it brings only LBA 7:0.
        r = run(name)
        lba = r.get("regs", {}).get("lba")
        expect(r.get("outcome") == "device_error" and r["regs"]["status"] & 1
               and (lba == BAD_LBA or (r.get("misplaced") and lba == BAD_LBA & 0xFF)),
               f"{name}: the injected sector fails with ERR and its address")
    expect(run("bad_desc").get("format") == "descriptor", "with D_SENSE set errors are "
           "descriptor-format")
    expect(run("after_error").get("outcome") == "completed", "the next command works again")
    # The engine through the Linux backend.
    for name, lba, count in (("engine_low", LOW_LBA, 2), ("engine_high", HIGH_LBA, 1)):
        r = run(name)
        expect(r.get("kind") == 2 and r.get("model") == DISK_MODEL
               and r.get("serial") == DISK_SERIAL and r.get("firmware") == DISK_FIRMWARE,
               f"{name}: the engine detects and identifies the disk")
        expect(r.get("result") == 0 and r.get("datalen") == count * SECTOR
               and r.get("fnv") == fnv(read_image(disk, lba, count)),
               f"{name}: the engine reads {count} sector(s) at {lba}")
    eb = run("engine_bad")
    # QEMU reports the failed read with ABRT: the streak goes to 7, and the bad exit adds one.
    expect(eb.get("result") == 3 and eb.get("sr", 0) & 1 and eb.get("er") == 4
           and eb.get("streak") == 8,
           "the engine reports the injected sector as a device error and counts it")
    # What the backend relies on from libata.
    expect(run("readdma48").get("key") == 1 and run("readdma48").get("ascq") == 0x1D
           and run("readdma48").get("format") == "descriptor",
           "CK_COND success: RECOVERED ERROR 00h/1Dh in descriptor format with D_SENSE clear")
    expect(run("dsense_initial").get("dsense") == 0 and run("dsense_on").get("dsense") == 1
           and run("dsense_off").get("dsense") == 0, "D_SENSE is set and put back")
    expect(run("bad_fixed").get("format") == "fixed", "with D_SENSE clear errors are fixed-format")
    refused = [p for p in (0, 1, 2, 7, 8, 9, 13, 14, 15)
               if run(f"proto{p}").get("outcome") == "refused"]
    expect(len(refused) == 9, f"protocols 0, 1, 2, 7, 8, 9, 13, 14, 15 refused (refused: {refused})")
    taken = [p for p in (3, 4, 5, 6, 10, 11, 12) if run(f"proto{p}").get("outcome") == "completed"]
    expect(len(taken) == 7, f"protocols 3, 4, 5, 6, 10, 11, 12 carried (carried: {taken})")
    expect(all(run(n).get("outcome") == "refused" for n in ("setfeatures03", "op5c", "op5f")),
           "SET FEATURES 03h and opcodes 5Ch-5Fh refused")
    expect(all(run(n).get("outcome") == "device_error" and run(n).get("regs", {}).get("error") == 4
               for n in ("vendor80", "vendorf0")), "vendor opcodes reach the device (it aborts them)")
    expect(set(run("scsireset").values()) == {5}, "SG_SCSI_RESET fails with EIO")
    expect(run("linkreset").get("linkreset") is True and "@@scsi_after sg0" in text
           and run("after_reset").get("outcome") == "completed",
           "the link reset keeps the device and the next command works")
    to = run("timeout")
    expect(to.get("outcome") == "timed_out" and to.get("ms", 0) >= 1000,
           f"a command past its SG_IO time-out is reported timed out (after {to.get('ms')} ms)")
    seen = text[text.find("@@dmesg_timeout"):text.find("@@kernel")]
    expect(seen.count("ata2: SATA link up") >= 2 and seen.count("ata2.00: configured") >= 2,
           "the kernel's error handler reset the slow disk's link and identified it again")
    expect(run("after_timeout").get("outcome") == "completed", "the slow disk works after it")
    tool_checks(text, runs, run, disk, expect)
    if expect.failures:
        print(f"{len(expect.failures)} check(s) failed", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    if sys.argv[1] == "prepare":
        prepare(sys.argv[2], sys.argv[3])
    else:
        check(sys.argv[2], sys.argv[3])

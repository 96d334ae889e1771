#!/usr/bin/env python3
"""Host side of the QEMU test: prepares the disk image and the command records, then checks what
the guest printed on its serial console against the image."""
import json
import re
import struct
import sys

import guest_console

DISK_MODEL = "ZKV QEMU TEST DISK"
DISK_SERIAL = "ZKVQ20260001"
HIGH_LBA = (1 << 28) + 12345
LOW_LBA = 63
WRITE_LBA = 2048
WRITE_EXT_LBA = (1 << 28) + 777
SECTORS = 160 * (1 << 30) // 512
PAST_LBA = SECTORS + 8

RESETENABLE, READREGS, EXTADDR, WRITELOG = 0x10, 0x20, 0x08, 0x800
PR_PIO_WRITE = 2


def pattern(seed, n):
    return bytes((seed * 7 + i * 13 + (i >> 8)) & 0xFF for i in range(n))


def record(cr, lba, count, protocol, data_len, flags, ext=False, time_ms=10000):
    sn, cl, ch = lba & 0xFF, (lba >> 8) & 0xFF, (lba >> 16) & 0xFF
    dh = 0xE0 if ext else 0xE0 | ((lba >> 24) & 0x0F)
    sn1, cl1, ch1 = (lba >> 24) & 0xFF, (lba >> 32) & 0xFF, (lba >> 40) & 0xFF
    sc, sc1 = count & 0xFF, (count >> 8) & 0xFF
    if not ext:
        sn1 = cl1 = ch1 = sc1 = 0
    b = struct.pack("<H17BiIiIiII", 0, 0, sc, sn, cl, ch, dh, cr, 0, sn1, sc1, cl1, ch1,
                    0, 0, 0, 0, protocol, time_ms, 0, data_len, 0x5A4B0001, 0, 1, flags)
    assert len(b) == 47
    return b.hex()


def prepare(disk):
    with open(disk, "r+b") as f:
        f.seek(HIGH_LBA * 512)
        f.write(pattern(1, 1024))
        f.seek(LOW_LBA * 512)
        f.write(pattern(2, 512))
    env = {
        "DISK_MODEL": DISK_MODEL.replace(" ", "\\ "),
        "DISK_SERIAL": DISK_SERIAL,
        "HIGH_LBA": HIGH_LBA,
        "LOW_LBA": LOW_LBA,
        "WRITE_LBA": WRITE_LBA,
        "PAST_LBA": PAST_LBA,
        "WRITE_RECORD": record(0x30, WRITE_LBA, 1, PR_PIO_WRITE, 512,
                               RESETENABLE | READREGS | WRITELOG),
        "WRITE_DATA": pattern(3, 512).hex(),
        "WRITE_EXT_RECORD": record(0x34, WRITE_EXT_LBA, 1, PR_PIO_WRITE, 512,
                                   RESETENABLE | READREGS | EXTADDR, ext=True),
        "WRITE_EXT_DATA": pattern(4, 512).hex(),
    }
    for k, v in env.items():
        print(f"{k}={v}")


def parse_console(path):
    text = guest_console.read_console(path)
    runs = {name: (rc, guest_console.last(objects), body)
            for name, rc, body, objects in guest_console.runs(text)}
    return text, runs


def check(disk, console):
    text, runs = parse_console(console)
    expect = guest_console.Checks()

    for name in sorted(runs):
        rc, obj, body = runs[name]
        shown = json.dumps(obj) if obj is not None else body.strip()
        print(f"guest {name} (exit {rc}): {shown[:300]}")
    m = re.search(r"@@ioports\n(.*?)@@drivers\n(.*?)\n", text, re.S)
    if m:
        print("guest ioports:", m.group(1).strip().replace("\n", " | ") or "(none claimed)")
        print("guest pci drivers:", m.group(2).strip())
        expect("ata" not in m.group(2), "no ATA driver bound in the guest")
    expect("@@done" in text, "the guest ran every command")

    def run(name):
        return runs.get(name, (None, None, ""))

    rc, d, _ = run("detect")
    expect(d is not None and d["master"]["kind"] == 2, "detect: master is an ATA disk (kind 2)")
    expect(d is not None and d["slave"]["kind"] == 4, "detect: slave is a packet device (kind 4)")
    rc, d, _ = run("identify")
    expect(rc == 0 and d and d["result"] == 0, "identify: result 0")
    expect(d is not None and d.get("model") == DISK_MODEL, "identify: model as configured")
    expect(d is not None and d.get("serial") == DISK_SERIAL, "identify: serial as configured")
    rc, d, _ = run("read_high")
    expect(rc == 0 and d and d["result"] == 0 and d["data"] == pattern(1, 1024).hex(),
           f"read above 2^28 (LBA {HIGH_LBA}) returns the image's bytes")
    rc, d, _ = run("read_low")
    expect(rc == 0 and d and d["data"] == pattern(2, 512).hex(), "read below 2^28 returns the image's bytes")
    rc, d, _ = run("write")
    expect(rc == 0 and d and d["result"] == 0 and d["data_len"] == 0, "exec PR_PIO_WRITE: result 0, DataLen 0")
    expect(d is not None and len(d.get("trace", "")) > 0, "exec with WRITELOG returns a trace")
    rc, d, _ = run("readback")
    expect(rc == 0 and d and d["data"] == pattern(3, 512).hex(), "the written sector reads back")
    rc, d, _ = run("write_ext")
    expect(rc == 0 and d and d["result"] == 0, "exec WRITE SECTORS EXT: result 0")
    rc, d, _ = run("read_past")
    expect(rc == 1 and d and d["result"] == 3 and (d["sr"] & 1), "read past the end: result 3 with ERR")

    with open(disk, "rb") as f:
        f.seek(WRITE_LBA * 512)
        expect(f.read(512) == pattern(3, 512), "the exec write landed in the image file")
        f.seek(WRITE_EXT_LBA * 512)
        expect(f.read(512) == pattern(4, 512), "the 48-bit exec write landed in the image file")

    print(f"{expect.passed} passed, {len(expect.failures)} failed")
    return 1 if expect.failures else 0


if __name__ == "__main__":
    if sys.argv[1] == "prepare":
        prepare(sys.argv[2])
    else:
        sys.exit(check(sys.argv[2], sys.argv[3]))

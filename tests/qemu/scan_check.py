#!/usr/bin/env python3
"""Host side of the QEMU scan test: writes the blkdebug rules, then checks the scans the guest
printed on its serial console against the sectors with injected errors."""
import sys

import guest_console

LOW_START, LOW_COUNT = 0, 8192
LOW_BAD = [1000, 5000, 8191]  # 8191: the last sector of the range
HIGH_START, HIGH_COUNT = (1 << 28) - 1000, 3000  # crosses the 28-bit limit
HIGH_BAD = [(1 << 28) + 500]
RES_VERIFY_ERROR = 0x02


def prepare(rules):
    with open(rules, "w") as f:
        for sector in LOW_BAD + HIGH_BAD:
            f.write('[inject-error]\nevent = "read_aio"\nerrno = "5"\n'
                    f'sector = "{sector}"\nonce = "off"\n\n')
    for k, v in {"LOW_START": LOW_START, "LOW_COUNT": LOW_COUNT,
                 "HIGH_START": HIGH_START, "HIGH_COUNT": HIGH_COUNT}.items():
        print(f"{k}={v}")


def parse(console):
    text = guest_console.read_console(console)
    runs = {}
    for name, rc, _, objects in guest_console.runs(text):
        blocks, summary = [], None
        for obj in objects:
            if "summary" in obj:
                summary = obj["summary"]
            else:
                blocks.append(obj)
        runs[name] = (rc, blocks, summary)
    return text, runs


def check(console):
    text, runs = parse(console)
    expect = guest_console.Checks()

    expect("@@done" in text, "the guest ran every scan")
    for name, start, count, bad in (("scan_read", LOW_START, LOW_COUNT, LOW_BAD),
                                    ("scan_read48", HIGH_START, HIGH_COUNT, HIGH_BAD)):
        rc, blocks, summary = runs.get(name, (None, [], None))
        at, covered = start, True
        for b in blocks:
            covered = covered and b["lba"] == at
            at += b["sectors"]
        errors = [b for b in blocks if b["flags"] & RES_VERIFY_ERROR]
        for b in errors:
            print(f"     {name}: bad block lba {b['lba']} sectors {b['sectors']} status 0x{b['status']:02x} "
                  f"error 0x{b['error']:02x} code {b['code']} class {b['class']} ({b.get('class_text')})")
        expect(rc == 0, f"{name}: exit status 0 (got {rc})")
        expect(covered and at == start + count, f"{name}: the blocks cover [{start}, {start + count}) exactly")
        expect(sorted(b["lba"] for b in errors) == bad and all(b["sectors"] == 1 for b in errors),
               f"{name}: the bad blocks are exactly the injected sectors {bad}, one sector each")
        expect(summary is not None and summary["completed"] and summary["processed_sectors"] == count,
               f"{name}: the summary says completed, {count} sectors")
    rc, blocks, summary = runs.get("scan_verify", (None, [], None))
    errors = [b["lba"] for b in blocks if b["flags"] & RES_VERIFY_ERROR]
    print(f"     scan_verify: READ VERIFY over the same range reports {len(errors)} bad blocks {errors}, "
          f"exit {rc}, {summary and summary['processed_sectors']} sectors")
    expect(rc == 0 and summary is not None and summary["processed_sectors"] == LOW_COUNT,
           "scan_verify: READ VERIFY completes the range")
    print(f"{len(expect.failures)} failed")
    return 1 if expect.failures else 0


if __name__ == "__main__":
    if sys.argv[1] == "prepare":
        prepare(sys.argv[2])
    else:
        sys.exit(check(sys.argv[2]))

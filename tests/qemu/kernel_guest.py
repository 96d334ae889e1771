#!/usr/bin/env python3
"""Host side of the kernel-guest QEMU test: checks what the guest printed on its console."""
import json
import re
import sys

import guest_console

CANT_DISABLE = "This controller can't be disabled.\r\nMaybe it was used to boot system from."
KEY = "pci-0000:00:01.1\\1"


def parse(path):
    text = open(path, "rb").read().decode("utf-8", "replace").replace("\r\n", "\n")
    runs = {name: (rc, guest_console.last(objects), body)
            for name, rc, body, objects in guest_console.runs(text)}
    marks = dict(re.findall(r"@@sda (\S+) (\S+)", text))
    return text, runs, marks


def main(console, model):
    text, runs, marks = parse(console)
    expect = guest_console.Checks()

    for name, (rc, obj, body) in sorted(runs.items()):
        shown = json.dumps(obj) if obj is not None else body.strip()
        print(f"guest {name} (exit {rc}): {shown[:600]}")
    for line in re.findall(r"@@(driver\S*|sda) ([^\n]*)", text):
        print("guest", *line)
    expect("@@done" in text, "the guest ran every step")
    expect(marks.get("at_start") == "present", "ata_piix drives the disk: /sys/block/sda exists")

    rc, d, _ = runs.get("controllers", (None, None, ""))
    entries = (d or {}).get("controllers", [])
    piix = [e for e in entries if "VEN_8086&DEV_7010" in e.get("hardware_id", "")]
    chans = [e for e in piix if e["driver_index"] in (1, 2)]
    expect(rc == 0 and len(piix) == 3 and len(chans) == 2,
           "controllers lists the PIIX IDE function 8086:7010 with two channels")
    expect(any(e["driver_index"] == 0 and e["service"] == "ata_piix" for e in piix),
           "the controller entry names its driver ata_piix")
    byidx = {e["driver_index"]: e for e in chans}
    expect(byidx.get(1, {}).get("ranges") == [[0x1F0, 0x1F7], [0x3F6, 0x3F6]] and
           byidx.get(2, {}).get("ranges") == [[0x170, 0x177], [0x376, 0x376]],
           "the channels have the legacy ranges")
    expect(all(e["class"] == "THDCInfo" and e["service"] == "atapi" and e["chanals"] == 1 and
               not e["disabled"] and e["disableable"] for e in chans),
           "the channels are drivable, enabled and may be taken")

    expect(re.search(r"@@partitions sda1 \n", text) is not None, "the disk has one partition, sda1")
    rc, d, _ = runs.get("take", (None, None, ""))
    expect(rc == 0 and d and d["ok"] and d["driver"] == "ata_piix", "take unbinds ata_piix")
    expect(marks.get("after_take") == "absent", "after take /sys/block/sda is gone")
    rc, d, _ = runs.get("identify", (None, None, ""))
    expect(rc == 0 and d and d.get("model") == model, "IDENTIFY by port I/O names the configured model")
    rc, d, _ = runs.get("give", (None, None, ""))
    expect(rc == 0 and d and d["ok"] and not d["disabled"], "give binds the driver again")
    expect(marks.get("after_give") == "present", "after give /sys/block/sda is back")
    expect(re.search(r"@@swaps\n.*\n/dev/sda\s", text) is not None, "the disk carries active swap")
    rc, d, _ = runs.get("take_swap", (None, None, ""))
    expect(rc == 1 and d and not d["ok"] and d["refused"] and d["message"].startswith(CANT_DISABLE)
           and "swap" in d.get("reason", ""),
           "take is refused while the disk is swap: \"This controller can't be disabled.\"")
    expect(marks.get("after_refusal") == "present", "the kernel keeps the disk after the refusal")

    # In use where the tool's own tables do not show it: only the kernel's claim tells.
    expect(re.search(r"@@ns_mounted yes\n", text) is not None,
           "the disk is mounted in another mount namespace")
    expect(re.search(r"@@own_mountinfo 0\n", text) is not None,
           "the tool's mount namespace does not show that mount")
    for run, mark, what in (("take_ns", "after_ns", "mounted only in another mount namespace"),
                            ("take_held", "after_held",
                             "held open exclusively through a node the guest made")):
        rc, d, _ = runs.get(run, (None, None, ""))
        expect(rc == 1 and d and not d["ok"] and d["refused"] and
               d["message"].startswith(CANT_DISABLE) and
               "kernel refuses to open it exclusively" in d.get("reason", ""),
               f"take is refused while the disk is {what}")
        expect(marks.get(mark) == "present", f"the kernel keeps the disk ({what})")
    expect(re.search(r"@@held held\n", text) is not None, "the guest's own node held the disk")
    stamps = dict(re.findall(r"@@uptime (\S+) ([0-9.]+)", text))
    if "in_use_begin" in stamps and "in_use_end" in stamps:
        spent = float(stamps["in_use_end"]) - float(stamps["in_use_begin"])
        print(f"guest time of the namespace and own-node cases: {spent:.1f} s")

    print(f"{expect.passed} passed, {len(expect.failures)} failed")
    return 1 if expect.failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))

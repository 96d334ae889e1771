#!/usr/bin/env python3
"""The demo's technician, played through the service stand-in.

  technician.py script LAB OUT      writes the stand-in's script for one repair session on the
                                    demo lab LAB (a simulated hardware file)
  technician.py account LAB         reads the stand-in's output (JSON lines) on standard input
                                    and tells in plain words what the technician did and what
                                    the client answered; ends when the technician has left

The account's last lines are the scan's summary. Exit status of `account`: 0 when every step
was answered and the scan reported every defect of LAB as one bad sector of its kind, else 1.
"""
import json
import struct
import sys

TECH = {"sender_role": 3, "addressee_role": 2}
ATA_FLAG = 8
COMMAND_OK, UNKNOWN_COMMAND, COMMAND_ERROR = 0x1001, 0x1002, 0x1003
CMD_SHOW_LOG, CMD_START_CHAT, CMD_CLOSE_CHAT = 1, 14, 15
CMD_ATA_GET_STATUS, CMD_SCAN_SURFACE, CMD_SHOW_SCAN = 22, 35, 36
CMD_DISPLAY_MESSAGE, CMD_COMPORT_GET_LIST, CMD_COMPORT_SET_PARAM = 37, 41, 42
CMD_COMPORT_DO_COMMAND, CMD_COMPORT_SHOW_DATA = 43, 44

# The scan: 28-bit READ VERIFY over the part of the disk that holds the defects.
SCAN_START, SCAN_COUNT = 0, 100000
THRESHOLDS = [10, 20, 50, 100, 200, 500]
ERROR_BITS = [(0x40, "UNC"), (0x10, "IDNF"), (0x04, "ABRT"), (0x80, "BBK"), (0x01, "AMNF")]

GREETING = "Hello, this is Anna from the repair service. I will look at your disk now."
QUESTION = ("<b>Is the disk you want repaired the only disk on this cable?</b><br>"
            "Answer <i>Yes</i> if nothing else is plugged into the same flat cable.")
FINAL = ("Thank you. The scan is complete: we have found the damaged sectors and will now "
         "prepare your repair plan.")


def text(s):
    return s.encode("latin-1") + b"\0"


def item(code, echo, data=b""):
    return {"code": code, "flags": 1, "echo": echo, "data": data.hex()}


def packet(items, **header):
    return {"header": {**TECH, **header}, "items": items}


def steps():
    """Each step: what the technician does, the packet, how long to wait for the answer, and
    further script lines (waits for what the client sends on its own)."""
    scan = struct.pack("<iii6IIiIiB3x", SCAN_START, SCAN_COUNT, 256, *THRESHOLDS,
                       10000, 1, 0, 250, 0)
    assert len(scan) == 56
    return [
        ("attaches to the session and greets the user",
         packet([item(CMD_START_CHAT, 1, struct.pack("<ii", 9001, 0) + text(GREETING))]),
         20000, []),
        ("asks for the drive's status registers",
         packet([item(CMD_ATA_GET_STATUS, 2)]), 20000, []),
        ("sends IDENTIFY DEVICE",
         packet([{"flags": 1, "echo": 3,
                  "ata": {"command": 0xEC, "protocol": "PR_PIO_READ", "count": 1}}]),
         20000, []),
        ("reads sector 0, then sectors 19999-20000 with a trace of two attempts",
         packet([{"flags": 1, "echo": 4,
                  "ata": {"command": 0x20, "protocol": "PR_PIO_READ", "lba": 0, "count": 1}},
                 {"flags": 1, "echo": 5,
                  "ata": {"command": 0x20, "protocol": "PR_PIO_READ", "lba": 19999, "count": 2,
                          "flags": ["WRITELOG", "RESETENABLE"], "repeat": 2}}]),
         20000, []),
        ("asks the user a question",
         packet([{"code": 49, "flags": 1, "echo": 6,
                  "wizard": {"message": QUESTION, "dlgType": 2, "buttons": 0x0C}}],
                flags=ATA_FLAG),
         600000, []),
        ("shows the instruction screen for the jumpers of a Western Digital drive",
         packet([item(CMD_DISPLAY_MESSAGE, 7, struct.pack("<i", 4))]), 20000,
         [{"wait_item": CMD_SHOW_LOG, "ms": 600000}]),
        ("lists the serial ports", packet([item(CMD_COMPORT_GET_LIST, 8)]), 20000, []),
        ("opens port 1 at 9600 bit/s, 8 data bits, 1 stop bit",
         packet([item(CMD_COMPORT_SET_PARAM, 9, struct.pack("<7i", 1, 9600, 1, 8, 0, 0, 1))]),
         20000, []),
        ("types \"V\" into the drive's terminal",
         packet([item(CMD_COMPORT_DO_COMMAND, 10, struct.pack("<ii", 0, 0) + text("V\r"))]),
         20000, [{"wait_item": CMD_COMPORT_SHOW_DATA, "ms": 10000}]),
        ("starts a surface scan of sectors %d-%d (28-bit READ VERIFY, 256-sector blocks)"
         % (SCAN_START, SCAN_START + SCAN_COUNT - 1),
         packet([item(CMD_SCAN_SURFACE, 11, scan)]), 20000,
         [{"wait_item": CMD_SHOW_SCAN, "data_prefix": "01", "ms": 600000},
          {"delay_ms": 3000}]),  # a look at the results
        ("shows a closing message to the user",
         packet([item(CMD_DISPLAY_MESSAGE, 12, struct.pack("<i", 12) + text(FINAL) +
                      text("OK") + text("Ask me later"))]),
         20000, [{"wait_item": CMD_SHOW_LOG, "ms": 600000}]),
        ("leaves the session", packet([item(CMD_CLOSE_CHAT, 13)]), 20000, []),
    ]


def write_script(out):
    for _, p, wait, after in steps():
        out.write(json.dumps(p) + "\n")
        out.write(json.dumps({"wait_reply_ms": wait}) + "\n")
        for line in after:
            out.write(json.dumps(line) + "\n")


# --- the account ------------------------------------------------------------------------------

def zstring(data):
    return data.split(b"\0", 1)[0].decode("latin-1")


def status_text(code):
    return {COMMAND_OK: "OK", UNKNOWN_COMMAND: "unknown command",
            COMMAND_ERROR: "refused"}.get(code, "0x%04X" % code)


def error_kind(er):
    for bit, name in ERROR_BITS:
        if er & bit:
            return name
    return "error 0x%02X" % er


def identify_text(block, first_word, chars):
    s = bytearray()
    for w in range(first_word, first_word + (chars + 1) // 2):
        s += bytes([block[2 * w + 1], block[2 * w]])
    return s[:chars].decode("latin-1").strip()


def describe_identify(block):
    words = struct.unpack("<256H", block)
    sectors = words[60] | words[61] << 16
    if words[83] & 0x0400:
        sectors = words[100] | words[101] << 16 | words[102] << 32 | words[103] << 48
    return "%s, serial %s, firmware %s, %d sectors (%.1f GB)" % (
        identify_text(block, 27, 40), identify_text(block, 10, 20),
        identify_text(block, 23, 8), sectors, sectors * 512 / 1e9)


def describe_ata_item(it):
    a = it.get("ata", {})
    if "wizard_result" in a:
        names = ["OK", "Cancel", "Yes", "No", "Abort", "Retry", "Ignore", "All", "No to all",
                 "Yes to all", "Help"]
        r = a["wizard_result"]
        return "the user answered \"%s\"" % (names[r] if 0 <= r < len(names) else r)
    rec = a.get("record")
    if not rec:
        return status_text(it["code"])
    what = "%s at %s" % ({0xEC: "IDENTIFY", 0x20: "READ SECTORS"}.get(rec.get("CR"), "command"),
                         rec.get("SN", 0) | rec.get("CL", 0) << 8 | rec.get("CH", 0) << 16 |
                         (rec.get("DH", 0) & 0x0F) << 24)
    if rec.get("result", 0) == 0:
        data = bytes.fromhex(a.get("data", ""))
        if rec.get("CR") == 0xEC and len(data) >= 512:
            return "IDENTIFY: " + describe_identify(data[:512])
        return "%s: read fine, %d bytes" % (what, len(data))
    s = "%s: failed, %s (status 0x%02X, error 0x%02X: %s)" % (
        what, rec.get("result_name", rec.get("result")), rec.get("SR", 0), rec.get("ER", 0),
        error_kind(rec.get("ER", 0)))
    if "trace" in a:
        s += ", %d attempt(s) traced" % len(a["trace"])
    return s


class Account:
    def __init__(self, lab, out):
        self.out = out
        self.steps = steps()
        self.answered = set()
        self.scan = []
        self.scan_over = False
        self.defects = {}
        for ch in lab.get("channels", []):
            for pos in ("master", "slave"):
                dev = ch.get(pos) or {}
                if dev.get("type") == "disk":
                    for d in dev.get("defects", []):
                        if SCAN_START <= d["lba"] < SCAN_START + SCAN_COUNT:
                            self.defects[d["lba"]] = d["error"]

    def say(self, who, what):
        self.out.write("%-12s %s\n" % (who + ":", what))
        self.out.flush()

    def on_line(self, j):
        ev = j.get("event")
        if ev == "connected":
            self.say("service", "the client connected")
            return True
        if ev == "closed":
            self.say("service", "the client's connection closed")
            return False
        if ev == "wait_timeout":
            self.say("technician", "gave up waiting (%s)" % json.dumps(j))
            return True
        if "header" not in j or "items" not in j:
            return True
        h = j["header"]
        items = j["items"]
        codes = [it["code"] for it in items]
        if h.get("kind") == 1:
            return self.on_reply(h.get("exchange_id", 0), items)
        if 2 in codes:
            self.say("service", "the client logged in")
        elif 5 in codes:
            self.say("service", "the client opened the engagement; the technician is called")
        for it in items:
            data = bytes.fromhex(it.get("data", ""))
            if it["code"] == CMD_SHOW_LOG:
                self.say("user", "answered the screen: \"%s\"" % zstring(data))
            elif it["code"] == CMD_COMPORT_SHOW_DATA:
                t = zstring(data).replace("\r", " ").replace("\n", " ").strip()
                self.say("terminal", "\"%s\"" % t)
            elif it["code"] == CMD_SHOW_SCAN and data:
                self.on_scan(data)
        return True

    def on_reply(self, n, items):
        if not 1 <= n <= len(self.steps) or n in self.answered:
            return True
        self.answered.add(n)
        self.say("technician", self.steps[n - 1][0])
        sent = self.steps[n - 1][1]["items"][0].get("code", 21)
        for it in items:
            data = bytes.fromhex(it.get("data", ""))
            code = it["code"]
            if "ata" in it:
                self.say("client", describe_ata_item(it))
            elif sent == CMD_START_CHAT and code == COMMAND_OK and len(data) >= 425:
                model = zstring(data[30:71]).strip()
                serial = zstring(data[0:21]).strip()
                firmware = zstring(data[21:30]).strip()
                self.say("client", "accepted; its drive is %s, serial %s, firmware %s, on the %s"
                         % (model, serial, firmware, "master" if data[117] else "slave"))
            elif sent == CMD_ATA_GET_STATUS and code == COMMAND_OK and len(data) >= 47:
                self.say("client", "status 0x%02X, error 0x%02X" % (data[15], data[14]))
            elif sent == CMD_COMPORT_GET_LIST and code == COMMAND_OK and len(data) >= 4:
                count = struct.unpack_from("<i", data)[0]
                ports = struct.unpack_from("<%di" % count, data, 4)
                self.say("client", "serial port(s) available: %s" % ", ".join(map(str, ports)))
            else:
                self.say("client", status_text(code))
        return n != len(self.steps)

    def on_scan(self, data):
        over = data[0] == 1
        for o in range(1, len(data) - 35, 36):
            lba, sectors, ms, sr, er, flags, code = struct.unpack_from("<qqIIIII", data, o)
            self.scan.append((lba, sectors, ms, sr, er, flags, code))
        done = sum(r[1] for r in self.scan)
        bad = sum(1 for r in self.scan if r[5] & 0x02)
        self.say("scan", "%3d %%  %d of %d sectors, %d bad so far%s"
                 % (done * 100 // SCAN_COUNT, done, SCAN_COUNT, bad, ", over" if over else ""))
        self.scan_over = self.scan_over or over

    def summary(self):
        ok = len(self.answered) == len(self.steps)
        self.say("summary", "%d of %d steps answered" % (len(self.answered), len(self.steps)))
        if not self.scan:
            self.say("summary", "no scan results arrived")
            return False
        done = sum(r[1] for r in self.scan)
        bad = [r for r in self.scan if r[5] & 0x02]
        slow = [r for r in self.scan if not r[5] & 0x02 and r[2] > THRESHOLDS[0]]
        self.say("summary", "scan %s: %d sectors in %d blocks" % (
            "complete" if self.scan_over and done == SCAN_COUNT else "NOT complete", done,
            len(self.scan)))
        for r in bad:
            self.say("summary", "  bad   sector %6d (%d sector): %s, status 0x%02X error 0x%02X"
                     % (r[0], r[1], error_kind(r[4]), r[3], r[4]))
        for r in slow:
            over = [t for t in THRESHOLDS if r[2] > t]
            self.say("summary", "  slow  sectors %d-%d: %d ms (over %d ms)"
                     % (r[0], r[0] + r[1] - 1, r[2], over[-1]))
        found = {r[0]: error_kind(r[4]) for r in bad if r[1] == 1}
        missing = [lba for lba, kind in self.defects.items() if found.get(lba) != kind]
        if missing:
            self.say("summary", "defects of the lab NOT reported as such: %s" % missing)
        else:
            self.say("summary", "every defect of the demo lab was reported (%d of %d)"
                     % (len(self.defects), len(self.defects)))
        return ok and not missing and self.scan_over and done == SCAN_COUNT


def account(lab_file):
    with open(lab_file) as f:
        lab = json.load(f)
    acc = Account(lab, sys.stdout)
    for line in sys.stdin:
        try:
            j = json.loads(line)
        except ValueError:
            continue
        if not acc.on_line(j):
            break
    return 0 if acc.summary() else 1


def main(argv):
    if len(argv) == 4 and argv[1] == "script":
        with open(argv[3], "w") as out:
            write_script(out)
        return 0
    if len(argv) == 3 and argv[1] == "account":
        return account(argv[2])
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))

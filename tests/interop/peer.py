#!/usr/bin/python3
"""An independent implementation of the service protocol's wire format, for interoperability tests.

It shares no code with the C++ client: headers are packed with struct, the CRC is computed
bitwise, bodies are compressed with Python's zlib and encrypted with PyCryptodome's Blowfish
(which reads block halves big-endian, so each 4-byte half is byte-swapped around it).

    peer.py selftest ZELKOVA_WIRE   writes streams, checks the inspector decodes them field for
                                    field and re-encodes them byte for byte, and decodes what the
                                    inspector encodes.
"""
import json
import os
import random
import struct
import subprocess
import sys
import tempfile
import zlib

from Cryptodome.Cipher import Blowfish

MAGIC = 0x5A4B5656
HEADER = struct.Struct("<iiBBBIiiiiIII8sH")
assert HEADER.size == 53

COMMANDS = ("CMD_NO_OPERATION CMD_SHOW_LOG CMD_LET_ME_CONNECT CMD_DELETE_USER CMD_GET_SERVICE_LIST "
            "CMD_CREATE_SEANS CMD_DELETE_SEANS CMD_START_SEANS CMD_GET_USER_LIST CMD_CREATE_NODE "
            "CMD_APPEND_TO_NODE CMD_LET_ME_APPEND CMD_DISCONNECT_FROM_NODE CMD_DISCONNECT "
            "CMD_START_CHAT CMD_CLOSE_CHAT CMD_SET_ADMIN CMD_GET_ALL_ID CMD_ADD_MSG_TO_CONTAINER "
            "CMD_GET_MESSAGE CMD_SHOW_CHAT CMD_ATA_COMMAND CMD_ATA_GET_STATUS CMD_ATA_RESET "
            "CMD_RING_CHAT CMD_GET_IDE_LIST CMD_ENABLE_IDE CMD_DISABLE_IDE CMD_REBOOT "
            "CMD_SERVER_RESTART CMD_SERVER_REBOOT CMD_SERVER_LOG CMD_SERVER_USERS "
            "CMD_SERVER_SETTINGS CMD_SERVER_FILES CMD_SCAN_SURFACE CMD_SHOW_SCAN "
            "CMD_DISPLAY_MESSAGE CMD_UPDATE_ORDER CMD_SQL_SELECT CMD_DDL_SELECT "
            "CMD_COMPORT_GET_LIST CMD_COMPORT_SET_PARAM CMD_COMPORT_DO_COMMAND "
            "CMD_COMPORT_SHOW_DATA CMD_COMPORT_SET_BAUD CMD_COMPORT_WRITE_BUFFER "
            "CMD_COMPORT_WRITE_DATA CMD_SET_KEY CMD_SHOW_WIZARD_FORM CMD_LOAD_DLL CMD_UNLOAD_DLL "
            "CMD_SHUTDOWN").split()
STATUSES = {0x1000: "NO REPLY", 0x1001: "COMMAND OK", 0x1002: "UNKNOWN COMMAND",
            0x1003: "COMMAND ERROR"}


def crc16(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc


def swap_halves(data):
    out = bytearray(data)
    for i in range(0, len(out), 4):
        out[i:i + 4] = out[i:i + 4][::-1]
    return bytes(out)


def encrypt(key, data):
    return swap_halves(Blowfish.new(key, Blowfish.MODE_ECB).encrypt(swap_halves(data)))


def decrypt(key, data):
    return swap_halves(Blowfish.new(key, Blowfish.MODE_ECB).decrypt(swap_halves(data)))


def item_name(kind, code):
    if kind == 1:
        return STATUSES.get(code, "<status %d>" % code)
    return COMMANDS[code] if 0 <= code < len(COMMANDS) else "<command %d>" % code


HFIELDS = ("sender_role", "addressee_role", "kind", "reserved", "sender_id", "partner_id",
           "delivery", "destination_id", "flags", "exchange_id")


def pack_header(h, wire, plain):
    raw = HEADER.pack(wire, plain, h["sender_role"], h["addressee_role"], h["kind"],
                      h["reserved"], h["sender_id"], h["partner_id"], h["delivery"],
                      h["destination_id"], MAGIC, h["flags"], h["exchange_id"], b"\0" * 8, 0)
    return raw[:51] + struct.pack("<H", crc16(raw[:51]))


def write_packet(key, h, items):
    """Encodes one packet; returns (bytes, expected decode line without offset)."""
    body = struct.pack("<i", len(items))
    for it in items:
        body += struct.pack("<iiIII", it["code"], len(it["data"]), it["flags"], it["echo"],
                            it["reserved"]) + it["data"]
    z = zlib.compress(body, 9)
    z += b"\0" * (-len(z) % 8)
    ct = encrypt(key, z)
    header = dict(h, wire_length=len(ct), plain_length=len(body))
    line = {"header": {k: header[k] for k in ("wire_length", "plain_length") + HFIELDS},
            "items": [{"code": it["code"], "name": item_name(h["kind"], it["code"]),
                       "data_length": len(it["data"]), "flags": it["flags"], "echo": it["echo"],
                       "reserved": it["reserved"], "data": it["data"].hex()} for it in items]}
    return pack_header(h, len(ct), len(body)) + ct, line


def write_keepalive(h):
    header = dict(h, wire_length=0, plain_length=0)
    line = {"keepalive": True,
            "header": {k: header[k] for k in ("wire_length", "plain_length") + HFIELDS}}
    return pack_header(h, 0, 0), line


def read_stream(key, data):
    """Decodes a stream the way the receiver does; returns decode lines."""
    out, pos = [], 0
    while pos < len(data):
        if len(data) - pos < 53:
            out.append({"offset": pos, "truncated": True})
            break
        raw = data[pos:pos + 53]
        f = HEADER.unpack(raw)
        if f[10] != MAGIC or crc16(raw) != 0:
            out.append({"offset": pos, "bad_header": True})
            pos += 53
            continue
        h = {"wire_length": f[0], "plain_length": f[1], "sender_role": f[2],
             "addressee_role": f[3], "kind": f[4], "reserved": f[5], "sender_id": f[6],
             "partner_id": f[7], "delivery": f[8], "destination_id": f[9], "flags": f[11],
             "exchange_id": f[12]}
        if f[0] <= 0:
            out.append({"offset": pos, "keepalive": True, "header": h})
            pos += 53
            continue
        if len(data) - pos - 53 < f[0]:
            out.append({"offset": pos, "truncated": True})
            break
        body = zlib.decompressobj().decompress(decrypt(key, data[pos + 53:pos + 53 + f[0]]))
        assert len(body) == f[1]
        items, at = [], 4
        while at < len(body):
            code, n, flags, echo, res = struct.unpack_from("<iiIII", body, at)
            at += 20
            items.append({"code": code, "name": item_name(h["kind"], code), "data_length": n,
                          "flags": flags, "echo": echo, "reserved": res,
                          "data": body[at:at + n].hex()})
            at += n
        out.append({"offset": pos, "header": h, "items": items})
        pos += 53 + f[0]
    return out


def random_header(rng, kind=None):
    return {"sender_role": rng.randrange(11), "addressee_role": rng.randrange(11),
            "kind": rng.randrange(4) if kind is None else kind,
            "reserved": rng.randrange(2 ** 32), "sender_id": rng.randrange(-2 ** 31, 2 ** 31),
            "partner_id": rng.randrange(-2 ** 31, 2 ** 31), "delivery": rng.randrange(4),
            "destination_id": rng.randrange(-2 ** 31, 2 ** 31), "flags": rng.choice([0, 8, 0xFFFF]),
            "exchange_id": rng.randrange(2 ** 32)}


def random_items(rng, kind):
    items = []
    for _ in range(rng.randrange(1, 6)):
        size = rng.choice([0, 1, 47, 512, 4096, 70000])
        data = (bytes(rng.randrange(256) for _ in range(size)) if rng.random() < 0.5
                else bytes([rng.randrange(4)]) * size)
        code = rng.choice([0x1001, 0x1002, 0x1003]) if kind == 1 else rng.randrange(53)
        items.append({"code": code, "data": data, "flags": rng.choice([0, 1, 0x21, 0x41]),
                      "echo": rng.randrange(2 ** 32), "reserved": rng.choice([0, 7])})
    return items


def build_stream(key, seed, count):
    rng = random.Random(seed)
    stream, lines = b"", []
    for _ in range(count):
        if rng.random() < 0.2:
            raw, line = write_keepalive(random_header(rng))
        else:
            h = random_header(rng)
            raw, line = write_packet(key, h, random_items(rng, h["kind"]))
        line = dict({"offset": len(stream)}, **line)
        stream += raw
        lines.append(line)
    return stream, lines


def run(cmd, data):
    p = subprocess.run(cmd, input=data, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=120)
    return p.returncode, p.stdout, p.stderr.decode()


def selftest(wire):
    failures = 0
    rc, out, _ = run([wire, "builtin-key"], b"")
    builtin = bytes.fromhex(out.decode().strip())
    other = bytes(random.Random(5).randrange(256) for _ in range(56))
    for name, key, extra in (("built-in key", builtin, []), ("other key", other,
                                                             ["--key", other.hex()])):
        stream, lines = build_stream(key, zlib.crc32(name.encode()), 40)
        # The inspector decodes the peer's stream field for field.
        rc, out, err = run([wire, "decode"] + extra, stream)
        got = [json.loads(l) for l in out.decode().splitlines()]
        if rc != 0 or got != lines:
            failures += 1
            print("FAIL decode (%s): rc=%d %s" % (name, rc, err))
            for a, b in zip(got, lines):
                if a != b:
                    print("  got     ", json.dumps(a)[:300])
                    print("  expected", json.dumps(b)[:300])
                    break
        else:
            print("ok   decode (%s): %d packets, %d bytes" % (name, len(lines), len(stream)))
        # The inspector, given the same packets, writes the same bytes.
        script = "\n".join(json.dumps(l) for l in lines).encode() + b"\n"
        rc, out, err = run([wire, "encode"] + extra, script)
        if rc != 0 or out != stream:
            failures += 1
            print("FAIL encode (%s): rc=%d %s; %d vs %d bytes" % (name, rc, err, len(out),
                                                                  len(stream)))
        else:
            print("ok   encode (%s): byte-identical" % name)
        # And the peer reads the inspector's stream.
        if read_stream(key, out) != lines:
            failures += 1
            print("FAIL peer read of inspector stream (%s)" % name)
        else:
            print("ok   peer read (%s)" % name)
    print("%d passed, %d failed" % (6 - failures, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "selftest":
        sys.exit(selftest(sys.argv[2]))
    print(__doc__)
    sys.exit(2)

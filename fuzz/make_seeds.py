#!/usr/bin/env python3
"""Writes the starting corpus of the fuzz targets into fuzz/seeds (one file per case)."""
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))
out = os.path.join(here, "seeds")


def datagram(flags, seq, payload):
    return struct.pack(">BBHI", 0, flags, 8 + len(payload), seq) + payload


def string_cmd(text):
    return b"\x04" + text.encode() + b"\x00"


def move(pitch, yaw, buttons=0, impulse=0):
    return bytes([3, 0, 0, 0, 0, pitch, yaw, 0, 0, 0, 0, 0, 0, 0, buttons, impulse])


def records(datagrams):
    return b"".join(struct.pack("<H", len(d)) + d for d in datagrams)


def mixed(pairs):
    return b"".join(bytes([origin]) + struct.pack("<H", len(d)) + d for origin, d in pairs)


serverinfo = (b"\x0b" + struct.pack("<i", 15) + b"\x08\x01Level\x00maps/e1m1.bsp\x00progs/p.mdl\x00\x00"
              b"s.wav\x00\x00\x20\x02\x05\x01\x00\x19\x01")
stage3 = (b"\x0d\x00abc\x00\x0e\x00\x05\x00\x11\x00\x04\x0c\x00m\x00\x03\x0b\x01\x00\x00\x00"
          b"\x0f\x00\x00\x64\x00\x19\x00\x00\x00\x00\x00\x19\x03")

cases = {
    "host_commands": records([
        datagram(0x09, 0, string_cmd("say proxy:help")),
        datagram(0x09, 1, string_cmd('say "proxy:observers 3"') + string_cmd("say proxy:voffset 1 5 6 7")),
        datagram(0x09, 2, string_cmd("say proxy:transparent")),
        datagram(0x09, 3, string_cmd("say proxy:wakeup 2")),
        datagram(0x10, 0, move(10, 20, 1, 6)),
        datagram(0x02, 5, b""),
        datagram(0x10, 1, b"\x02"),
    ]),
    "server_signon": records([
        datagram(0x09, 0, serverinfo),
        datagram(0x01, 1, b"\x14" + bytes(13) + b"\x16" + bytes(15)),
        datagram(0x09, 2, b"\x19\x02"),
        datagram(0x09, 3, stage3),
        datagram(0x10, 7, b"\x07\x00\x00\x80\x3f\x0a\x01\x02\x03"),
        datagram(0x09, 4, b"\x1e"),
        datagram(0x09, 5, b"\x09reconnect\n\x00"),
    ]),
    "observer": records([
        datagram(0x09, 0, string_cmd("prespawn")),
        datagram(0x09, 1, string_cmd("spawn")),
        datagram(0x02, 0, b""),
        datagram(0x09, 2, string_cmd("name \"watcher\"\n") + string_cmd("status")),
        datagram(0x09, 3, string_cmd("say hello") + string_cmd("say proxy:voffset 0 3 4 5")),
        datagram(0x10, 0, move(0, 0, 2, 7)),
        datagram(0x10, 1, b"\x02"),
    ]),
    "listening": records([
        bytes.fromhex("8000000c02") + b"QUAKE\x00\x03",
        bytes.fromhex("8000000c01") + b"QUAKE\x00\x03",
        bytes.fromhex("80000005ff"),
    ]),
}
# Today's servers: a 666 level (16-bit move angles, extension bits) and one reliable datagram far
# past 1024 bytes.
serverinfo666 = (b"\x0b" + struct.pack("<i", 666) + b"\x08\x01Box\x00maps/box1.bsp\x00\x00\x00"
                 b"\x19\x01")
serverinfo999 = (b"\x0b" + struct.pack("<iI", 999, 0x82) + b"\x08\x01Box\x00maps/box2.bsp\x00\x00\x00"
                 b"\x19\x01")
entity666 = bytes([0x81 | 0x02, 0x80, 0x01, 0x05, 0x10, 0x00, 0x80])
clientdata666 = (b"\x0f" + struct.pack("<H", 0x8000) + b"\x08" + struct.pack("<i", 1) + b"\x64\x00"
                 + bytes(6) + b"\x01")
cases["server_protocols"] = records([
    datagram(0x09, 0, serverinfo666),
    datagram(0x09, 1, b"\x08" + b"b" * 40000 + b"\x00\x19\x02"),
    datagram(0x09, 2, stage3),
    datagram(0x10, 3, clientdata666 + entity666),
    datagram(0x09, 3, serverinfo999),
    datagram(0x10, 4, b"\x0a\x00\x40\x00\x20\x00\x00"),
])
cases["host_666"] = records([
    datagram(0x09, 0, string_cmd("say proxy:connect 127.0.0.1:26600")),
    datagram(0x10, 0, bytes([3, 0, 0, 0, 0, 0, 0x40, 0, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 1, 4])),
    datagram(0x09, 1, b"\x08" * 3000),
])

cases["mixed"] = mixed([
    (1, datagram(0x09, 0, string_cmd("say proxy:record demo"))),
    (3, datagram(0x09, 0, serverinfo)),
    (2, datagram(0x09, 0, string_cmd("prespawn"))),
    (3, datagram(0x09, 1, b"\x19\x02")),
    (3, datagram(0x09, 2, stage3)),
    (2, datagram(0x09, 1, string_cmd("spawn"))),
    (1, datagram(0x10, 0, move(1, 2))),
    (3 | 0x20, datagram(0x10, 9, b"\x01")),
])

# A big level: stage 2 as three messages (one of them in fragments, one a single big datagram), fog
# and sky box at spawn, and an observer catching up mid-level while a demo starts.
part = b"\x01" * 2000
fog_sky = b"\x29\x80\x40\x40\x40\x00\x00\x25sky1\x00"
cases["mixed_big_signon"] = mixed([
    (3, datagram(0x09, 0, serverinfo)),
    (3, datagram(0x01, 1, part[:1024])),
    (3, datagram(0x09, 2, part[1024:])),
    (3, datagram(0x09, 3, part)),
    (3, datagram(0x09, 4, part + b"\x19\x02")),
    (3, datagram(0x09, 5, fog_sky + stage3)),
    (1, datagram(0x09, 0, string_cmd("say proxy:record big"))),
    (2, datagram(0x09, 0, string_cmd("prespawn"))),
    (2, datagram(0x02, 0, b"")),
    (2, datagram(0x02, 1, b"")),
    (2, datagram(0x02, 2, b"")),
    (2, datagram(0x09, 1, string_cmd("spawn"))),
    (2, datagram(0x02, 3, b"")),
    (3, datagram(0x09, 6, b"\x08" + b"p" * 2500 + b"\x00")),
    (2, datagram(0x02, 4, b"")),
    (3 | 0x20, datagram(0x10, 9, b"\x01")),
])

os.makedirs(out, exist_ok=True)
for name, data in cases.items():
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)
print("wrote %d seeds to %s" % (len(cases), out))

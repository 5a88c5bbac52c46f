#!/usr/bin/env python3
"""Writes a demo firmware as an Intel HEX file for trying the update without a real build.

The image starts at --start (default 0x4000) and is --size bytes long (default 64 KiB). It holds
a vector table whose first eight words do not sum to 0 (so it is an ordinary firmware, not a
bootloader), deterministic filler bytes, and the 83-byte firmware information block at absolute
address 0x8000 ("Build:" string, names, build number and time, clock and buffer figures).
Records carry 16 data bytes; extended linear address records (type 04) precede every 64 KiB.
"""

import argparse
import struct
import sys

INFO_ADDR = 0x8000


def packed_time(year, month, day, hour, minute, second, hundredths=0):
    """6-byte big-endian bit field: year 15, month 4, day 5, hour 5, minute 6, second 6, 1/100 s 7."""
    v = year
    for value, bits in ((month, 4), (day, 5), (hour, 5), (minute, 6), (second, 6), (hundredths, 7)):
        v = (v << bits) | value
    return v.to_bytes(6, "big")


def fixed(text, width):
    raw = text.encode("ascii")[:width]
    return raw + b"\0" * (width - len(raw))


def info_block(build, comp, proj, build_num):
    block = b"".join([
        fixed("Build:" + build, 11),
        fixed(comp, 6),
        fixed(proj, 16),
        struct.pack("<H", build_num),
        packed_time(2026, 12, 9, 12, 0, 0),
        struct.pack("<IIII", 12000000, 72000000, 18000000, 400000),
        struct.pack("<H", 0x0102),                     # hardware id
        struct.pack("<10H", 512, 512, 256, 256, 128, 128, 128, 128, 1536, 1536),
        bytes([0, 21, 1, 22]),                         # RS485 direction pins
    ])
    assert len(block) == 83
    return block


def image_bytes(start, size, build, build_num):
    data = bytearray(size)
    seed = 0x1234567
    for i in range(size):
        seed = (seed * 1103515245 + 12345) & 0x7FFFFFFF
        data[i] = (seed >> 16) & 0xFF
    # Vector table: stack pointer, reset and handler addresses; their sum is not 0.
    vectors = [0x10008000, start + 0x101, start + 0x141, start + 0x145] + [start + 0x149] * 4
    head = struct.pack("<8I", *vectors)
    data[0:min(32, size)] = head[:min(32, size)]
    off = INFO_ADDR - start
    if 0 <= off and off + 83 <= size:
        data[off:off + 83] = info_block(build, "KRVDEM", "Vornik demo fw", build_num)
    else:
        sys.exit("make-demo-firmware: the image must cover 0x8000..0x8052 for its information block")
    return bytes(data)


def hex_record(rtype, address, payload):
    body = bytes([len(payload), (address >> 8) & 0xFF, address & 0xFF, rtype]) + payload
    checksum = (-sum(body)) & 0xFF
    return ":" + body.hex().upper() + "%02X" % checksum


def to_hex(start, data):
    lines = []
    upper = None
    for pos in range(0, len(data), 16):
        addr = start + pos
        if addr >> 16 != upper:
            upper = addr >> 16
            lines.append(hex_record(4, 0, struct.pack(">H", upper)))
        chunk = data[pos:pos + 16]
        # A record must not cross a 64 KiB boundary.
        room = 0x10000 - (addr & 0xFFFF)
        if len(chunk) > room:
            lines.append(hex_record(0, addr & 0xFFFF, chunk[:room]))
            upper = (addr + room) >> 16
            lines.append(hex_record(4, 0, struct.pack(">H", upper)))
            lines.append(hex_record(0, 0, chunk[room:]))
        else:
            lines.append(hex_record(0, addr & 0xFFFF, chunk))
    lines.append(":00000001FF")
    return "\n".join(lines) + "\n"


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("output", help="HEX file to write")
    p.add_argument("--start", type=lambda s: int(s, 0), default=0x4000, help="start address (default 0x4000)")
    p.add_argument("--size", type=lambda s: int(s, 0), default=0x10000, help="image size in bytes (default 65536)")
    p.add_argument("--build", default="00042", help="five characters after 'Build:' (default 00042)")
    p.add_argument("--build-num", type=int, default=42)
    a = p.parse_args()
    if len(a.build) != 5:
        sys.exit("make-demo-firmware: --build needs exactly five characters")
    data = image_bytes(a.start, a.size, a.build, a.build_num)
    with open(a.output, "w", newline="\n") as f:
        f.write(to_hex(a.start, data))


if __name__ == "__main__":
    main()

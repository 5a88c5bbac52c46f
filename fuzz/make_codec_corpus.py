#!/usr/bin/env python3
"""Writes the seed corpora of the codec and device-record fuzz targets.

Run from anywhere: python3 fuzz/make_codec_corpus.py. It rewrites fuzz/corpus/codec_decode,
fuzz/corpus/codec_extract and fuzz/corpus/device_info. The frames are built here by a small
independent encoder, so the seeds do not depend on the code they exercise.
"""
import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def krv_frame(dest, src, info, pid, payload):
    enc = bytearray()
    for g in range(0, len(payload), 7):
        flag = 0
        for p, b in enumerate(payload[g:g + 7]):
            enc.append(0x80 if b == 0 else b & 0x7F)
            if b & 0x80:
                flag |= 1 << (6 - p)
        enc.append(flag or 0x80)
    n = len(enc)
    body = bytearray([dest & 0xFF, src & 0xFF, info | 4, pid, n >> 7, n & 0x7F, 1, 1]) + enc
    body = bytearray(0x80 if b == 0 else b for b in body)
    s = sum(body) & 0xFF
    if s > 250:
        s -= 128
    if s == 0:
        s = 0x80
    return bytes([0xFD]) + bytes(body) + bytes([s, 0xFE])


def krvw_frame(dest, src, short, info, pid, payload, ext=b""):
    raw = struct.pack("<IIBBBBH", dest, src, short, info, pid, len(ext), len(payload)) + ext + payload
    packed = bytearray()
    for g in range(0, len(raw), 7):
        flag = 0
        for p, b in enumerate(raw[g:g + 7]):
            if b < 0x20 or b >= 0xA0:
                packed.append(b ^ 0x80)
                flag |= 1 << p
            else:
                packed.append(b)
        packed.append(flag | 0x80 if flag < 0x20 else flag)
    s = sum(packed) & 0xFF
    if s < 0x20:
        s |= 0x80
    elif s > 250:
        s &= 0x7F
    return bytes([0xFB]) + bytes(packed) + bytes([s, 0xFC])


def record(length, rng):
    r = bytearray(66)
    r[6:11] = b"B0123"
    r[11:17] = b"KRV-X1"
    r[17:25] = struct.pack("<d", 45000.75)
    r[25:27] = struct.pack("<H", 12345)
    r[27] = rng.choice([0, 4, 12, 13, 50, 51, 200])
    r[28:32] = struct.pack("<HH", 512, 128)
    r[32:56] = b"Pince szenzor".ljust(24, b"\0")
    r[56:58] = struct.pack("<H", 7)
    r[58:62] = struct.pack("<I", 65600)
    r[62] = rng.choice([0, 1])
    r[63] = 23
    r[64:66] = struct.pack("<H", 300)
    data = bytes(r) + bytes(rng.randrange(256) for _ in range(max(0, length - 66)))
    return data[:length]


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    # Only the seeds written here are replaced; inputs kept from fuzz runs (named by their hash) stay.
    for name in os.listdir(folder):
        if name.startswith("seed_"):
            os.remove(os.path.join(folder, name))
    for i, data in enumerate(seeds):
        with open(os.path.join(folder, "seed_%03d" % i), "wb") as f:
            f.write(data)


def main():
    rng = random.Random(4711)
    frames = [
        krv_frame(1, 250, 1, 5, b"CSYSI"),
        krv_frame(0, 250, 0, 7, b"\x00\x80\xff\x41"),
        krv_frame(250, 3, 2, 9, b""),
        krv_frame(255, 17, 1, 250, b"ASYSI" + record(66, rng)),
        krv_frame(4, 250, 1, 1, b"CFLUL" + bytes(rng.randrange(256) for _ in range(131))),
        krvw_frame(1, 250, 250, 0x41, 5, b"CSYSI"),
        krvw_frame(250, 70000, 12, 2, 5, b""),
        krvw_frame(250, 0x12345678, 0x78, 1, 33, b"AFLUL\x00", b"ext"),
        krvw_frame(250, 12, 12, 1, 3, b"AFLUD\x01"),  # short sender: refused
    ]
    broken = bytearray(frames[0])
    broken[-2] ^= 1
    decode_seeds = frames + [bytes(broken), frames[0][:10], b"\xfd\xfe", b"\xfb" + b"\x20" * 14 + b"\xfc"]
    write("codec_decode", decode_seeds)

    extract_seeds = [
        b"\x11\x22" + frames[0] + b"\x33\x44\xfd",
        frames[5] + frames[0][:5] + b"\xfe",
        b"".join(frames),
        b"".join(rng.sample(frames, len(frames))),
        bytes(rng.randrange(256) for _ in range(300)),
        bytes(rng.randrange(256) for _ in range(64)),
    ]
    write("codec_extract", extract_seeds)

    info_seeds = [record(n, rng) for n in (0, 24, 25, 26, 27, 28, 40, 63, 64, 65, 66, 70, 200)]
    info_seeds += [b"ASYSI" + record(66, rng), b"ASYSI" + record(1100, rng)]
    bad_date = bytearray(record(66, rng))
    bad_date[17:25] = b"\xff" * 8
    info_seeds.append(bytes(bad_date))
    write("device_info", info_seeds)


if __name__ == "__main__":
    main()

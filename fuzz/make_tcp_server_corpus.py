#!/usr/bin/env python3
"""Writes the seed corpus of the TCP server fuzz target (fuzz/corpus/tcp_server).

Run from anywhere: python3 fuzz/make_tcp_server_corpus.py. Inputs kept from fuzz runs stay. Each seed is a short script of
connection events in the target's encoding (see fuzz/tcp_server.cpp); valid frames are made by
the target itself, so the seeds are plain operation lists.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))


def setup(max_unidentified=4, timeout=3, raw=False, krv=False, latency=False,
          engines=1, make_engine=False, close_unknown=False, drop_engine=False, server_first=False,
          one_host=False):
    s0 = (max_unidentified - 1) | (timeout << 3) | (raw << 5) | (krv << 6) | (latency << 7)
    s1 = engines | (make_engine << 2) | (close_unknown << 3) | (drop_engine << 4) | (server_first << 5) \
        | (one_host << 6)
    return bytes([s0, s1])


def connect():
    return b"\x60"


def data(k, chunk):
    out = b""
    for i in range(0, len(chunk), 256):
        part = chunk[i:i + 256]
        out += bytes([k & 7, len(part) - 1]) + part
    return out


def frame(k, device, payload=b"ESYSI", krv=False):
    return bytes([0x40 | (device << 3) | k, len(payload) | (krv << 4)]) + payload


def close(k):
    return bytes([0x68 | k])


def error(k):
    return bytes([0x70 | k])


def toggle_server():
    return b"\x74"


def toggle_engine(i):
    return bytes([0x78 | i])


def hand_over(k, i):
    return bytes([0x7C | i, k])


def ms(n):
    return bytes([0x80 | (n // 50)])


def sec(n):
    return bytes([0xA0 | n])


def flood(k, byte, blocks):
    return bytes([0xC0 | blocks, byte, k])


SEEDS = {
    "silent_device": setup() + connect() + sec(7) + sec(31) + sec(31),
    "early_frame": setup() + connect() + sec(1) + frame(0, 0) + data(0, b"abc") + sec(10),
    "identify_answer": setup(timeout=0) + connect() + sec(6) + frame(0, 0, b"ASYSI") + sec(1),
    "junk_rate": setup() + connect() + b"".join(data(0, b"a" * 100) + ms(100) for _ in range(8))
    + sec(2) + data(0, b"b" * 120) + flood(0, 0x41, 63) + sec(1) + flood(0, 0x42, 10),
    "too_many": setup(max_unidentified=2) + connect() * 5 + frame(1, 1) + connect() * 2 + sec(5),
    "take_over": setup(engines=2) + connect() + connect() + frame(0, 0) + frame(1, 0) + data(0, b"x")
    + close(1) + sec(3),
    "handler_engine": setup(engines=0, make_engine=True, timeout=2) + connect() + frame(0, 1)
    + connect() + frame(1, 1) + data(1, b"\x01\xfd") + sec(6),
    "handler_close": setup(engines=1, make_engine=True, close_unknown=True, drop_engine=True, raw=True)
    + connect() + frame(0, 1) + connect() + frame(0, 0) + data(0, b"\x01x") + frame(0, 3) + sec(1),
    "krv_frames": setup(krv=True, engines=3, latency=True) + connect() + frame(0, 2, b"ESYSI", krv=True)
    + connect() + frame(1, 3, b"AFLUL", krv=True) + close(0) + sec(1),
    "hand_over": setup(engines=3) + connect() + data(0, b"\xfdjunk") + hand_over(0, 1) + data(0, b"abc")
    + connect() + frame(1, 2) + hand_over(1, 0) + toggle_engine(2) + connect() + hand_over(2, 2) + sec(7),
    # A connection with one engine handed to another, and again to the same one.
    "hand_over_twice": setup(engines=3) + connect() + frame(0, 0) + hand_over(0, 1) + hand_over(0, 1)
    + hand_over(0, 2) + data(0, b"abc") + sec(1),
    "off_and_on": setup(engines=2, server_first=True) + connect() + frame(0, 0) + toggle_engine(0)
    + data(0, b"\x03abc") + toggle_engine(0) + connect() + frame(1, 0) + error(0) + toggle_server()
    + connect() + toggle_server() + connect() + sec(1),
    # Valid frames from a device no engine serves: the guards still hold the connections.
    "valid_flood": setup(max_unidentified=3, timeout=1) + b"".join(connect() + frame(k, 1) for k in range(8))
    + sec(1) + connect() + frame(0, 0) + sec(2),
    "one_host_flood": setup(max_unidentified=8, timeout=2, one_host=True)
    + b"".join(connect() + frame(k, 1) for k in range(6)) + connect() + frame(6, 0) + sec(3) + sec(3),
    # Served, then its engine goes: unserved again and bounded from then on.
    "engine_goes": setup(timeout=1) + connect() + frame(0, 0) + sec(3) + toggle_engine(0) + ms(500) + sec(1),
}


def main():
    out = os.path.join(HERE, "corpus", "tcp_server")
    os.makedirs(out, exist_ok=True)
    # Inputs kept from fuzz runs (named by their hash) stay; only the seeds written here are replaced.
    for name, seed in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(seed)


if __name__ == "__main__":
    main()

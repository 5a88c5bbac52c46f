#!/usr/bin/env python3
"""Connection flood for the listen benchmark: RANDOM connections that send random bytes, IDLE
connections that send nothing and VALID connections that send one valid KRVW frame from a random
sender address (never one of --skip) and then stay silent, opened in turn against HOST:PORT on
loopback. Random ones send CHUNK random bytes every PERIOD seconds until the server closes them.
Nothing is reconnected; the whole run lasts at most SECONDS. Prints what happened on standard
output."""
import argparse
import os
import random
import selectors
import socket
import time


def krvw_frame(sender, payload=b"ESYSI"):
    """A KRVW frame from sender to every device (255), without acknowledgement."""
    header = (255).to_bytes(4, "little") + sender.to_bytes(4, "little") + bytes(
        [sender & 0xFF, 0x40, random.randint(1, 250), 0]) + len(payload).to_bytes(2, "little")
    out, flag, pos = bytearray(), 0, 0
    for b in header + payload:  # 7-bit groups, least significant flag bit first
        if b < 0x20 or b >= 0xA0:
            out.append(b ^ 0x80)
            flag |= 1 << pos
        else:
            out.append(b)
        pos += 1
        if pos == 7:
            out.append(flag | 0x80 if flag < 0x20 else flag)
            flag, pos = 0, 0
    if pos:
        out.append(flag | 0x80 if flag < 0x20 else flag)
    total = sum(out) & 0xFF
    check = total | 0x80 if total < 0x20 else total & 0x7F if total > 250 else total
    return bytes([0xFB]) + bytes(out) + bytes([check, 0xFC])


ap = argparse.ArgumentParser()
ap.add_argument("host")
ap.add_argument("port", type=int)
ap.add_argument("--random", type=int, default=1000)
ap.add_argument("--idle", type=int, default=1000)
ap.add_argument("--valid", type=int, default=0)
ap.add_argument("--skip", type=int, action="append", default=[], help="sender address never used")
ap.add_argument("--print-frame", type=int, metavar="SENDER", help="print the frame of SENDER in hex and exit")
ap.add_argument("--chunk", type=int, default=1024)
ap.add_argument("--period", type=float, default=1.0)
ap.add_argument("--seconds", type=float, default=60.0)
a = ap.parse_args()
if a.print_frame is not None:
    print(krvw_frame(a.print_frame).hex(" ").upper())
    raise SystemExit(0)
if a.host not in ("127.0.0.1", "localhost", "::1"):
    raise SystemExit("loopback only")

sel = selectors.DefaultSelector()
socks = []  # (socket, sends random bytes)
opened = refused = 0
# take the kinds in turn so each stays among the newest connections
order = []
r, i, v = a.random, a.idle, a.valid
while r or i or v:
    if r:
        order.append("random"); r -= 1
    if i:
        order.append("idle"); i -= 1
    if v:
        order.append("valid"); v -= 1
skip = set(a.skip)
valid_sent = 0
for kind in order:
    s = socket.socket()
    s.settimeout(5)  # a full accept queue drops the handshake; give up rather than hang
    try:
        s.connect((a.host, a.port))
    except OSError:
        refused += 1
        s.close()
        continue
    s.setblocking(False)
    try:
        if kind == "random":
            s.send(os.urandom(a.chunk))  # random bytes from the first moment
        elif kind == "valid":
            sender = random.randint(1, 0xFFFFFFFE)
            while sender in skip:
                sender = random.randint(1, 0xFFFFFFFE)
            s.send(krvw_frame(sender))
            valid_sent += 1
    except OSError:
        pass
    socks.append([s, kind == "random", True])
    sel.register(s, selectors.EVENT_READ, len(socks) - 1)
    opened += 1

start = time.monotonic()
next_send = start
closed = 0
sent = a.chunk * sum(1 for x in socks if x[1])
while time.monotonic() - start < a.seconds and any(x[2] for x in socks):
    now = time.monotonic()
    if now >= next_send:
        for x in socks:
            if x[1] and x[2]:
                try:
                    sent += x[0].send(os.urandom(a.chunk))
                except OSError:
                    pass
        next_send = now + a.period
    for key, _ in sel.select(timeout=max(0.0, min(0.2, next_send - time.monotonic()))):
        x = socks[key.data]
        try:
            data = x[0].recv(65536)
        except OSError:
            data = b""
        if not data:
            x[2] = False
            closed += 1
            sel.unregister(x[0])
            x[0].close()
print(f"flood: {opened} connections opened ({refused} refused or timed out), {closed} closed by the server, "
      f"{sent} random bytes sent, {valid_sent} valid frames sent, {sum(1 for x in socks if x[2])} still open after "
      f"{time.monotonic() - start:.1f} s", flush=True)
for x in socks:
    if x[2]:
        x[0].close()

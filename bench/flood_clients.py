#!/usr/bin/env python3
"""Connection flood for the listen benchmark: RANDOM connections that send random bytes and IDLE
connections that send nothing, opened alternately against HOST:PORT on loopback. Random ones send
CHUNK random bytes every PERIOD seconds until the server closes them. Nothing is reconnected; the
whole run lasts at most SECONDS. Prints what happened on standard output."""
import argparse
import os
import selectors
import socket
import time

ap = argparse.ArgumentParser()
ap.add_argument("host")
ap.add_argument("port", type=int)
ap.add_argument("--random", type=int, default=1000)
ap.add_argument("--idle", type=int, default=1000)
ap.add_argument("--chunk", type=int, default=1024)
ap.add_argument("--period", type=float, default=1.0)
ap.add_argument("--seconds", type=float, default=60.0)
a = ap.parse_args()
if a.host not in ("127.0.0.1", "localhost", "::1"):
    raise SystemExit("loopback only")

sel = selectors.DefaultSelector()
socks = []  # (socket, sends random bytes)
opened = refused = 0
kinds = [True] * a.random + [False] * a.idle
# alternate the two kinds so both stay among the newest connections
order = []
r, i = a.random, a.idle
while r or i:
    if r:
        order.append(True); r -= 1
    if i:
        order.append(False); i -= 1
for rnd in order:
    s = socket.socket()
    try:
        s.connect((a.host, a.port))
    except OSError:
        refused += 1
        s.close()
        continue
    s.setblocking(False)
    if rnd:
        try:
            s.send(os.urandom(a.chunk))  # random bytes from the first moment
        except OSError:
            pass
    socks.append([s, rnd, True])
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
print(f"flood: {opened} connections opened ({refused} refused), {closed} closed by the server, "
      f"{sent} random bytes sent, {sum(1 for x in socks if x[2])} still open after "
      f"{time.monotonic() - start:.1f} s", flush=True)
for x in socks:
    if x[2]:
        x[0].close()

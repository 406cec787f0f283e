#!/usr/bin/env python3
"""A hostile peer: garbage, oversized and malformed frames, then a flood of
connections, all against one agent. Usage: badpeer.py ADDRESS PORT"""
import os
import random
import resource
import socket
import struct
import sys
import time

addr, port = sys.argv[1], int(sys.argv[2])
rng = random.Random(9)


def send(payload, read=True):
    s = socket.create_connection((addr, port), timeout=5)
    try:
        s.sendall(payload)
        if read:
            s.settimeout(2)
            try:
                s.recv(65536)
            except (socket.timeout, ConnectionError):
                pass
    except (BrokenPipeError, ConnectionError):
        pass  # the agent dropping us is the right answer
    finally:
        s.close()


def frame(body):
    return struct.pack(">I", len(body)) + body


cases = 0
for _ in range(20):  # random bytes
    send(bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 4096))), read=False)
    cases += 1
send(struct.pack(">I", 0x7FFFFFFF) + b"x" * 1024)  # announces 2 GB
send(struct.pack(">I", 0xFFFFFFFF))
send(frame(b"x" * (1 << 20)) * 2)  # bodies of 1 MB each
send(frame(b""))  # empty body
cases += 4
for body in (
    b"\xa1\x64type\x63zzz",  # a map with a type nobody knows
    b"\xa2\x64type\x64call\x62op\x18\x2a",  # a call whose operation is a number
    b"\x9f" * 10000,  # deeply nested indefinite arrays
    b"\xbf" * 10000,  # deeply nested maps
    b"\x5b\xff\xff\xff\xff\xff\xff\xff\xff",  # a byte string of 2^64 - 1 bytes
    b"\xc6" * 5000 + b"\x00",  # tags on tags
):
    send(frame(body))
    cases += 1

# Thousands of connections at once.
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 8192), hard))
flood = []
refused = 0
start = time.monotonic()
for _ in range(3000):
    try:
        s = socket.socket()
        s.setblocking(False)
        s.connect_ex((addr, port))
        flood.append(s)
    except OSError:
        refused += 1
time.sleep(2)
for s in flood:
    s.close()
print(f"{cases} malformed inputs, {len(flood)} connections at once ({refused} refused) in {time.monotonic() - start:.1f} s")

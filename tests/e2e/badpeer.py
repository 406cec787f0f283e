#!/usr/bin/env python3
"""A hostile peer: garbage, oversized and malformed frames, then a flood of
connections, all against one agent. Usage: badpeer.py ADDRESS PORT
With "console USER ENCRYPTED_HEX" it is a hostile console speaking the wire
instead, and prints one line per attack (see console())."""
import os
import random
import resource
import selectors
import socket
import struct
import sys
import time

addr, port = sys.argv[1], int(sys.argv[2])
rng = random.Random(9)


class Raw(bytes):
    """Bytes sent as they are: text that is not UTF-8, tagged values."""


def head(major, n):
    if n < 24:
        return bytes([major << 5 | n])
    for info, size in ((24, 1), (25, 2), (26, 4), (27, 8)):
        if n < 1 << (8 * size):
            return bytes([major << 5 | info]) + n.to_bytes(size, "big")


def cbor(v):
    if isinstance(v, Raw):
        return bytes(v)
    if v is None or isinstance(v, bool):
        return {None: b"\xf6", False: b"\xf4", True: b"\xf5"}[v]
    if isinstance(v, int):
        return head(0, v) if v >= 0 else head(1, -1 - v)
    if isinstance(v, bytes):
        return head(2, len(v)) + v
    if isinstance(v, str):
        return head(3, len(v.encode())) + v.encode()
    if isinstance(v, list):
        return head(4, len(v)) + b"".join(map(cbor, v))
    return head(5, len(v)) + b"".join(cbor(k) + cbor(x) for k, x in v.items())


def uncbor(b, i=0):
    """The value at b[i]: (value, index after it); tags are read through."""
    major, info = b[i] >> 5, b[i] & 31
    n, i = info, i + 1
    if 24 <= info <= 27:
        size = 1 << (info - 24)
        n, i = int.from_bytes(b[i:i + size], "big"), i + size
    if major in (0, 1):
        return (n if major == 0 else -1 - n), i
    if major in (2, 3):
        return (b[i:i + n] if major == 2 else b[i:i + n].decode(errors="replace")), i + n
    if major in (4, 5):
        items = []
        for _ in range(n * (major - 3)):
            x, i = uncbor(b, i)
            items.append(x)
        return (items if major == 4 else dict(zip(items[::2], items[1::2]))), i
    if major == 6:
        return uncbor(b, i)
    return {20: False, 21: True}.get(info), i


def frame(body):
    return struct.pack(">I", len(body)) + body


HELLO = frame(cbor({"type": "hello", "version": 1, "name": "KestraAdmin"}))


class Wire:
    """One console connection: hello sent, frames read one at a time."""

    def __init__(self):
        self.s = socket.create_connection((addr, port), timeout=30)
        self.buf = b""
        self.ids = 100
        self.s.sendall(HELLO)

    def send(self, message):
        self.s.sendall(frame(cbor(message)))

    def read(self):
        """The next message, None once the agent closed the link."""
        while True:
            if len(self.buf) >= 4:
                n = struct.unpack(">I", self.buf[:4])[0]
                if len(self.buf) >= 4 + n:
                    body, self.buf = self.buf[4:4 + n], self.buf[4 + n:]
                    return uncbor(body)[0]
            try:
                chunk = self.s.recv(65536)
            except OSError:
                return None
            if not chunk:
                return None
            self.buf += chunk

    def call(self, op, args, answer=lambda m: None, until=None):
        """Sends a call (none without op) and serves the agent's calls until its
        reply, or until until() holds; None when the link closed or went quiet."""
        self.ids += 1
        try:
            if op:
                self.send({"type": "call", "id": self.ids, "target": 0, "op": op, "oneway": False, "args": args})
        except OSError:
            return None
        while (m := self.read()) is not None:
            if m.get("type") == "ping":
                self.send({"type": "pong"})
            elif m.get("type") == "call":
                result = answer(m)
                if not m.get("oneway"):
                    self.send(dict({"type": "reply", "id": m["id"]}, **(result or {"result": None})))
                if until and until():
                    return m
            elif m.get("type") == "reply" and m.get("id") == self.ids:
                return m
        return None


def ref(i):
    """A reference to an object of ours, as the wire tags it."""
    return Raw(b"\xd8\x1b" + cbor([Raw(cbor("ZDRemoteRef")), True, i]))


def say(line):
    print(line, flush=True)


refusals = 0


def served():
    """A link the agent answers. The listener's limits may still count an earlier
    flood: a refused or dropped link is counted and tried again, a bounded number of times."""
    global refusals
    for _ in range(60):
        try:
            w = Wire()
            if w.call("ping", []) is not None:
                return w
        except OSError:
            pass
        refusals += 1
        time.sleep(0.5)
    say(f"UNSERVED refusals={refusals}")
    sys.exit(1)


def console(user, guess):
    # Connections that never say hello: the agent must close them itself.
    global refusals
    start = time.monotonic()
    quiet = []
    for _ in range(20):
        try:
            quiet.append(socket.create_connection((addr, port), timeout=5))
        except OSError:
            refusals += 1
    closed = 0
    for s in quiet:
        s.settimeout(max(0.1, 30 - (time.monotonic() - start)))
        try:
            while s.recv(4096):
                pass
            closed += 1
        except OSError:
            pass
        s.close()
    say(f"NOHELLO closed={closed} of={len(quiet)} seconds={time.monotonic() - start:.1f}")

    # A flood of links from this one address that say hello and answer every ping,
    # held until the test says "go": only the per-address limit keeps them from
    # taking every place the agent has.
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(resource.getrlimit(resource.RLIMIT_NOFILE)[1], 8192),) * 2)
    held = selectors.DefaultSelector()
    held.register(sys.stdin, selectors.EVENT_READ)

    def serve(timeout):
        """Answers the agent's pings on the held links; True once the test says "go"."""
        for key, _ in held.select(timeout):
            if key.fileobj is sys.stdin:
                return True
            try:
                if key.fileobj.recv(4096):
                    key.fileobj.sendall(frame(cbor({"type": "pong"})))
                    continue
            except OSError:
                pass
            held.unregister(key.fileobj)
            key.fileobj.close()
        return False

    deadline = time.monotonic() + 30
    for _ in range(2000):
        try:
            f = socket.create_connection((addr, port), timeout=5)
            f.sendall(HELLO)
            held.register(f, selectors.EVENT_READ)
        except OSError:
            refusals += 1
        serve(0)
        if time.monotonic() > deadline:
            break
    say(f"FLOOD links={len(held.get_map()) - 1}")
    while not serve(120):
        pass
    sys.stdin.readline()
    for key in list(held.get_map().values()):
        if key.fileobj is not sys.stdin:
            key.fileobj.close()

    # Text that is not UTF-8: forwarded as replacement characters it would grow threefold.
    w = served()
    answer = w.call("postErrorString:", [Raw(head(3, 6 << 20) + b"\xff" * (6 << 20))])
    say(f"BADUTF8 answer={'closed' if answer is None else 'error' if 'error' in answer else 'accepted'}")

    # A callback whose answer to the agent's probe names a time-out.
    w = served()
    pings = []
    def timeout(m):
        if m.get("op") == "respondsToSelector:":
            return {"result": True}
        pings.append(m.get("op"))
        return {"error": {"name": "NSPortTimeoutException", "reason": "timed out"}}
    w.call("setErrorCallback:", [ref(1)], answer=timeout)
    deadline = time.monotonic() + 20
    while not pings and time.monotonic() < deadline:
        w.call("setErrorCallback:", [ref(2)], answer=timeout)  # the agent probes those registered by then
        w.s.settimeout(1)
        w.call(None, [], answer=timeout, until=lambda: pings)
        w.s.settimeout(30)
    say(f"TIMEOUTNAME probed={len(pings)}")

    # Password guessing, one wrong password after the other.
    w, answers, start = served(), [], time.monotonic()
    say("GUESSING")
    while len(answers) < 10 and time.monotonic() - start < 40:
        answer = w.call("validateUsername:password:", [user, bytes.fromhex(guess)])
        answers.append("closed" if answer is None else str(answer.get("result", answer.get("error"))))
        w = w if answer is not None else served()
    say(f"GUESSES n={len(answers)} seconds={time.monotonic() - start:.1f} answers={set(answers)} refusals={refusals}")

if len(sys.argv) > 3 and sys.argv[3] == "console":
    console(sys.argv[4], sys.argv[5])
    sys.exit(0)


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

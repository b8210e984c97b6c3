#!/usr/bin/env python3
"""Writes the starting inputs of client_stream_fuzz into corpus/stream/.

The layout is the one ClientStreamFuzz.cpp reads: two set-up bytes, the MOD
texts, then one byte per operation (low nibble: what, high nibble: argument).
Rerun after changing the layout; the files are small and checked in.
"""
import os

CONNECT, SEND, CLOSE, RESET, SERVER_SEND, SERVER_CLOSE, SERVER_RESET, UPKEEP, PASS, READ = (
    0x00, 0x02, 0x04, 0x05, 0x06, 0x08, 0x09, 0x0A, 0x0B, 0x0E)


def setup(rules=0, pass_rx=False, dupe_ok=False, limit=0, max_index=3, mods=()):
    """limit: 0 none, 1 cut at once, 2 one second, 3 never reached."""
    first = rules | (0x08 if pass_rx else 0) | (0x10 if dupe_ok else 0) | (limit << 5)
    out = bytes([first, max_index | (len(mods) << 3)])
    for text, big in mods:
        if big:
            # The longest text a frame holds; the harness repeats 64 content bytes.
            out += bytes([0xFF]) + (text * 64)[:64]
        else:
            out += bytes([len(text)]) + text
    return out


def op(kind, arg=0):
    return bytes([kind | (arg << 4)])


def send(client, data):
    return op(SEND, client) + bytes([len(data)]) + data


def server_send(units, times=1):
    # (units + 1) * times bytes
    return op(SERVER_SEND, times - 1) + bytes([units])


def passes(count):
    return op(PASS, count - 1)


INPUTS = {
    "fan-out": setup(0, True, True, 0, 3, [(b"Welcome", False), (b" second", False)])
    + op(CONNECT) + op(CONNECT) + op(CONNECT)
    + server_send(199, 3) + passes(4) + op(READ, 0) + op(READ, 1) + op(READ, 2)
    + send(1, b"to the server") + passes(2) + server_send(49) + passes(1) + op(READ, 1),
    "server-restart": setup(0, True, True, 0, 4, [(b"hi", False)])
    + op(CONNECT) + server_send(99) + passes(1) + op(SERVER_CLOSE) + passes(2)
    + op(UPKEEP) + server_send(99, 2) + op(CONNECT) + passes(4) + op(READ, 0) + op(READ, 1),
    "server-reset": setup(0, True, True, 0, 4, [(b"x", False)])
    + op(CONNECT) + server_send(255, 4) + send(0, b"upstream bytes") + op(SERVER_RESET)
    + passes(3) + op(UPKEEP) + server_send(20) + passes(2) + op(READ, 0),
    "client-ends": setup(0, False, True, 0, 4, [(b"greeting", False)])
    + op(CONNECT) + op(CONNECT) + op(CONNECT) + server_send(255, 2) + passes(1)
    + op(CLOSE, 0) + op(RESET, 1) + passes(3) + op(CONNECT) + server_send(50) + passes(2) + op(READ, 2),
    "denials": setup(2, False, False, 0, 0, [])
    + op(CONNECT) + op(READ, 0) + passes(1)
    + b"",
    "max-and-dupes": setup(5, True, False, 0, 0, [(b"one only", False)])
    + op(CONNECT) + op(CONNECT) + op(CONNECT) + server_send(10) + passes(1) + op(READ, 0) + op(READ, 1)
    + op(CLOSE, 0) + passes(2) + op(CONNECT) + passes(1) + op(READ, 3),
    "time-limit-cut": setup(0, True, True, 1, 3, [(b"a", False), (b"b", False), (b"c", False)])
    + op(CONNECT) + server_send(100) + op(CONNECT) + passes(1) + op(READ, 0) + op(CONNECT) + passes(2)
    + op(READ, 1) + op(READ, 2),
    "big-greeting": setup(0, False, True, 3, 2, [(b"W", True)])
    + op(CONNECT) + op(CONNECT) + server_send(255, 8) + passes(4) + op(READ, 0) + op(READ, 1),
    "negative-max": setup(7, True, True, 0, 5, [(b"never sent", False)])
    + op(CONNECT) + op(CONNECT) + passes(1) + op(READ, 0),
}


def main():
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "stream")
    os.makedirs(folder, exist_ok=True)
    for name, data in INPUTS.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    main()

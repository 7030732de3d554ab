#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_ack_path: for each kind of command, a
script of well-formed answers (see fake_platform.h for the format), so that
the fuzzer starts from exchanges that succeed and mutates from there."""
import os
import struct

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "fuzz_ack_path")
HEAD = 8  # flags bit: the datagram starts with a well-formed acknowledge head


NEXT_SOCKET = 0x8000  # length bit: the datagram arrives on the stream socket


def answer(length, payload=b"", flags=HEAD | 1):
    """One answer of one datagram of `length` bytes; the bytes after the
    32-byte head are `payload`, zero-filled."""
    body = payload.ljust(max(0, length - 32), b"\0")
    return bytes([flags]) + struct.pack("<H", length) + body


def with_stream(length, data):
    """One answer: a 32-byte acknowledge, and a datagram on the stream socket."""
    return (bytes([HEAD | 2]) + struct.pack("<H", 32) + struct.pack("<H", NEXT_SOCKET | length)
            + data.ljust(length - 32, b"\0"))


def word(v):
    return struct.pack("<I", v)


def seed(name, op, a, b, answers):
    with open(os.path.join(OUT, name), "wb") as f:
        f.write(bytes([op, a, b]) + b"".join(answers))


def main():
    os.makedirs(OUT, exist_ok=True)
    read = lambda v: answer(36, word(v))
    write = answer(32)
    seed("bus_read", 0, 0, 1, [read(0x5A)])
    seed("bus_read_split", 0, 0, 2, [bytes([HEAD | 2]) + struct.pack("<H", 16) + struct.pack("<H", 20) + word(0x77) * 4])
    seed("bus_read_stranger_first", 0, 0, 3, [bytes([HEAD | 1 | 4]) + struct.pack("<H", 36) + word(1), read(0x42)])
    seed("bus_read_many", 1, 3, 0, [read(i) for i in range(4)])
    seed("bus_write", 2, 1, 0x55, [write, write])
    seed("bridged_read", 3, 2, 2, [write] + [read(0xC000)] * 12 + [write] * 4)
    seed("reg_read32", 4, 0, 0, [read(0x0DFA)])
    seed("reg_block", 5, 0, 70, [answer(32 + 4 * 60, b"".join(word(i) for i in range(60))),
                                 answer(32 + 4 * 11, b"".join(word(i) for i in range(11)))])
    seed("reg_write", 6, 1, 3, [write])
    # Identify (DFA block, five writes, maker and device), erase (six writes,
    # busy then erased), program one byte, read it back, with the resets.
    flash = [answer(32 + 128, word(0xDFA) + word(0x103) + word(0x8040) + word(8))]
    flash += [write] * 5 + [read(0x01), read(0xA3), write]
    flash += [write] * 6 + [read(0x4C), read(0xFF), write]
    flash += [write] * 4 + [read(0x00), write, write]
    flash += [read(0x00), write]
    seed("flash_amd", 7, 0, 0, flash)
    intel = [answer(32 + 128, word(0xDFA) + word(0x103) + word(0x8042) + word(0x10))]
    intel += [write] * 5 + [read(0x89), read(0x18), write]
    intel += [write] * 3 + [read(0x80), read(0x80), write, read(0xFF), write]
    seed("flash_intel", 7, 1, 0, intel)
    seed("cell_read", 8, 1, 9, [read(0x33), write, read(0x80), read(0x80), write])
    chan = answer(32)
    # With the head flag the stream datagram's first 32 bytes are a head too;
    # the stream does not mind.
    seed("channel_read", 9, 3, 8, [chan, with_stream(64, bytes(range(32))), chan, chan])
    seed("channel_write", 9, 2, 8, [chan, chan, chan, chan])
    raw = bytes([1]) + struct.pack("<H", 64) + word(0x1B24AA55) + word(64) + bytes(56)
    seed("raw", 10, 0, 0, [raw])
    seed("query", 11, 0, 16, [answer(48 + 16, bytes(16) + word(1) * 4), write])
    seed("blocks", 12, 30, 0, [answer(128, bytes(96))] * 2)
    seed("list_write", 13, 1, 2, [write])
    seed("bulk", 14, 1, 4, [with_stream(1032, b"")])


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Writes the seed corpus of request_fuzzer into tests/fuzz/corpus-requests/.

Each seed is one whole, valid pipe message: a u16 kind, then its fields
(little-endian; a string is a u16 byte length and the bytes). The seeds give
the fuzzer every kind of field to start from: strings, roots, flags, enums,
counted rows. Run it again after changing it and commit the result:

    python3 tests/fuzz/make_request_corpus.py
"""
import struct

from make_corpus import write_seeds

MAGIC, VERSION = 0x58525456, 2


def u8(v):
    return struct.pack("<B", v)


def u16(v):
    return struct.pack("<H", v)


def u32(v):
    return struct.pack("<I", v)


def s(text):
    return u16(len(text)) + text


def medium(label, serial, drive_type, managed, read_only=0):
    return s(label) + u32(serial) + u32(drive_type) + u8(managed) + u8(read_only)


STATUS = u8(1) + u8(0) + u32(90000) + u8(1) + u8(0) + u8(1) + u32(60) + u32(4000)
# root, locked, locked by policy, read-only flag, read-only by policy
DRIVES = b"".join(s(bytes([c]) + b":\\") + u8(c % 2) + u8(c == ord("Z")) + u8(c % 3 == 0) + u8(c == ord("Y"))
                  for c in range(ord("A"), ord("Z") + 1))

SEEDS = {
    "hello": u16(1) + u32(MAGIC) + u16(VERSION),
    "hello-version-1": u16(1) + u32(MAGIC) + u16(1),
    "status": u16(2),
    "unlock-timed": u16(4) + s(b"quillfern") + u32(30),
    "open-configuration": u16(6) + s("pässwort".encode()),
    "media-trusted": u16(9) + u8(1) + u32(100),
    "toggle-drive": u16(10) + s(b"E:\\"),
    "add-medium": u16(12) + u8(0) + s(b"F:\\") + u8(0),
    "add-medium-read-only": u16(12) + u8(1) + s(b"F:\\") + u8(1),
    "delete-medium": u16(13) + u8(1) + medium(b"BACKUP", 0x1234ABCD, 2, 0, 1),
    "change-password": u16(15) + s(b"old") + s(b"new one") + s(b"new one"),
    "device-arrival": u16(16) + u32(1 << 4 | 1 << 25),
    "set-drive-read-only": u16(18) + s(b"E:\\") + u8(1),
    "hello-reply": u16(0x8001) + u16(VERSION),
    "status-reply": u16(0x8002) + STATUS,
    "password-reply": u16(0x8004) + u8(2) + u32(30000),
    "drives-reply": u16(0x8005) + u16(26) + DRIVES,
    "media-reply": u16(0x8006) + u32(5) + u32(3) + u16(2) + medium(b"", 0, 5, 0) + medium(b"PHOTOS", 7, 2, 1, 1),
    "present-media-reply": u16(0x8007) + u16(2) + s(b"E:\\") + s(b"DISC") + u32(9) + u32(5)
    + s(b"G:\\") + s(b"") + u32(0) + u32(2),
    "change-reply": u16(0x8009) + u8(1) + u32(2000),
    "refused": u16(0x800A) + u8(0),
    "message-notice": u16(0xC002) + s(b"Drive E: is locked.") + s(b"Ventrix") + u32(0x40),
    "stopping-notice": u16(0xC003),
}


def main():
    write_seeds("corpus-requests", SEEDS, ".msg")


if __name__ == "__main__":
    main()

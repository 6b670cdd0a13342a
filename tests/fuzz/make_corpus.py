#!/usr/bin/env python3
"""Writes the seed corpus of config_fuzzer into tests/fuzz/corpus/.

Each seed is a whole "Tamrel.conf" image: records of tag (1 byte), length
(4 bytes, little-endian) and protected bytes. The protected bytes use the
fuzzer's stand-in protector: one header byte, odd = unprotects to the bytes
after it, even = refuses (as a record of another user would). The seeds are
the well-formed files plus the catalogue of damaged ones the loader must
survive. Run it again after changing it and commit the result:

    python3 tests/fuzz/make_corpus.py
"""
import os
import struct

PASSWORD, DRIVE, MEDIA, TRUSTED = 0x5A, 0x5B, 0x5C, 0x5D
READ_ONLY_DRIVE, READ_ONLY_TRUSTED, READ_ONLY_DISK = 0x5E, 0x5F, 0x60
OK, REFUSED = b"\x01", b"\x02"


def frame(tag, blob):
    return bytes([tag]) + struct.pack("<I", len(blob)) + blob


def record(tag, plain):
    return frame(tag, OK + plain)


def password(text):
    return record(PASSWORD, text + b"\0")


def drive(letter, locked):
    return record(DRIVE, bytes([ord(letter), locked]))


def medium_image(label, serial, drive_type):
    return label.ljust(260, b"\0") + struct.pack("<II", serial, drive_type)


def medium(label, serial, drive_type):
    return record(MEDIA, medium_image(label, serial, drive_type))


def unknown(tag, count, words=b""):
    return bytes([tag]) + struct.pack("<I", count) + words


def trusted_frame(length, blob, tag=TRUSTED):
    """A record framed by words: word count, protected length, blob, zeros to the word."""
    body = struct.pack("<I", length) + blob
    body += b"\0" * (-len(body) % 4)
    return bytes([tag]) + struct.pack("<I", len(body) // 4) + body


def framed(tag, plain):
    blob = OK + plain
    return trusted_frame(len(blob), blob, tag)


def trusted(label, serial, drive_type, tag=TRUSTED):
    return framed(tag, medium_image(label, serial, drive_type))


def read_only_drive(letter, flag):
    return framed(READ_ONLY_DRIVE, bytes([ord(letter), flag]))


def journal(disk, letter):
    return framed(READ_ONLY_DISK, struct.pack("<I", disk) + bytes([ord(letter)]) + b"\0\0\0")


three = password(b"quillfern") + medium(b"HOLIDAY", 0xA1B2C3D4, 2) + drive("E", 1)

SEEDS = {
    "empty": b"",
    "password": password(b"quillfern"),
    "password-empty": password(b""),
    "medium": medium(b"BACKUP", 0x1234ABCD, 5),
    "drive": drive("D", 1),
    "three-records": three,
    "full-policy": password(b"s3cret")
    + medium(b"PHOTOS", 1, 5)
    + medium(b"", 2, 2)
    + drive("D", 1)
    + drive("E", 0)
    + drive("F", 1),
    "trusted-media": three + trusted(b"OWN", 0x5AFE, 2) + trusted(b"DISC", 7, 5),
    "trusted-and-locked": trusted(b"BOTH", 3, 2) + medium(b"both", 3, 2) + trusted(b"BOTH", 3, 2),
    "read-only": three
    + trusted(b"OWN", 0x5AFE, 2)
    + read_only_drive("F", 1)
    + read_only_drive("E", 2)
    + trusted(b"SUPPLIER", 0xB0, 2, READ_ONLY_TRUSTED)
    + journal(3, "F")
    + journal(1, "Q")
    + journal(4, "F")  # then the precedence: read-only over full trust, locked over both
    + trusted(b"own", 0x5AFE, 2, READ_ONLY_TRUSTED)
    + medium(b"supplier", 0xB0, 2),
    # The catalogue of damaged files.
    "only-unknown-tags": unknown(0x01, 1, b"abcd") + unknown(0xFF, 2, b"\0" * 8) + unknown(0x00, 0),
    "unknown-count-0": unknown(0x42, 0) + password(b"after"),
    "unknown-count-40000000": drive("D", 1) + unknown(0x42, 0x40000000) + password(b"smuggled"),
    "length-0": frame(DRIVE, b"") + frame(PASSWORD, b"") + drive("E", 1),
    "length-ffffffff": drive("D", 1) + bytes([PASSWORD]) + struct.pack("<I", 0xFFFFFFFF) + password(b"inside"),
    "length-one-past-end": drive("D", 1) + bytes([PASSWORD]) + struct.pack("<I", 8) + OK + b"whole\0",
    "cut-mid-record": three[: len(three) - 1],
    "cut-in-length": three[:3],
    "two-passwords": password(b"first") + password(b"second"),
    "duplicate-drive-letters": drive("D", 1) + drive("E", 1) + drive("D", 0),
    "drive-locked-2": drive("G", 2),
    "drive-short": record(DRIVE, b"K"),
    "drive-long": record(DRIVE, b"L\0M\1"),
    "medium-longer": record(MEDIA, medium_image(b"LONG", 0x11223344, 5) + b"\xEE" * 32),
    "medium-shorter": record(MEDIA, b"SHORT"),
    "medium-label-no-nul": record(MEDIA, b"q" * 260 + struct.pack("<II", 9, 2)),
    "medium-junk-after-nul": record(MEDIA, b"AB\0" + b"\x7F" * 257 + struct.pack("<II", 3, 5)),
    "empty-plaintexts": record(DRIVE, b"") + record(MEDIA, b"") + record(PASSWORD, b""),
    "trusted-length-0": trusted_frame(0, b"") + drive("E", 1),
    "trusted-length-past-words": trusted_frame(400, OK + b"SHORT") + drive("E", 1),
    "refused-record": frame(PASSWORD, REFUSED + b"theirs\0") + password(b"mine") + drive("D", 1),
}


def write_seeds(folder, seeds, suffix):
    """Replaces what is in tests/fuzz/<folder> with the seeds, one file each."""
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), folder)
    os.makedirs(out, exist_ok=True)
    for name in os.listdir(out):
        os.remove(os.path.join(out, name))
    for name, content in sorted(seeds.items()):
        with open(os.path.join(out, name + suffix), "wb") as f:
            f.write(content)
    print(f"{len(seeds)} seeds in {out}")


def main():
    write_seeds("corpus", SEEDS, ".conf")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The verifier tool under Wine: a password on standard input gives one
verifier line whose hash Python's own PBKDF2 reproduces from the password's
UTF-8 bytes and its salt (a byte-order mark before it is no part of it), a
fresh salt each run, and a refusal without output for an empty password or
bytes that are not UTF-8.

  check_hash_tool.py RUNNER... TOOL
"""
import base64
import hashlib
import re
import subprocess
import sys

LINE = re.compile(r"^\$pbkdf2-sha256\$i=([0-9]+)\$([A-Za-z0-9+/]+)\$([A-Za-z0-9+/]+)$")
PASSWORD = "Seven tired ferrets cross the frozen Tamrel river"
PASSPHRASE = "Grüße aus Köln, ça va? Ωμέγα"


def unpadded(text):
    return base64.b64decode(text + "=" * (-len(text) % 4), validate=True)


def run(command, stdin):
    return subprocess.run(command, input=stdin, capture_output=True, timeout=90)


def main(command):
    salts = []
    for stdin, password in (((PASSWORD + "\r\n").encode(), PASSWORD), (PASSWORD.encode(), PASSWORD),
                            (b"\xef\xbb\xbf" + PASSPHRASE.encode() + b"\n", PASSPHRASE)):
        result = run(command, stdin)
        assert result.returncode == 0, "exit %d: %r" % (result.returncode, result.stderr)
        line = result.stdout.decode().strip()
        match = LINE.match(line)
        assert match, "not a verifier line: %r" % line
        iterations, salt, digest = int(match[1]), unpadded(match[2]), unpadded(match[3])
        assert iterations == 600000, "iterations %d" % iterations
        assert len(salt) == 16 and len(digest) == 32, "salt %d, hash %d bytes" % (len(salt), len(digest))
        expected = hashlib.pbkdf2_hmac("sha256", password.encode(), salt, iterations)
        assert digest == expected, "hash %s, Python gives %s" % (digest.hex(), expected.hex())
        salts.append(salt)
    assert salts[0] != salts[1], "the same salt twice"
    for refused in (b"\r\n", b"\xff\xfe not UTF-8\n"):
        result = run(command, refused)
        assert result.returncode == 1 and not result.stdout.strip(), "%r: %r" % (refused, result)
    print("verifier lines in order; Python's PBKDF2 gives their hashes")


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except (AssertionError, subprocess.TimeoutExpired, ValueError) as error:
        print("check_hash_tool: %s" % error)
        sys.exit(1)

#!/usr/bin/env python3
"""The verifier tool under Wine: a password on standard input gives one
verifier line whose hash Python's own PBKDF2 reproduces from its salt, a
fresh salt each run, and a refusal without output for an empty password.

  check_hash_tool.py RUNNER... TOOL
"""
import base64
import hashlib
import re
import subprocess
import sys

LINE = re.compile(r"^\$pbkdf2-sha256\$i=([0-9]+)\$([A-Za-z0-9+/]+)\$([A-Za-z0-9+/]+)$")
PASSWORD = "Seven tired ferrets cross the frozen Tamrel river"


def unpadded(text):
    return base64.b64decode(text + "=" * (-len(text) % 4), validate=True)


def run(command, stdin):
    return subprocess.run(command, input=stdin.encode(), capture_output=True, timeout=90)


def main(command):
    salts = []
    for stdin in (PASSWORD + "\r\n", PASSWORD):
        result = run(command, stdin)
        assert result.returncode == 0, "exit %d: %r" % (result.returncode, result.stderr)
        line = result.stdout.decode().strip()
        match = LINE.match(line)
        assert match, "not a verifier line: %r" % line
        iterations, salt, digest = int(match[1]), unpadded(match[2]), unpadded(match[3])
        assert iterations == 600000, "iterations %d" % iterations
        assert len(salt) == 16 and len(digest) == 32, "salt %d, hash %d bytes" % (len(salt), len(digest))
        expected = hashlib.pbkdf2_hmac("sha256", PASSWORD.encode(), salt, iterations)
        assert digest == expected, "hash %s, Python gives %s" % (digest.hex(), expected.hex())
        salts.append(salt)
    assert salts[0] != salts[1], "the same salt twice"
    empty = run(command, "\r\n")
    assert empty.returncode == 1 and not empty.stdout.strip(), "empty password: %r" % (empty,)
    print("verifier lines in order; Python's PBKDF2 gives their hashes")


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except (AssertionError, subprocess.TimeoutExpired, ValueError) as error:
        print("check_hash_tool: %s" % error)
        sys.exit(1)

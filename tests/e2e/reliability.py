#!/usr/bin/env python3
"""Reliability scenarios for ventrix.exe under Wine, on the e2e harness.

Damaged "Tamrel.conf" files through the real program (empty, cut inside its
last record, a length of 0xFFFFFFFF, a record of another Windows user), and
the program killed at many moments around the save of its start-up apply
pass. Each damaged-file run checks that the program starts, shows only what
the whole records ask for, ends with exit code 24 on WM_CLOSE, and that its
exit save is a well-formed file holding exactly the policy it ran with.

The scenarios use the harness's Session (tests/e2e/harness.py) and run with
its command line, the harness's own scenarios included:

  reliability.py --exe X --probe P --source-dir S --build-dir B setup
  reliability.py ... run bad_file_empty bad_file_cut ...

To merge them into the harness: SCENARIOS.update(reliability.SCENARIOS).
Every wait polls a condition with a deadline; the only deliberate pause is
the random moment chosen for a kill, which nothing waits on.
"""

import os
import random
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from harness import AGENT, DEFAULT_PASSWORD, EXIT_CODE, FSCTL_LOCK, check, log, poll  # noqa: E402

PASSWORD_TAG, MEDIA_TAG, DRIVE_TAG = 0x5A, 0x5C, 0x5B


def framing(raw):
    """The tags of a file whose records are framed exactly, or None."""
    tags, at = [], 0
    while at < len(raw):
        if len(raw) - at < 5:
            return None
        (length,) = struct.unpack_from("<I", raw, at + 1)
        if length > len(raw) - at - 5:
            return None
        tags.append(raw[at])
        at += 5 + length
    return tags


def policy_of(conf):
    return conf["password"], conf["drives"], conf["media"]


def expect_well_formed(conf, password, drives, media=()):
    """An exit save: exactly one password record, then media, then drives,
    framed end to end, holding exactly the given policy."""
    tags = framing(conf["raw"])
    check(tags is not None, "the saved file is not framed record by record")
    wanted = [PASSWORD_TAG] + [MEDIA_TAG] * len(media) + [DRIVE_TAG] * len(drives)
    check(tags == wanted, "record order %r, wanted %r" % (tags, wanted))
    check(conf["password"] == password, "password %r, wanted %r" % (conf["password"], password))
    check(conf["drives"] == drives, "drives %r, wanted %r" % (conf["drives"], drives))
    check(conf["media"] == list(media), "media %r, wanted %r" % (conf["media"], list(media)))


def write_raw(s, content):
    with open(s.conf_path, "wb") as f:
        f.write(content)


def close_and_read(s, program):
    harness.close_from_outside(s, program)
    s.wait_tray(None)
    return s.read_conf()


def start_checked(s, boxes):
    """Starts the program on the prepared file; it must come up, show exactly
    the lock messages its policy asks for, and run."""
    program = s.start(startup_boxes=boxes)
    s.wait_tray("locked")
    s.wait_agent()
    s.no_box(0.5)
    check(program.alive(), "the program ended on a damaged file")
    check(s.file_held(), "the program does not hold Tamrel.conf")
    return program


# ------------------------------------------------------------- damaged files

def scenario_bad_file_empty(s):
    # Opened, so not a first run: nothing loaded, the default password stands,
    # and the sweep enters D: and E: locked.
    write_raw(s, b"")
    program = start_checked(s, ("D", "E"))
    events = program.events()
    check(("D", FSCTL_LOCK) in events and ("E", FSCTL_LOCK) in events, "drives not locked: %r" % events)
    conf = close_and_read(s, program)
    expect_well_formed(conf, DEFAULT_PASSWORD, {"D": 1, "E": 1})


def scenario_bad_file_cut(s):
    # The last record (E:) loses its final byte: the records before it load.
    s.make_conf("password=cut-secret", "media=ARCHIVE:C0FFEE:5", "drive=D:0", "drive=E:0")
    whole = open(s.conf_path, "rb").read()
    write_raw(s, whole[:-1])
    # D: unlocked and its disc not listed: no box. E: has no entry: the sweep
    # appends it locked and the apply ejects its stick.
    program = start_checked(s, ("E",))
    conf = close_and_read(s, program)
    expect_well_formed(conf, "cut-secret", {"D": 0, "E": 1}, [("ARCHIVE", 0xC0FFEE, 5)])


def scenario_bad_file_cut_everywhere(s):
    # A sample of cuts across a three-record file, each through the real program.
    s.make_conf("password=cut-secret", "drive=D:0", "drive=E:0")
    whole = open(s.conf_path, "rb").read()
    tags_end = []
    at = 0
    while at < len(whole):
        (length,) = struct.unpack_from("<I", whole, at + 1)
        at += 5 + length
        tags_end.append(at)
    cuts = sorted({0, 1, 4, 5, tags_end[0] - 1, tags_end[0], tags_end[0] + 3, tags_end[1] - 1, tags_end[1],
                   len(whole) - 1})
    for cut in cuts:
        write_raw(s, whole[:cut])
        complete = sum(1 for end in tags_end if end <= cut)
        password = "cut-secret" if complete >= 1 else DEFAULT_PASSWORD
        drives = {"D": 0, "E": 0}
        if complete < 3:
            drives["E"] = 1  # no E: record: appended locked by the sweep
        if complete < 2:
            drives["D"] = 1
        boxes = tuple(d for d in ("D", "E") if drives[d] == 1)
        log("  cut at %d of %d: %d complete records" % (cut, len(whole), complete))
        program = start_checked(s, boxes)
        conf = close_and_read(s, program)
        expect_well_formed(conf, password, drives)


def scenario_bad_file_huge_length(s):
    # A record claiming 0xFFFFFFFF bytes ends the load; no giant allocation, no crash.
    s.make_conf("password=big-secret", "drive=D:0")
    inner = open(s.conf_path, "rb").read()
    write_raw(s, inner + bytes([PASSWORD_TAG]) + struct.pack("<I", 0xFFFFFFFF) + inner)
    program = start_checked(s, ("E",))
    conf = close_and_read(s, program)
    expect_well_formed(conf, "big-secret", {"D": 0, "E": 1})


def scenario_bad_file_foreign_user(s):
    # Every record protected for another Windows user: none of them unprotect,
    # so nothing of that policy (nor its password) takes effect.
    env = s.e.wine_env(USER="mallory", LOGNAME="mallory")
    done = subprocess.run(["wine", s.e.probe_exe, "makeconf", s.conf_path, "password=theirs", "drive=D:0",
                           "drive=E:0"], env=env, cwd=s.work, stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    check(done.returncode == 0, "could not write the other user's file")
    program = start_checked(s, ("D", "E"))
    # Their password does not open the configuration.
    s.menu_click("Configuration")
    s.login("theirs")
    check(s.box(name="their-password") == "Invalid Password", "another user's password was accepted")
    s.wait_window(harness.LOGIN)
    s.click_control(harness.LOGIN, 1000)
    s.wait_gone(harness.LOGIN)
    conf = close_and_read(s, program)
    expect_well_formed(conf, DEFAULT_PASSWORD, {"D": 1, "E": 1})


# ------------------------------------------------------- killed during apply

def scenario_killed_during_apply(s):
    """The start-up apply of a policy that lacks E: appends E: and saves. The
    program is killed with SIGKILL while its boxes are up and at random
    moments around the save; the file must then hold the whole old policy
    or the whole new one, and the next start must load it."""
    s.make_conf("password=kill-secret", "drive=D:1")
    old_raw = open(s.conf_path, "rb").read()
    old = ("kill-secret", {"D": 1}, [])
    new = ("kill-secret", {"D": 1, "E": 1}, [])
    rng = random.Random(20261207)
    outcomes = {"old": 0, "new": 0, "mid-save": 0}
    temporary = s.conf_path + ".new"
    rounds = 24
    for round_number in range(rounds):
        write_raw(s, old_raw)
        if os.path.exists(temporary):
            os.remove(temporary)
        program = harness.Program(s, "kill-%02d" % round_number, trace=False)
        s.programs.append(program)
        text = s.box(timeout=15, name="kill-%02d-D" % round_number)
        check(text == harness.LOCK_TEXT % "D", "first box: %r" % text)
        mode = round_number % 3
        if mode == 0:
            # Killed with the box of E: open: the save has not run yet.
            check(s.box(timeout=15, dismiss=False, name="kill-%02d-E" % round_number) == harness.LOCK_TEXT % "E",
                  "second box")
        elif mode == 1:
            # Killed the moment the new copy appears beside the file: mid-save.
            s.box(timeout=15, dismiss=False, name="kill-%02d-E" % round_number)
            dismiss = subprocess.Popen(["wine", s.e.probe_exe, "box", "Error", "2000", "dismiss"],
                                       env=s.e.wine_env(), cwd=s.work, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 10
            while not os.path.exists(temporary) and time.monotonic() < deadline:
                pass
            program.kill()
            harness.finish(dismiss)
            if os.path.exists(temporary):
                outcomes["mid-save"] += 1
        else:
            s.box(timeout=15, name="kill-%02d-E" % round_number)
            # The save follows the last box: kill somewhere around it.
            time.sleep(rng.uniform(0.0, 0.05))  # picks the kill moment; nothing waits on it
        program.kill()
        poll(lambda: not program.alive(), 10, what="the killed program to be gone")
        poll(lambda: s.count(AGENT) == 0, 10, what="the killed program's window to be gone")
        conf = s.read_conf()
        check(framing(conf["raw"]) is not None, "round %d: the file is not whole" % round_number)
        found = policy_of(conf)
        check(found in (old, new), "round %d: the file holds %r" % (round_number, found))
        outcomes["old" if found == old else "new"] += 1
        if mode == 0:
            check(found == old, "round %d: saved before the apply ended" % round_number)
    log("  %d kills: %d left the old policy, %d the new; %d caught a half-written copy beside the file"
        % (rounds, outcomes["old"], outcomes["new"], outcomes["mid-save"]))
    # The file of the last kill still starts the program as a proper policy.
    program = s.start(startup_boxes=("D", "E"))
    s.wait_tray("locked")
    conf = close_and_read(s, program)
    expect_well_formed(conf, "kill-secret", {"D": 1, "E": 1})


SCENARIOS = {
    "bad_file_empty": scenario_bad_file_empty,
    "bad_file_cut": scenario_bad_file_cut,
    "bad_file_cut_everywhere": scenario_bad_file_cut_everywhere,
    "bad_file_huge_length": scenario_bad_file_huge_length,
    "bad_file_foreign_user": scenario_bad_file_foreign_user,
    "killed_during_apply": scenario_killed_during_apply,
}

if __name__ == "__main__":
    harness.SCENARIOS.update(SCENARIOS)
    sys.exit(harness.main())

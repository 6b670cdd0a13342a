#!/usr/bin/env python3
"""End-to-end scenarios for ventrix.exe under Wine + Xvfb.

The program is driven the way a person at the PC would drive it: the tray
icon is found on a screenshot and right-clicked with xdotool, menu items and
buttons are clicked, the password is typed into the prompt. What it shows is
read from its windows (titles, message-box texts, list-view rows, through
e2e_probe inside Wine) and what it writes is read back from "Tamrel.conf"
through DPAPI. A screenshot of every step is kept under
<build>/e2e-shots/<scenario>/.

  harness.py --exe X --probe P --source-dir S --build-dir B setup
  harness.py ... run SCENARIO [SCENARIO...]
  harness.py ... cleanup

Every wait polls a condition with a deadline; nothing sleeps to synchronise.
"""

import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

MAGICK_IMPORT = "/usr/bin/import"
MAGICK_CONVERT = "/usr/bin/convert"
MAGICK_COMPARE = "/usr/bin/compare"

AGENT = "Windows ZadaZE"
LOGIN = "Login"
CONFIG = "Ventrix"
ABOUT = "About Ventrix v1.1"
ADD_ITEM = "Add item"
TRUSTED = "Trusted Media"
EXIT_CODE = 24
DEFAULT_PASSWORD = "quillfern"

# Volume control codes as they appear in Wine's +file trace.
IOCTL_EJECT = 0x2D4808
FSCTL_LOCK = 0x90018
FSCTL_UNLOCK = 0x9001C
FSCTL_DISMOUNT = 0x90020

# The prepared drives: A: must never be seeded, D: is a CD-ROM, E: removable.
DRIVES = {
    "a": {"type": "floppy", "label": None, "serial": None},
    "d": {"type": "cdrom", "label": "VENTRIXCD", "serial": "1a2b3c4d"},
    "e": {"type": "floppy", "label": "STICK", "serial": "0badf00d"},
}


class Failure(Exception):
    pass


class Skipped(Exception):
    """The scenario cannot run on this machine; the reason says why."""


SKIP_CODE = 77


def can_run_32bit():
    if os.environ.get("VENTRIX_NO_32BIT") == "1":
        return False
    try:
        return subprocess.run(["/usr/lib/wine/wine", "--version"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30).returncode == 0
    except OSError:
        return False


def check(condition, message):
    if not condition:
        raise Failure(message)


def poll(condition, timeout, interval=0.05, what="condition"):
    """Returns the first truthy value of condition() or raises on the deadline."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise Failure("timed out after %.1fs waiting for %s" % (timeout, what))
        time.sleep(interval)


def log(message):
    print("[e2e %7.2fs] %s" % (time.monotonic() - START, message), flush=True)


START = time.monotonic()


# --------------------------------------------------------------- environment

class Environment:
    def __init__(self, args):
        self.exe = os.path.abspath(args.exe)
        self.probe_exe = os.path.abspath(args.probe)
        self.source = os.path.abspath(args.source_dir)
        self.build = os.path.abspath(args.build_dir)
        self.prefix = os.path.join(self.build, "e2e-prefix")
        self.drives = os.path.join(self.build, "e2e-drives")
        self.work = os.path.join(self.build, "e2e-work")
        self.shots = os.path.join(self.build, "e2e-shots")
        self.bits = args.bits
        self.peer_exe = os.path.abspath(args.peer_exe) if args.peer_exe else None
        self.xvfb = None
        self.env = dict(os.environ)
        self.env.update({
            "WINEPREFIX": self.prefix,
            "WINEARCH": "win64" if self.bits == 64 else "win32",
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
        })
        if self.bits == 64:
            # Debian's wine and wineserver would pick the 32-bit loader.
            self.env.update({"WINELOADER": "/usr/lib/wine/wine64", "WINESERVER": "/usr/lib/wine/wineserver64",
                             "PATH": os.path.join(self.source, "scripts", "wine64") + os.pathsep + self.env["PATH"]})
        else:
            self.env.pop("WINELOADER", None)
            self.env.pop("WINESERVER", None)
        # Debian's wine wrapper would otherwise pick its own debug channels.
        self.env.pop("WINELOADERNOEXEC", None)

    def wine_env(self, **extra):
        env = dict(self.env)
        env.update(extra)
        return env

    def ensure_display(self):
        if self.env.get("DISPLAY"):
            return
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        with os.fdopen(read_end, "rb") as pipe:
            number = pipe.readline().strip()
        check(number, "Xvfb did not report a display")
        self.env["DISPLAY"] = ":" + number.decode()
        log("own Xvfb on %s" % self.env["DISPLAY"])

    def stop_display(self):
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait(10)
            self.xvfb = None

    def run(self, argv, timeout=120, **extra):
        """A helper command with its output in a log file: Wine's helper processes
        would keep an inherited pipe (ctest's or ours) open."""
        with tempfile.TemporaryFile() as out:
            done = subprocess.run(argv, env=self.wine_env(**extra), stdin=subprocess.DEVNULL,
                                  stdout=out, stderr=subprocess.STDOUT, timeout=timeout)
            out.seek(0)
            return done.returncode, out.read().decode(errors="replace")

    def wineserver_kill(self):
        if os.path.isdir(self.prefix):
            self.run(["wineserver", "-k"], timeout=30)
            self.run(["wineserver", "-w"], timeout=30)


def setup(environment):
    """Makes the e2e prefix once per run: shell desktop, drives A:, D:, E:."""
    e = environment
    e.wineserver_kill()
    shutil.rmtree(e.prefix, ignore_errors=True)
    shutil.rmtree(e.drives, ignore_errors=True)
    shutil.rmtree(e.work, ignore_errors=True)
    shutil.rmtree(e.shots, ignore_errors=True)
    os.makedirs(e.prefix)
    script = os.path.join(e.source, "scripts", "wine-env.sh")
    code, output = e.run(["bash", "-c", '. "$0"; make_prefix "$1"', script, e.prefix], timeout=180)
    check(code == 0, "make_prefix failed:\n" + output)
    check(os.path.isdir(os.path.join(e.prefix, "drive_c")), "prefix has no drive_c")

    dosdevices = os.path.join(e.prefix, "dosdevices")
    for letter, drive in DRIVES.items():
        folder = os.path.join(e.drives, letter)
        os.makedirs(folder)
        if drive["label"]:
            with open(os.path.join(folder, ".windows-label"), "w") as f:
                f.write(drive["label"] + "\n")
            with open(os.path.join(folder, ".windows-serial"), "w") as f:
                f.write(drive["serial"] + "\n")
        link = os.path.join(dosdevices, letter + ":")
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(folder, link)
        code, output = e.run(["wine", "reg", "add", r"HKLM\Software\Wine\Drives", "/v", letter + ":",
                              "/d", drive["type"], "/f"])
        check(code == 0, "reg add for %s: failed:\n%s" % (letter, output))
    # Drive types are read when the server starts: restart it before any use.
    e.wineserver_kill()
    log("prefix ready at %s" % e.prefix)


def cleanup(environment):
    environment.wineserver_kill()
    shutil.rmtree(environment.prefix, ignore_errors=True)
    log("prefix removed; screenshots kept under %s" % environment.shots)



# ------------------------------------------------------------------ the probe

class Probe:
    """e2e_probe serving commands over a pipe: one Wine process for a scenario."""

    def __init__(self, session):
        self.session = session
        self.errors = open(os.path.join(session.work, "probe.err"), "wb")
        self.process = subprocess.Popen(
            ["wine", session.e.probe_exe, "serve"], env=session.e.wine_env(), cwd=session.work,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.errors)

    def call(self, *args, timeout=30):
        line = "\t".join(str(a) for a in args) + "\n"
        self.process.stdin.write(line.encode())
        self.process.stdin.flush()
        lines = []
        deadline = time.monotonic() + timeout
        while True:
            raw = self.process.stdout.readline()
            if not raw:
                raise Failure("probe ended during %r" % (args,))
            text = raw.decode(errors="replace").rstrip("\r\n")
            if text.startswith("@@end "):
                return int(text.split()[1]), lines
            lines.append(text)
            if time.monotonic() > deadline:
                raise Failure("probe too slow on %r" % (args,))

    def close(self):
        try:
            self.process.stdin.write(b"quit\n")
            self.process.stdin.flush()
            self.process.wait(10)
        except Exception:
            self.process.kill()
        self.errors.close()


def fields(line):
    """'a=1 b=x' -> {'a': '1', 'b': 'x'}; the last field may hold spaces (text=...)."""
    out = {}
    for match in re.finditer(r"(\w+)=(.*?)(?=\s\w+=|$)", line):
        out[match.group(1)] = match.group(2)
    return out


# Volume requests (+file) and the event log's calls: ReportEventA shows as a
# fixme with the type and id, its strings on the eventlog channel.
TRACE_CHANNELS = "+pid,+file,warn+eventlog,err+eventlog,trace+eventlog"


def parse_events(path, only_pid=None):
    """The program's audit events, in order: (id low 16 bits, type, [strings]).
    only_pid: a trace several processes wrote to, read for that one's (hex, as traced)."""
    events = []
    counts = []
    report = re.compile(r"^(\w+):\w+:fixme:advapi:ReportEventA \(\w+,0x(\w+),0x\w+,0x(\w+),\w+,0x(\w+),")
    text = re.compile(r'^(\w+):\w+:(?:trace|warn|err):eventlog:ReportEventW L"(.*)"$')
    pid = None
    with open(path, errors="replace") as trace:
        for line in trace:
            m = report.match(line)
            if m and only_pid and int(m.group(1), 16) != int(only_pid, 16):
                continue
            if m:
                pid = m.group(1)
                events.append((int(m.group(3), 16) & 0xFFFF, int(m.group(2), 16), []))
                counts.append(int(m.group(4), 16))
                continue
            m = text.match(line.rstrip("\n"))
            if m and m.group(1) == pid and events:
                events[-1][2].append(re.sub(r"\\(.)", r"\1", m.group(2)))
    # Wine 10 traces no line for an empty string (Wine 8 traces L""): the
    # strings the call counted but the trace left out are empty ones, taken
    # to be the last (see tests/e2e/README.md).
    for (_, _, strings), count in zip(events, counts):
        strings.extend([""] * (count - len(strings)))
    return events


def parse_trace(path, only_pid=None):
    """Volume requests of the program, in order: (drive letter, control code).
    Matches CreateFileW on \\\\.\\X: with its returned handle, then
    DeviceIoControl on that handle (handles are reused after close).
    only_pid: a trace several processes wrote to, read for that one's."""
    events = []
    handles = {}
    pending = None
    create = re.compile(r'trace:file:CreateFileW L"(.*?)"')
    returned = re.compile(r"trace:file:CreateFileW returning ([0-9a-fA-F]+)")
    ioctl = re.compile(r"trace:file:DeviceIoControl \(([0-9a-fA-F]+),([0-9a-fA-F]+),")
    device = re.compile(r"^\\\\\\\\\.\\\\([A-Za-z]):$")
    prefix = "%04x:" % int(only_pid, 16) if only_pid else ""
    with open(path, errors="replace") as trace:
        for line in trace:
            if prefix and not line.startswith(prefix):
                continue
            m = create.search(line)
            if m:
                d = device.match(m.group(1))
                pending = d.group(1).upper() if d else None
                continue
            m = returned.search(line)
            if m:
                handles[int(m.group(1), 16)] = pending
                pending = None
                continue
            m = ioctl.search(line)
            if m:
                drive = handles.get(int(m.group(1), 16))
                if drive:
                    events.append((drive, int(m.group(2), 16)))
    return events


# ---------------------------------------------------------------- a session

class Program:
    """One running ventrix.exe, started in the scenario's working directory."""

    def __init__(self, session, name, trace=True, exe=None):
        self.session = session
        self.name = name
        self.trace_path = os.path.join(session.work, name + ".trace")
        self.out = open(os.path.join(session.work, name + ".out"), "wb")
        self.trace = open(self.trace_path, "wb")
        env = session.e.wine_env(WINEDEBUG=TRACE_CHANNELS if trace else "-all")
        self.process = subprocess.Popen(["wine", exe or session.e.exe], cwd=session.work, env=env,
                                        stdin=subprocess.DEVNULL, stdout=self.out, stderr=self.trace)
        self.mark = 0

    def events(self):
        if not self.trace.closed:
            self.trace.flush()
        return parse_trace(self.trace_path)

    def audit_events(self):
        return parse_events(self.trace_path)

    def set_mark(self):
        """Volume requests from here on are what the next step caused."""
        self.mark = len(self.events())

    def events_since_mark(self):
        return self.events()[self.mark:]

    def alive(self):
        return self.process.poll() is None

    def wait_exit(self, timeout=15):
        try:
            code = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure("%s did not end within %ss" % (self.name, timeout))
        self.out.close()
        self.trace.close()
        return code

    def kill(self):
        if self.alive():
            self.process.kill()
            self.process.wait(10)


class Session:
    def __init__(self, environment, scenario):
        self.e = environment
        self.scenario = scenario
        self.work = os.path.join(environment.work, scenario)
        self.shots = os.path.join(environment.shots, scenario)
        shutil.rmtree(self.work, ignore_errors=True)
        shutil.rmtree(self.shots, ignore_errors=True)
        os.makedirs(self.work)
        os.makedirs(self.shots)
        self.step = 0
        self.programs = []
        self.templates = {}
        self.conf_path = os.path.join(self.work, "Tamrel.conf")

    # -- life cycle
    def start_desktop(self, traced=False):
        """traced: Wine starts services in the environment of the session's
        first process, so the service's trace is read from that process's."""
        e = self.e
        e.wineserver_kill()
        # The first Wine process starts the server, services and the desktop;
        # it gets no pipe of ours, or they would stay open for good.
        self.holder_trace = os.path.join(self.work, "session.trace")
        with open(self.holder_trace, "wb") as trace:
            self.holder = subprocess.Popen(["wine", e.probe_exe, "hold"],
                                           env=e.wine_env(WINEDEBUG=TRACE_CHANNELS + ",trace+advapi") if traced
                                           else e.wine_env(),
                                           cwd=self.work, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                           stderr=trace if traced else subprocess.DEVNULL, start_new_session=True)
        if traced:  # the holder must be the one that starts the services, or they run untraced
            poll(lambda: "services.exe" in open(self.holder_trace, errors="replace").read(), 30,
                 what="the session's services started by the traced holder")
        self.probe = Probe(self)
        status, lines = self.probe.call("wait", "*", 20000, "Shell_TrayWnd")
        check(status == 0, "the shell desktop's taskbar did not appear")
        self.shot("desktop")

    def stop(self):
        for program in self.programs:
            program.kill()
        try:
            self.probe.close()
        except Exception:
            pass
        if getattr(self, "holder", None):
            self.holder.kill()
            self.holder.wait(10)
        self.e.wineserver_kill()

    # -- looking
    def shot(self, name):
        self.step += 1
        path = os.path.join(self.shots, "%02d-%s.png" % (self.step, name))
        log("  %s: %02d-%s" % (self.scenario, self.step, name))
        subprocess.run([MAGICK_IMPORT, "-window", "root", path], env=self.e.env, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=30)
        return path

    def grab(self, name="grab.png"):
        path = os.path.join(self.work, name)
        subprocess.run([MAGICK_IMPORT, "-window", "root", path], env=self.e.env, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=30)
        return path

    def crop(self, source, x, y, w, h, name):
        path = os.path.join(self.work, name)
        subprocess.run([MAGICK_CONVERT, source, "-crop", "%dx%d+%d+%d" % (w, h, x, y), "+repage", path],
                       check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=30)
        return path

    def pixel(self, source, x, y):
        out = subprocess.run([MAGICK_CONVERT, source, "-format", "%%[pixel:p{%d,%d}]" % (x, y), "info:"],
                             capture_output=True, text=True, timeout=30, stdin=subprocess.DEVNULL).stdout
        m = re.search(r"\((\d+),(\d+),(\d+)", out)
        check(m, "cannot read pixel: %r" % out)
        return ",".join(m.groups())

    def find_subimage(self, image, template):
        """(normalised RMSE, x, y) of the best place of template in image."""
        done = subprocess.run([MAGICK_COMPARE, "-metric", "RMSE", "-dissimilarity-threshold", "1",
                               "-subimage-search", image, template, "null:"],
                              capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
        m = re.search(r"\(([0-9.e+-]+)\) @ (\d+),(\d+)", done.stderr)
        check(m, "compare gave no result: %s" % done.stderr.strip())
        return float(m.group(1)), int(m.group(2)), int(m.group(3))

    # -- the tray icon
    # Ventrix's icon is found through the tray itself: the probe lists every
    # icon the notification area holds with its tip text and place, so a
    # missing icon is read from the tray, not from the absence of pixels. Which
    # of the two images it shows is then matched at that place only, right
    # after the tray has repainted itself: Wine 10 draws a changed icon over
    # the old one without erasing it (see tests/e2e/README.md).
    TIP = "Ventrix"

    def tray_place(self, repaint=False):
        """The screen rect of the program's own tray icon, None when the tray holds none."""
        status, lines = self.probe.call("tray", "repaint") if repaint else self.probe.call("tray")
        check(status == 0, "cannot read the notification area: %s" % lines)
        for line in lines:
            info = fields(line)
            left, top, right, bottom = map(int, info["rect"].split(","))
            # Wine 8 keeps a removed icon's tooltip, with an empty rect.
            tip = info.get("tip", "")
            # "Ventrix", or during a timed unlock "Ventrix - unlocked until ...".
            if (tip == self.TIP or tip.startswith(self.TIP + " - ")) and right > left and bottom > top:
                return left, top, right, bottom
        return None

    def tray_icon(self, screenshot=None):
        """Which of the program's tray icons shows, and where: ('locked'|'unlocked'|None, x, y).

        The screenshot is taken after the tray has been read; one passed in is ignored."""
        name, x, y = self.match_tray_icon(repaint=False)
        if name != "unknown":
            return name, x, y
        # Only a spot painted as neither image is worth a repaint of the tray
        # (the Wine 10 case): the repaint stirs the desktop while a prompt opens.
        return self.match_tray_icon(repaint=True)

    def match_tray_icon(self, repaint):
        place = self.tray_place(repaint)
        if place is None:
            return None, 0, 0
        left, top, right, bottom = place
        shot = self.grab()
        spot = self.crop(shot, left, top, right - left, bottom - top, "spot.png")
        background = self.pixel(shot, left, (top + bottom) // 2)
        best = (None, 1.0, 0, 0)
        for name, icon_id in (("locked", 111), ("unlocked", 109)):
            key = (icon_id, background)
            if key not in self.templates:
                path = os.path.join(self.work, "icon-%d.bmp" % icon_id)
                status, lines = self.probe.call("icon", self.e.exe, icon_id, path, background)
                check(status == 0, "cannot render icon %d: %s" % (icon_id, lines))
                self.templates[key] = path
            score, x, y = self.find_subimage(spot, self.templates[key])
            if score < best[1]:
                best = (name, score, left + x + 8, top + y + 8)
        if best[1] > 0.02:
            # In the tray but painted as neither image: report it, unnamed, where it is.
            return "unknown", (left + right) // 2, (top + bottom) // 2
        return best[0], best[2], best[3]

    def wait_tray(self, state, timeout=10):
        """Polls the tray until it shows the wanted icon (None: no icon of the program's)."""
        seen = {}

        def shows():
            name, x, y = self.tray_icon()
            seen["last"] = name
            if name == state:
                return (name, x, y) if state else ("none", 0, 0)
            return None
        try:
            return poll(shows, timeout, interval=0.1, what="tray icon %s" % state)
        except Failure:
            raise Failure("tray icon: wanted %s, saw %s" % (state, seen.get("last")))

    # -- the tray menu
    def open_menu(self):
        name, x, y = self.tray_icon()
        check(name, "no tray icon to right-click")
        subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "3"], env=self.e.env, check=True,
                       timeout=30, stdin=subprocess.DEVNULL)
        status, lines = self.probe.call("menu", 5000)
        check(status == 0, "the tray menu did not open")
        m = re.search(r"rect=(-?\d+),(-?\d+),(-?\d+),(-?\d+)", lines[0])
        left, top, right, bottom = map(int, m.groups())
        shot = self.shot("menu")
        return shot, (left, top, right, bottom)

    def menu_text_at(self, shot, rect, text):
        """Where the item text shows in the open menu, read from the screenshot by
        matching the text drawn in the menu font; None when it is not there."""
        left, top, right, bottom = rect
        menu = self.crop(shot, left, top, right - left, bottom - top, "menu.png")
        background = self.pixel(shot, right - 3, bottom - 3)
        template = os.path.join(self.work, "text-%s.bmp" % re.sub(r"\W", "_", text))
        status, lines = self.probe.call("text", text, template, "0,0,0", background)
        check(status == 0, "cannot render %r" % text)
        size = re.search(r"size=(\d+),(\d+)", lines[0])
        w, h = int(size.group(1)), int(size.group(2))
        score, x, y = self.find_subimage(menu, template)
        if score > 0.02:
            return None
        return left + x + w // 2, top + y + h // 2

    def menu_click(self, text):
        """Right-click the tray icon, then click the item with this text."""
        shot, rect = self.open_menu()
        where = self.menu_text_at(shot, rect, text)
        check(where, "menu item %r not in the menu" % text)
        self.click(*where)
        status, _ = self.probe.call("gone", "*", 5000, "#32768")
        return shot, rect

    def menu_first_item(self):
        """The first command as the menu shows it, then the menu is closed again."""
        shot, rect = self.open_menu()
        unlock = self.menu_text_at(shot, rect, "Unlock")
        lock = self.menu_text_at(shot, rect, "Lock")
        # Close it by clicking on the empty desktop (Escape does not reach it).
        self.click(300, 200)
        status, _ = self.probe.call("gone", "*", 5000, "#32768")
        check(status == 0, "the menu did not close")
        check(not (unlock and lock), "menu shows both Unlock and Lock")
        return "Unlock" if unlock else "Lock" if lock else None

    # -- hands
    def click(self, x, y, button=1):
        subprocess.run(["xdotool", "mousemove", str(int(x)), str(int(y)), "click", str(button)],
                       env=self.e.env, check=True, timeout=30, stdin=subprocess.DEVNULL)

    def type_text(self, text):
        subprocess.run(["xdotool", "type", "--delay", "15", text], env=self.e.env, check=True, timeout=60,
                       stdin=subprocess.DEVNULL)

    def control(self, title, control_id):
        status, lines = self.probe.call("control", title, control_id)
        check(status == 0, "control %s of %r not found" % (control_id, title))
        info = fields(lines[0])
        l, t, r, b = map(int, info["rect"].split(","))
        info["center"] = ((l + r) // 2, (t + b) // 2)
        return info

    def click_control(self, title, control_id):
        self.click(*self.control(title, control_id)["center"])

    def wait_window(self, title, timeout=10):
        status, lines = self.probe.call("wait", title, int(timeout * 1000))
        check(status == 0, "window %r did not appear" % title)
        return fields(lines[0])

    def wait_gone(self, title, timeout=10):
        status, _ = self.probe.call("gone", title, int(timeout * 1000))
        check(status == 0, "window %r did not go away" % title)

    def count(self, title):
        status, lines = self.probe.call("count", title)
        return int(fields(lines[0])["count"])

    def foreground_title(self):
        status, lines = self.probe.call("foreground")
        return lines[0].split("title=", 1)[1]

    def box(self, timeout=10, dismiss=True, name="box", caption="Error"):
        """Waits for a message box ("Error" unless told), keeps a screenshot, returns its text."""
        status, lines = self.probe.call("box", caption, int(timeout * 1000))
        check(status == 0, "no message box appeared")
        text = lines[0].split("text=", 1)[1]
        self.shot(name)
        if dismiss:
            status, lines = self.probe.call("box", caption, 2000, "dismiss")
            check(status == 0 and "dismissed" in lines, "the box did not go")
        return text

    def no_box_beyond(self, boxes, watch=1.0):
        """For `watch` seconds no more than `boxes` message boxes are open."""
        deadline = time.monotonic() + watch
        while time.monotonic() < deadline:
            check(self.count("Error") <= boxes, "more than %d message boxes" % boxes)
            time.sleep(0.05)

    def no_box(self, watch=1.0):
        status, lines = self.probe.call("nobox", "Error", int(watch * 1000))
        check(status == 0, "an unexpected message box: %s" % lines)

    def has_focus(self, title, control_id):
        status, lines = self.probe.call("focus", title)
        return status == 0 and fields(lines[0]).get("focus") == str(control_id)

    def type_into(self, title, control_id, text):
        """Clicks into an edit and types, as a person would, until it holds that many characters.

        Keys typed before Wine has moved the focus to the clicked edit are lost
        (seen now and then on a busy machine): the typing waits for the edit
        and the focus in it, and a person whose keys did not show clears the
        field and types again."""
        def arrived():
            return len(self.control(title, control_id)["text"]) == len(text)
        # The prompt's window can be found before its dialog controls exist.
        poll(lambda: self.probe.call("control", title, control_id)[0] == 0, 5,
             what="control %d of %r" % (control_id, title))
        for attempt in (1, 2):
            self.click_control(title, control_id)
            poll(lambda: self.has_focus(title, control_id), 5, what="the focus in control %d" % control_id)
            self.type_text(text)
            try:
                return poll(arrived, 5, what="the typed text")
            except Failure:
                log("  %s: the typed text did not arrive (foreground: %r)%s"
                    % (self.scenario, self.foreground_title(), "; typing it again" if attempt == 1 else ""))
                self.probe.call("settext", title, control_id, "")
        # Keys lost twice over are Wine's and Xvfb's matter, not the program's:
        # the text is then put into the edit from outside, and the step goes on.
        log("  %s: keys lost twice; the text is set into control %d instead" % (self.scenario, control_id))
        self.probe.call("settext", title, control_id, text)
        poll(arrived, 5, what="the text set from outside")

    def login(self, password, expect_title=LOGIN):
        """Types into the open prompt as a person would: click, type, press OK."""
        self.wait_window(expect_title)
        self.type_into(LOGIN, 1002, password)
        self.shot("login-typed")
        self.click_control(LOGIN, 1001)

    def children(self, title):
        status, lines = self.probe.call("children", title)
        check(status == 0, "window %r not found" % title)
        return [fields(line) for line in lines]

    # -- the program
    def start(self, name="ventrix", startup_boxes=("D", "E"), trace=True, exe=None):
        """Starts ventrix.exe and dismisses the lock messages of its first apply pass."""
        program = Program(self, name, trace, exe)
        self.programs.append(program)
        for letter in startup_boxes:
            text = self.box(timeout=15, name="startup-lock-%s" % letter)
            check(text == "The removable media in %s:\\ drive is locked" % letter,
                  "start-up box for %s: read %r" % (letter, text))
        return program

    def wait_agent(self, minimum=1):
        poll(lambda: self.count(AGENT) >= minimum, 10, what="the agent window")

    # -- the policy file
    def read_conf(self, path=None):
        """Decodes Tamrel.conf through DPAPI. Linux processes are not blocked by
        the program's exclusive hold, so a copy is taken for the probe."""
        path = path or self.conf_path
        check(os.path.exists(path), "no %s" % path)
        copy = os.path.join(self.work, "conf-copy.bin")
        shutil.copyfile(path, copy)
        status, lines = self.probe.call("conf", copy)
        check(status == 0, "cannot decode the policy file: %s" % lines)
        conf = {"password": None, "drives": {}, "media": [], "trusted": [], "records": [],
                "read-only": {}, "journal": [], "raw": open(path, "rb").read()}
        for line in lines:
            f = fields(line)
            if line.startswith("password="):
                conf["password"] = line[len("password="):]
            elif line.startswith("drive "):
                conf["drives"][f["letter"]] = int(f["locked"])
            elif line.startswith("media "):
                conf["media"].append((f["label"], int(f["serial"], 16), int(f["type"])))
            elif line.startswith("trusted "):
                conf["trusted"].append((f["label"], int(f["serial"], 16), int(f["type"])))
            elif line.startswith("record "):
                conf["records"].append(f["tag"])
            elif line.startswith("readonly-drive "):
                conf["read-only"][f["letter"]] = int(f["flag"])
            elif line.startswith("readonly-disk "):
                conf["journal"].append((int(f["disk"]), f["letter"]))
        return conf

    def make_conf(self, *items):
        status, lines = self.probe.call("makeconf", self.conf_path, *items)
        check(status == 0, "cannot write the starting policy file: %s" % lines)

    def file_held(self):
        status, lines = self.probe.call("held", self.conf_path)
        return status == 0

    def arrive(self, mask, variant="volume"):
        """Sends the arrival from a separate probe process: the program answers
        only once its lock message is dismissed."""
        return subprocess.Popen(["wine", self.e.probe_exe, "arrive", hex(mask), variant], env=self.e.wine_env(),
                                cwd=self.work, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL)


def finish(process, timeout=10):
    try:
        return process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        raise Failure("a sender did not return")



# ---------------------------------------------------------------- scenarios

LOCK_TEXT = "The removable media in %s:\\ drive is locked"
READ_ONLY_TEXT = "The removable media in %s:\\ drive could not be made read-only and is locked"


def close_from_outside(session, program):
    status, _ = session.probe.call("close", AGENT)
    check(status == 0, "no agent window to close")
    code = program.wait_exit()
    check(code == EXIT_CODE, "exit code %s, wanted %s" % (code, EXIT_CODE))


def exit_with_password(session, program, password=DEFAULT_PASSWORD):
    session.menu_click("Exit")
    session.login(password)
    code = program.wait_exit()
    check(code == EXIT_CODE, "exit code %s, wanted %s" % (code, EXIT_CODE))
    return code


def scenario_first_run(s):
    check(not os.path.exists(s.conf_path), "the working directory is not fresh")
    # Watch the agent window from before the program starts until it runs.
    watcher = subprocess.Popen(["wine", s.e.probe_exe, "watch", AGENT, "6000"], env=s.e.wine_env(), cwd=s.work,
                               stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    program = s.start()
    s.wait_tray("locked")
    s.shot("tray-locked")
    conf = s.read_conf()
    check(conf["password"] == DEFAULT_PASSWORD, "password in file: %r" % conf["password"])
    check(conf["drives"] == {"D": 1, "E": 1}, "seeded drives: %r (A: must be left out)" % conf["drives"])
    check(conf["media"] == [], "media on a first run: %r" % conf["media"])
    check(conf["records"] == ["5A", "5B", "5B"], "record order: %r" % conf["records"])
    check(s.file_held(), "the running program does not hold Tamrel.conf")
    out, _ = watcher.communicate(timeout=20)
    watch = fields(out.decode())
    check(int(watch["present"]) > 0, "the agent window was never there: %r" % watch)
    check(int(watch["visible"]) == 0, "the agent window became visible: %r" % watch)
    info = s.wait_window(AGENT)
    check(info["visible"] == "0", "agent window visible: %r" % info)
    # Start-up locked both seeded drives.
    events = program.events()
    check(("D", FSCTL_LOCK) in events and ("E", FSCTL_LOCK) in events, "no lock requests: %r" % events)
    check(not any(d == "A" for d, _ in events), "A: was touched: %r" % events)
    close_from_outside(s, program)


def scenario_menu_unlock_lock(s):
    program = s.start()
    s.wait_tray("locked")
    check(s.menu_first_item() == "Unlock", "with protection on the menu does not read Unlock")
    program.set_mark()
    s.menu_click("Unlock")
    s.login(DEFAULT_PASSWORD)
    s.wait_gone(LOGIN)
    s.wait_tray("unlocked")
    s.shot("tray-unlocked")
    released = program.events_since_mark()
    for letter in "DE":
        check((letter, FSCTL_UNLOCK) in released and (letter, FSCTL_DISMOUNT) in released,
              "%s: not released on unlock: %r" % (letter, released))
    check(s.menu_first_item() == "Lock", "after unlocking the menu does not read Lock")
    # Explorer restarted: every icon is gone until its program adds it again.
    check(s.probe.call("traydelete", AGENT)[0] == 0, "the icon could not be removed from outside")
    s.wait_tray(None)
    check(s.probe.call("taskbarcreated")[0] == 0, "TaskbarCreated was not delivered")
    s.wait_tray("unlocked")
    s.shot("tray-back-after-taskbar")
    # Lock needs no password: the apply pass runs at once (its lock messages).
    s.menu_click("Lock")
    for letter in "DE":
        text = s.box(name="lock-apply-%s" % letter)
        check(text == LOCK_TEXT % letter, "apply pass box: %r" % text)
    s.wait_tray("locked")
    check(s.count(LOGIN) == 0, "Lock asked for a password")
    check(s.menu_first_item() == "Unlock", "after Lock the menu does not read Unlock")
    close_from_outside(s, program)


def scenario_wrong_password(s):
    program = s.start()
    s.wait_tray("locked")
    before = s.read_conf()
    program.set_mark()
    s.menu_click("Unlock")
    s.login(DEFAULT_PASSWORD.upper())
    text = s.box(dismiss=False, name="invalid-password")
    check(text == "Invalid Password", "box text %r" % text)
    status, lines = s.probe.call("box", "Error", 1000, "dismiss")
    check(status == 0, "could not dismiss")
    # The prompt stays, with the whole typed text selected for retyping.
    info = s.wait_window(LOGIN)
    status, lines = s.probe.call("getsel", LOGIN, 1002)
    sel = fields(lines[0])
    check(sel["start"] == "0" and sel["end"] == sel["length"] == str(len(DEFAULT_PASSWORD)),
          "typed text not selected: %r" % sel)
    s.shot("prompt-after-wrong")
    # Guessing costs time: the fourth wrong one in a row disables the edit
    # and OK, with the seconds left on a line of their own.
    for attempt in (2, 3, 4):
        s.probe.call("settext", LOGIN, 1002, "")  # as a person would clear it before retyping
        s.login("guess-%d" % attempt)
        check(s.box(name="invalid-%d" % attempt) == "Invalid Password", "try %d not refused" % attempt)
        waiting = not s.control(LOGIN, 1002)["enabled"] == "1"
        check(waiting == (attempt == 4), "try %d: the edit %s" % (attempt, "is not disabled" if attempt == 4
                                                                   else "is disabled too early"))
    check(s.control(LOGIN, 1001)["enabled"] == "0", "OK is not disabled while waiting")
    line = s.control(LOGIN, 1030)
    check(line["visible"] == "1" and re.match(r"Try again in [12] seconds?$", line["text"]), "wait line: %r" % line)
    s.shot("prompt-waiting")
    status, _ = s.probe.call("command", LOGIN, 1001)  # a script's OK while waiting is no try
    s.no_box(0.3)
    check(s.menu_first_item() == "Unlock", "the tray does not answer during the wait")
    poll(lambda: s.control(LOGIN, 1002)["enabled"] == "1", 5, what="the edit enabled again after the wait")
    check(s.control(LOGIN, 1030)["visible"] == "0", "the wait line stays")
    # A try is counted before its box shows: one sent into the prompt while
    # that box is still open meets the wait, and opens no second box.
    wrong_before = sum(1 for e in program.audit_events() if e[0] == 3100)
    s.login("guess-5")
    s.box(dismiss=False, name="invalid-5")
    s.probe.call("settext", LOGIN, 1002, "guess-6")
    s.probe.call("command", LOGIN, 1001)
    s.no_box_beyond(1, 0.5)
    check(sum(1 for e in program.audit_events() if e[0] == 3100) == wrong_before + 1,
          "a try sent while Invalid Password was open was taken: %r" % program.audit_events())
    s.probe.call("box", "Error", 2000, "dismiss")
    s.click_control(LOGIN, 1000)
    s.wait_gone(LOGIN)
    s.wait_tray("locked")
    check(program.events_since_mark() == [], "a wrong password touched drives: %r" % program.events_since_mark())
    after = s.read_conf()
    check(after["raw"] == before["raw"], "a wrong password rewrote Tamrel.conf")
    check(s.menu_first_item() == "Unlock", "protection changed after a wrong password")
    close_from_outside(s, program)


def scenario_single_login(s):
    program = s.start()
    s.wait_tray("locked")
    s.menu_click("Unlock")
    s.wait_window(LOGIN)
    check(s.count(LOGIN) == 1, "no prompt")
    # Move the focus away, as a person would by clicking elsewhere.
    s.click(200, 200)
    for command in ("Unlock", "Exit"):
        s.menu_click(command)
        poll(lambda: s.foreground_title() == LOGIN, 5, what="the prompt brought forward after %s" % command)
        check(s.count(LOGIN) == 1, "%s opened a second prompt" % command)
        s.shot("prompt-forward-%s" % command.lower())
        s.click(200, 200)
    # The prompt is still the Unlock one: the Exit choice was not carried out.
    s.login(DEFAULT_PASSWORD)
    s.wait_gone(LOGIN)
    s.wait_tray("unlocked")
    check(program.alive(), "the program ended: the second choice (Exit) was carried out")
    close_from_outside(s, program)


def scenario_arrival_locked(s):
    program = s.start()
    s.wait_tray("locked")
    s.wait_agent()
    # One arrival naming two drives (a card reader, a stick with two
    # partitions): each is handled, in letter order.
    program.set_mark()
    sender = s.arrive(0x8 | 0x10)
    for letter in "DE":
        check(s.box(name="arrival-two-%s" % letter) == LOCK_TEXT % letter, "two-drive arrival: no box for %s" % letter)
    finish(sender)
    events = program.events_since_mark()
    check(("D", IOCTL_EJECT) in events and ("E", IOCTL_EJECT) in events, "two-drive arrival: %r" % events)
    for letter, mask in (("D", 0x8), ("E", 0x10)):
        program.set_mark()
        sender = s.arrive(mask)
        text = s.box(name="arrival-%s" % letter)
        check(text == LOCK_TEXT % letter, "arrival box: %r" % text)
        finish(sender)
        events = program.events_since_mark()
        check((letter, IOCTL_EJECT) in events, "no eject for %s: %r" % (letter, events))
    # Protection off: an arrival does nothing.
    s.menu_click("Unlock")
    s.login(DEFAULT_PASSWORD)
    s.wait_tray("unlocked")
    program.set_mark()
    sender = s.arrive(0x8)
    check(finish(sender) == 0, "the arrival was not delivered")
    s.no_box(1.0)
    check(program.events_since_mark() == [], "unlocked, yet the arrival touched drives: %r"
          % program.events_since_mark())
    s.shot("arrival-ignored")
    # Lock turns it back on.
    s.menu_click("Lock")
    for letter in "DE":
        s.box(name="lock-apply-%s" % letter)
    s.wait_tray("locked")
    program.set_mark()
    sender = s.arrive(0x8)
    text = s.box(name="arrival-after-lock")
    check(text == LOCK_TEXT % "D", "after Lock: %r" % text)
    finish(sender)
    check(("D", IOCTL_EJECT) in program.events_since_mark(), "no eject after Lock")
    close_from_outside(s, program)


def scenario_exit_password(s):
    program = s.start()
    s.wait_tray("locked")
    first = s.read_conf()
    os.utime(s.conf_path, (1, 1))  # so that the exit save shows in the time stamp
    program.set_mark()
    exit_with_password(s, program)
    s.wait_tray(None)
    s.shot("tray-gone")
    events = program.events_since_mark()
    for letter in "DE":
        check((letter, FSCTL_UNLOCK) in events and (letter, FSCTL_DISMOUNT) in events,
              "%s not released at exit: %r" % (letter, events))
    check(os.stat(s.conf_path).st_mtime > 1, "Tamrel.conf was not written at exit")
    last = s.read_conf()
    check(last["password"] == DEFAULT_PASSWORD and last["drives"] == first["drives"],
          "file after exit: %r" % last)
    check(not s.file_held(), "Tamrel.conf still held after exit")


def scenario_exit_beside_a_namesake(s):
    """Another program's window titled like the agent window, made after the
    agent (so it comes first in a title search), must not be taken for it:
    the exit password still ends this program."""
    program = s.start()
    s.wait_tray("locked")
    decoy = subprocess.Popen(["wine", s.e.probe_exe, "decoy", AGENT], env=s.e.wine_env(), cwd=s.work,
                             stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        poll(lambda: s.count(AGENT) == 2, 10, what="the namesake window beside the agent")
        exit_with_password(s, program)
        s.wait_tray(None)
        s.shot("tray-gone")
        check(s.count(AGENT) == 1, "the namesake window was destroyed or the agent survived")
        check(decoy.poll() is None, "the other program ended")
    finally:
        decoy.kill()
        decoy.wait(10)


def scenario_close_from_outside(s):
    program = s.start()
    s.wait_tray("locked")
    os.utime(s.conf_path, (1, 1))
    program.set_mark()
    close_from_outside(s, program)
    s.wait_tray(None)
    s.shot("tray-gone")
    events = program.events_since_mark()
    check(not any(code in (FSCTL_UNLOCK, FSCTL_DISMOUNT) for _, code in events),
          "WM_CLOSE released drives: %r" % events)
    check(os.stat(s.conf_path).st_mtime > 1, "Tamrel.conf was not written at exit")
    check(s.read_conf()["drives"] == {"D": 1, "E": 1}, "file after close")


def scenario_session_end(s):
    """Logoff or shutdown: Windows ends the session and the process. What
    changed since the last save (here a drive first met by an arrival) is
    saved as at exit, and the exit is reported; protection stays on."""
    program = s.start()
    s.wait_tray("locked")
    s.wait_agent()
    sender = s.arrive(1 << (ord("G") - ord("A")))  # no such drive: the eject cannot open it
    check(s.box(name="new-drive-unable") == "Unable to open device", "no refused eject")
    check(s.box(name="new-drive-G") == LOCK_TEXT % "G", "no lock message for the new drive")
    finish(sender)
    check("G" not in s.read_conf()["drives"], "the arrival saved already")
    program.set_mark()
    code, output = s.e.run(["wineboot", "--end-session"], timeout=60)
    check(code == 0, "wineboot --end-session failed: %s" % output)
    program.wait_exit()
    check(s.read_conf()["drives"] == {"D": 1, "E": 1, "G": 1}, "not saved at the session's end: %r"
          % s.read_conf()["drives"])
    check(program.events_since_mark() == [], "drives were released at the session's end")
    check([e[0] for e in program.audit_events()][-1] == 4000, "no exit event at the session's end")


MANAGED_KEY = r"HKCU\Software\Policies\Ventrix"
# Lower case only: xdotool types an upper-case letter beyond ASCII as its lower case.
ADMIN_PASS = "äpfel-öl-straße"


def managed_policy_steps(s):
    """Values an administrator writes under Software\Policies\Ventrix take
    effect at start-up and, after Group Policy's refresh broadcast, without a
    restart; none of them reaches Tamrel.conf."""
    def reg(*args):
        code, output = s.e.run(["wine", "reg", "add", MANAGED_KEY + args[0]] + list(args[1:]) + ["/f"])
        check(code == 0, "reg add failed: %s" % output)

    def refresh():
        status, _ = s.probe.call("settingchange", "Policy")
        check(status == 0, "the policy broadcast was not delivered")

    # A malformed verifier is ignored and reported; the owner's password stays in force.
    reg("", "/v", "PasswordVerifier", "/t", "REG_SZ", "/d", "$pbkdf2-sha256$i=1000$short$hash")
    s.make_conf("password=local-pw", "drive=D:0", "drive=E:0")
    program = s.start(startup_boxes=())
    s.wait_tray("locked")
    check([5100, ["PasswordVerifier", "is malformed and is ignored"]] in [[e[0], e[2]] for e in program.audit_events()],
          "no 5100 for the verifier")
    s.menu_click("Unlock")
    s.login("local-pw")
    s.wait_tray("unlocked")
    s.menu_click("Lock")
    s.wait_tray("locked")

    # The tool's verifier (of a passphrase beyond ASCII: verifiers are made of
    # UTF-8) and a managed locked medium, taken in by the refresh.
    hash_exe = os.path.join(os.path.dirname(s.e.exe), "ventrix-hash.exe")
    with tempfile.TemporaryFile() as out:
        done = subprocess.run(["wine", hash_exe], input=ADMIN_PASS.encode() + b"\n", stdout=out, stderr=subprocess.DEVNULL,
                              env=s.e.wine_env(), cwd=s.work, timeout=120)
        out.seek(0)
        verifier = out.read().decode().strip()
    check(done.returncode == 0 and verifier.startswith("$pbkdf2-sha256$i=600000$"), "tool gave %r" % verifier)
    reg("", "/v", "PasswordVerifier", "/t", "REG_SZ", "/d", verifier)
    reg(r"\LockedMedia", "/v", "1", "/t", "REG_SZ", "/d", "VENTRIXCD|1A2B3C4D|cdrom")
    refresh()
    poll(lambda: any(e[0] == 1002 for e in program.audit_events()), 10, what="the change reported (1002)")
    program.set_mark()
    sender = s.arrive(0x8)
    check(s.box(name="managed-medium") == LOCK_TEXT % "D", "the managed medium was not ejected")
    finish(sender)
    check(("D", IOCTL_EJECT) in program.events_since_mark(), "no eject for the managed medium")

    # LockAllDrives: the locally unlocked drives are ejected by the refresh's
    # apply pass, but for the stick the administrator trusts (the PC's own
    # trusted list is empty).
    reg("", "/v", "LockAllDrives", "/t", "REG_DWORD", "/d", "1")
    reg(r"\TrustedMedia", "/v", "1", "/t", "REG_SZ", "/d", "STICK|0BADF00D|removable")
    program.set_mark()
    refresh()
    check(s.box(name="lock-all-D") == LOCK_TEXT % "D", "LockAllDrives did not eject D")
    s.no_box(0.8)
    check(requests_on(program.events_since_mark(), "E") == [], "the stick trusted by policy was touched")
    check((2001, INFORMATION, ["E:\\", "STICK", "BADF00D"]) in program.audit_events(), "no 2001 for the stick")

    # Group Policy's refresh broadcasts (machine, then user) with nothing changed: no request, no write.
    before = s.read_conf()["raw"]
    program.set_mark()
    refresh()
    refresh()
    s.no_box(0.8)
    check(program.events_since_mark() == [], "a refresh that changed nothing touched drives: %r"
          % program.events_since_mark())
    check(s.read_conf()["raw"] == before, "a refresh that changed nothing rewrote Tamrel.conf")

    # Only the verifier's password opens the prompt now.
    s.menu_click("Configuration")
    s.login("local-pw")
    check(s.box(name="local-refused") == "Invalid Password", "the local password still opens")
    s.probe.call("settext", LOGIN, 1002, "")
    s.login(ADMIN_PASS)
    s.wait_window(CONFIG)
    check(drive_rows(s) == [("D:\\", "Locked (policy)"), ("E:\\", "Locked (policy)")], "rows %r" % drive_rows(s))
    click_row(s, CONFIG, 1009, "VENTRIXCD (managed)")
    s.click_control(CONFIG, 1013)
    check(s.box(caption="Ventrix", name="managed-delete") == "This medium is set by your administrator.",
          "a managed medium could be deleted")
    s.click_control(CONFIG, 1021)
    check(s.box(caption="Ventrix", name="managed-password") == "The password is set by your administrator.",
          "Password... opened under a verifier")
    s.click_control(CONFIG, 1000)
    s.wait_gone(CONFIG)
    exit_with_password(s, program, ADMIN_PASS)
    conf = s.read_conf()
    check(conf["password"] == "local-pw" and conf["drives"] == {"D": 0, "E": 0} and conf["media"] == [],
          "the policy reached the file: %r" % conf)


def scenario_managed_policy(s):
    try:
        managed_policy_steps(s)
    finally:  # the prefix serves the scenarios after this one
        s.e.run(["wine", "reg", "delete", MANAGED_KEY, "/f"])


def scenario_second_copy(s):
    # The owner's policy: another password, D: left unlocked.
    s.make_conf("password=first-copy", "drive=D:0", "drive=E:1")
    first = s.start("first", startup_boxes=("E",))
    s.wait_tray("locked")
    s.wait_agent()
    original = s.read_conf()
    check(original["password"] == "first-copy", "the starting file: %r" % original)
    # A second copy on the same folder (Start menu beside the logon copy) says so and ends.
    second = s.start("second", startup_boxes=())
    text = s.box(caption="Ventrix", name="already-running")
    check(text == "Ventrix is already running.", "second copy's box: %r" % text)
    code = second.wait_exit()
    check(code == EXIT_CODE, "second copy exit code %s" % code)
    check(first.alive() and s.count(AGENT) == 1, "the second copy ran or ended the first")
    check(s.read_conf()["raw"] == original["raw"], "the second copy wrote the file")
    # The first copy ends first; the owner's policy is what it saved.
    exit_with_password(s, first, "first-copy")
    owners = s.read_conf()
    check(owners["password"] == "first-copy" and owners["drives"] == {"D": 0, "E": 1}, "first exit: %r" % owners)
    # A copy that finds the file held by another program locks every drive as
    # on a first run, and never writes the file: not even after the holder let
    # go, not at its own exit.
    status, _ = s.probe.call("holdfile", s.conf_path)
    check(status == 0, "cannot hold the file")
    third = s.start("third", startup_boxes=("D", "E"))
    s.wait_tray("locked")
    status, _ = s.probe.call("releasefile")
    exit_with_password(s, third)
    check(s.read_conf()["raw"] == owners["raw"], "the copy that could not read the file replaced it")
    refused = [e for e in third.audit_events() if e[0] == 5000]
    check(len(refused) == 1 and "could not be opened at start-up" in refused[0][2][0],
          "the refused file was not reported: %r" % third.audit_events())


def scenario_lookalike_windows(s):
    """Other programs' windows titled "Ventrix" (Explorer on the data folder)
    and "Login" (a look-alike prompt) change nothing: Unlock opens our own
    prompt, Configuration opens, Exit ends this program."""
    program = s.start()
    s.wait_tray("locked")
    decoys = [subprocess.Popen(["wine", s.e.probe_exe, "decoy", title], env=s.e.wine_env(), cwd=s.work,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
              for title in (CONFIG, LOGIN)]
    try:
        poll(lambda: s.count(CONFIG) == 1 and s.count(LOGIN) == 1, 10, what="the look-alike windows")
        s.menu_click("Unlock")
        poll(lambda: s.count(LOGIN) == 2, 5, what="our own prompt beside the look-alike")
        s.login(DEFAULT_PASSWORD)
        s.wait_tray("unlocked")
        s.menu_click("Lock")
        for letter in "DE":
            s.box(name="lock-apply-%s" % letter)
        s.wait_tray("locked")
        s.menu_click("Configuration")
        s.login(DEFAULT_PASSWORD)
        poll(lambda: s.count(CONFIG) == 2 and s.count(LOGIN) == 1, 5, what="the configuration dialog")
        s.shot("configuration-beside-lookalikes")
        s.click_control(CONFIG, 1000)
        poll(lambda: s.count(CONFIG) == 1, 5, what="the configuration dialog to close")
        exit_with_password(s, program)
        check(all(d.poll() is None for d in decoys), "a look-alike window's program ended")
    finally:
        for decoy in decoys:
            decoy.kill()
            decoy.wait(10)


def scenario_untrusted_messages(s):
    program = s.start()
    s.wait_tray("locked")
    s.wait_agent()
    program.set_mark()
    for variant in ("nodes-null", "arrival-null", "short", "tiny", "port", "removal"):
        sender = s.arrive(0x8, variant)
        check(finish(sender) == 0, "the %s device change was not delivered" % variant)
        s.no_box(0.5)
        check(program.alive(), "the program died on a %s device change" % variant)
    check(program.events_since_mark() == [], "odd device changes touched drives: %r" % program.events_since_mark())
    # Tray callbacks other than a right-button press open nothing.
    for mouse in (0x0201, 0x0202, 0x0203, 0x0205, 0x0200, 0, 0xFFFFFFFF):
        status, _ = s.probe.call("post", AGENT, 1031, 0, mouse)
        check(status == 0, "could not post the tray callback")
    status, lines = s.probe.call("menu", 700)
    check(status == 1, "an odd tray callback opened the menu")
    # Commands the program does not have do nothing.
    for wparam in (0, 1, 2, 1000, 1001, 40010, 40011, 0xFFFF, 0x7FFF0000):
        status, _ = s.probe.call("command", AGENT, wparam)
        check(status == 0, "could not post WM_COMMAND")
    for title in (LOGIN, CONFIG, ABOUT):
        status, _ = s.probe.call("wait", title, 300)
        check(status == 1, "an unknown command opened %r" % title)
    s.no_box(0.3)
    check(program.alive(), "the program died on odd messages")
    s.shot("after-odd-messages")
    # It still works: a real arrival is still handled.
    sender = s.arrive(0x8)
    check(s.box(name="arrival-still-works") == LOCK_TEXT % "D", "arrival after odd messages")
    finish(sender)
    close_from_outside(s, program)


# -- the configuration dialog and its companions

CONFIG_POLICY = ("password=cfg-secret", "drive=D:0", "drive=E:1", "drive=F:1",
                 "media=ARCHIVE2019:C0FFEE:5", "media=OLDSTICK:1234:2")


def open_configuration(s, password="cfg-secret"):
    s.menu_click("Configuration")
    s.login(password)
    s.wait_window(CONFIG)
    s.wait_gone(LOGIN)
    s.shot("configuration")


def list_rows(s, title, control_id):
    # A dialog is found by its title a moment before its controls exist.
    answer = []
    poll(lambda: answer.append(s.probe.call("listview", title, control_id)) or answer[-1][0] == 0, 5,
         what="list %s of %r" % (control_id, title))
    status, lines = answer[-1]
    check(status == 0, "list %s of %r unreadable: %s" % (control_id, title, lines))
    rows = []
    for line in lines[1:]:
        rows.append(dict(part.split("=", 1) for part in line.split("\t")))
    return rows


def drive_rows(s):
    return [(r["text"], r["sub1"]) for r in list_rows(s, CONFIG, 1007)]


def click_row(s, title, control_id, text):
    rows = list_rows(s, title, control_id)
    index = [r["text"] for r in rows].index(text)
    status, lines = s.probe.call("listrect", title, control_id, index)
    check(status == 0, "no rectangle for row %r" % text)
    l, t, r, b = map(int, re.search(r"rect=(.*)", lines[0]).group(1).split(","))
    s.click((l + r) // 2, (t + b) // 2)


def start_configured(s):
    s.make_conf(*CONFIG_POLICY)
    program = s.start(startup_boxes=("E",))
    s.wait_tray("locked")
    return program


def scenario_configuration_lists(s):
    program = start_configured(s)
    # The default password no longer opens it.
    s.menu_click("Configuration")
    s.login(DEFAULT_PASSWORD)
    check(s.box(name="config-wrong-password") == "Invalid Password", "default password accepted")
    s.click_control(LOGIN, 1000)
    s.wait_gone(LOGIN)
    open_configuration(s)
    check(drive_rows(s) == [("D:\\", "Unlocked"), ("E:\\", "Locked"), ("F:\\", "Locked")],
          "drives list: %r" % drive_rows(s))
    media = [(r["text"], r["param"]) for r in list_rows(s, CONFIG, 1009)]
    check(media == [("ARCHIVE2019", "C0FFEE"), ("OLDSTICK", "1234")], "media list: %r" % media)
    # A second Configuration while it is open does nothing.
    s.menu_click("Configuration")
    check(s.count(LOGIN) == 0 and s.count(CONFIG) == 1, "a second Configuration opened something")
    s.click_control(CONFIG, 1000)
    s.wait_gone(CONFIG)
    close_from_outside(s, program)


def scenario_configuration_toggle_apply(s):
    program = start_configured(s)
    open_configuration(s)
    click_row(s, CONFIG, 1007, "D:\\")
    poll(lambda: ("D:\\", "Locked") in drive_rows(s), 5, what="D: shown locked")
    check(drive_rows(s) == [("D:\\", "Locked"), ("E:\\", "Locked"), ("F:\\", "Locked")],
          "one click toggled more than D: %r" % drive_rows(s))
    s.shot("toggled")
    before = s.read_conf()
    check(before["drives"]["D"] == 0, "the toggle reached the file before Apply")
    s.click_control(CONFIG, 1016)
    for letter in "DE":
        check(s.box(name="apply-%s" % letter) == LOCK_TEXT % letter, "apply pass box")
    s.wait_gone(CONFIG)
    after = s.read_conf()
    check(after["drives"] == {"D": 1, "E": 1, "F": 1}, "file after Apply: %r" % after["drives"])
    check(after["password"] == "cfg-secret" and len(after["media"]) == 2, "Apply lost data: %r" % after)
    close_from_outside(s, program)


def scenario_configuration_add_media(s):
    program = start_configured(s)
    open_configuration(s)
    s.click_control(CONFIG, 1012)
    s.wait_window(ADD_ITEM)
    s.shot("add-item")
    rows = [(r["text"], r["sub1"], r["param"]) for r in list_rows(s, ADD_ITEM, 1007)]
    check(rows == [("D:\\", "VENTRIXCD", "1A2B3C4D"), ("E:\\", "STICK", "BADF00D")],
          "present media (A: must not be listed): %r" % rows)
    click_row(s, ADD_ITEM, 1007, "D:\\")
    s.click_control(ADD_ITEM, 1012)
    s.wait_gone(ADD_ITEM)
    media = [(r["text"], r["param"], r["image"]) for r in list_rows(s, CONFIG, 1009)]
    check(("VENTRIXCD", "1A2B3C4D", "3") in media, "added medium not listed: %r" % media)
    s.shot("medium-added")
    s.click_control(CONFIG, 1016)
    s.box(name="apply-E")  # D: stays unlocked: the listed medium is left in place
    s.wait_gone(CONFIG)
    s.no_box(0.5)
    conf = s.read_conf()
    check(("VENTRIXCD", 0x1A2B3C4D, 5) in conf["media"], "medium not in the file: %r" % conf["media"])
    check(conf["drives"]["D"] == 0, "Add changed D:'s flag")
    close_from_outside(s, program)


def scenario_configuration_cancel_keeps(s):
    program = start_configured(s)
    before = s.read_conf()
    open_configuration(s)
    click_row(s, CONFIG, 1007, "E:\\")
    poll(lambda: ("E:\\", "Unlocked") in drive_rows(s), 5, what="E: shown unlocked")
    s.click_control(CONFIG, 1000)
    s.wait_gone(CONFIG)
    s.no_box(0.5)
    check(s.read_conf()["raw"] == before["raw"], "Cancel wrote Tamrel.conf")
    # The change is in force: an arrival on E: (unlocked, medium not listed) is let be.
    program.set_mark()
    finish(s.arrive(0x10))
    s.no_box(0.8)
    check((("E", IOCTL_EJECT)) not in program.events_since_mark(), "E: still treated as locked")
    exit_with_password(s, program, "cfg-secret")
    conf = s.read_conf()
    check(conf["drives"] == {"D": 0, "E": 0, "F": 1}, "exit save: %r" % conf["drives"])


def scenario_cross_build_policy(s):
    """A policy file written by one build loads unchanged in the other: the x64
    probe writes it, the x86 exe runs on it and saves it at exit, then the x64
    exe runs on what the x86 one wrote."""
    peer = s.e.peer_exe
    if not peer or not os.path.exists(peer):
        raise Skipped("no x86 build beside this one")
    if not can_run_32bit():
        raise Skipped("this machine cannot start 32-bit programs")
    password = "CrossBuild7"
    s.make_conf("password=" + password, "drive=D:0", "drive=E:1", "media=ARCHIVE2019:C0FFEE:5",
                "media=OLDSTICK:1234:2")
    written = s.read_conf()
    for name, exe in (("x86", peer), ("x64", s.e.exe)):
        program = s.start(name, startup_boxes=("E",), exe=exe)
        s.wait_tray("locked")
        s.shot("running-" + name)
        exit_with_password(s, program, password)
        s.wait_tray(None)
        saved = s.read_conf()
        for key in ("password", "drives", "media", "records"):
            check(saved[key] == written[key], "%s after the %s build saved: %r, wrote %r"
                  % (key, name, saved[key], written[key]))


CHANGE_PASSWORD = "Change Password"
HINT = '--> The password is "%s" <--' % DEFAULT_PASSWORD


def hint_visible(s):
    hints = [c for c in s.children(LOGIN) if c["text"] == HINT]
    check(len(hints) == 1, "the prompt lost its hint line")
    return hints[0]["visible"] == "1"


def scenario_change_password(s):
    """Configuration -> Password... -> change -> Apply; Exit with the new one;
    the next start's prompt has no hint and takes only the new password."""
    new = "Tr4il-Owl"
    program = s.start()
    s.wait_tray("locked")
    s.menu_click("Configuration")
    s.wait_window(LOGIN)
    check(hint_visible(s), "the hint is hidden while the password is the default")
    s.login(DEFAULT_PASSWORD)
    s.wait_window(CONFIG)
    s.click_control(CONFIG, 1021)
    s.wait_window(CHANGE_PASSWORD)
    for control_id, text in ((1022, DEFAULT_PASSWORD), (1023, new), (1024, new)):
        s.type_into(CHANGE_PASSWORD, control_id, text)
    s.shot("change-password")
    s.click_control(CHANGE_PASSWORD, 1001)
    check(s.box(caption="Ventrix", name="changed") == "The password has been changed.", "no confirmation")
    s.wait_gone(CHANGE_PASSWORD)
    check(s.read_conf()["password"] == new, "the new password was not saved at once")
    s.click_control(CONFIG, 1016)
    for letter in "DE":
        s.box(name="apply-%s" % letter)
    s.wait_gone(CONFIG)
    exit_with_password(s, program, new)

    program = s.start("second")
    s.wait_tray("locked")
    s.menu_click("Unlock")
    s.wait_window(LOGIN)
    check(not hint_visible(s), "the hint still names the old default")
    s.shot("prompt-without-hint")
    s.login(DEFAULT_PASSWORD)
    check(s.box(name="old-password") == "Invalid Password", "the old password was accepted")
    s.click_control(LOGIN, 1000)
    s.wait_gone(LOGIN)
    s.menu_click("Unlock")
    s.login(new)
    s.wait_tray("unlocked")
    check(s.read_conf()["password"] == new, "the file lost the new password")
    close_from_outside(s, program)


INFORMATION, WARNING, ERROR = 4, 2, 1  # event log types


def scenario_audit_trail(s):
    """The events of a start with a listed medium, a wrong and a right unlock,
    Lock and exit, read from the program's own trace of ReportEventA."""
    s.make_conf("password=audit-pw", "drive=D:0", "drive=E:0", "media=VENTRIXCD:1A2B3C4D:5")
    program = s.start(startup_boxes=("D", "D"))  # the sweep ejects the listed disc, the apply pass again
    s.wait_tray("locked")
    s.menu_click("Unlock")
    s.login("wrong-guess")
    check(s.box(name="wrong-unlock") == "Invalid Password", "no refusal")
    s.click_control(LOGIN, 1000)
    s.wait_gone(LOGIN)
    s.menu_click("Unlock")
    s.login("audit-pw")
    s.wait_tray("unlocked")
    s.menu_click("Lock")
    s.box(name="lock-apply-D")
    s.wait_tray("locked")
    exit_with_password(s, program, "audit-pw")

    events = program.audit_events()
    listed = ["D:\\", "VENTRIXCD", "1A2B3C4D", "medium on the locked list"]
    locked = ["D:\\", "VENTRIXCD", "1A2B3C4D", "drive locked"]
    expected = [(1000, INFORMATION, ["1.1", "0", "1", ""]), (2000, WARNING, listed), (2000, WARNING, locked),
                (3100, WARNING, ["Unlock"]), (3000, INFORMATION, []), (2000, WARNING, locked),
                (3001, INFORMATION, []), (4000, INFORMATION, [])]
    check(events == expected, "events:\n  %r\nwanted:\n  %r" % (events, expected))
    for _, _, strings in events:
        check(not any("audit-pw" in t or "wrong-guess" in t for t in strings), "a password reached the log")


# -- trusted media and timed unlock

WM_TIMER = 0x113
RELOCK_TIMER = 18  # the agent window's timer that ends a timed unlock


def set_medium(s, letter, label, serial):
    """Another medium in a prepared drive: Wine reads the folder's label and serial afresh."""
    folder = os.path.join(s.e.drives, letter)
    for name, value in ((".windows-label", label), (".windows-serial", serial)):
        with open(os.path.join(folder, name), "w") as f:
            f.write(value + "\n")


def plug_drive(s, letter):
    """A drive that was not there: a link Wine sees at once, as a fixed disk."""
    folder = os.path.join(s.e.drives, letter)
    os.makedirs(folder, exist_ok=True)
    link = os.path.join(s.e.prefix, "dosdevices", letter + ":")
    os.symlink(folder, link)
    return link


def requests_on(events, letter):
    return [code for drive, code in events if drive == letter]


def scenario_trusted_stick(s):
    """A trusted stick in a locked drive stays in use through start-up, the
    Trusted Media dialog, Apply and a new arrival; another stick in the same
    drive is ejected."""
    s.make_conf("password=cfg-secret", "drive=D:0", "drive=E:1", "trusted=STICK:BADF00D:2")
    try:
        program = s.start(startup_boxes=())
        s.wait_tray("locked")
        s.wait_agent()
        s.no_box(0.5)
        check(requests_on(program.events(), "E") == [], "start-up touched the trusted stick: %r" % program.events())
        let_through = (2001, INFORMATION, ["E:\\", "STICK", "BADF00D"])
        check(program.audit_events().count(let_through) == 2, "sweep and apply pass not reported: %r"
              % program.audit_events())

        open_configuration(s)
        s.click_control(CONFIG, 1025)
        s.wait_window(TRUSTED)
        s.shot("trusted-media")
        rows = [(r["text"], r["sub1"], r["image"]) for r in list_rows(s, TRUSTED, 1026)]
        check(rows == [("STICK", "BADF00D", "2")], "trusted list: %r" % rows)
        s.click_control(TRUSTED, 1012)
        s.wait_window(ADD_ITEM)
        click_row(s, ADD_ITEM, 1007, "D:\\")
        s.click_control(ADD_ITEM, 1012)
        s.wait_gone(ADD_ITEM)
        rows = [(r["text"], r["sub1"], r["image"]) for r in list_rows(s, TRUSTED, 1026)]
        check(rows == [("STICK", "BADF00D", "2"), ("VENTRIXCD", "1A2B3C4D", "3")], "after Add: %r" % rows)
        s.shot("trusted-media-added")
        s.click_control(TRUSTED, 1000)
        s.wait_gone(TRUSTED)
        program.set_mark()
        s.click_control(CONFIG, 1016)
        s.wait_gone(CONFIG)
        s.no_box(0.8)
        check(requests_on(program.events_since_mark(), "E") == [], "Apply touched the trusted stick")
        conf = s.read_conf()
        check(conf["trusted"] == [("STICK", 0x0BADF00D, 2), ("VENTRIXCD", 0x1A2B3C4D, 5)],
              "trusted media in the file: %r" % conf["trusted"])
        check(conf["records"][-2:] == ["5D", "5D"] and conf["drives"] == {"D": 0, "E": 1}, "file: %r" % conf)

        program.set_mark()
        check(finish(s.arrive(0x10)) == 0, "the arrival was not delivered")
        s.no_box(0.8)
        check(requests_on(program.events_since_mark(), "E") == [], "an arrival touched the trusted stick")

        close_from_outside(s, program)

        # Another stick in the same drive. Wine's mount manager reads a drive's
        # label and serial once, so the session starts afresh to see it.
        set_medium(s, "e", "OTHER", "12345678")
        s.stop()
        s.start_desktop()
        program = s.start("other-stick", startup_boxes=("E",))
        s.wait_tray("locked")
        s.wait_agent()
        check(IOCTL_EJECT in requests_on(program.events(), "E"), "the other stick was not ejected at start-up")
        program.set_mark()
        sender = s.arrive(0x10)
        check(s.box(name="other-stick-arrival") == LOCK_TEXT % "E", "no lock message for the other stick")
        finish(sender)
        check(IOCTL_EJECT in requests_on(program.events_since_mark(), "E"), "the other stick was not ejected")
        check(all(event[0] != 2001 for event in program.audit_events()), "the other stick was let through")
        close_from_outside(s, program)
    finally:
        set_medium(s, "e", DRIVES["e"]["label"], DRIVES["e"]["serial"])


def open_menus(s):
    """The rectangles of every open popup menu (the tray menu, its submenu)."""
    status, lines = s.probe.call("menus")
    return [tuple(map(int, fields(line)["rect"].split(","))) for line in lines if line.startswith("menu ")]


def scenario_timed_unlock(s):
    """Unlock for 5 minutes from the submenu, then the timer's message locks
    again as Lock does; the same message later changes nothing."""
    program = s.start()
    s.wait_tray("locked")
    s.wait_agent()
    shot, rect = s.open_menu()
    where = s.menu_text_at(shot, rect, "Unlock &for")
    check(where, "no Unlock for in the menu")
    s.click(*where)
    submenu = poll(lambda: [r for r in open_menus(s) if r != rect], 5, what="the Unlock for submenu")[0]
    shot = s.shot("unlock-for-submenu")
    places = [s.menu_text_at(shot, submenu, text) for text in ("&5 minutes", "&15 minutes", "&1 hour")]
    check(all(places) and places[0][1] < places[1][1] < places[2][1], "submenu items: %r" % places)
    program.set_mark()
    s.click(*places[0])
    s.probe.call("gone", "*", 5000, "#32768")
    s.login(DEFAULT_PASSWORD)
    s.wait_gone(LOGIN)
    s.wait_tray("unlocked")
    s.shot("unlocked-for-5-minutes")
    released = program.events_since_mark()
    for letter in "DE":
        check((letter, FSCTL_UNLOCK) in released, "%s: not released: %r" % (letter, released))
    check(program.audit_events()[-1] == (3002, INFORMATION, ["5"]), "events: %r" % program.audit_events())
    shot, rect = s.open_menu()
    check(not s.menu_text_at(shot, rect, "Unlock &for"), "Unlock for shown while unlocked")
    s.click(300, 200)
    s.probe.call("gone", "*", 5000, "#32768")

    # The time is up: the timer's message, posted from here rather than waited for.
    status, _ = s.probe.call("post", AGENT, WM_TIMER, RELOCK_TIMER, 0)
    check(status == 0, "could not post the timer message")
    # Protection is on before the pass: a stick arriving while its first box
    # is open is ejected with a box of its own, and the tray shows locked.
    check(s.box(dismiss=False, name="relock-apply-D") == LOCK_TEXT % "D", "no apply pass at the end")
    program.set_mark()
    sender = s.arrive(0x10)
    poll(lambda: s.count("Error") == 2, 10, what="the arrival's box inside the relock's first")
    s.wait_tray("locked")
    check(s.box(name="relock-arrival-E") == LOCK_TEXT % "E", "the arrival inside the relock")
    finish(sender)
    check(IOCTL_EJECT in requests_on(program.events_since_mark(), "E"), "the arrival during the relock was not ejected")
    for letter in "DE":
        check(s.box(name="relock-apply-%s" % letter) == LOCK_TEXT % letter, "no apply pass at the end")
    s.wait_tray("locked")
    check(program.audit_events()[-1] == (3003, INFORMATION, []), "events: %r" % program.audit_events())
    s.probe.call("post", AGENT, WM_TIMER, RELOCK_TIMER, 0)
    s.no_box(0.8)
    check(s.menu_first_item() == "Unlock", "a late timer message changed protection")
    close_from_outside(s, program)


# -- the Ventrix service, and the tray as its client

SERVICE = "Ventrix"
STAYS_ON = "Protection stays on: the Ventrix service keeps it."


class Service:
    """ventrix-service.exe installed with sc in the scenario's session, its
    data folder fresh; it is removed again at the end, as the scenarios after
    it expect a PC without it."""

    def __init__(self, session):
        self.s = session
        self.exe = os.path.join(os.path.dirname(session.e.exe), "ventrix-service.exe")
        self.data = os.path.join(session.e.prefix, "drive_c", "ProgramData", "Ventrix")
        self.conf = os.path.join(self.data, "Tamrel.conf")
        shutil.rmtree(self.data, ignore_errors=True)
        self.s.e.run(["wine", "reg", "delete", SETUP_KEY, "/v", "PasswordVerifier", "/f"])
        self.sc("create", SERVICE, "binpath=", "Z:" + self.exe.replace("/", "\\"), "start=", "demand")

    def sc(self, *args):
        return self.s.e.run(["wine", "sc"] + list(args), timeout=60)

    def state(self):
        status, lines = self.s.probe.call("servicepid")
        return fields(lines[0]) if status == 0 else {}

    def start(self):
        self.sc("start", SERVICE)
        poll(lambda: self.state().get("state") == "4", 30, what="the service running")
        self.pid = self.state()["pid"]
        return self

    def stop(self):
        self.sc("stop", SERVICE)
        poll(lambda: self.state().get("state") == "1", 30, what="the service stopped")

    def remove(self):
        if self.state().get("state") == "4":
            self.stop()
        self.sc("delete", SERVICE)

    def events(self):
        return parse_events(self.s.holder_trace, self.pid)

    def requests(self):
        return parse_trace(self.s.holder_trace, self.pid)

    def pipe(self, *steps):
        status, lines = self.s.probe.call("pipe", *steps)
        check(status == 0, "the service's pipe: %s" % lines)
        return [fields(line) | {"step": line.split()[0], "closed": line.endswith(" closed")} for line in lines]


SETUP_KEY = r"HKLM\SOFTWARE\Ventrix\Setup"


def setup_value(s, name="PasswordVerifier"):
    """The installer's verifier left for the service (or the one the service
    kept), None when there is none."""
    code, output = s.e.run(["wine", "reg", "query", SETUP_KEY, "/v", name])
    found = [line.split(None, 2) for line in output.splitlines() if code == 0 and "REG_SZ" in line]
    return found[0][2].strip() if found and len(found[0]) == 3 else None


def service_scenario(steps):
    def scenario(s):
        service = Service(s)
        try:
            steps(s, service)
        finally:
            service.remove()
    scenario.traced = True
    return scenario


def service_first_start_steps(s, service):
    """With no tray anywhere: the first start makes the PC's policy file and
    locks the drives, an arrival broadcast to every desktop is ejected, and a
    stop saves and says so. What a user's programs made first (the data
    folder with folders under the policy file's temporary names, the old
    one-copy name, the pipe's name) neither keeps it from starting nor makes
    its saves fail for good."""
    os.makedirs(service.data)
    for n in range(1, 9):
        planted = os.path.join(service.data, "Tamrel.conf.new" + ("" if n == 1 else ".%d" % n))
        os.makedirs(planted)
        open(os.path.join(planted, "planted.txt"), "w").close()
    status, lines = s.probe.call("mutex", "Global\\Ventrix-service")
    check(status == 0 and lines == ["created"], "the one-copy name could not be taken: %r" % lines)
    service.start()
    conf = poll(lambda: os.path.exists(service.conf) and s.read_conf(service.conf), 30, what="the service's file")
    # Wine runs everyone as the service's own user, so the folder counts as
    # the machine's: what was planted under its names is moved aside there,
    # unopened (a folder someone else made would go aside whole).
    left = [name for name in os.listdir(service.data) if ".aside-" not in name]
    check(left == ["Tamrel.conf"], "left under the service's names: %r" % os.listdir(service.data))
    check(all(os.path.exists(os.path.join(service.data, name, "planted.txt"))
              for name in os.listdir(service.data) if ".aside-" in name), "a planted folder was entered")
    check(conf["password"].startswith("$pbkdf2-sha256$i=600000$"), "not a verifier: %r" % conf["password"])
    check(conf["drives"] == {"D": 1, "E": 1}, "seeded drives: %r" % conf["drives"])
    check(not os.path.exists(s.conf_path), "a file in the session's own folder")
    requests = service.requests()
    check(("D", FSCTL_LOCK) in requests and ("E", FSCTL_LOCK) in requests, "no lock requests: %r" % requests)
    starts = [e[0] for e in service.events()]
    check(starts[:3] == [1010, 1000, 1001], "start events: %r" % service.events())
    # What Wine cannot enforce, the service must still ask for: a protected
    # list (DACL | PROTECTED_DACL) on its folder and on the setup key, and
    # its restarts after a failure.
    trace = open(s.holder_trace, errors="replace").read()
    # The folder is held as itself (a link unfollowed, nobody able to move it
    # meanwhile) while its owner is asked and its protected list set; the
    # setup key gets the same list.
    check('CreateFileW L"C:\\\\ProgramData\\\\Ventrix" FILE_SHARE_READ FILE_SHARE_WRITE  creation 3 attributes 0x2200000'
          in trace, "the folder was not held as itself")
    check('SetNamedSecurityInfoA "MACHINE\\\\SOFTWARE\\\\Ventrix\\\\Setup" 4 -2147483644 ' in trace,
          "no protected list asked for the setup key")
    check("SERVICE_CONFIG_FAILURE_ACTIONS" in trace, "the failure actions were not asked for")
    # Group Policy may hold the critical policy section while it installs and
    # starts the service, or runs an extension: the service's own thread (the
    # one that reports its events) never enters it, at the start or for a
    # client's refresh; a thread of its own reads with it.
    def sections():
        lines = [line.split(":", 4) for line in open(s.holder_trace, errors="replace").read().splitlines()
                 if line.startswith(service.pid + ":") and line.count(":") >= 4]
        main = {f[1] for f in lines if f[3] == "advapi" and f[4].startswith("ReportEvent")}
        return main, [f[1] for f in lines if f[4].startswith("EnterCriticalPolicySection")]
    main, entered = poll(lambda: (lambda m, e: (m, e) if e else None)(*sections()), 10,
                         what="the reading thread's first reading")
    check(main and not main & set(entered), "the start waited on the critical policy section: %r" % entered)
    read = len(entered)
    check(service.pipe("hello", "policy")[1]["kind"] == "0x8003", "the refresh request was not answered")
    main, entered = poll(lambda: (lambda m, e: (m, e) if len(e) > read else None)(*sections()), 10,
                         what="a reading with the section after the request")
    check(not main & set(entered), "the service's thread waited on the critical policy section")
    # Reports only ask the service to look: a report or a broadcast of a drive
    # that did not change touches no drive, and a program's report before a
    # drive comes hides nothing. Wine's mount manager reads a label once, so
    # what comes is a new drive, which Wine calls fixed, as USB disks say.
    before = len(requests)
    check(service.pipe("hello", "arrival:%d" % (0x10 | 0x40))[1]["kind"] == "0x8003", "the report was not taken")
    check(s.probe.call("arrive", 0x10, "broadcast")[0] == 0, "the broadcast was not delivered")
    link = plug_drive(s, "g")
    try:
        check(s.probe.call("arrive", 0x40, "broadcast")[0] == 0, "the broadcast was not delivered")
        # Wine opens no device for a drive added while it runs: the lock and
        # its event show what the service did.
        new_drive = (2000, WARNING, ["G:\\", "", "", "new drive"])
        poll(lambda: new_drive in service.events(), 10, what="the service locking G:")
        check(("E", IOCTL_EJECT) not in service.requests()[before:], "E: ejected though it did not change")
        check(service.events().count(new_drive) == 1, "G: handled more than once")
    finally:
        os.remove(link)
    os.utime(service.conf, (1, 1))
    service.stop()
    check(os.stat(service.conf).st_mtime > 1, "the stop did not save")
    check([e[0] for e in service.events()][-1] == 4010, "no stop event: %r" % service.events()[-3:])
    check(service.events()[-1][2] == ["stop"], "the stop event: %r" % service.events()[-1:])

    # The installer's verifier while another program holds the policy file:
    # in force for that run, but kept for the next start (5203), and taken
    # (3202) only once a save holds it.
    hash_exe = os.path.join(os.path.dirname(s.e.exe), "ventrix-hash.exe")
    with tempfile.TemporaryFile() as out:
        subprocess.run(["wine", hash_exe], input=b"setup-pass\n", stdout=out, stderr=subprocess.DEVNULL,
                       env=s.e.wine_env(), cwd=s.work, timeout=120)
        out.seek(0)
        verifier = out.read().decode().strip()
    check(verifier.startswith("$pbkdf2-sha256$i=600000$"), "the tool gave %r" % verifier)
    code, output = s.e.run(["wine", "reg", "add", SETUP_KEY, "/v", "PasswordVerifier", "/t", "REG_SZ", "/d",
                            verifier, "/f"])
    check(code == 0, "reg add failed: %s" % output)
    check(s.probe.call("holdfile", "Z:" + service.conf.replace("/", "\\"))[0] == 0, "cannot hold the file")
    held = open(service.conf, "rb").read()
    service.start()
    poll(lambda: any(e[0] == 5203 for e in service.events()), 30, what="event 5203")
    check(setup_value(s, "KeptPasswordVerifier") == verifier, "the verifier went unsaved")
    service.stop()
    s.probe.call("releasefile")
    check(open(service.conf, "rb").read() == held, "the file held by another program was replaced")
    # A standard user's repair writes the package's value again, empty.
    code, output = s.e.run(["wine", "reg", "add", SETUP_KEY, "/v", "PasswordVerifier", "/t", "REG_SZ", "/d", "",
                            "/f"])
    check(code == 0, "reg add failed: %s" % output)

    # A program that took the pipe's name first: the service says so, serves
    # no one while the name is taken and serves as soon as it is free; the
    # tray, which believes only a pipe the service itself serves, sends the
    # taker nothing and writes no policy of its own.
    squatter = subprocess.Popen(["wine", s.e.probe_exe, "squat", "12"], env=s.e.wine_env(), cwd=s.work,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    check(squatter.stdout.readline().strip() == b"squatting", "the squatter could not take the name")
    service.start()
    poll(lambda: any(e[0] == 5200 for e in service.events()), 10, what="event 5200")
    tray = s.start(startup_boxes=())
    poll(lambda: any(line.endswith("tip=Ventrix - service stopped") for line in s.probe.call("tray")[1]), 10,
         what="the tray waiting for the service")
    report = fields(squatter.communicate(timeout=30)[0].decode().strip())
    check(int(report["callers"]) >= 1 and report["bytes"] == "0", "the squatter heard: %r" % report)
    poll(lambda: s.probe.call("pipe", "hello", "status")[0] == 0, 15, what="the service serving once the name is free")
    check([e[0] for e in service.events()].count(5200) == 1, "5200 more than once: %r" % service.events())
    check(3202 in [e[0] for e in service.events()] and setup_value(s) is None
          and setup_value(s, "KeptPasswordVerifier") is None, "the saved verifier was not let go")
    check(s.read_conf(service.conf)["password"] == verifier, "the installer's verifier was not saved")
    check(not os.path.exists(s.conf_path), "the tray ran as a program of its own beside the service")
    tray.kill()


def service_client_steps(s, service):
    """The tray as the service's client: started while the service is still
    stopped, it enforces nothing itself and follows the service once it runs;
    no file of its own, the service's password, its icon and boxes; Exit ends
    the tray only; killed, the service goes on; junk and wrong passwords on the
    pipe change nothing, nor do held and flooded connections; stopped, the
    tray says so and comes back with the service; disabled by an
    administrator, the tray is the per-user program."""
    # A tray started while the service is stopped: no second enforcer.
    tray = s.start(startup_boxes=())
    poll(lambda: any(line.endswith("tip=Ventrix - service stopped") for line in s.probe.call("tray")[1]), 10,
         what="the tray started before the service saying it is stopped")
    s.no_box(0.5)
    service.start()
    s.wait_tray("locked", timeout=15)
    s.shot("client-locked")
    check(not os.path.exists(s.conf_path), "the client wrote a policy file of its own")
    check(tray.events() == [], "the client sent volume requests of its own: %r" % tray.events())
    second = s.start("second", startup_boxes=())
    check(s.box(caption="Ventrix", name="one-client") == "Ventrix is already running.", "a second client ran")
    check(second.wait_exit() == EXIT_CODE, "the second client's exit code")

    mark = len(service.requests())
    s.menu_click("Unlock")
    s.login(DEFAULT_PASSWORD)
    s.wait_gone(LOGIN)
    s.wait_tray("unlocked")
    released = service.requests()[mark:]
    check(("D", FSCTL_UNLOCK) in released and ("E", FSCTL_UNLOCK) in released, "the service released %r" % released)
    s.menu_click("Lock")
    for letter in "DE":  # the service's apply pass, its boxes shown by the tray
        check(s.box(name="service-lock-%s" % letter) == LOCK_TEXT % letter, "lock box for %s" % letter)
    s.wait_tray("locked")

    # The configuration shows and changes the service's tables, through the
    # session its password opened.
    open_configuration(s, DEFAULT_PASSWORD)
    check(drive_rows(s) == [("D:\\", "Locked"), ("E:\\", "Locked")], "the service's drives: %r" % drive_rows(s))
    click_row(s, CONFIG, 1007, "D:\\")
    poll(lambda: ("D:\\", "Unlocked") in drive_rows(s), 5, what="D: shown unlocked")
    # E: read-only: Wine answers no disk-attribute request, so the service's
    # apply pass locks the stick instead, with its own box and event.
    click_row(s, CONFIG, 1007, "E:\\")
    poll(lambda: ("E:\\", "Unlocked") in drive_rows(s), 5, what="E: shown unlocked")
    s.click_control(CONFIG, 1027)
    poll(lambda: ("E:\\", "Read-only") in drive_rows(s), 5, what="E: shown read-only")
    s.shot("read-only")
    s.click_control(CONFIG, 1016)
    check(s.box(name="service-read-only-E") == READ_ONLY_TEXT % "E", "the service's read-only pass")
    s.wait_gone(CONFIG)
    check([e[2][:3] for e in service.events() if e[0] == 2003] == [["E:\\", "STICK", "BADF00D"]],
          "no 2003 for E:: %r" % service.events()[-3:])
    trace = open(s.holder_trace, errors="replace").read()
    check(r'CreateFileW L"\\\\.\\PhysicalDrive' in trace, "the service never asked for the stick's disk")
    conf = poll(lambda: (lambda c: c if c["read-only"] == {"E": 1} else None)(s.read_conf(service.conf)), 10,
                what="the service saving E: read-only")
    check(conf["drives"] == {"D": 0, "E": 0} and conf["journal"] == [], "saved: %r" % conf)
    # An older tray is told its version is not spoken; E: is locked again.
    replies = service.pipe("hello:1", "hello", "configure:%s" % DEFAULT_PASSWORD, "toggle:E", "apply")
    check(replies[0]["kind"] == "0x800A" and replies[1]["kind"] == "0x8001", "an older tray's Hello: %r" % replies)
    check(s.box(name="service-apply-E") == LOCK_TEXT % "E", "the service's apply pass")
    poll(lambda: s.read_conf(service.conf)["drives"] == {"D": 0, "E": 1}, 10, what="the service saving D: unlocked")

    # Junk, a message too long, and wrong passwords: refused, and the service serves on.
    replies = service.pipe("junk")
    check(replies[0]["closed"], "junk was answered: %r" % replies)
    replies = service.pipe("hello", "big", "status")
    check(replies[1]["closed"] and replies[2]["closed"], "a message over the bound kept its connection: %r" % replies)
    replies = service.pipe("hello", "unlock:guess", "drives", "status")
    check(replies[1]["outcome"] == "1" and replies[2]["kind"] == "0x800A" and replies[3]["on"] == "1",
          "a wrong password or a configuration request without it changed something: %r" % replies)

    # Killed from outside: the next arrival is still the service's, and so is
    # the next tray, while one program holds twenty connections that say
    # nothing and floods two more that never read.
    tray.kill()
    s.wait_tray(None)
    crowd = subprocess.Popen(["wine", s.e.probe_exe, "crowd", "20", "2", "40"], env=s.e.wine_env(), cwd=s.work,
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    link = None
    try:
        check(crowd.stdout.readline().strip() == b"crowding", "the crowd did not reach the pipe")
        link = plug_drive(s, "g")
        check(s.probe.call("arrive", 0x40, "broadcast")[0] == 0, "the broadcast was not delivered")
        poll(lambda: (2000, WARNING, ["G:\\", "", "", "new drive"]) in service.events(), 10,
             what="the service locking G: with no tray")
        tray = s.start("again", startup_boxes=())
        s.wait_tray("locked")
    finally:
        crowd.kill()
        crowd.wait()
        if link:
            os.remove(link)

    # The service stops and starts again: the tray says so, and follows.
    service.stop()
    poll(lambda: any(line.endswith("tip=Ventrix - service stopped") for line in s.probe.call("tray")[1]), 10,
         what="the tip saying the service stopped")
    s.wait_tray("unlocked")
    service.start()
    s.wait_tray("locked", timeout=15)
    s.menu_click("Exit")
    s.login(DEFAULT_PASSWORD)
    check(s.box(caption="Ventrix", name="stays-on") == STAYS_ON, "Exit did not say protection stays on")
    check(tray.wait_exit() == EXIT_CODE, "the tray's exit code")
    check(service.state().get("state") == "4", "Exit stopped the service")

    # Disabled by an administrator: the PC is the per-user program's again.
    service.stop()
    check(s.probe.call("starttype", "disabled")[0] == 0, "the service's start type was not changed")
    alone = s.start("disabled")
    s.wait_tray("locked")
    check(os.path.exists(s.conf_path), "beside a disabled service the tray kept no policy of its own")
    close_from_outside(s, alone)


scenario_service_first_start = service_scenario(service_first_start_steps)
scenario_service_client = service_scenario(service_client_steps)


def scenario_about_box(s):
    program = s.start()
    s.wait_tray("locked")
    s.menu_click("About...")
    info = s.wait_window(ABOUT)
    check(info["visible"] == "1", "about box not visible")
    s.shot("about")
    s.click(200, 200)
    s.menu_click("About...")
    poll(lambda: s.foreground_title() == ABOUT, 5, what="the about box brought forward")
    check(s.count(ABOUT) == 1, "a second about box opened")
    s.shot("about-forward")
    status, _ = s.probe.call("close", ABOUT)
    s.wait_gone(ABOUT)
    close_from_outside(s, program)


SCENARIOS = {
    "first_run": scenario_first_run,
    "menu_unlock_lock": scenario_menu_unlock_lock,
    "wrong_password": scenario_wrong_password,
    "single_login": scenario_single_login,
    "arrival_locked": scenario_arrival_locked,
    "exit_password": scenario_exit_password,
    "exit_beside_a_namesake": scenario_exit_beside_a_namesake,
    "close_from_outside": scenario_close_from_outside,
    "second_copy": scenario_second_copy,
    "managed_policy": scenario_managed_policy,
    "session_end": scenario_session_end,
    "lookalike_windows": scenario_lookalike_windows,
    "untrusted_messages": scenario_untrusted_messages,
    "configuration_lists": scenario_configuration_lists,
    "configuration_toggle_apply": scenario_configuration_toggle_apply,
    "configuration_add_media": scenario_configuration_add_media,
    "configuration_cancel_keeps": scenario_configuration_cancel_keeps,
    "about_box": scenario_about_box,
    "cross_build_policy": scenario_cross_build_policy,
    "change_password": scenario_change_password,
    "audit_trail": scenario_audit_trail,
    "trusted_stick": scenario_trusted_stick,
    "timed_unlock": scenario_timed_unlock,
    "service_first_start": scenario_service_first_start,
    "service_client": scenario_service_client,
}


def run_scenarios(environment, names):
    names = names or list(SCENARIOS)
    unknown = [n for n in names if n not in SCENARIOS]
    if unknown:
        print("unknown scenarios: %s" % ", ".join(unknown))
        return 2
    for path in (environment.exe, environment.probe_exe):
        if not os.path.exists(path):
            print("missing %s" % path)
            return 1
    if not os.path.isdir(os.path.join(environment.prefix, "drive_c")):
        print("no e2e prefix: run the setup action first")
        return 1
    environment.ensure_display()
    failed = []
    skipped = []
    try:
        for name in names:
            started = time.monotonic()
            session = Session(environment, name)
            try:
                session.start_desktop(traced=getattr(SCENARIOS[name], "traced", False))
                SCENARIOS[name](session)
                log("PASS %s (%.1fs)" % (name, time.monotonic() - started))
            except Skipped as reason:
                skipped.append(name)
                log("SKIP %s: %s" % (name, reason))
            except Exception as error:  # a scenario's failure is reported, the next one still runs
                failed.append(name)
                try:
                    session.shot("failure")
                except Exception:
                    pass
                log("FAIL %s (%.1fs): %s: %s" % (name, time.monotonic() - started, type(error).__name__, error))
                for program in session.programs:
                    log("  trace of %s: %s" % (program.name, program.trace_path))
            finally:
                session.stop()
            log("  screenshots: %s" % session.shots)
    finally:
        environment.stop_display()
    if failed:
        return 1
    return SKIP_CODE if skipped and len(skipped) == len(names) else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--source-dir", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--bits", type=int, choices=[32, 64], default=32, help="which Wine runs the exe")
    parser.add_argument("--peer-exe", help="the other architecture's ventrix.exe (x86 beside an x64 run)")
    parser.add_argument("action", choices=["setup", "cleanup", "run"])
    parser.add_argument("scenarios", nargs="*")
    args = parser.parse_args()
    environment = Environment(args)
    if args.action == "setup":
        environment.ensure_display()  # wineboot wants a display to talk to
        try:
            setup(environment)
        finally:
            environment.stop_display()
        return 0
    if args.action == "cleanup":
        cleanup(environment)
        return 0
    return run_scenarios(environment, args.scenarios)


if __name__ == "__main__":
    sys.exit(main())

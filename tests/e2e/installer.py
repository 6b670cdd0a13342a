#!/usr/bin/env python3
"""The installer packages under Wine, on the e2e harness, in a prefix of their
own. The per-user package: a silent install (files, shortcuts read through
IShellLinkA, the uninstall entry), a simulated logon that starts Ventrix from
the Startup shortcut in its data folder, an upgrade that keeps the policy
file, a refused downgrade, an uninstall that leaves the policy file loadable,
and a program-only install (ADDLOCAL=Main) without the Startup shortcut.
Then the per-machine package: a silent install with an administrator's
verifier that the service takes in and removes, a logon that starts the tray
as the service's client (the verifier's password opens it, the default one
does not), an upgrade that restarts the service on the same policy, the
verifier and its password nowhere in the prefix, an uninstall that removes
the service and keeps the policy.

  installer.py --exe X --probe P --source-dir S --build-dir B --bits 64 --msi PKG [--machine-msi PKG]
"""

import argparse
import getpass
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import harness  # noqa: E402
from harness import AGENT, DEFAULT_PASSWORD, EXIT_CODE, LOGIN, check, fields, log, poll  # noqa: E402

DOWNGRADE_TEXT = "A newer version of Ventrix is already installed"
UNINSTALL_KEYS = (r"HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall",
                  r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall")
MSI = None  # set by main
MACHINE_MSI = None  # set by main, when given
MACHINE_PRODUCT = "Ventrix (whole PC)"
RUN_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Run"
SETUP_KEY = r"HKLM\SOFTWARE\Ventrix\Setup"
# The administrator's password for the per-machine install; never given to
# anything but ventrix-hash.exe and the tray's prompt.
MACHINE_PASSWORD = "tern-lantern-42"
VERIFIER_FORM = re.compile(r"^\$pbkdf2-sha256\$i=600000\$[A-Za-z0-9+/]+\$[A-Za-z0-9+/]+$")


def winpath(path):
    return "Z:" + path.replace("/", "\\")


class Profile:
    """Where the per-user package puts things, as Unix and Windows paths."""

    def __init__(self, prefix):
        user = getpass.getuser()
        self.root = os.path.join(prefix, "drive_c", "users", user)
        self.win_root = "C:\\users\\" + user
        self.programs = os.path.join(self.root, "AppData", "Local", "Programs", "Ventrix")
        self.exe = os.path.join(self.programs, "ventrix.exe")
        self.data = os.path.join(self.root, "AppData", "Roaming", "Ventrix")
        self.conf = os.path.join(self.data, "Tamrel.conf")
        self.menu = os.path.join(self.root, "AppData", "Roaming", "Microsoft", "Windows", "Start Menu", "Programs")

    def startup_link(self):
        """The Startup folder's shortcut; Wine spells the folder "StartUp"."""
        for name in os.listdir(self.menu) if os.path.isdir(self.menu) else []:
            if name.lower() == "startup":
                path = os.path.join(self.menu, name, "Ventrix.lnk")
                return path if os.path.exists(path) else None
        return None

    def menu_link(self):
        path = os.path.join(self.menu, "Ventrix.lnk")
        return path if os.path.exists(path) else None

    def windows(self, path):
        return self.win_root + path[len(self.root):].replace("/", "\\")


def msiexec(s, *args):
    """msiexec's exit code, whole: Wine cuts a process's code to 8 bits, cmd's echo does not."""
    log_file = os.path.join(s.work, "msiexec-%d.log" % s.step)
    command = "msiexec %s /qn /l*v %s & echo exit=%%errorlevel%%" % (" ".join(args), winpath(log_file))
    code, output = s.e.run(["wine", "cmd", "/c", command], timeout=180)
    marks = [line for line in output.splitlines() if line.startswith("exit=")]
    check(marks, "msiexec gave no exit code:\n" + output)
    s.step += 1
    text = open(log_file, errors="replace").read() if os.path.exists(log_file) else ""
    return int(marks[-1].split("=")[1]), text


def product_entries(s, name="Ventrix"):
    """{key: values} of every uninstall entry of that name; Wine writes a
    per-user package's entry under HKLM where Windows uses HKCU."""
    entries = {}
    for root in UNINSTALL_KEYS:
        code, output = s.e.run(["wine", "reg", "query", root, "/s"])
        key = None
        for line in output.splitlines():
            if line.startswith("HKEY_"):
                key = line.strip()
                entries[key] = {}
            elif key and "REG_" in line:
                parts = line.split(None, 2)
                entries[key][parts[0]] = parts[2].strip() if len(parts) > 2 else ""
    return {k: v for k, v in entries.items() if v.get("DisplayName") == name}


def product_entry(s, name="Ventrix"):
    entries = product_entries(s, name)
    check(len(entries) <= 1, "more than one %s installed: %r" % (name, sorted(entries)))
    return next(iter(entries.items()), (None, {}))


def shortcut(s, path):
    status, lines = s.probe.call("shortcut", s.profile.windows(path))
    check(status == 0, "cannot read %s: %s" % (path, lines))
    return harness.fields(lines[0])["target"], lines[1].split("=", 1)[1]


def bumped_package(s, version, machine=False):
    """The same programs in a package of a later version, built as the msi target builds it."""
    stage = os.path.join(s.work, "stage")
    os.makedirs(stage, exist_ok=True)
    shutil.copy(s.e.exe, os.path.join(stage, "ventrix.exe"))
    shutil.copy(os.path.join(s.e.build, "ventrix-hash.exe"), os.path.join(stage, "ventrix-hash.exe"))
    shutil.copytree(os.path.join(s.e.build, "policy"), os.path.join(stage, "policy"), dirs_exist_ok=True)
    shutil.copy(os.path.join(s.e.source, "resources", "art", "app.ico"), os.path.join(stage, "app.ico"))
    installer = os.path.join(s.e.source, "installer")
    out = os.path.join(s.work, "ventrix-%s%s.msi" % (version, "-machine" if machine else ""))
    arch, win64 = ("x64", "yes") if s.e.bits == 64 else ("x86", "no")
    defines = ["-D", "Win64=" + win64, "-D", "Version=" + version, "-D", "Exe=ventrix.exe",
               "-D", "HashExe=ventrix-hash.exe", "-D", "Icon=app.ico"]
    if machine:
        shutil.copy(os.path.join(s.e.build, "ventrix-service.exe"), os.path.join(stage, "ventrix-service.exe"))
        defines += ["-D", "ServiceExe=ventrix-service.exe"]
    wxs = os.path.join(installer, "ventrix-machine.wxs" if machine else "ventrix.wxs")
    subprocess.run(["wixl", "-a", arch] + defines + ["-o", out, wxs],
                   cwd=stage, check=True, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    if machine:
        subprocess.run(["cmake", "-DMSIINFO=msiinfo", "-DMSIBUILD=msibuild", "-DMSI=" + out,
                        "-P", os.path.join(installer, "machine_fixups.cmake")],
                       check=True, stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
    return out


def check_installed(s, version):
    p = s.profile
    check(os.path.exists(p.exe) and open(p.exe, "rb").read() == open(s.e.exe, "rb").read(),
          "the program is not in AppData\\Local\\Programs\\Ventrix")
    for name in ("ventrix-hash.exe", "policy/Ventrix.admx", "policy/en-US/Ventrix.adml"):
        check(os.path.exists(os.path.join(p.programs, name)), "%s is not installed beside the program" % name)
    for name, link in (("Start menu", p.menu_link()), ("Startup", p.startup_link())):
        check(link, "no %s shortcut" % name)
        target, workdir = shortcut(s, link)
        check(target.lower() == p.windows(p.exe).lower(), "%s shortcut runs %r" % (name, target))
        check(workdir.rstrip("\\").lower() == p.windows(p.data).lower(), "%s shortcut starts in %r" % (name, workdir))
    key, values = product_entry(s)
    check(key, "no uninstall entry")
    check(values.get("DisplayVersion") == version and values.get("Publisher") == "Ventrix developers",
          "uninstall entry: %r" % values)
    return key


def logon_starts_ventrix(s):
    """wineboot without -i does what a logon does: Startup shortcuts run."""
    p = s.profile
    check(s.count(AGENT) == 0, "Ventrix already runs")
    code, output = s.e.run(["wine", "wineboot"], timeout=120)
    check(code == 0, "wineboot failed:\n" + output)
    s.wait_agent()
    watcher = subprocess.Popen(["wine", s.e.probe_exe, "exitcode", AGENT, "10000"], env=s.e.wine_env(),
                               cwd=s.work, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
    s.wait_tray("locked")
    s.shot("started-at-logon")
    poll(lambda: os.path.exists(p.conf), 10, what="Tamrel.conf in the data folder")
    conf = s.read_conf(p.conf)
    check(conf["password"] == DEFAULT_PASSWORD, "seeded password %r" % conf["password"])
    s.menu_click("Exit")
    s.login(DEFAULT_PASSWORD)
    s.wait_gone(AGENT)
    out = watcher.communicate(timeout=30)[0].decode(errors="replace")
    check("exitcode=%d" % EXIT_CODE in out, "exit code at logoff: %r" % out)


def wine_major(s):
    code, output = s.e.run(["wine", "--version"], timeout=60)
    found = re.search(r"wine-(\d+)", output)
    check(found, "wine --version: %r" % output)
    return int(found.group(1))


# Actions of the install proper: none of them may run once the launch
# condition has refused the package.
INSTALL_ACTIONS = ("InstallValidate", "RemoveExistingProducts", "InstallInitialize", "InstallFiles",
                   "WriteRegistryValues", "RegisterProduct", "PublishProduct")


def refused_downgrade(s, code, text, newer_key):
    """The older package over the newer one: the upgrade search finds the newer
    product, the launch condition refuses, and nothing of the install runs.
    Windows and Wine 8 end such an install with 1603; Wine 10's msiexec ends it
    with 0 after the same refusal (tests/e2e/README.md)."""
    wanted = 1603 if wine_major(s) < 10 else 0
    check(code == wanted, "downgrade: exit code %d, wanted %d" % (code, wanted))
    # Wine's quiet install logs neither the launch condition's text nor its
    # failure; the refusal is seen in the detected newer product instead (the
    # text itself is checked in the package's LaunchCondition table).
    check(DOWNGRADE_TEXT in text or "WIX_DOWNGRADE_DETECTED = {" in text, "the downgrade was not detected")
    check("Action start" in text and "LaunchConditions" in text, "the launch conditions did not run:\n" + text)
    ran = [a for a in INSTALL_ACTIONS if re.search(r"Action start [0-9:]+: %s\." % a, text)]
    check(not ran, "the refused downgrade ran %s" % ", ".join(ran))
    key, values = product_entry(s)
    check(key == newer_key and values.get("DisplayVersion") == "1.1.99",
          "the downgrade changed the installed product: %s %r" % (key, values))


def left_in(folder):
    return sorted(os.path.relpath(os.path.join(d, f), folder) for d, _, files in os.walk(folder) for f in files)


def scenario_installer(s):
    s.profile = p = Profile(s.e.prefix)
    version = harness_version()

    code, _ = msiexec(s, "/i", winpath(MSI))
    check(code == 0, "silent install: exit code %d" % code)
    first_key = check_installed(s, version)
    check(os.path.isdir(p.data), "no data folder")

    logon_starts_ventrix(s)
    policy = open(p.conf, "rb").read()

    newer = bumped_package(s, "1.1.99")
    code, _ = msiexec(s, "/i", winpath(newer))
    check(code == 0, "upgrade: exit code %d" % code)
    key = check_installed(s, "1.1.99")
    check(key != first_key, "the older product is still registered")
    check(open(p.conf, "rb").read() == policy, "the upgrade touched Tamrel.conf")

    code, text = msiexec(s, "/i", winpath(MSI))
    refused_downgrade(s, code, text, key)

    code, _ = msiexec(s, "/x", winpath(newer))
    check(code == 0, "uninstall: exit code %d" % code)
    check(not os.path.exists(p.exe) and not p.menu_link() and not p.startup_link(),
          "program or shortcuts left behind")
    check(product_entry(s)[0] is None, "uninstall entry left behind")
    check(open(p.conf, "rb").read() == policy, "uninstall touched Tamrel.conf")
    check(s.read_conf(p.conf)["password"] == DEFAULT_PASSWORD, "Tamrel.conf no longer loads")

    code, _ = msiexec(s, "/i", winpath(MSI), "ADDLOCAL=Main")
    check(code == 0, "program-only install: exit code %d" % code)
    check(os.path.exists(p.exe) and p.menu_link(), "program or Start menu shortcut missing")
    check(not p.startup_link(), "ADDLOCAL=Main left a Startup shortcut")
    code, _ = msiexec(s, "/x", winpath(MSI))
    check(code == 0 and not os.path.exists(p.exe), "second uninstall failed")


def harness_version():
    name = os.path.basename(MSI)  # ventrix-<version>-<arch>.msi
    return name.split("-")[1]


# -- the per-machine package

class Machine:
    """Where the per-machine package and its service put things."""

    def __init__(self, prefix):
        self.programs = os.path.join(prefix, "drive_c", "Program Files", "Ventrix")
        self.conf = os.path.join(prefix, "drive_c", "ProgramData", "Ventrix", "Tamrel.conf")
        self.windows_conf = os.path.join(prefix, "drive_c", "windows", "Tamrel.conf")


def registry_value(s, key, name):
    """The value's data as reg prints it, None when the key or the value is missing."""
    code, output = s.e.run(["wine", "reg", "query", key, "/v", name])
    for line in output.splitlines() if code == 0 else []:
        parts = line.split(None, 2)
        if len(parts) >= 2 and parts[0] == name and parts[1].startswith("REG_"):
            return parts[2].strip() if len(parts) > 2 else ""
    return None


def service_state(s):
    """{pid, state} of the Ventrix service; empty when the service manager knows none."""
    status, lines = s.probe.call("servicepid")
    return fields(lines[0]) if status == 0 else {}


def make_verifier(s, password):
    """A verifier line from the build's ventrix-hash.exe, the password on its standard input."""
    source = os.path.join(s.work, "password.txt")
    with open(source, "w") as f:
        f.write(password + "\n")
    with open(source, "rb") as stdin, tempfile.TemporaryFile() as out:
        subprocess.run(["wine", os.path.join(s.e.build, "ventrix-hash.exe")], env=s.e.wine_env(), stdin=stdin,
                       stdout=out, stderr=subprocess.DEVNULL, timeout=120)
        out.seek(0)
        line = out.read().decode(errors="replace").strip()
    # It goes onto msiexec's command line unquoted: Wine hands a quoted
    # argument to cmd as \"...\", which would reach the package as part of it.
    check(VERIFIER_FORM.match(line), "ventrix-hash.exe printed %r" % line)
    return line


def policy_of(s, m):
    """What the service's policy file holds; its bytes change at every save
    (the data protection's output differs on every call)."""
    return {k: v for k, v in s.read_conf(m.conf).items() if k != "raw"}


def files_holding(prefix, secrets):
    """The prefix's files (drive C: and the registry's files) that hold any
    of the secrets, as UTF-8 or UTF-16 text."""
    patterns = [secret.encode(encoding) for secret in secrets for encoding in ("utf-8", "utf-16-le")]
    paths = [os.path.join(prefix, name) for name in os.listdir(prefix) if name.endswith(".reg")]
    for folder, _, names in os.walk(os.path.join(prefix, "drive_c")):  # links (to the home) not followed
        paths += [os.path.join(folder, name) for name in names]
    found = []
    for path in paths:
        if os.path.isfile(path) and not os.path.islink(path):
            with open(path, "rb") as f:
                data = f.read()
            if any(pattern in data for pattern in patterns):
                found.append(path)
    return found


def wait_service_running(s, other_than=None):
    def running():
        state = service_state(s)
        return state if state.get("state") == "4" and state.get("pid") != other_than else None
    return poll(running, 30, what="the service running")


def let_go_of_service_program(s, m):
    """Windows Installer waits for the service to stop (ServiceControl's
    Wait) and replaces a file still in use at the next restart. Wine's
    msiexec asks for the stop and goes on: its RemoveFiles, some 40 ms
    later, can meet ventrix-service.exe still in use by the service's ending
    process (seen: the process already a zombie a moment later), and leaves
    it. The stop the package asked for must then still end that process,
    which is seen when Wine can delete the file; anything else left is a
    fault."""
    if left_in(m.programs) != ["ventrix-service.exe"]:
        return
    log("  Wine's msiexec left ventrix-service.exe, still in use by the ending service")

    def deleted():
        s.e.run(["wine", "cmd", "/c", "del", winpath(os.path.join(m.programs, "ventrix-service.exe")),
                 "&", "rmdir", winpath(m.programs)])
        return not os.path.exists(m.programs)
    poll(deleted, 15, what="the stopped service's process to let go of its program")


def scenario_installer_machine(s):
    m = Machine(s.e.prefix)
    version = harness_version()
    verifier = make_verifier(s, MACHINE_PASSWORD)

    code, _ = msiexec(s, "/i", winpath(MACHINE_MSI), "PASSWORDVERIFIER=" + verifier)
    check(code == 0, "silent per-machine install: exit code %d" % code)
    check(len(left_in(m.programs)) == 5, "Program Files\\Ventrix holds %s" % left_in(m.programs))
    check(registry_value(s, RUN_KEY, "Ventrix") == '"C:\\Program Files\\Ventrix\\ventrix.exe"',
          "the Run value: %r" % registry_value(s, RUN_KEY, "Ventrix"))
    key, values = product_entry(s, MACHINE_PRODUCT)
    check(key and values.get("DisplayVersion") == version, "uninstall entry: %r" % values)

    # Started at the end of the install, the service took the verifier in and removed it.
    wait_service_running(s)
    check(registry_value(s, SETUP_KEY, "PasswordVerifier") is None, "the verifier was left in the setup key")
    check(policy_of(s, m)["password"] == verifier, "the service did not take the verifier in")

    # A logon starts the tray from the Run value, in C:\windows: the service's
    # client, with no file of its own and the service's password.
    check(s.count(AGENT) == 0, "the tray already runs")
    code, output = s.e.run(["wine", "wineboot"], timeout=120)
    check(code == 0, "wineboot failed:\n" + output)
    s.wait_agent()
    s.wait_tray("locked")
    s.shot("machine-logon")
    s.menu_click("Unlock")
    s.login(DEFAULT_PASSWORD)
    check(s.box(name="default-refused") == "Invalid Password", "the default password was not refused")
    s.probe.call("settext", LOGIN, 1002, "")
    s.login(MACHINE_PASSWORD)
    s.wait_gone(LOGIN)
    s.wait_tray("unlocked")
    check(not os.path.exists(m.windows_conf), "the tray wrote a policy file of its own")

    # An upgrade replaces everything in place and restarts the service on the
    # same policy; the empty verifier it writes is taken for none.
    policy = policy_of(s, m)
    old = service_state(s)
    newer = bumped_package(s, "1.1.99", machine=True)
    code, _ = msiexec(s, "/i", winpath(newer))
    check(code == 0, "per-machine upgrade: exit code %d" % code)
    key, values = product_entry(s, MACHINE_PRODUCT)
    check(values.get("DisplayVersion") == "1.1.99", "after the upgrade: %r" % values)
    wait_service_running(s, other_than=old["pid"])
    check(registry_value(s, SETUP_KEY, "PasswordVerifier") is None, "the upgrade's setup value was left")
    check(policy_of(s, m) == policy, "the upgrade changed the policy")
    s.wait_tray("locked")  # the tray follows the restarted service

    # A restart of the session writes the registry to its files; the service
    # starts with it, as at a boot. Nothing the package, the service, the tool
    # or the tray wrote holds the verifier or its password as text.
    s.stop()
    s.start_desktop()
    wait_service_running(s)
    found = files_holding(s.e.prefix, [verifier, MACHINE_PASSWORD])
    check(not found, "the verifier or its password in %s" % found)

    # Uninstall: the service and the program go, the policy stays.
    code, _ = msiexec(s, "/x", winpath(newer))
    check(code == 0, "per-machine uninstall: exit code %d" % code)
    check(service_state(s) == {}, "the service is still installed")
    let_go_of_service_program(s, m)
    check(not os.path.exists(m.programs), "Program Files\\Ventrix left behind: %s" % left_in(m.programs))
    check(registry_value(s, RUN_KEY, "Ventrix") is None, "the Run value left behind")
    check(product_entry(s, MACHINE_PRODUCT)[0] is None, "uninstall entry left behind")
    check(os.path.exists(m.conf) and policy_of(s, m) == policy, "the uninstall touched the policy")


def main():
    global MSI, MACHINE_MSI
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("--exe", "--probe", "--source-dir", "--build-dir", "--msi"):
        parser.add_argument(name, required=True)
    parser.add_argument("--machine-msi")
    parser.add_argument("--bits", type=int, choices=[32, 64], default=32)
    parser.add_argument("--peer-exe")
    args = parser.parse_args()
    MSI = os.path.abspath(args.msi)
    MACHINE_MSI = args.machine_msi and os.path.abspath(args.machine_msi)
    e = harness.Environment(args)
    e.prefix = os.path.join(e.build, "e2e-install-prefix")
    e.env["WINEPREFIX"] = e.prefix
    # Wine's menu builder would write .desktop files into this machine's home.
    e.env["WINEDLLOVERRIDES"] = "winemenubuilder.exe=d;mscoree,mshtml="
    e.ensure_display()
    try:
        e.wineserver_kill()
        shutil.rmtree(e.prefix, ignore_errors=True)
        script = os.path.join(e.source, "scripts", "wine-env.sh")
        code, output = e.run(["bash", "-c", '. "$0"; make_prefix "$1"', script, e.prefix], timeout=180)
        check(code == 0, "make_prefix failed:\n" + output)
        harness.SCENARIOS = {"installer": scenario_installer, "installer_machine": scenario_installer_machine}
        return harness.run_scenarios(e, ["installer"] + (["installer_machine"] if MACHINE_MSI else []))
    finally:
        e.wineserver_kill()
        shutil.rmtree(e.prefix, ignore_errors=True)
        e.stop_display()


if __name__ == "__main__":
    sys.exit(main())

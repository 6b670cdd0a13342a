#!/usr/bin/env python3
"""Checks of an installer package's tables where a mistake would be silent
(wixl runs no validation), read with msiinfo:

  check_msi.py MSI x86|x64 VERSION            the per-user package
  check_msi.py MSI x86|x64 VERSION machine    the per-machine package
"""
import subprocess
import sys

UPGRADE_CODE = "{7D3A61C2-4E0B-4B8F-9A25-6C1E0F83B5D4}"
# Its own, fixed forever: the per-user package must never upgrade it away.
MACHINE_UPGRADE_CODE = "{E8000A7B-B990-4114-BA27-D05500B80F69}"
COMPONENT_64BIT = 256
REGISTRY_KEY_PATH = 4
ELEVATION_NOT_NEEDED = 8  # word count bit of the summary information
HKLM = 2
# Installed files and their folder below the program's.
PROGRAM_FILES = {"ventrix.exe": "", "ventrix-hash.exe": "", "Ventrix.admx": "policy",
                 "Ventrix.adml": "policy/en-US"}
MACHINE_FILES = dict(PROGRAM_FILES, **{"ventrix-service.exe": ""})
# ServiceControl events: start at install, stop at install and uninstall,
# delete at uninstall (no start at uninstall, no delete at install).
START_INSTALL, STOP_INSTALL, STOP_UNINSTALL, DELETE_UNINSTALL = 0x1, 0x2, 0x20, 0x80
SERVICE_OWN_PROCESS, SERVICE_AUTO_START, ERROR_NORMAL = 0x10, 2, 1


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def table(msi, name):
    """Rows of a table as dicts; msiinfo writes CRLF lines."""
    text = subprocess.run(["msiinfo", "export", msi, name], capture_output=True, text=True, check=True).stdout
    lines = [line.rstrip("\r") for line in text.split("\n") if line.strip()]
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:]]


def check_common(msi, arch, version, upgrade_code, files):
    """What both packages share: platform, version, upgrade rules, where the files go.
    Returns the summary's word count, the properties and the tables used again."""
    info = subprocess.run(["msiinfo", "suminfo", msi], capture_output=True, text=True, check=True).stdout
    check(("Template: %s;1033" % ("x64" if arch == "x64" else "Intel")) in info, "platform template:\n" + info)
    word_count = int(info.split("Source:")[1].split()[0])

    properties = {row["Property"]: row["Value"] for row in table(msi, "Property")}
    check(properties.get("ProductVersion") == version, "version %r" % properties.get("ProductVersion"))
    check(properties.get("UpgradeCode") == upgrade_code, "upgrade code %r" % properties.get("UpgradeCode"))
    check(properties.get("ARPPRODUCTICON") and properties.get("Manufacturer") == "Ventrix developers",
          "Add/Remove Programs icon or publisher missing")

    components = {row["Component"]: row for row in table(msi, "Component")}
    for name, row in components.items():
        check(bool(int(row["Attributes"]) & COMPONENT_64BIT) == (arch == "x64"), "%s has the wrong bitness" % name)

    # The verifier tool beside the exe, the templates in a "policy" folder beside it.
    directories = {row["Directory"]: row for row in table(msi, "Directory")}
    features = {row["Component_"]: row["Feature_"] for row in table(msi, "FeatureComponents")}
    file_rows = {row["FileName"].split("|")[-1]: row for row in table(msi, "File")}
    for name, folder in files.items():
        check(name in file_rows, "%s is not in the package" % name)
        component = file_rows[name]["Component_"]
        path, directory = [], components[component]["Directory_"]
        while directory != "INSTALLDIR":
            path.insert(0, directories[directory]["DefaultDir"].split("|")[-1])
            directory = directories[directory]["Directory_Parent"]
        check("/".join(path) == folder, "%s is in %r, not %r" % (name, "/".join(path), folder))
        check(features.get(component) == "Main", "%s is not in the Main feature" % name)
    check(set(file_rows) == set(files), "files in the package: %s" % sorted(file_rows))

    upgrades = table(msi, "Upgrade")
    check(len(upgrades) == 2 and all(row["UpgradeCode"] == upgrade_code for row in upgrades), "upgrade rows")
    older = [r for r in upgrades if r["VersionMax"] == version and r["ActionProperty"] == "WIX_UPGRADE_DETECTED"]
    newer = [r for r in upgrades if r["VersionMin"] == version and r["ActionProperty"] == "WIX_DOWNGRADE_DETECTED"]
    check(older and newer, "no upgrade of older or refusal of newer versions: %r" % upgrades)
    conditions = table(msi, "LaunchCondition")
    check(any("newer version of Ventrix" in row["Description"] for row in conditions), "no downgrade message")
    sequence = {row["Action"] for row in table(msi, "InstallExecuteSequence")}
    check({"FindRelatedProducts", "RemoveExistingProducts"} <= sequence, "the upgrade actions are missing")
    return word_count, properties, components, directories, features, file_rows, upgrades, sequence


def check_per_user(msi, arch, version):
    word_count, properties, components, directories, features, _, _, _ = check_common(
        msi, arch, version, UPGRADE_CODE, PROGRAM_FILES)
    check(word_count & ELEVATION_NOT_NEEDED, "the package asks for administrator rights (word count %d)" % word_count)
    check("ALLUSERS" not in properties, "ALLUSERS set: not a per-user package")

    shortcuts = {row["Directory_"]: row for row in table(msi, "Shortcut")}
    check(set(shortcuts) == {"ProgramMenuFolder", "StartupFolder"}, "shortcuts in %s" % sorted(shortcuts))
    for folder, row in shortcuts.items():
        check(row["WkDir"] == "DATADIR", "%s shortcut starts in %r" % (folder, row["WkDir"]))
        check(row["Target"] == "[INSTALLDIR]ventrix.exe", "%s shortcut runs %r" % (folder, row["Target"]))
        check(row["Name"] == "Ventrix", "%s shortcut is named %r" % (folder, row["Name"]))

    check(directories["DATADIR"]["Directory_Parent"] == "AppDataFolder", "data folder not in the roaming profile")
    check(directories["INSTALLDIR"]["Directory_Parent"] == "UserProgramsFolder"
          and directories["UserProgramsFolder"]["Directory_Parent"] == "LocalAppDataFolder",
          "program not in AppData\\Local\\Programs")

    for name, row in components.items():
        check(int(row["Attributes"]) & REGISTRY_KEY_PATH, "%s keeps no registry key path" % name)
    check(features.get("StartupShortcut") == "Autostart" and features.get("StartMenuShortcut") == "Main"
          and features.get("Program") == "Main", "features: %r" % features)
    print("%s: %s package %s, per-user, tables in order" % (msi, arch, version))


def check_machine(msi, arch, version):
    word_count, properties, components, directories, features, file_rows, upgrades, sequence = check_common(
        msi, arch, version, MACHINE_UPGRADE_CODE, MACHINE_FILES)
    check(not word_count & ELEVATION_NOT_NEEDED, "the package does not ask for administrator rights")
    check(properties.get("ALLUSERS") == "1" and "MSIINSTALLPERUSER" not in properties,
          "not a per-machine package: ALLUSERS %r" % properties.get("ALLUSERS"))

    program_files = "ProgramFiles64Folder" if arch == "x64" else "ProgramFilesFolder"
    check(directories["INSTALLDIR"]["Directory_Parent"] == program_files
          and directories["INSTALLDIR"]["DefaultDir"].split("|")[-1] == "Ventrix"
          and directories[program_files]["Directory_Parent"] == "TARGETDIR",
          "program not in %s\\Ventrix: %r" % (program_files, directories["INSTALLDIR"]))
    check(not table(msi, "Shortcut"), "shortcuts in the per-machine package")

    # The service's binary is the key file of the component that installs it.
    service_component = file_rows["ventrix-service.exe"]["Component_"]
    check(components[service_component]["KeyPath"] == file_rows["ventrix-service.exe"]["File"],
          "ventrix-service.exe is not its component's key path")
    services = table(msi, "ServiceInstall")
    check(len(services) == 1, "service rows: %r" % services)
    service = services[0]
    check(service["Name"] == "Ventrix" and service["DisplayName"] == "Ventrix"
          and service["Description"] == "Keeps removable media out of use on this PC.",
          "service names: %r" % service)
    check(int(service["ServiceType"]) == SERVICE_OWN_PROCESS and int(service["StartType"]) == SERVICE_AUTO_START
          and int(service["ErrorControl"]) & 0xFF == ERROR_NORMAL, "service type, start or error control: %r" % service)
    check(not service["StartName"] and not service["Password"], "the service does not run as LocalSystem: %r" % service)
    check(service["Component_"] == service_component, "the service is installed with %s" % service["Component_"])
    controls = table(msi, "ServiceControl")
    check(len(controls) == 1, "service control rows: %r" % controls)
    control = controls[0]
    check(control["Name"] == "Ventrix" and control["Component_"] == service_component, "service control: %r" % control)
    check(int(control["Event"]) == START_INSTALL | STOP_INSTALL | STOP_UNINSTALL | DELETE_UNINSTALL,
          "service control events 0x%x" % int(control["Event"]))
    check(control["Wait"] == "1", "the install does not wait for the service")
    check({"StopServices", "DeleteServices", "InstallServices", "StartServices"} <= sequence,
          "service actions missing from the sequence")

    registry = table(msi, "Registry")
    run = [r for r in registry if r["Key"].lower() == r"software\microsoft\windows\currentversion\run"]
    check(len(run) == 1 and run[0]["Root"] == str(HKLM) and run[0]["Name"] == "Ventrix"
          and run[0]["Value"] == '"[INSTALLDIR]ventrix.exe"', "the Run value: %r" % run)
    # The verifier goes to the setup key and nowhere else.
    verifier = [r for r in registry if "PASSWORDVERIFIER" in r["Value"].upper()]
    check(len(verifier) == 1 and verifier[0]["Root"] == str(HKLM)
          and verifier[0]["Key"].lower() == r"software\ventrix\setup" and verifier[0]["Name"] == "PasswordVerifier"
          and verifier[0]["Value"] == "[PASSWORDVERIFIER]", "the setup value: %r" % verifier)

    hidden = properties.get("MsiHiddenProperties", "").split(";")
    check("PASSWORDVERIFIER" in hidden, "the verifier is not hidden from the log: %r" % hidden)
    # A property reaches the server side of a per-machine install only when
    # it is secure; the upgrade's own properties must stay on the list, and
    # the verifier must not be on it, or a standard user's repair sets the
    # PC's password.
    secure = properties.get("SecureCustomProperties", "").split(";")
    for name in [row["ActionProperty"] for row in upgrades]:
        check(name in secure, "%s is not among SecureCustomProperties %r" % (name, secure))
    check("PASSWORDVERIFIER" not in secure, "a standard user's repair may pass PASSWORDVERIFIER: %r" % secure)
    # The setup key is SYSTEM's and the Administrators' from the install on.
    locks = table(msi, "MsiLockPermissionsEx")
    check([(r["LockObject"], r["Table"], r["SDDLText"]) for r in locks]
          == [(verifier[0]["Registry"], "Registry", "D:P(A;CI;GA;;;SY)(A;CI;GA;;;BA)")],
          "the setup key's access list: %r" % locks)
    print("%s: %s package %s, per-machine, tables in order" % (msi, arch, version))


if __name__ == "__main__":
    try:
        if len(sys.argv) > 4 and sys.argv[4] == "machine":
            check_machine(*sys.argv[1:4])
        else:
            check_per_user(*sys.argv[1:4])
    except (Failure, KeyError, IndexError, ValueError, subprocess.CalledProcessError) as error:
        print("%s: %s" % (sys.argv[1], error))
        sys.exit(1)

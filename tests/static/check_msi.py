#!/usr/bin/env python3
"""Checks of an installer package's tables where a mistake would be silent
(wixl runs no validation), read with msiinfo:

  check_msi.py MSI x86|x64 VERSION
"""
import subprocess
import sys

UPGRADE_CODE = "{7D3A61C2-4E0B-4B8F-9A25-6C1E0F83B5D4}"
COMPONENT_64BIT = 256
REGISTRY_KEY_PATH = 4
# Installed files and their folder below the program's.
PROGRAM_FILES = {"ventrix.exe": "", "ventrix-hash.exe": "", "Ventrix.admx": "policy",
                 "Ventrix.adml": "policy/en-US"}


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


def main(msi, arch, version):
    info = subprocess.run(["msiinfo", "suminfo", msi], capture_output=True, text=True, check=True).stdout
    check(("Template: %s;1033" % ("x64" if arch == "x64" else "Intel")) in info, "platform template:\n" + info)
    source = int(info.split("Source:")[1].split()[0])
    check(source & 8, "the package asks for administrator rights (word count %d)" % source)

    properties = {row["Property"]: row["Value"] for row in table(msi, "Property")}
    check(properties.get("ProductVersion") == version, "version %r" % properties.get("ProductVersion"))
    check(properties.get("UpgradeCode") == UPGRADE_CODE, "upgrade code %r" % properties.get("UpgradeCode"))
    check("ALLUSERS" not in properties, "ALLUSERS set: not a per-user package")
    check(properties.get("ARPPRODUCTICON") and properties.get("Manufacturer") == "Ventrix developers",
          "Add/Remove Programs icon or publisher missing")

    shortcuts = {row["Directory_"]: row for row in table(msi, "Shortcut")}
    check(set(shortcuts) == {"ProgramMenuFolder", "StartupFolder"}, "shortcuts in %s" % sorted(shortcuts))
    for folder, row in shortcuts.items():
        check(row["WkDir"] == "DATADIR", "%s shortcut starts in %r" % (folder, row["WkDir"]))
        check(row["Target"] == "[INSTALLDIR]ventrix.exe", "%s shortcut runs %r" % (folder, row["Target"]))
        check(row["Name"] == "Ventrix", "%s shortcut is named %r" % (folder, row["Name"]))

    directories = {row["Directory"]: row for row in table(msi, "Directory")}
    check(directories["DATADIR"]["Directory_Parent"] == "AppDataFolder", "data folder not in the roaming profile")
    check(directories["INSTALLDIR"]["Directory_Parent"] == "UserProgramsFolder"
          and directories["UserProgramsFolder"]["Directory_Parent"] == "LocalAppDataFolder",
          "program not in AppData\\Local\\Programs")

    for row in table(msi, "Component"):
        attributes = int(row["Attributes"])
        check(bool(attributes & COMPONENT_64BIT) == (arch == "x64"), "%s has the wrong bitness" % row["Component"])
        check(attributes & REGISTRY_KEY_PATH, "%s keeps no registry key path" % row["Component"])

    features = {row["Component_"]: row["Feature_"] for row in table(msi, "FeatureComponents")}
    check(features.get("StartupShortcut") == "Autostart" and features.get("StartMenuShortcut") == "Main"
          and features.get("Program") == "Main", "features: %r" % features)

    # The verifier tool beside the exe, the templates in a "policy" folder beside it.
    components = {row["Component"]: row["Directory_"] for row in table(msi, "Component")}
    files = {row["FileName"].split("|")[-1]: row["Component_"] for row in table(msi, "File")}
    for name, folder in PROGRAM_FILES.items():
        check(name in files, "%s is not in the package" % name)
        path, directory = [], components[files[name]]
        while directory != "INSTALLDIR":
            path.insert(0, directories[directory]["DefaultDir"].split("|")[-1])
            directory = directories[directory]["Directory_Parent"]
        check("/".join(path) == folder, "%s is in %r, not %r" % (name, "/".join(path), folder))
        check(features.get(files[name]) == "Main", "%s is not in the Main feature" % name)

    upgrades = table(msi, "Upgrade")
    check(len(upgrades) == 2 and all(row["UpgradeCode"] == UPGRADE_CODE for row in upgrades), "upgrade rows")
    older = [r for r in upgrades if r["VersionMax"] == version and r["ActionProperty"] == "WIX_UPGRADE_DETECTED"]
    newer = [r for r in upgrades if r["VersionMin"] == version and r["ActionProperty"] == "WIX_DOWNGRADE_DETECTED"]
    check(older and newer, "no upgrade of older or refusal of newer versions: %r" % upgrades)
    conditions = table(msi, "LaunchCondition")
    check(any("newer version of Ventrix" in row["Description"] for row in conditions), "no downgrade message")
    sequence = {row["Action"] for row in table(msi, "InstallExecuteSequence")}
    check({"FindRelatedProducts", "RemoveExistingProducts"} <= sequence, "the upgrade actions are missing")
    print("%s: %s package %s, per-user, tables in order" % (msi, arch, version))


if __name__ == "__main__":
    try:
        main(*sys.argv[1:4])
    except (Failure, KeyError, IndexError, ValueError, subprocess.CalledProcessError) as error:
        print("%s: %s" % (sys.argv[1], error))
        sys.exit(1)

#!/usr/bin/env python3
"""Static checks of a Windows build's executable, read from its bytes (no Wine):
the PE header (machine, GUI subsystem), the imports (Windows' own DLLs only)
and the resources (manifest of the build's architecture, templates, menu,
icons, bitmaps, version information).

  check_exe.py EXE x86|amd64 [service]   (the service: no user interface, wtsapi32 besides)
"""
import struct
import sys

MACHINES = {"x86": (0x014C, 0x10B), "amd64": (0x8664, 0x20B)}  # machine, optional-header magic
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "comctl32.dll",
               "crypt32.dll", "advapi32.dll", "msvcrt.dll"}
# The service's session functions come from Windows' own wtsapi32 as well.
SERVICE_DLLS = SYSTEM_DLLS | {"wtsapi32.dll"}
RT_ICON_GROUP, RT_BITMAP, RT_DIALOG, RT_MENU, RT_VERSION, RT_MANIFEST, RT_MESSAGETABLE = 14, 2, 5, 4, 16, 24, 11
# The audit events' identifiers, severity bits included (information, warning, error).
EVENT_IDS = {0x40000000 | 1000, 0x80000000 | 1001, 0x80000000 | 2000, 0x40000000 | 2001, 0x40000000 | 2002, 0x80000000 | 2003,
             0x40000000 | 3000,
             0x40000000 | 3001, 0x40000000 | 3002, 0x40000000 | 3003, 0x80000000 | 3100, 0x40000000 | 3200, 0x40000000 | 3201, 0x40000000 | 4000, 0xC0000000 | 5000,
             0x80000000 | 5001, 0x40000000 | 1002, 0x80000000 | 5100, 0x40000000 | 1010, 0x40000000 | 3202,
             0x40000000 | 4010, 0xC0000000 | 5200, 0xC0000000 | 5201}
WANTED = {RT_DIALOG: {101, 103, 104, 114, 126, 140, 141}, RT_MENU: {6}, RT_ICON_GROUP: {107, 109, 111, 133, 134},
          RT_BITMAP: {115, 116, 123, 125, 131}, RT_VERSION: {1}, RT_MANIFEST: {1}, RT_MESSAGETABLE: {1}}
# The service shows no window of its own: version and the event log's texts only.
SERVICE_WANTED = {RT_VERSION: {1}, RT_MESSAGETABLE: {1}}


class PE:
    def __init__(self, data):
        self.data = data
        check(data[:2] == b"MZ", "no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        check(data[pe:pe + 4] == b"PE\0\0", "no PE signature")
        self.machine, sections, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", data, opt)[0]
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        dirs = opt + (96 if self.magic == 0x10B else 112)
        self.directories = [struct.unpack_from("<II", data, dirs + 8 * i) for i in range(16)]
        self.sections = []
        for i in range(sections):
            at = opt + opt_size + 40 * i
            vsize, vaddr, rsize, raw = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append((vaddr, max(vsize, rsize), raw))

    def offset(self, rva):
        for vaddr, size, raw in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + raw
        raise Failure("address 0x%x in no section" % rva)

    def cstring(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode()

    def imports(self):
        names, at = [], self.offset(self.directories[1][0])
        while True:
            entry = struct.unpack_from("<IIIII", self.data, at)
            if not any(entry):
                return names
            names.append(self.cstring(entry[3]))
            at += 20

    def resources(self):
        """{type: {name id: bytes of its first language}}"""
        base = self.directories[2][0]
        out = {}
        for rtype, type_dir in self._entries(base, 0):
            for name, lang_dir in self._entries(base, type_dir):
                lang_entry = self._entries(base, lang_dir)[0][1]
                rva, size = struct.unpack_from("<II", self.data, self.offset(base + lang_entry))
                at = self.offset(rva)
                out.setdefault(rtype, {})[name] = self.data[at:at + size]
        return out

    def _entries(self, base, directory):
        at = self.offset(base + (directory & 0x7FFFFFFF))
        named, numbered = struct.unpack_from("<HH", self.data, at + 12)
        return [struct.unpack_from("<II", self.data, at + 16 + 8 * i) for i in range(named + numbered)]


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def main(path, arch, kind="program"):
    service = kind == "service"
    pe = PE(open(path, "rb").read())
    machine, magic = MACHINES[arch]
    check(pe.machine == machine, "machine 0x%x, not %s" % (pe.machine, arch))
    check(pe.magic == magic, "optional header 0x%x is not %s's" % (pe.magic, arch))
    check(pe.subsystem == 2, "subsystem %d is not the GUI" % pe.subsystem)
    foreign = sorted(set(n.lower() for n in pe.imports()) - (SERVICE_DLLS if service else SYSTEM_DLLS))
    check(not foreign, "imports beyond Windows' own DLLs: %s" % ", ".join(foreign))
    resources = pe.resources()
    for rtype, ids in (SERVICE_WANTED if service else WANTED).items():
        missing = ids - set(resources.get(rtype, {}))
        check(not missing, "resource type %d lacks %s" % (rtype, sorted(missing)))
    table = resources[RT_MESSAGETABLE][1]
    blocks = [struct.unpack_from("<III", table, 4 + 12 * i)[:2] for i in range(struct.unpack_from("<I", table)[0])]
    missing = sorted(hex(i) for i in EVENT_IDS if not any(low <= i <= high for low, high in blocks))
    check(not missing, "the message table lacks events %s" % ", ".join(missing))
    if service:
        check(RT_DIALOG not in resources and RT_MANIFEST not in resources, "the service carries user-interface resources")
    else:
        manifest = resources[RT_MANIFEST][1].decode()
        check(manifest.count('processorArchitecture="%s"' % arch) == 2,
              "the manifest does not name %s for itself and comctl32" % arch)
    print("%s: %s, GUI, imports %s; resources and manifest in order" % (path, arch, ", ".join(pe.imports())))


if __name__ == "__main__":
    try:
        main(*sys.argv[1:4])
    except (Failure, KeyError, ValueError, struct.error) as error:
        print("%s: %s" % (sys.argv[1], error))
        sys.exit(1)

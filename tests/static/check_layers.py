#!/usr/bin/env python3
"""The rooms' include lines: a room includes only itself and the rooms below
it (policy < volume < control < service < the tray program, app/ and ui/),
so the layout shows the architecture. Usage: check_layers.py SOURCE_DIR"""
import os
import re
import sys

LEVEL = {"policy": 0, "volume": 1, "control": 2, "service": 3, "app": 4, "ui": 4}
# Identifiers and resources any program room may use.
SHARED = {"resources"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([a-z_]+)/')


def main(root):
    faults = []
    for room, level in LEVEL.items():
        for folder, _, names in os.walk(os.path.join(root, room)):
            for name in names:
                if not name.endswith((".h", ".cpp", ".c")):
                    continue
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        used = match.group(1)
                        if used in SHARED and level >= LEVEL["app"]:
                            continue
                        if LEVEL.get(used, 99) > level:
                            faults.append("%s:%d: %s/ includes %s/" % (os.path.relpath(path, root), number, room, used))
    for fault in faults:
        print(fault)
    print("rooms: %s" % ("%d include lines reach up" % len(faults) if faults else "every include line reaches down"))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))

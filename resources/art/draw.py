#!/usr/bin/env python3
"""Draws Ventrix's icons and menu bitmaps from the pixel maps below.

Writes byte-exact .ico and .bmp files next to this script. The build uses the
checked-in files, so Python is only needed after changing a picture:

    python3 resources/art/draw.py

Pixel maps are lists of equal-length strings, top row first. In icon maps '.'
is transparent (AND mask bit set, colour bits black); every other character is
a colour of the map's legend. Menu glyphs are monochrome: 'X' is ink, '.' is
background.
"""

import math
import pathlib
import struct

OUT = pathlib.Path(__file__).resolve().parent

# The 16-colour VGA palette that 4-bit icon images use.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, MAROON, GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = range(8)
GREY, RED, LIME, YELLOW, BLUE, FUCHSIA, AQUA, WHITE = range(8, 16)

# Padlock colours: steel shackle, brass body.
LOCK = {
    'k': (58, 60, 68),      # shackle outline
    's': (222, 226, 234),   # shackle highlight
    'S': (150, 156, 168),   # shackle
    'K': (110, 70, 0),      # body outline
    'y': (255, 232, 128),   # body highlight
    'Y': (242, 188, 36),    # body
    'O': (196, 132, 12),    # body shade
    'h': (48, 28, 0),       # keyhole
}
# The same padlock in the 16-colour palette, for displays that want it.
LOCK_VGA = {
    'k': BLACK, 's': WHITE, 'S': SILVER, 'K': OLIVE,
    'y': WHITE, 'Y': YELLOW, 'O': OLIVE, 'h': BLACK,
}

LOCKED_16 = [
    "................",
    ".....kkkkkk.....",
    "....ksssssSk....",
    "...ksSkkkkSSk...",
    "...ksk....kSk...",
    "...ksk....kSk...",
    "...ksk....kSk...",
    "..KKKKKKKKKKKK..",
    "..KyyyyyyyyyYK..",
    "..KyYYYhhYYYOK..",
    "..KyYYhhhhYYOK..",
    "..KyYYhhhhYYOK..",
    "..KyYYYhhYYYOK..",
    "..KyYYYhhYYYOK..",
    "..KOOOOOOOOOOK..",
    "..KKKKKKKKKKKK..",
]

UNLOCKED_16 = [
    "........kkkkkk..",
    ".......ksssssSk.",
    "......ksSkkkkSSk",
    "......ksk....kSk",
    "......ksk....kSk",
    "......ksk....kkk",
    "......ksk.......",
    "..KKKKKKKKKKKK..",
    "..KyyyyyyyyyYK..",
    "..KyYYYhhYYYOK..",
    "..KyYYhhhhYYOK..",
    "..KyYYhhhhYYOK..",
    "..KyYYYhhYYYOK..",
    "..KyYYYhhYYYOK..",
    "..KOOOOOOOOOOK..",
    "..KKKKKKKKKKKK..",
]

# A USB memory stick: metal plug on top, blue body with a light.
STICK = {
    'k': (40, 44, 56),      # outline
    'm': (232, 234, 240),   # plug metal, lit
    'M': (170, 176, 188),   # plug metal
    'h': (70, 74, 86),      # plug contacts
    'B': (40, 100, 210),    # body
    'b': (120, 170, 240),   # body highlight
    'D': (20, 60, 150),     # body shade
    'g': (80, 230, 90),     # activity light
}
REMOVABLE_16 = [
    "................",
    ".....kkkkkk.....",
    ".....kmmmMk.....",
    ".....kmhhMk.....",
    ".....kmmmMk.....",
    ".....kmhhMk.....",
    "....kkkkkkkk....",
    "....kbbbbbBk....",
    "....kbBBBBDk....",
    "....kbBBBBDk....",
    "....kbBBBBDk....",
    "....kbBBBBDk....",
    "....kbBBBBDk....",
    "....kbBggBDk....",
    "....kBDDDDDk....",
    ".....kkkkkk.....",
]

# An optical disc: silver with a coloured sheen, clear centre hole.
DISC = {
    'k': (72, 76, 88),      # rim
    'W': (250, 250, 252),   # glare
    's': (214, 218, 226),   # silver
    'S': (176, 182, 196),   # silver shade
    'c': (120, 210, 240),   # sheen cyan
    'p': (200, 150, 230),   # sheen violet
    'y': (246, 226, 120),   # sheen yellow
    'r': (130, 136, 150),   # hub ring
    'w': (255, 255, 255),   # hub
}


def disc(n):
    """An n x n disc, drawn by distance from the centre so its rim stays round:
    rim, silver face with a glare at the upper left and a band of colour at the
    lower right, white hub with a clear hole."""
    r = n / 2
    rows = []
    for y in range(n):
        row = ""
        for x in range(n):
            dx, dy = x + 0.5 - r, y + 0.5 - r
            d = (dx * dx + dy * dy) ** 0.5
            angle = math.degrees(math.atan2(dy, dx)) % 360  # y grows downwards
            if d > r or d < r * 0.16:
                row += "."
            elif d > r - 1:
                row += "k"
            elif d < r * 0.24:
                row += "w"
            elif d < r * 0.36:
                row += "r"
            elif abs(angle - 225) < 20 and d > 0.45 * r:
                row += "W"
            elif abs(angle - 45) < 28 and d > 0.45 * r:
                row += "cpy"[min(2, int((d - 0.45 * r) / (0.55 * r - 1) * 3))]
            elif dx + dy > 0:
                row += "S"
            else:
                row += "s"
        rows.append(row)
    return rows


def app_32():
    """Icon 107: the locked padlock in front of an optical disc."""
    rows = [list(r + "....") for r in disc(28)] + [list("." * 32) for _ in range(4)]
    lock = [
        "....kkkkkkk....",
        "...kssssssSk...",
        "..ksSkkkkkSSk..",
        "..ksk.....kSk..",
        "..ksk.....kSk..",
        "..ksk.....kSk..",
        "..ksk.....kSk..",
        "KKKKKKKKKKKKKKK",
        "KyyyyyyyyyyyyYK",
        "KyYYYYYYYYYYYOK",
        "KyYYYYhhhYYYYOK",
        "KyYYYhhhhhYYYOK",
        "KyYYYhhhhhYYYOK",
        "KyYYYYhhhYYYYOK",
        "KyYYYYhhhYYYYOK",
        "KyYYYYhhhYYYYOK",
        "KyYYYYYYYYYYYOK",
        "KOOOOOOOOOOOOOK",
        "KKKKKKKKKKKKKKK",
    ]
    top, left = 32 - len(lock), 32 - len(lock[0])
    for y, line in enumerate(lock):
        for x, ch in enumerate(line):
            if ch != ".":
                rows[top + y][left + x] = ch
    return ["".join(r) for r in rows]


APP_LEGEND = {**DISC, **LOCK}

# Menu glyphs, 8x13 (About: 9x13), drawn in the menu's own text colour.
MENU_LOCK = [
    "........",
    "........",
    "..XXXX..",
    ".XX..XX.",
    ".X....X.",
    ".X....X.",
    "XXXXXXXX",
    "XXXXXXXX",
    "XXX..XXX",
    "XXX..XXX",
    "XXXXXXXX",
    "XXXXXXXX",
    "........",
]
MENU_UNLOCK = [
    "....XXXX",
    "...XX..X",
    "...X...X",
    "...X...X",
    "...X....",
    "...X....",
    "XXXXXXXX",
    "XXXXXXXX",
    "XXX..XXX",
    "XXX..XXX",
    "XXXXXXXX",
    "XXXXXXXX",
    "........",
]
MENU_GEAR = [
    "........",
    "........",
    ".X.XX.X.",
    "XXXXXXXX",
    ".XX..XX.",
    "XX....XX",
    "XX....XX",
    ".XX..XX.",
    "XXXXXXXX",
    ".X.XX.X.",
    "........",
    "........",
    "........",
]
MENU_EXIT = [
    "........",
    "........",
    "XX....XX",
    "XXX..XXX",
    ".XXXXXX.",
    "..XXXX..",
    "..XXXX..",
    ".XXXXXX.",
    "XXX..XXX",
    "XX....XX",
    "........",
    "........",
    "........",
]
MENU_ABOUT = [
    ".........",
    "...XXX...",
    ".XXXXXXX.",
    ".XXX.XXX.",
    "XXXXXXXXX",
    "XXX..XXXX",
    "XXXX.XXXX",
    "XXXX.XXXX",
    ".XXX.XXX.",
    ".XX...XX.",
    "...XXX...",
    ".........",
    ".........",
]


def _check(rows, legend=None):
    width = len(rows[0])
    for row in rows:
        assert len(row) == width, f"ragged row {row!r}"
        if legend is not None:
            for ch in row:
                assert ch == "." or ch in legend, f"no colour for {ch!r}"


def _mask_rows(rows):
    """AND mask, bottom-up, rows padded to 32 bits: 1 = transparent."""
    stride = (len(rows[0]) + 31) // 32 * 4
    out = b""
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, ch in enumerate(row):
            if ch == ".":
                bits[x // 8] |= 0x80 >> (x % 8)
        out += bytes(bits)
    return out


def _indexed_rows(rows, index, bpp):
    stride = (len(rows[0]) * bpp + 31) // 32 * 4
    out = b""
    for row in reversed(rows):
        bits = bytearray(stride)
        for x, ch in enumerate(row):
            value = 0 if ch == "." else index[ch]
            bit = x * bpp
            bits[bit // 8] |= value << (8 - bpp - bit % 8)
        out += bytes(bits)
    return out


def icon_image(rows, bpp, legend, vga=None):
    """One icon image: BITMAPINFOHEADER, palette, colour bits, AND mask."""
    _check(rows, vga if bpp == 4 else legend)
    size = len(rows)
    assert len(rows[0]) == size
    if bpp == 24:
        palette = b""
        xor = b""
        for row in reversed(rows):
            for ch in row:
                r, g, b = (0, 0, 0) if ch == "." else legend[ch]
                xor += bytes((b, g, r))
        assert len(xor) % 4 == 0
    elif bpp == 4:
        palette = b"".join(bytes((b, g, r, 0)) for r, g, b in VGA16)
        xor = _indexed_rows(rows, vga, 4)
    elif bpp == 8:
        # Index 0 is black so that transparent pixels leave the screen as is.
        colours = [(0, 0, 0)] + [legend[ch] for ch in sorted(legend)]
        index = {ch: i + 1 for i, ch in enumerate(sorted(legend))}
        colours += [(0, 0, 0)] * (256 - len(colours))
        palette = b"".join(bytes((b, g, r, 0)) for r, g, b in colours)
        xor = _indexed_rows(rows, index, 8)
    else:
        raise ValueError(bpp)
    mask = _mask_rows(rows)
    header = struct.pack("<IiiHHIIiiII", 40, size, 2 * size, 1, bpp, 0,
                         len(xor) + len(mask), 0, 0, 0, 0)
    return size, bpp, header + palette + xor + mask


def write_ico(name, images):
    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    data = b""
    for size, bpp, blob in images:
        colours = 16 if bpp == 4 else 0
        entries += struct.pack("<BBBBHHII", size % 256, size % 256, colours, 0,
                               1, bpp, len(blob), offset + len(data))
        data += blob
    (OUT / name).write_bytes(directory + entries + data)


def write_glyph_bmp(name, rows):
    """A 1-bit BMP with a black-then-white palette. Loaded, it becomes a
    monochrome bitmap, which menus paint in their text and background colours
    (also when the item is highlighted)."""
    _check(rows)
    width, height = len(rows[0]), len(rows)
    stride = (width + 31) // 32 * 4
    bits = b""
    for row in reversed(rows):
        line = bytearray(stride)
        for x, ch in enumerate(row):
            if ch == ".":
                line[x // 8] |= 0x80 >> (x % 8)  # white: background
        bits += bytes(line)
    palette = bytes((0, 0, 0, 0, 255, 255, 255, 0))
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 1, 0, len(bits),
                       0, 0, 2, 0)
    offset = 14 + len(info) + len(palette)
    head = struct.pack("<2sIHHI", b"BM", offset + len(bits), 0, 0, offset)
    (OUT / name).write_bytes(head + info + palette + bits)


def main():
    write_ico("locked.ico", [icon_image(LOCKED_16, 24, LOCK)])
    write_ico("unlocked.ico", [icon_image(UNLOCKED_16, 24, LOCK),
                               icon_image(UNLOCKED_16, 4, LOCK, LOCK_VGA)])
    write_ico("removable.ico", [icon_image(REMOVABLE_16, 8, STICK)])
    write_ico("cdrom.ico", [icon_image(disc(16), 8, DISC)])
    write_ico("app.ico", [icon_image(app_32(), 24, APP_LEGEND)])
    write_glyph_bmp("menu_lock.bmp", MENU_LOCK)
    write_glyph_bmp("menu_unlock.bmp", MENU_UNLOCK)
    write_glyph_bmp("menu_configuration.bmp", MENU_GEAR)
    write_glyph_bmp("menu_exit.bmp", MENU_EXIT)
    write_glyph_bmp("menu_about.bmp", MENU_ABOUT)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Writes icon 101 from its pixel grid, component/resources/icon101.txt:

  component/resources/icon101.ico   the Windows icon resource: one 32 x 32 image, 16 colours (4 bits a
                          pixel, the standard 16-colour palette) with its 1-bit mask;
  component/resources/icon101.inc   the same .ico bytes, and the picture as 32 x 32 RGBA (top row
                          first, transparent pixels 0,0,0,0) for a Linux window, as C++.

Usage: gen_icon.py [--check] [--windres PROGRAM]
  --check            write nothing; exit 1 when a committed output differs from the grid.
  --windres PROGRAM  also compile the resource statement `101 ICON "icon101.ico"` with that
                     resource compiler and check that the icon resource holds the image.
The outputs are committed."""
import os
import struct
import sys

sys.dont_write_bytecode = True  # run from the tests: leave no cache in the source tree
import winres  # noqa: E402

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
GRID = os.path.join(ROOT, "component", "resources", "icon101.txt")
ICO = os.path.join(ROOT, "component", "resources", "icon101.ico")
INC = os.path.join(ROOT, "component", "resources", "icon101.inc")
SIZE = 32

# The standard 16-colour palette, in palette order, with the letter the grid uses for each.
PALETTE = [
    ("K", (0x00, 0x00, 0x00)),  # 0 black
    ("r", (0x80, 0x00, 0x00)),  # 1 dark red
    ("g", (0x00, 0x80, 0x00)),  # 2 dark green
    ("y", (0x80, 0x80, 0x00)),  # 3 olive
    ("b", (0x00, 0x00, 0x80)),  # 4 navy
    ("m", (0x80, 0x00, 0x80)),  # 5 purple
    ("c", (0x00, 0x80, 0x80)),  # 6 teal
    ("s", (0xC0, 0xC0, 0xC0)),  # 7 silver
    ("d", (0x80, 0x80, 0x80)),  # 8 grey
    ("R", (0xFF, 0x00, 0x00)),  # 9 red
    ("G", (0x00, 0xFF, 0x00)),  # 10 lime
    ("Y", (0xFF, 0xFF, 0x00)),  # 11 yellow
    ("B", (0x00, 0x00, 0xFF)),  # 12 blue
    ("M", (0xFF, 0x00, 0xFF)),  # 13 magenta
    ("C", (0x00, 0xFF, 0xFF)),  # 14 cyan
    ("W", (0xFF, 0xFF, 0xFF)),  # 15 white
]
TRANSPARENT = "."


def read_grid(path):
    """The grid as 32 rows of palette indices (None where transparent), top row first."""
    index = {letter: i for i, (letter, _) in enumerate(PALETTE)}
    rows = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if line.startswith("#") or not line.strip():
                continue
            if len(line) != SIZE:
                sys.exit("%s:%d: a row has %d pixels, not %d" % (path, number, len(line), SIZE))
            row = []
            for ch in line:
                if ch == TRANSPARENT:
                    row.append(None)
                elif ch in index:
                    row.append(index[ch])
                else:
                    sys.exit("%s:%d: %r is no colour of the palette" % (path, number, ch))
            rows.append(row)
    if len(rows) != SIZE:
        sys.exit("%s: %d rows, not %d" % (path, len(rows), SIZE))
    return rows


def ico_bytes(rows):
    """A single-image .ico: ICONDIR, one ICONDIRENTRY, then the image: BITMAPINFOHEADER (its
    height counts the colour bitmap and the mask, 64), 16 RGBQUADs, the 4-bit colour bitmap and
    the 1-bit mask, both bottom row first, each row padded to 4 bytes. A transparent pixel is
    colour 0 with its mask bit set."""
    xor_row = SIZE * 4 // 8          # 16 bytes
    and_row = (SIZE + 31) // 32 * 4  # 4 bytes
    image = bytearray(struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 4, 0,
                                  SIZE * (xor_row + and_row), 0, 0, 0, 0))
    for _, (r, g, b) in PALETTE:
        image += bytes((b, g, r, 0))
    for row in reversed(rows):
        line = bytearray(xor_row)
        for x, colour in enumerate(row):
            line[x // 2] |= (colour or 0) << (0 if x % 2 else 4)
        image += line
    for row in reversed(rows):
        line = bytearray(and_row)
        for x, colour in enumerate(row):
            if colour is None:
                line[x // 8] |= 0x80 >> (x % 8)
        image += line
    assert len(image) == 744
    head = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 16, 0, 1, 4, len(image), 6 + 16)
    return head + entry + bytes(image)


def rgba_bytes(rows):
    out = bytearray()
    for row in rows:
        for colour in row:
            out += bytes((0, 0, 0, 0)) if colour is None else bytes(PALETTE[colour][1] + (255,))
    return bytes(out)


def c_array(name, data):
    lines = ["inline constexpr std::uint8_t %s[%d] = {" % (name, len(data))]
    for i in range(0, len(data), 16):
        lines.append("    " + " ".join("0x%02X," % b for b in data[i:i + 16]))
    lines.append("};")
    return "\n".join(lines) + "\n"


def check_with_windres(program, ico):
    resources = winres.compile_rc(program, '101 ICON "icon101.ico"\n', os.path.dirname(ICO))
    images = [body for res_type, _, _, body in resources if res_type == winres.RT_ICON]
    groups = [(name, body) for res_type, name, _, body in resources
              if res_type == winres.RT_GROUP_ICON]
    if images != [ico[22:]]:
        sys.exit("%s: the compiled icon image differs from the file's" % ICO)
    # The group: ICONDIR, then the file's ICONDIRENTRY with the image's resource id (a WORD)
    # where the file has its offset.
    if len(groups) != 1 or groups[0][0] != 101 or groups[0][1][:6 + 12] != ico[:6 + 12]:
        sys.exit("%s: the compiled icon group 101 does not describe the file's image" % ICO)


def main():
    check, windres = winres.parse_arguments(sys.argv[1:], __doc__)
    rows = read_grid(GRID)
    ico = ico_bytes(rows)
    inc = ("// Generated by scripts/gen_icon.py from component/resources/icon101.txt. Do not edit.\n"
           "// Icon 101 as the bytes of its .ico file, and as 32 x 32 RGBA pixels, top row first.\n"
           + c_array("kIcon101Ico", ico) + c_array("kIcon101Rgba", rgba_bytes(rows)))
    winres.update_outputs([(ICO, ico), (INC, inc.encode("ascii"))], check, "gen_icon.py")
    if windres:
        check_with_windres(windres, ico)


if __name__ == "__main__":
    main()

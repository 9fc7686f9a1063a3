#!/usr/bin/env python3
"""Builds Velmora's icon resources from the text pixel map in res/.

The icon is kept as text so that a change to it is a readable diff. This turns
the map into the data Windows wants in the executable:

  * one RT_ICON resource per image: a 16-colour (4 bits per pixel) DIB whose
    height is doubled to cover the XOR image and the AND mask below it;
  * one RT_GROUP_ICON resource listing those images by resource id.

They are written as an .rc fragment with the bytes inline, because windres's
ICON statement would number the images itself and we want fixed ids. A PNG
preview of every image, on a light and a dark background, can be written too.

Only the Python standard library is used.
"""

import argparse
import struct
import sys
import zlib

# The 16 colours every Windows display can show, in the order of the VGA
# palette that 16-colour icons use. The legend in the map must call an entry by
# this name, so a mistyped index shows up as an error rather than a wrong colour.
PALETTE = [
    ("black", (0x00, 0x00, 0x00)),
    ("maroon", (0x80, 0x00, 0x00)),
    ("green", (0x00, 0x80, 0x00)),
    ("olive", (0x80, 0x80, 0x00)),
    ("navy", (0x00, 0x00, 0x80)),
    ("purple", (0x80, 0x00, 0x80)),
    ("teal", (0x00, 0x80, 0x80)),
    ("silver", (0xC0, 0xC0, 0xC0)),
    ("grey", (0x80, 0x80, 0x80)),
    ("red", (0xFF, 0x00, 0x00)),
    ("lime", (0x00, 0xFF, 0x00)),
    ("yellow", (0xFF, 0xFF, 0x00)),
    ("blue", (0x00, 0x00, 0xFF)),
    ("fuchsia", (0xFF, 0x00, 0xFF)),
    ("aqua", (0x00, 0xFF, 0xFF)),
    ("white", (0xFF, 0xFF, 0xFF)),
]

TRANSPARENT = None
RT_ICON = 3
RT_GROUP_ICON = 14


class MapError(Exception):
    """A pixel map that cannot be turned into an icon; names the line."""

    def __init__(self, line_no, message):
        super().__init__(f"line {line_no}: {message}")


class Image:
    def __init__(self, res_id, width, height, pixels):
        self.res_id = res_id
        self.width = width
        self.height = height
        # Rows top to bottom; each pixel a palette index or TRANSPARENT.
        self.pixels = pixels


class IconMap:
    def __init__(self, group_id, images):
        self.group_id = group_id
        self.images = images


def _parse_id(text, line_no):
    if not text.isdigit() or not 1 <= int(text) <= 0xFFFF:
        raise MapError(line_no, f"resource id must be 1..65535, not {text!r}")
    return int(text)


def _parse_legend_entry(words, line_no):
    if len(words) == 2 and words[1] == "transparent":
        return TRANSPARENT
    if len(words) != 3 or not words[1].isdigit() or int(words[1]) >= len(PALETTE):
        raise MapError(line_no, "legend entries read 'C transparent' or 'C INDEX NAME'"
                       " with INDEX 0..15")
    index = int(words[1])
    if words[2] != PALETTE[index][0]:
        raise MapError(line_no, f"palette entry {index} is {PALETTE[index][0]}, not {words[2]}")
    return index


class _Lines:
    """The map's lines with their numbers, read one at a time."""

    def __init__(self, text):
        self.lines = text.splitlines()
        self.number = 0  # of the line last read

    def more(self):
        return self.number < len(self.lines)

    def next(self):
        self.number += 1
        return self.lines[self.number - 1]


def _words(line):
    return line.split("#", 1)[0].split()


def _read_legend(lines):
    opened = lines.number
    legend = {}
    while True:
        if not lines.more():
            raise MapError(opened, "legend has no 'end'")
        words = _words(lines.next())
        if not words:
            continue
        if words == ["end"]:
            return legend
        char = words[0]
        if len(char) != 1:
            raise MapError(lines.number, f"legend key {char!r} is not one character")
        if char in legend:
            raise MapError(lines.number, f"legend key {char!r} is given twice")
        legend[char] = _parse_legend_entry(words, lines.number)


def _read_image(lines, words, legend):
    opened = lines.number
    res_id = _parse_id(words[1], opened)
    size = words[2].split("x")
    if len(size) != 2 or not all(s.isdigit() and 1 <= int(s) <= 256 for s in size):
        raise MapError(opened, f"image size must read WxH (1..256), not {words[2]!r}")
    width, height = int(size[0]), int(size[1])
    pixels = []
    while len(pixels) < height:
        row = lines.next() if lines.more() else "end"
        if row.strip() == "end":
            raise MapError(lines.number, f"image {res_id} has {len(pixels)} of {height} rows")
        if len(row) != width:
            raise MapError(lines.number, f"row is {len(row)} pixels wide, image {res_id}"
                           f" is {width}")
        for char in row:
            if char not in legend:
                raise MapError(lines.number, f"{char!r} is not in the legend")
        pixels.append([legend[char] for char in row])
    if not lines.more() or lines.next().strip() != "end":
        raise MapError(lines.number, f"image {res_id} should close with 'end' after"
                       f" {height} rows")
    return Image(res_id, width, height, pixels)


def parse_map(text):
    """Reads a pixel map; raises MapError for anything it cannot make sense of."""
    group_id = None
    legend = None
    images = []
    lines = _Lines(text)
    while lines.more():
        raw = lines.next()
        words = _words(raw)
        if not words:
            continue
        keyword = words[0]
        if keyword == "group" and len(words) == 2:
            if group_id is not None:
                raise MapError(lines.number, "the group id is given twice")
            group_id = _parse_id(words[1], lines.number)
        elif keyword == "legend" and len(words) == 1:
            if legend is not None:
                raise MapError(lines.number, "there is already a legend")
            legend = _read_legend(lines)
        elif keyword == "image" and len(words) == 3:
            if legend is None:
                raise MapError(lines.number, "an image must come after the legend")
            opened = lines.number
            image = _read_image(lines, words, legend)
            if any(other.res_id == image.res_id for other in images):
                raise MapError(opened, f"image id {image.res_id} is used twice")
            images.append(image)
        else:
            raise MapError(lines.number, f"cannot read {raw.strip()!r}")

    if group_id is None:
        raise MapError(lines.number, "no 'group ID' line")
    if not images:
        raise MapError(lines.number, "no images")
    if any(image.res_id == group_id for image in images):
        # Harmless to Windows (the types differ) but confusing to a reader.
        raise MapError(lines.number, "the group and an image share an id")
    return IconMap(group_id, images)


def _pack_rows(rows, bits):
    """Packs rows of small ints bottom-up, each row padded to 4 bytes, as DIBs are."""
    out = bytearray()
    per_byte = 8 // bits
    for row in reversed(rows):
        packed = bytearray()
        for start in range(0, len(row), per_byte):
            byte = 0
            for k, value in enumerate(row[start:start + per_byte]):
                byte |= value << (8 - bits * (k + 1))
            packed.append(byte)
        packed.extend(b"\0" * (-len(packed) % 4))
        out += packed
    return bytes(out)


def encode_image(image):
    """The RT_ICON data: BITMAPINFOHEADER, 16 RGBQUADs, XOR bits, AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, image.width, image.height * 2, 1, 4,
                         0, 0, 0, 0, len(PALETTE), 0)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for _, (r, g, b) in PALETTE)
    # A transparent pixel is black in the XOR image and set in the AND mask, so
    # the screen shows through unchanged.
    colours = [[0 if p is TRANSPARENT else p for p in row] for row in image.pixels]
    mask = [[1 if p is TRANSPARENT else 0 for p in row] for row in image.pixels]
    return header + palette + _pack_rows(colours, 4) + _pack_rows(mask, 1)


def encode_group(icon_map, encoded):
    """The RT_GROUP_ICON data: a GRPICONDIR with one 14-byte entry per image."""
    out = struct.pack("<HHH", 0, 1, len(icon_map.images))
    for image, data in zip(icon_map.images, encoded):
        out += struct.pack("<BBBBHHIH", image.width % 256, image.height % 256, 16, 0,
                           1, 4, len(data), image.res_id)
    return out


def _rc_block(res_id, res_type, data):
    # Inline rc data is a list of little-endian WORDs; all our blocks have an
    # even length (DIB rows are padded to 4 bytes, group entries are 14 bytes).
    assert len(data) % 2 == 0
    words = [f"0x{w:04x}" for (w,) in struct.iter_unpack("<H", data)]
    lines = [", ".join(words[k:k + 12]) for k in range(0, len(words), 12)]
    body = ",\n  ".join(lines)
    return f"{res_id} {res_type}\nBEGIN\n  {body}\nEND\n"


def make_rc(icon_map, source_name):
    encoded = [encode_image(image) for image in icon_map.images]
    parts = [f"/* Made by tools/make_icon.py from {source_name}; edit that, not this. */\n"]
    for image, data in zip(icon_map.images, encoded):
        parts.append(f"\n/* RT_ICON, {image.width}x{image.height}, 16 colours */\n")
        parts.append(_rc_block(image.res_id, RT_ICON, data))
    parts.append("\n/* RT_GROUP_ICON */\n")
    parts.append(_rc_block(icon_map.group_id, RT_GROUP_ICON, encode_group(icon_map, encoded)))
    return "".join(parts)


def _png(width, height, rgb_rows):
    def chunk(kind, payload):
        return (struct.pack(">I", len(payload)) + kind + payload
                + struct.pack(">I", zlib.crc32(kind + payload) & 0xFFFFFFFF))
    raw = b"".join(b"\0" + bytes(c for pixel in row for c in pixel) for row in rgb_rows)
    return (b"\x89PNG\r\n\x1a\n"
            + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9))
            + chunk(b"IEND", b""))


def render_preview(icon_map, scale):
    """Every image large and at its real size, on a light and a dark background
    (the taskbar can be either), so a reviewer can judge it as it will be seen."""
    backgrounds = [(0xF0, 0xF0, 0xF0), (0x20, 0x20, 0x20)]
    gap = 8
    tallest = max(image.height for image in icon_map.images)
    band = tallest * scale + 2 * gap
    placements = []  # (image, scale, x)
    x = gap
    for image in icon_map.images:
        placements.append((image, scale, x))
        x += image.width * scale + gap
    for image in icon_map.images:
        placements.append((image, 1, x))
        x += image.width + gap
    width, height = x, band * len(backgrounds)
    canvas = [[bg] * width for bg in backgrounds for _ in range(band)]
    for band_index in range(len(backgrounds)):
        top = band_index * band + gap
        for image, factor, left in placements:
            for y, row in enumerate(image.pixels):
                for px, value in enumerate(row):
                    if value is TRANSPARENT:
                        continue
                    colour = PALETTE[value][1]
                    for dy in range(factor):
                        line = canvas[top + y * factor + dy]
                        for dx in range(factor):
                            line[left + px * factor + dx] = colour
    return _png(width, height, canvas)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("map", help="the text pixel map")
    parser.add_argument("--rc", required=True, help="the .rc fragment to write")
    parser.add_argument("--preview", help="also write a PNG preview here")
    parser.add_argument("--scale", type=int, default=10, help="preview magnification")
    args = parser.parse_args(argv)

    with open(args.map, encoding="utf-8") as f:
        text = f.read()
    try:
        icon_map = parse_map(text)
    except MapError as error:
        print(f"{args.map}: {error}", file=sys.stderr)
        return 1
    with open(args.rc, "w", encoding="ascii", newline="\n") as f:
        f.write(make_rc(icon_map, args.map.replace("\\", "/").rsplit("/", 1)[-1]))
    if args.preview:
        with open(args.preview, "wb") as f:
            f.write(render_preview(icon_map, args.scale))
    return 0


if __name__ == "__main__":
    sys.exit(main())

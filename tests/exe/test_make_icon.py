#!/usr/bin/env python3
"""The icon build step: its pixel maps come out of the DIB bits unchanged, and
a map with a mistake in it is refused with the line of the mistake."""

import os
import struct
import sys
import tempfile
import unittest

ROOT = os.path.join(os.path.dirname(os.path.realpath(__file__)), "..", "..")
sys.path.insert(0, os.path.join(ROOT, "tools"))
import make_icon  # noqa: E402

SMALL = """\
# a comment
group 1
legend
  .  transparent
  K  0   black
  S  7   silver
  W  15  white
end
image 7 5x3
K.W.S
SSKKW
..W..
end
"""


def decode_dib(data):
    """Reads an icon DIB back into rows of palette indexes (None: transparent)."""
    size, width, height, planes, bits, _, _, _, _, used, _ = struct.unpack_from(
        "<IiiHHIIiiII", data)
    height //= 2
    palette = [struct.unpack_from("<BBB", data, size + 4 * k)[::-1] for k in range(used)]
    xor_stride = ((width * bits + 31) // 32) * 4
    and_stride = ((width + 31) // 32) * 4
    xor_start = size + 4 * used
    and_start = xor_start + xor_stride * height
    assert len(data) == and_start + and_stride * height
    rows = []
    for y in range(height):
        bottom_up = height - 1 - y
        row = []
        for x in range(width):
            nibble = data[xor_start + bottom_up * xor_stride + x // 2] >> (4 * (1 - x % 2)) & 15
            masked = data[and_start + bottom_up * and_stride + x // 8] >> (7 - x % 8) & 1
            if masked:
                assert nibble == 0, "a transparent pixel must be black in the XOR image"
            row.append(None if masked else nibble)
        rows.append(row)
    return (width, height, planes, bits), palette, rows


class Encoding(unittest.TestCase):
    def test_pixels_survive_the_trip_through_the_dib(self):
        with open(os.path.join(ROOT, "res", "velmora_icon.txt"), encoding="utf-8") as f:
            shipped = make_icon.parse_map(f.read())
        for icon_map in (make_icon.parse_map(SMALL), shipped):
            for image in icon_map.images:
                with self.subTest(image=image.res_id):
                    shape, palette, rows = decode_dib(make_icon.encode_image(image))
                    self.assertEqual(shape, (image.width, image.height, 1, 4))
                    self.assertEqual(palette, [rgb for _, rgb in make_icon.PALETTE])
                    self.assertEqual(rows, image.pixels)

    def test_group_lists_every_image_with_its_size_and_id(self):
        icon_map = make_icon.parse_map(SMALL.replace("image 7 5x3", "image 30001 5x3"))
        encoded = [make_icon.encode_image(image) for image in icon_map.images]
        group = make_icon.encode_group(icon_map, encoded)
        self.assertEqual(struct.unpack_from("<HHH", group), (0, 1, 1))
        self.assertEqual(struct.unpack_from("<BBBBHHIH", group, 6),
                         (5, 3, 16, 0, 1, 4, len(encoded[0]), 30001))

    def test_command_writes_the_fragment_and_nothing_for_a_bad_map(self):
        with tempfile.TemporaryDirectory() as out:
            for name, text, code in (("good", SMALL, 0), ("bad", SMALL.replace("K.W.S", "K.W"), 1)):
                source, rc = os.path.join(out, f"{name}.txt"), os.path.join(out, f"{name}.rc")
                with open(source, "w", encoding="utf-8") as f:
                    f.write(text)
                self.assertEqual(make_icon.main([source, "--rc", rc]), code)
                if code:
                    self.assertFalse(os.path.exists(rc))
                    continue
                with open(rc, encoding="ascii") as f:
                    fragment = f.read()
                self.assertIn("7 3\nBEGIN", fragment)
                self.assertIn("1 14\nBEGIN", fragment)

class Mistakes(unittest.TestCase):
    CASES = [
        # (what, change to SMALL, line reported, words in the message)
        ("ragged row", ("SSKKW", "SSKK"), 11, "4 pixels wide"),
        ("character not in the legend", ("..W..", "..X.."), 12, "'X' is not in the legend"),
        ("index named wrongly", ("K  0   black", "K  0   white"), 5, "entry 0 is black"),
        ("index past the palette", ("W  15  white", "W  16  white"), 7, "INDEX 0..15"),
        ("key used twice", ("W  15  white", "K  15  white"), 7, "given twice"),
        ("rows missing", ("image 7 5x3", "image 7 5x4"), 13, "3 of 4 rows"),
        ("rows left over", ("image 7 5x3", "image 7 5x2"), 12, "close with 'end'"),
        ("size unreadable", ("image 7 5x3", "image 7 5by3"), 9, "WxH"),
        ("id out of range", ("image 7 5x3", "image 70000 5x3"), 9, "1..65535"),
        ("id shared with the group", ("image 7 5x3", "image 1 5x3"), 13, "share an id"),
        ("no group", ("group 1", ""), 13, "no 'group ID'"),
        ("unknown line", ("# a comment", "colours 16"), 1, "cannot read"),
        ("id used twice", ("..W..\nend\n", "..W..\nend\nimage 7 1x1\nK\nend\n"), 14,
         "image id 7 is used twice"),
    ]

    def test_each_mistake_names_its_line(self):
        for what, (old, new), line, words in self.CASES:
            with self.subTest(what):
                self.assertIn(old, SMALL)
                with self.assertRaises(make_icon.MapError) as caught:
                    make_icon.parse_map(SMALL.replace(old, new, 1))
                self.assertIn(f"line {line}:", str(caught.exception))
                self.assertIn(words, str(caught.exception))


if __name__ == "__main__":
    unittest.main()

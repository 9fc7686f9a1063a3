#!/usr/bin/env python3
"""The icon build step refuses a map with a mistake in it, naming the line of
the mistake, and writes nothing. (That a good map comes out as the drawn pixels
is checked on the built executable, by check_exe.py.)"""

import os
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

    def test_command_writes_nothing_for_a_bad_map(self):
        with tempfile.TemporaryDirectory() as out:
            source, rc = os.path.join(out, "bad.txt"), os.path.join(out, "bad.rc")
            with open(source, "w", encoding="utf-8") as f:
                f.write(SMALL.replace("K.W.S", "K.W"))
            self.assertEqual(make_icon.main([source, "--rc", rc]), 1)
            self.assertFalse(os.path.exists(rc))


if __name__ == "__main__":
    unittest.main()

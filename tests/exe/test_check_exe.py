#!/usr/bin/env python3
"""The executable check must notice each way the build can go wrong. Every
case here takes the real Velmora.exe, breaks one thing in a copy of it, and
expects a problem report that names that thing.

    test_check_exe.py VELMORA_EXE VERSION_H
"""

import os
import struct
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_exe  # noqa: E402

EXE = VERSION_H = None


def put(data, offset, fmt, *values):
    data = bytearray(data)
    struct.pack_into(fmt, data, offset, *values)
    return bytes(data)


def pe_header(data):
    return struct.unpack_from("<I", data, 0x3C)[0]


def import_swapped_for_gcc_runtime(data):
    # The DLL name is overwritten in place, so it must not be longer than the
    # one it replaces; every Windows DLL name the build imports is.
    victim = next(name for name in check_exe.PeImage(data).imports
                  if len(name) >= len("libgcc.dll") and name.lower() != "kernel32.dll")
    return data.replace(victim.encode() + b"\0",
                        b"libgcc.dll".ljust(len(victim) + 1, b"\0"))


def group_entry_renumbered(data, old_id, new_id):
    group = check_exe.PeImage(data).resource(check_exe.RT_GROUP_ICON, 1)
    count = struct.unpack_from("<H", group.data, 4)[0]
    for k in range(count):
        if struct.unpack_from("<H", group.data, 6 + 14 * k + 12)[0] == old_id:
            return put(data, group.offset + 6 + 14 * k + 12, "<H", new_id)
    raise AssertionError(f"the group has no entry {old_id}")


def icon_bits_changed(data, res_id, bits):
    image = check_exe.PeImage(data).resource(check_exe.RT_ICON, res_id)
    return put(data, image.offset + 14, "<H", bits)


def in_version_block(data, old, new):
    version = check_exe.PeImage(data).resource(check_exe.RT_VERSION, 1)
    block = version.data
    at = block.index(old)
    return data[:version.offset] + block[:at] + new + block[at + len(old):] + \
        data[version.offset + len(block):]


def fixed_file_version_bumped(data):
    version = check_exe.PeImage(data).resource(check_exe.RT_VERSION, 1)
    at = version.offset + version.data.index(struct.pack("<I", 0xFEEF04BD)) + 8
    return put(data, at, "<I", struct.unpack_from("<I", data, at)[0] + 0x10000)


def utf16(text):
    return text.encode("utf-16-le")


def version_string_changed(data, key):
    header = check_exe.read_version_header(VERSION_H)
    version = check_exe.PeImage(data).resource(check_exe.RT_VERSION, 1)
    start = version.data.index(utf16(key))
    value = utf16(header["file_version"])
    at = version.data.index(value, start)
    return put(data, version.offset + at + len(value) - 2, "<H", ord("9"))


FAULTS = [
    # (what goes wrong, how it is made, words the report must contain)
    ("a console program", lambda d: put(d, pe_header(d) + 24 + 68, "<H", 3), "subsystem"),
    ("built for x64", lambda d: put(d, pe_header(d) + 4, "<H", 0x8664), "machine"),
    ("grown past 64 KiB", lambda d: d + bytes(check_exe.MAX_SIZE), "size"),
    ("needs a GCC runtime DLL", import_swapped_for_gcc_runtime, "libgcc.dll"),
    ("16x16 image left out of the group", lambda d: group_entry_renumbered(d, 30002, 30003),
     "30002"),
    ("32x32 image in 256 colours", lambda d: icon_bits_changed(d, 30001, 8), "30001"),
    ("per-monitor v1 only", lambda d: d.replace(b"PerMonitorV2", b"PerMonitor  "),
     "dpiAwareness"),
    ("asks for UI access", lambda d: d.replace(b'uiAccess="false"', b'uiAccess="true" '),
     "requestedExecutionLevel"),
    ("wrong product version text", lambda d: version_string_changed(d, "ProductVersion"),
     "ProductVersion"),
    ("wrong fixed file version", fixed_file_version_bumped, "fixed file version"),
    ("ANSI translation", lambda d: in_version_block(d, struct.pack("<HH", 0x409, 1200),
                                                    struct.pack("<HH", 0x409, 1252)),
     "Translation"),
]


class CheckerCatchesFaults(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(EXE, "rb") as f:
            cls.data = f.read()
        cls.expected = check_exe.read_version_header(VERSION_H)
        cls.clean = set(check_exe.problems_with(cls.data, cls.expected))

    def test_each_fault_is_reported(self):
        for what, make, words in FAULTS:
            with self.subTest(what):
                broken = make(self.data)
                self.assertNotEqual(broken, self.data, "the fault was not made")
                new = set(check_exe.problems_with(broken, self.expected)) - self.clean
                self.assertTrue([p for p in new if words in p],
                                f"expected a problem with {words!r}, got {sorted(new)}")

    def test_garbage_is_reported_not_crashed_on(self):
        for what, data in (("empty", b""), ("not a PE", b"MZ" + bytes(200)),
                           ("cut short", self.data[:1024])):
            with self.subTest(what):
                self.assertTrue(check_exe.problems_with(data, self.expected))


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__.strip())
    EXE, VERSION_H = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1] + sys.argv[3:])

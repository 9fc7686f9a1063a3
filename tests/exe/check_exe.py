#!/usr/bin/env python3
"""Checks the built Velmora.exe for what no unit test can see: that it is a
small 32-bit GUI program importing only Windows' own DLLs, and that its icon,
version block and manifest are the ones Windows and Explorer will look for.

    check_exe.py VELMORA_EXE VERSION_H

Prints one line per problem and exits 1 if there is any. The PE file is read
here with the standard library alone; the expected names and numbers come from
src/version.h, the same header the resource script uses.
"""

import os
import re
import struct
import sys
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))

from pe_image import (RT_GROUP_ICON, RT_ICON, RT_MANIFEST, RT_VERSION, PeError,  # noqa: E402
                      PeImage, parse_version_node)

MAX_SIZE = 64 * 1024

# Windows' own DLLs that a tray utility may reasonably import; anything else,
# above all the GCC runtime (libstdc++-6, libgcc_s_*, libwinpthread-1), means
# the program would not start on a machine without that DLL beside it.
ALLOWED_DLLS = {
    "kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "advapi32.dll",
    "msvcrt.dll", "winmm.dll", "comctl32.dll",
}

ICON_GROUP_ID = 1
ICON_IMAGES = {30001: 32, 30002: 16}  # resource id -> width and height
ICON_BITS = 4

LANG_EN_US = 0x0409
CODE_PAGE_UNICODE = 1200
VFT_APP = 1

SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}


def read_version_header(path):
    with open(path, encoding="utf-8") as f:
        text = f.read()
    macros = dict(re.findall(r'^#define[ \t]+(VELMORA_\w+)[ \t]+(\S+)', text, re.M))
    try:
        return {
            "major": int(macros["VELMORA_VERSION_MAJOR"]),
            "minor": int(macros["VELMORA_VERSION_MINOR"]),
            "name": macros["VELMORA_APP_NAME"].strip('"'),
            "file_version": macros["VELMORA_FILE_VERSION_TEXT"].strip('"'),
        }
    except (KeyError, ValueError) as error:
        raise SystemExit(f"{path}: cannot read the version macros ({error})")


def check_version(pe, expected):
    problems = []
    entry = [(lang, r) for (kind, name, lang), r in pe.resources.items()
             if kind == RT_VERSION and name == 1]
    if not entry:
        return ["no version resource (RT_VERSION 1)"]
    language, resource = entry[0]
    if language != LANG_EN_US:
        problems.append(f"version resource is in language {language:#06x}, not 0x0409")
    key, fixed, children, _ = parse_version_node(resource.data)
    if key != "VS_VERSION_INFO" or len(fixed) != 52:
        return problems + ["version resource has no VS_FIXEDFILEINFO"]
    fields = struct.unpack("<13I", fixed)
    if fields[0] != 0xFEEF04BD:
        problems.append("VS_FIXEDFILEINFO signature is wrong")
    want = (expected["major"] << 16 | expected["minor"], 0)
    for what, pair in (("file", fields[2:4]), ("product", fields[4:6])):
        if tuple(pair) != want:
            got = f"{pair[0] >> 16}.{pair[0] & 0xFFFF}.{pair[1] >> 16}.{pair[1] & 0xFFFF}"
            problems.append(f"fixed {what} version is {got}, not "
                            f"{expected['major']}.{expected['minor']}.0.0")
    if fields[9] != VFT_APP:
        problems.append(f"file type is {fields[9]}, not VFT_APP")

    blocks = {child[0]: child for child in children}
    tables = {t[0]: t for t in blocks.get("StringFileInfo", (0, 0, []))[2]}
    table = tables.get(f"{LANG_EN_US:04X}{CODE_PAGE_UNICODE:04X}")
    if table is None:
        problems.append(f"no string table 040904B0 (found {sorted(tables)})")
    else:
        strings = {s[0]: s[1].decode("utf-16-le").rstrip("\0") for s in table[2]}
        wanted = {"FileVersion": expected["file_version"],
                  "ProductVersion": expected["file_version"]}
        for name in ("ProductName", "FileDescription", "InternalName", "Comments"):
            wanted[name] = expected["name"]
        for name, value in wanted.items():
            if strings.get(name) != value:
                problems.append(f"version string {name} is {strings.get(name)!r}, not {value!r}")
    variables = {v[0]: v[1] for v in blocks.get("VarFileInfo", (0, 0, []))[2]}
    translation = variables.get("Translation", b"")
    if translation != struct.pack("<HH", LANG_EN_US, CODE_PAGE_UNICODE):
        problems.append(f"Translation is {translation.hex()}, not 0x409, 1200")
    return problems


def check_icons(pe):
    group = pe.resource(RT_GROUP_ICON, ICON_GROUP_ID)
    if group is None:
        return [f"no icon group {ICON_GROUP_ID}"]
    problems = []
    _, kind, count = struct.unpack_from("<HHH", group.data)
    listed = {}
    for k in range(count):
        width, height, colours, _, _, bits, size, res_id = struct.unpack_from(
            "<BBBBHHIH", group.data, 6 + 14 * k)
        listed[res_id] = (width or 256, height or 256, colours, bits, size)
    if kind != 1 or sorted(listed) != sorted(ICON_IMAGES):
        problems.append(f"icon group {ICON_GROUP_ID} lists images {sorted(listed)},"
                        f" not {sorted(ICON_IMAGES)}")
    for res_id, side in ICON_IMAGES.items():
        image = pe.resource(RT_ICON, res_id)
        if image is None:
            problems.append(f"icon image {res_id} is missing")
            continue
        header_size, width, height, planes, bits = struct.unpack_from("<IiiHH", image.data)
        # An icon DIB is twice as tall as the icon: XOR image, then AND mask.
        if (header_size, width, height, planes, bits) != (40, side, 2 * side, 1, ICON_BITS):
            problems.append(f"icon image {res_id} is {width}x{height // 2} at {bits} bits"
                            f" per pixel, not {side}x{side} at {ICON_BITS}")
        entry = (side, side, 1 << ICON_BITS, ICON_BITS, len(image.data))
        if res_id in listed and listed[res_id] != entry:
            problems.append(f"icon group entry for {res_id} is (width, height, colours, bits,"
                            f" bytes) {listed[res_id]}, not {entry}")
    return problems


def check_manifest(pe):
    manifest = pe.resource(RT_MANIFEST, 1)
    if manifest is None:
        return ["no application manifest (RT_MANIFEST 1)"]
    try:
        root = ElementTree.fromstring(manifest.data)
    except ElementTree.ParseError as error:
        return [f"manifest is not well-formed XML ({error})"]

    def local(element):
        return element.tag.rsplit("}", 1)[-1]

    elements = {}
    for element in root.iter():
        elements.setdefault(local(element), []).append(element)

    problems = []
    awareness = [e.text or "" for e in elements.get("dpiAwareness", [])]
    if not awareness or awareness[0].split(",")[0].strip().lower() != "permonitorv2":
        problems.append(f"dpiAwareness is {awareness}, not PerMonitorV2")
    aware = [(e.text or "").strip().lower() for e in elements.get("dpiAware", [])]
    if aware != ["true/pm"]:
        problems.append(f"dpiAware is {aware}, not the true/pm fallback")
    levels = [(e.get("level"), e.get("uiAccess")) for e in
              elements.get("requestedExecutionLevel", [])]
    if levels != [("asInvoker", "false")]:
        problems.append(f"requestedExecutionLevel is {levels}, not asInvoker without uiAccess")
    declared = {(e.get("Id") or "").lower() for e in elements.get("supportedOS", [])}
    for guid, system in SUPPORTED_OS.items():
        if guid not in declared:
            problems.append(f"manifest does not declare {system}")
    return problems


def problems_with(data, expected):
    """Every way the executable in `data` falls short; empty when it is fine."""
    problems = []
    if len(data) > MAX_SIZE:
        problems.append(f"size is {len(data)} bytes, over {MAX_SIZE}")
    try:
        pe = PeImage(data)
    except PeError as error:
        return problems + [str(error)]
    if pe.machine != 0x14C:
        problems.append(f"machine is {pe.machine:#06x}, not i386 (0x014c)")
    if pe.magic != 0x10B:
        return problems + [f"optional header magic is {pe.magic:#06x}, not PE32"]
    if pe.subsystem != 2:
        problems.append(f"subsystem is {pe.subsystem}, not Windows GUI (2)")
    foreign = sorted(name for name in pe.imports if name.lower() not in ALLOWED_DLLS)
    if foreign:
        problems.append(f"imports DLLs that are not Windows' own: {', '.join(foreign)}")
    try:
        problems += check_icons(pe)
        problems += check_version(pe, expected)
        problems += check_manifest(pe)
    except (struct.error, IndexError, UnicodeDecodeError) as error:
        problems.append(f"malformed resource ({error})")
    return problems


def main(argv):
    if len(argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    exe, header = argv[1], argv[2]
    try:
        with open(exe, "rb") as f:
            data = f.read()
    except OSError as error:
        print(f"{exe}: {error.strerror}; build it first with the windows preset"
              " (cmake --preset windows && cmake --build --preset windows)")
        return 1
    problems = problems_with(data, read_version_header(header))
    for problem in problems:
        print(f"{exe}: {problem}")
    if not problems:
        print(f"{exe}: {len(data)} bytes, imports {', '.join(PeImage(data).imports)}; all good")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

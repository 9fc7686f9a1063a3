#!/usr/bin/env python3
"""Checks a built Velmora.exe for what no unit test can see: a small 32-bit GUI
program importing only Windows' own DLLs, with the icon, version block and
manifest that Windows and Explorer look for.

    check_exe.py VELMORA_EXE

Prints one line per difference and exits 1 if there is any. Every expected
value is written out here as Windows (or the user) sees it, except the icon's
pixels, which are compared with the map they were drawn in (res/velmora_icon.txt).
"""

import struct
import sys
from pathlib import Path
import xml.etree.ElementTree as ElementTree

import pefile

RT_ICON, RT_VERSION, RT_GROUP_ICON, RT_MANIFEST = 3, 16, 14, 24

# Windows' own DLLs that a tray utility may reasonably import; anything else,
# above all the GCC runtime (libstdc++-6, libgcc_s_*, libwinpthread-1), means
# the program would not start on a machine without that DLL beside it.
WINDOWS_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "shell32.dll", "advapi32.dll",
                "msvcrt.dll", "winmm.dll", "comctl32.dll", "ole32.dll"}

# The first Windows version each of these functions exists on: a program that
# imports one directly does not start on anything older, whatever its header
# says. The rest of what it imports is older than Windows 7.
FIRST_WINDOWS = {"ChangeWindowMessageFilter": (6, 0), "CreateWaitableTimerExW": (6, 0),
                 "GetTickCount64": (6, 0), "ChangeWindowMessageFilterEx": (6, 1),
                 "SetDefaultDllDirectories": (6, 2), "SetProcessInformation": (6, 2),
                 "GetDpiForWindow": (10, 0), "SetProcessDpiAwarenessContext": (10, 0)}

# The 16-colour VGA palette, in order, as RGB.
VGA = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
       (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
       (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]

SUPPORTED_OS = {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
                "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}  # 10 and 11


def drawn_images(text):
    """The icon map's images: {id: rows of palette indexes, None where transparent}."""
    legend, images = {}, {}
    lines = iter(text.splitlines())
    for line in lines:
        words = line.split("#")[0].split()
        if words == ["legend"]:
            for entry in iter(lambda: next(lines).split(), ["end"]):
                legend[entry[0]] = None if entry[1] == "transparent" else int(entry[1])
        elif words[:1] == ["image"]:
            images[int(words[1])] = [[legend[c] for c in row]
                                     for row in iter(lambda: next(lines).strip(), "end")]
    return images


def decode_icon(data):
    """An RT_ICON DIB: its header, palette and rows (None where the AND mask is set)."""
    size, width, height, planes, bits = struct.unpack_from("<IiiHH", data)
    palette = [tuple(data[size + 4 * k:size + 4 * k + 3][::-1]) for k in range(16)]
    xor_stride, and_stride = (width * 4 + 31) // 32 * 4, (width + 31) // 32 * 4
    xor, mask = size + 64, size + 64 + xor_stride * (height // 2)
    rows = []
    for y in reversed(range(height // 2)):  # bottom-up
        xor_row, and_row = data[xor + y * xor_stride:], data[mask + y * and_stride:]
        rows.append([None if and_row[x // 8] >> (7 - x % 8) & 1 else
                     xor_row[x // 2] >> (4 * (1 - x % 2)) & 15 for x in range(width)])
    return (size, width, height, planes, bits), palette, rows


def problems(data, drawn):
    """One line for each way the file differs from what is expected."""
    found = []

    def expect(what, value, wanted):
        if value != wanted:
            found.append(f"{what} is {value!r}, not {wanted!r}")

    pe = pefile.PE(data=data)
    header, optional = pe.FILE_HEADER, pe.OPTIONAL_HEADER
    expect("machine", header.Machine, 0x14C)  # i386
    expect("optional header", optional.Magic, 0x10B)  # PE32
    expect("subsystem", optional.Subsystem, 2)  # Windows GUI
    expect("link time stamp", header.TimeDateStamp, 0)  # none: the same bytes whenever built
    os_version = (optional.MajorOperatingSystemVersion, optional.MinorOperatingSystemVersion)
    subsystem_version = (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion)
    expect("OS and subsystem version", (os_version, subsystem_version), ((6, 1), (6, 1)))
    expect("size at most 64 KiB", len(data) <= 64 * 1024, True)
    # Delay-loaded DLLs must be there at run time just the same.
    imports = (getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) +
               getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", []))
    functions = [i.name.decode() for entry in imports for i in entry.imports if i.name]
    expect("imports newer than Windows 7", [f for f in functions if FIRST_WINDOWS.get(
        f, (0, 0)) > min(os_version, subsystem_version)], [])
    expect("DLLs that are not Windows' own",
           [e.dll.decode() for e in imports if e.dll.decode().lower() not in WINDOWS_DLLS], [])

    resources = {}  # (type, id): (language, bytes)
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                where = language.data.struct
                resources[(kind.id, name.id)] = (language.data.lang | language.data.sublang << 10,
                                                 pe.get_data(where.OffsetToData, where.Size))
    group = resources[(RT_GROUP_ICON, 1)][1]
    entries = [struct.unpack_from("<BBBBHHIH", group, 6 + 14 * k)
               for k in range(struct.unpack_from("<H", group, 4)[0])]
    # id, width, height, colours, bits
    expect("icon group 1", sorted((e[7], e[0], e[1], e[2], e[5]) for e in entries),
           [(30001, 32, 32, 16, 4), (30002, 16, 16, 16, 4)])
    expect("icon group's sizes less the images' own",
           [e[6] - len(resources[(RT_ICON, e[7])][1]) for e in entries], [0, 0])
    for image_id, size in ((30001, 32), (30002, 16)):
        dib, palette, pixels = decode_icon(resources[(RT_ICON, image_id)][1])
        # DIB header: size, width, height of XOR and AND together, planes, bits
        expect(f"icon {image_id} header", dib, (40, size, 2 * size, 1, 4))
        expect(f"icon {image_id} palette", palette, VGA)
        expect(f"icon {image_id} rows not as drawn",
               [y for y, row in enumerate(drawn[image_id]) if pixels[y:y + 1] != [row]], [])

    expect("version language", resources[(RT_VERSION, 1)][0], 0x0409)
    fixed = pe.VS_FIXEDFILEINFO[0]
    expect("fixed version", (fixed.Signature, fixed.FileVersionMS, fixed.FileVersionLS,
                             fixed.ProductVersionMS, fixed.ProductVersionLS, fixed.FileType),
           (0xFEEF04BD, 0x00010000, 0, 0x00010000, 0, 1))  # file, product, VFT_APP
    strings, translation = None, None
    for info in pe.FileInfo[0]:
        for table in getattr(info, "StringTable", []):
            if table.LangID.upper() == b"040904B0":
                strings = {k.decode(): v.decode() for k, v in table.entries.items()}
        for var in getattr(info, "Var", []):
            translation = var.entry.get(b"Translation")
    expect("version strings", strings,
           {"FileVersion": "1.00", "ProductVersion": "1.00", "ProductName": "Velmora",
            "FileDescription": "Velmora", "InternalName": "Velmora", "Comments": "Velmora"})
    expect("translation", translation, "0x0409 0x04b0")  # U.S. English, Unicode

    elements = {}
    for element in ElementTree.fromstring(resources[(RT_MANIFEST, 1)][1]).iter():
        elements.setdefault(element.tag.rsplit("}", 1)[-1], []).append(element)
    # The first entry Windows knows wins; the rest are for older versions.
    awareness = [(e.text or "").split(",")[0].strip().lower()
                 for e in elements.get("dpiAwareness", [])]
    expect("dpiAwareness", awareness[:1], ["permonitorv2"])
    expect("dpiAware", [(e.text or "").strip().lower() for e in elements.get("dpiAware", [])],
           ["true/pm"])
    expect("execution level", [(e.get("level"), e.get("uiAccess"))
                               for e in elements.get("requestedExecutionLevel", [])],
           [("asInvoker", "false")])
    expect("supported OS", {(e.get("Id") or "").lower() for e in elements.get("supportedOS", [])},
           SUPPORTED_OS)
    return found


def main(exe):
    """A missing or unreadable file fails with Python's own message."""
    data = Path(exe).read_bytes()
    icon_map = Path(__file__).parents[2] / "res" / "velmora_icon.txt"
    found = problems(data, drawn_images(icon_map.read_text(encoding="utf-8")))
    print("\n".join(f"{exe}: {p}" for p in found) or f"{exe}: {len(data)} bytes; all good")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

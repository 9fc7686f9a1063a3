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

EXPECTED = {
    "machine": 0x14C,  # i386
    "optional header": 0x10B,  # PE32
    "subsystem": 2,  # Windows GUI
    "link time stamp": 0,  # none: the same bytes whenever it is built
    "OS and subsystem version": ((6, 1), (6, 1)),  # Windows 7
    "imports newer than Windows 7": [],
    "size at most 64 KiB": True,
    "DLLs that are not Windows' own": [],
    "icon group 1": [(30001, 32, 32, 16, 4), (30002, 16, 16, 16, 4)],  # id, w, h, colours, bits
    # DIB header (size, width, height of XOR + AND, planes, bits), palette, pixels
    "icon 30001": ((40, 32, 64, 1, 4), VGA, "pixels as drawn"),
    "icon 30002": ((40, 16, 32, 1, 4), VGA, "pixels as drawn"),
    "icon sizes agree": True,
    "version language": 0x0409,
    "fixed version": (0xFEEF04BD, 0x00010000, 0, 0x00010000, 0, 1),  # file, product, VFT_APP
    "version strings": {"FileVersion": "1.00", "ProductVersion": "1.00", "ProductName": "Velmora",
                        "FileDescription": "Velmora", "InternalName": "Velmora",
                        "Comments": "Velmora"},
    "translation": "0x0409 0x04b0",  # U.S. English, Unicode
    "dpiAwareness": "permonitorv2",
    "dpiAware": ["true/pm"],
    "execution level": [("asInvoker", "false")],
    "supported OS": {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
                     "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
                     "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
                     "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"},  # 10 and 11
}


def drawn_images(text):
    """The icon map's images: {id: rows of palette indexes, None where transparent}."""
    legend, images, rows = {}, {}, None
    lines = iter(text.splitlines())
    for line in lines:
        words = line.split("#")[0].split()
        if words == ["legend"]:
            for entry in iter(lambda: next(lines).split(), ["end"]):
                legend[entry[0]] = None if entry[1] == "transparent" else int(entry[1])
        elif words[:1] == ["image"]:
            rows = images[int(words[1])] = []
            for row in iter(lambda: next(lines).strip(), "end"):
                rows.append([legend[c] for c in row])
    return images


def decode_icon(data):
    """An RT_ICON DIB: its header, palette and rows (None where the AND mask is set)."""
    size, width, height, planes, bits, *_ = struct.unpack_from("<IiiHH", data)
    palette = [tuple(data[size + 4 * k:size + 4 * k + 3][::-1]) for k in range(16)]
    xor, mask = size + 64, size + 64 + ((width * 4 + 31) // 32 * 4) * (height // 2)
    rows = []
    for y in reversed(range(height // 2)):  # bottom-up
        xor_row = data[xor + y * ((width * 4 + 31) // 32 * 4):]
        and_row = data[mask + y * ((width + 31) // 32 * 4):]
        rows.append([None if and_row[x // 8] >> (7 - x % 8) & 1 else
                     xor_row[x // 2] >> (4 * (1 - x % 2)) & 15 for x in range(width)])
    return (size, width, height, planes, bits), palette, rows


def facts(data, drawn):
    """What the file says, under the same names as EXPECTED."""
    pe = pefile.PE(data=data)
    optional = pe.OPTIONAL_HEADER
    os_version = (optional.MajorOperatingSystemVersion, optional.MinorOperatingSystemVersion)
    subsystem_version = (optional.MajorSubsystemVersion, optional.MinorSubsystemVersion)
    # Delay-loaded DLLs must be there at run time just the same.
    imports = (getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) +
               getattr(pe, "DIRECTORY_ENTRY_DELAY_IMPORT", []))
    functions = [i.name.decode() for entry in imports for i in entry.imports if i.name]
    found = {
        "machine": pe.FILE_HEADER.Machine, "optional header": optional.Magic,
        "subsystem": optional.Subsystem, "link time stamp": pe.FILE_HEADER.TimeDateStamp,
        "OS and subsystem version": (os_version, subsystem_version),
        "imports newer than Windows 7": [f for f in functions if FIRST_WINDOWS.get(f, (0, 0)) >
                                         min(os_version, subsystem_version)],
        "size at most 64 KiB": len(data) <= 64 * 1024,
        "DLLs that are not Windows' own": [e.dll.decode() for e in imports
                                           if e.dll.decode().lower() not in WINDOWS_DLLS],
    }
    resources = {}  # (type, id): (language, bytes)
    tree = pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []
    for kind in tree:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                where = language.data.struct
                resources[(kind.id, name.id)] = (
                    language.data.lang | language.data.sublang << 10,
                    pe.get_data(where.OffsetToData, where.Size))
    group = resources.get((RT_GROUP_ICON, 1), (0, bytes(6)))[1]
    entries = [struct.unpack_from("<BBBBHHIH", group, 6 + 14 * k)
               for k in range(struct.unpack_from("<H", group, 4)[0])]
    found["icon group 1"] = sorted((e[7], e[0], e[1], e[2], e[5]) for e in entries)
    found["icon sizes agree"] = bool(entries) and all(
        e[6] == len(resources.get((RT_ICON, e[7]), (0, b""))[1]) for e in entries)
    for image_id, rows in drawn.items():
        if (RT_ICON, image_id) in resources:
            header, palette, pixels = decode_icon(resources[(RT_ICON, image_id)][1])
            wrong = [y for y in range(max(len(pixels), len(rows))) if pixels[y:y + 1] != rows[y:y + 1]]
            found[f"icon {image_id}"] = (header, palette,
                                         f"row {wrong[0]} not as drawn" if wrong else "pixels as drawn")

    found["version language"] = resources.get((RT_VERSION, 1), (None,))[0]
    if hasattr(pe, "VS_FIXEDFILEINFO"):
        fixed = pe.VS_FIXEDFILEINFO[0]
        found["fixed version"] = (fixed.Signature, fixed.FileVersionMS, fixed.FileVersionLS,
                                  fixed.ProductVersionMS, fixed.ProductVersionLS, fixed.FileType)
        for info in pe.FileInfo[0]:
            for table in getattr(info, "StringTable", []):
                if table.LangID.upper() == b"040904B0":
                    found["version strings"] = {k.decode(): v.decode()
                                                for k, v in table.entries.items()}
            for var in getattr(info, "Var", []):
                found["translation"] = var.entry.get(b"Translation")

    if (RT_MANIFEST, 1) in resources:
        elements = {}
        for element in ElementTree.fromstring(resources[(RT_MANIFEST, 1)][1]).iter():
            elements.setdefault(element.tag.rsplit("}", 1)[-1], []).append(element)
        awareness = [e.text or "" for e in elements.get("dpiAwareness", [])]
        found.update({
            # The first entry Windows knows wins; the rest are for older versions.
            "dpiAwareness": awareness[0].split(",")[0].strip().lower() if awareness else None,
            "dpiAware": [(e.text or "").strip().lower() for e in elements.get("dpiAware", [])],
            "execution level": [(e.get("level"), e.get("uiAccess"))
                                for e in elements.get("requestedExecutionLevel", [])],
            "supported OS": {(e.get("Id") or "").lower() for e in elements.get("supportedOS", [])},
        })
    return found


def main(exe):
    data = b""
    try:
        data = Path(exe).read_bytes()
        icon_map = Path(__file__).parents[2] / "res" / "velmora_icon.txt"
        found = facts(data, drawn_images(icon_map.read_text(encoding="utf-8")))
        problems = [f"{what} is {found.get(what)!r}, not {want!r}"
                    for what, want in EXPECTED.items() if found.get(what) != want]
    except OSError as error:
        problems = [f"{error.filename}: {error.strerror}; build it first (scripts/build.sh windows)"]
    except (pefile.PEFormatError, struct.error, ElementTree.ParseError) as error:
        problems = [f"not a readable PE file ({error})"]
    print("\n".join(f"{exe}: {p}" for p in problems) or f"{exe}: {len(data)} bytes; all good")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

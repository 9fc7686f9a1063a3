#!/usr/bin/env python3
"""Checks a built Velmora.exe for what no unit test can see: a small 32-bit GUI
program importing only Windows' own DLLs, with the icon, version block and
manifest that Windows and Explorer look for.

    check_exe.py VELMORA_EXE

Prints one line per difference and exits 1 if there is any. Every expected
value is written out here as Windows (or the user) sees it.
"""

import os
import struct
import sys
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))

from pe_image import PeError, PeImage, icon_facts, manifest_facts, version_facts  # noqa: E402

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

EXPECTED = {
    "machine": 0x14C,  # i386
    "optional header": 0x10B,  # PE32
    "subsystem": 2,  # Windows GUI
    "link time stamp": 0,  # none: the same bytes whenever it is built
    "OS and subsystem version": ((6, 1), (6, 1)),  # Windows 7
    "imports that Windows 7 has": True,
    "size at most 64 KiB": True,
    "only Windows' own DLLs": True,
    "icon group 1": [(30001, 32, 32, 16, 4), (30002, 16, 16, 16, 4)],  # id, w, h, colours, bits
    "icon images": [(30001, 40, 32, 64, 1, 4), (30002, 40, 16, 32, 1, 4)],  # DIB: XOR + AND
    "icon sizes agree": True,
    "version language": 0x0409,
    "fixed version": (0xFEEF04BD, 0x00010000, 0, 0x00010000, 0, 1),  # file, product, VFT_APP
    "version strings": {"FileVersion": "1.00", "ProductVersion": "1.00", "ProductName": "Velmora",
                        "FileDescription": "Velmora", "InternalName": "Velmora",
                        "Comments": "Velmora"},
    "translation": (0x0409, 1200),
    "dpiAwareness": "permonitorv2",
    "dpiAware": ["true/pm"],
    "execution level": [("asInvoker", "false")],
    "supported OS": {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
                     "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
                     "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
                     "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"},  # 10 and 11
}


def facts(data):
    """What the file says, under the same names as EXPECTED."""
    pe = PeImage(data)
    found = {"machine": pe.machine, "link time stamp": pe.timestamp, "optional header": pe.magic, "subsystem": pe.subsystem,
             "size at most 64 KiB": len(data) <= 64 * 1024,
             "only Windows' own DLLs": all(d.lower() in WINDOWS_DLLS for d in pe.imports),
             "OS and subsystem version": (pe.os_version, pe.subsystem_version),
             "imports that Windows 7 has": all(
                 FIRST_WINDOWS.get(f, (0, 0)) <= min(pe.os_version, pe.subsystem_version)
                 for functions in pe.functions.values() for f in functions)}
    for part in (icon_facts, version_facts, manifest_facts):
        found.update(part(pe))
    found["version strings"] = {k: found.get("version strings", {}).get(k)
                                for k in EXPECTED["version strings"]}
    return found


def differences(data):
    try:
        found = facts(data)
    except (PeError, struct.error, IndexError, UnicodeDecodeError, ElementTree.ParseError) as e:
        return [f"not a readable PE file ({e})"]
    return [f"{what} is {found.get(what)!r}, not {want!r}"
            for what, want in EXPECTED.items() if found.get(what) != want]


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        with open(argv[1], "rb") as f:
            data = f.read()
    except OSError as error:
        print(f"{argv[1]}: {error.strerror}; build it first (scripts/build.sh windows)")
        return 1
    problems = differences(data)
    for problem in problems:
        print(f"{argv[1]}: {problem}")
    if not problems:
        print(f"{argv[1]}: {len(data)} bytes, imports {', '.join(PeImage(data).imports)}; all good")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

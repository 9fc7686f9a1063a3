#!/usr/bin/env python3
"""A short demonstration of Velmora on a private X display.

A scripted joystick moves the cursor around a probe window, clicks it with
button 1, then the tray icon's menu is opened and Exit chosen. Screenshots and
a log of what happened are written to the output folder (build/demo/).
"""

import argparse
import shutil
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import harness  # noqa: E402
import drive  # noqa: E402
from harness import CENTRE, DOWN, LEFT, RIGHT, UP  # noqa: E402

REPO = Path(__file__).resolve().parents[2]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--windows-build", type=Path, default=REPO / "build" / "windows")
    parser.add_argument("--out", type=Path, default=REPO / "build" / "demo")
    parser.add_argument("--prefix", type=Path, default=REPO / "build" / "wine-prefix")
    parser.add_argument("--docs-shot", type=Path,
                        help="also save the cropped tray-menu picture here")
    args = parser.parse_args()

    prefix = harness.Prefix(args.prefix)
    lines = []

    def note(text):
        stamp = time.strftime("%H:%M:%S")
        lines.append(f"{stamp} {text}")
        print(f"demo: {text}", flush=True)

    with prefix.locked():
        note("preparing the Wine prefix (made once, then reused)")
        prefix.prepare(args.out.parent / "wine-prefix.log")
        session = harness.Session("demo", args.windows_build, args.out.parent, prefix,
                                  directory=args.out)
        try:
            with session as s:
                note(f"private X display {s.display}")
                pid = drive.start(s, cursor=(200, 200))
                note(f"Velmora.exe running (Windows pid {pid}); its icon is in Wine's tray")
                s.screenshot("1-started.png")

                for label, x, y in (("right", RIGHT, CENTRE), ("down", CENTRE, DOWN),
                                    ("left", LEFT, CENTRE), ("up", CENTRE, UP)):
                    s.run_stick(f"pos {x} {y} 0 12", f"pos {CENTRE} {CENTRE} 0 1", pid=pid)
                    note(f"stick {label} for 12 ticks: cursor now at {s.pointer()}")
                # Onto the probe window: right and down until inside it.
                s.run_stick(f"pos {RIGHT} {DOWN} 0 16", f"pos {CENTRE} {CENTRE} 0 1", pid=pid)
                note(f"stick down-right for 16 ticks: cursor now at {s.pointer()}")

                mark = s.probe_mark()
                s.run_stick(f"pos {CENTRE} {CENTRE} 0x1 3", f"pos {CENTRE} {CENTRE} 0 1",
                            pid=pid, settle=5)
                harness.wait_for(lambda: len(s.probe_events(mark)) >= 2, 10, "the click")
                clicks = " ".join(e for e, _ in s.probe_events(mark))
                note(f"button 1 pressed and released: the probe window got {clicks}")
                s.screenshot("2-clicked.png")

                # Clicked near the icon's corner, so the menu leaves it in view.
                menu = drive.open_menu(s, offset=(8, 7))
                note(f"right click on the tray icon: the menu is open at {menu['rect']}")
                shot = s.screenshot("3-menu.png")
                left, top, right, bottom = menu["rect"]
                crop = s.dir / "tray-menu.png"
                width, height = right + 60, bottom + 30
                # The empty X root is black; paint it a desktop colour, then enlarge.
                subprocess.run(["convert", str(shot), "-crop", f"{width}x{height}+0+0",
                                "+repage", "-fill", "#3a6ea5", "-draw", "color 0,0 floodfill",
                                "-filter", "point", "-resize", "300%", str(crop)],
                               check=True, timeout=30)
                if args.docs_shot:
                    shutil.copyfile(crop, args.docs_shot)

                drive.choose(s, menu, "Exit")
                s.wait_exit(s.velmoras[0][0])
                note("Exit chosen: Velmora removed its icon and ended")
                s.screenshot("4-exited.png")
        except harness.Failure as failure:
            note(f"the demo stopped: {failure}")
            print(session.report())
            return 1
        finally:
            (args.out / "demo.log").write_text("\n".join(lines) + "\n")
    note(f"screenshots and demo.log are in {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

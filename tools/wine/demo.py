#!/usr/bin/env python3
"""A short demonstration of Velmora on a private X display.

A scripted joystick moves the cursor onto a probe window, clicks it with
button 1 and sends Up and Down with buttons 5 and 6; then it opens the tray
menu with button 3 and chooses Exit with button 1. Every frame is a screenshot
with the pointer (which X leaves out) and its trail over the last ticks drawn
in. The frames, demo.gif and a log go to the output folder (build/demo/).
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

REPO = Path(__file__).resolve().parents[2]

# The part of the screen the demo happens in: the tray at the top left, the
# probe window, and the way between them.
CROP = (720, 570)
DESKTOP = "#3a6ea5"
START = (110, 130)
PROBE_RECT = (300, 250, 400, 300)  # drive.start() puts the probe here
TRAIL = 24  # ticks of trail behind the pointer

BUTTON_1, BUTTON_3, BUTTON_5, BUTTON_6 = 0x1, 0x4, 0x10, 0x20
INPUT = ("lbuttondown", "lbuttonup", "keydown", "keyup")

# The arrow, tip at (1, 1): X screenshots never show the pointer itself.
ARROW = "polygon 1,1 1,17 5,13 8,20 11,19 8,12 13,12 1,1"


class Recorder:
    """Screenshots with the pointer's position and the ticks' cursor trail."""

    def __init__(self, session, pid, folder):
        self.s, self.pid, self.folder = session, pid, folder
        self.frames = []  # (raw screenshot, pointer, trail, delay in 1/100 s)
        folder.mkdir(parents=True, exist_ok=True)

    def shot(self, delay=25):
        raw = self.folder / f"raw-{len(self.frames):03d}.png"
        self.s.screenshot(raw, "-crop", f"{CROP[0]}x{CROP[1]}+0+0", "+repage")
        trail = [q.cursor for q in self.s.queries(self.pid) if q.get("cursor")]
        trail = [p for p, q in zip(trail, [None] + trail) if p != q]  # one dot per position
        self.frames.append((raw, self.s.pointer(), trail[-TRAIL:], delay))

    def write(self, out, gif):
        """Draws the pointer and its trail on each screenshot, then the animation."""
        frames = []
        for index, (raw, (x, y), trail, delay) in enumerate(self.frames):
            frame = out / f"frame-{index:03d}.png"
            # The X root is black; a desktop colour fills it from a corner nothing covers.
            args = ["convert", str(raw), "-fill", DESKTOP,
                    "-draw", f"color {CROP[0] - 1},{CROP[1] - 1} floodfill", "-stroke", "none"]
            for age, (tx, ty) in enumerate(reversed(trail)):
                alpha = 0.85 * (1 - age / TRAIL)
                args += ["-fill", f"rgba(255,200,0,{alpha:.2f})",
                         "-draw", f"circle {tx},{ty} {tx + 2},{ty}"]
            args += ["-fill", "white", "-stroke", "black", "-strokewidth", "1",
                     "-draw", f"translate {x - 1},{y - 1} {ARROW}", str(frame)]
            subprocess.run(args, check=True, timeout=60)
            frames += ["-delay", str(delay), str(frame)]
        subprocess.run(["convert", "-loop", "0", *frames, "-layers", "Optimize", str(gif)],
                       check=True, timeout=300)


def play(s, note, out):
    pid = drive.start(s, cursor=START)
    note(f"Velmora.exe running (Windows pid {pid}); its icon is in Wine's tray")
    rec = Recorder(s, pid, out / "raw")
    stick = drive.Stick(s, pid, rec.shot)
    rec.shot(150)

    probe_x, probe_y = PROBE_RECT[0] + 120, PROBE_RECT[1] + 150
    stick.move_axis(0, probe_x, 6)
    note(f"stick right: cursor at {s.pointer()}")
    stick.move_axis(1, probe_y, 6)
    note(f"stick down: cursor at {s.pointer()} over the probe window")

    def press(bits, what):
        mark = s.probe_mark()
        stick.press(bits)
        harness.wait_for(lambda: len(s.probe_events(mark, INPUT)) >= 2, 10, what)
        note(f"{what}: the probe got " + ", ".join(
            f"{e} {' '.join(f'{k}={v}' for k, v in f.items())}" for e, f in s.probe_events(mark, INPUT)))
        rec.shot(100)

    press(BUTTON_1, "button 1 pressed and released")
    press(BUTTON_5, "button 5 for one tick")
    press(BUTTON_6, "button 6 for one tick")

    x, y = s.tray_icon_point()
    stick.move_to((x + 4, y), tolerance=(6, 8), delay=20)
    note(f"stick up and left: cursor at {s.pointer()} over the tray icon")
    stick.press(BUTTON_3)
    menu = harness.wait_for(lambda: drive.menu_open(s), 15, "the popup menu")[0]
    note(f"button 3 over the icon: the menu is open at {menu['rect']}")
    rec.shot(120)

    item = drive.menu_item(s, "Exit")
    left, top, right, bottom = item["rect"]
    stick.move_to(((left + right) // 2, (top + bottom) // 2),
                  tolerance=((right - left) // 2 - 10, (bottom - top) // 2 - 3), delay=30)
    note(f"stick down: cursor at {s.pointer()} on Exit ({item['rect']})")
    rec.shot(80)
    stick.press(BUTTON_1, settle=0)  # the program ends on the release
    s.wait_exit(s.velmoras[0][0])
    note("button 1 on Exit: Velmora removed its icon and ended")
    time.sleep(0.5)  # for the tray to repaint
    rec.shot(300)
    return rec


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--windows-build", type=Path, default=REPO / "build" / "windows")
    parser.add_argument("--out", type=Path, default=REPO / "build" / "demo")
    parser.add_argument("--prefix", type=Path, default=REPO / "build" / "wine-prefix")
    args = parser.parse_args()

    prefix = harness.Prefix(args.prefix)
    args.out = args.out.resolve()
    shutil.rmtree(args.out, ignore_errors=True)
    args.out.mkdir(parents=True)
    log = open(args.out / "demo.log", "a")

    def note(text):
        # Written as it happens, so the log has every line, the last one too.
        log.write(f"{time.strftime('%H:%M:%S')} {text}\n")
        log.flush()
        print(f"demo: {text}", flush=True)

    with log, prefix.locked():
        note("preparing the Wine prefix (made once, then reused)")
        prefix.prepare(args.out.parent / "wine-prefix.log")
        session = harness.Session("demo", args.windows_build, args.out.parent, prefix,
                                  directory=args.out / "session")
        try:
            with session as s:
                note(f"private X display {s.display}")
                rec = play(s, note, args.out)
        except harness.Failure as failure:
            note(f"the demo stopped: {failure}")
            print(session.report())
            return 1
        gif = args.out / "demo.gif"
        note(f"drawing the pointer on {len(rec.frames)} screenshots")
        rec.write(args.out, gif)
        shutil.rmtree(args.out / "raw")
        note(f"frames, demo.gif ({gif.stat().st_size // 1024} KiB) and demo.log are in {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

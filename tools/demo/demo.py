#!/usr/bin/env python3
"""A short demonstration of Velmora on a private X display.

A scripted joystick moves the cursor onto the probe window, clicks it with
button 1 and sends Up and Down with buttons 5 and 6; then it opens the tray
menu with button 3 and chooses Exit with button 1. Every frame is a screenshot
with the pointer (which X leaves out), its trail over the last ticks and the
probe's latest messages drawn in. The frames, demo.gif and a log go to the
output folder (build/demo/). It runs on the e2e tests' Wine harness.
"""

import argparse
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools" / "wine"))

import harness  # noqa: E402

# The part of the screen the demo happens in: the tray at the top left, the
# probe window, and the way between them.
CROP = (720, 570)
DESKTOP = "#3a6ea5"
START = (110, 130)
PROBE_RECT = (300, 250, 400, 300)  # where probe.exe puts its window
TRAIL = 24  # ticks of trail behind the pointer
SHOWN = 12  # the probe's latest messages, listed in its window

BUTTON_1, BUTTON_3, BUTTON_5, BUTTON_6 = 0x1, 0x4, 0x10, 0x20
NAMES = {0x100: "keydown", 0x101: "keyup", 0x104: "syskeydown", 0x105: "syskeyup",
         0x201: "lbuttondown", 0x202: "lbuttonup", 0x203: "lbuttondblclk",
         0x204: "rbuttondown", 0x205: "rbuttonup", 0x206: "rbuttondblclk",
         0x207: "mbuttondown", 0x208: "mbuttonup", 0x209: "mbuttondblclk"}

# The arrow, tip at (1, 1): X screenshots never show the pointer itself.
ARROW = "polygon 1,1 1,17 5,13 8,20 11,19 8,12 13,12 1,1"


class Stick:
    """Moves the pointer onto a target with the stick alone, keeping the program's
    speed rule alongside: one pixel more per tick held the same way, the speed kept
    at the centre, back to one on a reversal. `after_step` runs after each push."""

    def __init__(self, session, pid, held=0, after_step=lambda: None):
        self.s, self.pid, self.held, self.after_step = session, pid, held, after_step
        self.speed = [0, 0]  # pixels per tick, signed

    def move_to(self, point, tolerance):
        """Vertically first, then across."""
        for axis in (1, 0):
            for _ in range(150):
                remaining = point[axis] - self.s.pointer()[axis]
                if abs(remaining) <= tolerance[axis]:
                    break
                direction = 1 if remaining > 0 else -1
                speed, reach = self.speed[axis] * direction, abs(remaining) + tolerance[axis]
                # Too fast to stop near it: a tick back restarts the speed at one.
                ticks = -1 if speed + 1 > reach else 2 if speed >= 3 and 2 * speed + 3 <= reach else 1
                direction, ticks = (-direction, 1) if ticks < 0 else (direction, ticks)
                xy = [harness.CENTRE, harness.CENTRE]
                xy[axis] = harness.HIGH if direction > 0 else harness.LOW
                self.press(0, harness.pos(*xy, self.held, ticks))
                same = self.speed[axis] * direction > 0
                self.speed[axis] = self.speed[axis] * same + direction * ticks
                self.after_step()
            else:
                raise AssertionError(f"the pointer did not reach {point}: it is at {self.s.pointer()}")

    def press(self, bits, state=None, settle=3):
        """Buttons `bits` held for one tick (or `state` taken), then only the held ones."""
        self.s.run_stick(state or harness.pos(buttons=self.held | bits),
                         harness.pos(buttons=self.held), pid=self.pid, settle=settle)


def describe(event):
    """One probe message as the probe used to list it: name, then key or place."""
    message, wparam, lparam = event
    if message < 0x200:
        return (f"{NAMES.get(message, hex(message))} vk=0x{wparam:02x} "
                f"scan=0x{(lparam >> 16) & 0xFF:02x} ext={(lparam >> 24) & 1}")
    return f"{NAMES.get(message, hex(message))} x={lparam & 0xFFFF} y={lparam >> 16}"


class Recorder:
    """Screenshots with the pointer's position, the ticks' cursor trail and
    the probe's messages."""

    def __init__(self, session, pid, folder):
        self.s, self.pid, self.folder = session, pid, folder
        self.frames = []  # (raw screenshot, pointer, trail, probe lines, delay in 1/100 s)
        folder.mkdir(parents=True, exist_ok=True)

    def shot(self, delay=25):
        raw = self.folder / f"raw-{len(self.frames):03d}.png"
        subprocess.run(["import", "-window", "root", "-crop", f"{CROP[0]}x{CROP[1]}+0+0",
                        "+repage", raw], check=True, timeout=30,
                       env={**os.environ, "DISPLAY": self.s.display})
        trail = [q["cursor"] for q in self.s.queries(self.pid)]
        trail = [p for p, q in zip(trail, [None] + trail) if p != q]  # one dot per position
        lines = [describe(e) for e in reversed(self.s.events()[-SHOWN:])]
        self.frames.append((raw, self.s.pointer(), trail[-TRAIL:], lines, delay))

    def write(self, out, gif):
        """Draws the pointer, its trail and the probe's list on each screenshot,
        then the animation."""
        frames = []
        left, top = PROBE_RECT[0] + 8, PROBE_RECT[1] + 6
        for index, (raw, (x, y), trail, lines, delay) in enumerate(self.frames):
            frame = out / f"frame-{index:03d}.png"
            # The X root is black; a desktop colour fills it from a corner nothing covers.
            args = ["convert", str(raw), "-fill", DESKTOP,
                    "-draw", f"color {CROP[0] - 1},{CROP[1] - 1} floodfill", "-stroke", "none",
                    "-fill", "black", "-font", "DejaVu-Sans", "-pointsize", "11", "-annotate", f"+{left}+{top + 12}",
                    "probe: clicks and keys land here\n\n" + "\n".join(lines)]
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
    pid = s.start(cursor=START)
    note(f"Velmora.exe running (Windows pid {pid}); its icon is in Wine's tray")
    rec = Recorder(s, pid, out / "raw")
    stick = Stick(s, pid, after_step=rec.shot)
    rec.shot(150)

    stick.move_to((PROBE_RECT[0] + 120, PROBE_RECT[1] + 150), tolerance=(6, 6))
    note(f"stick down and right: cursor at {s.pointer()} over the probe window")

    def press(bits, what):
        mark = s.mark()
        stick.press(bits)
        harness.wait_for(lambda: len(s.events(mark)) >= 2, 10, what)
        note(f"{what}: the probe got " + ", ".join(describe(e) for e in s.events(mark)))
        rec.shot(100)

    press(BUTTON_1, "button 1 pressed and released")
    press(BUTTON_5, "button 5 for one tick")
    press(BUTTON_6, "button 6 for one tick")

    x, y = s.tray_icon_point()
    stick.move_to((x + 4, y), tolerance=(6, 8))
    note(f"stick up and left: cursor at {s.pointer()} over the tray icon")
    stick.press(BUTTON_3)
    menu = harness.wait_for(s.menu, 15, "the popup menu")[0]
    note(f"button 3 over the icon: the menu is open at {menu['left']},{menu['top']}")
    rec.shot(120)

    # Exit is the menu's last entry, just above its bottom edge.
    stick.move_to(((menu["left"] + menu["right"]) // 2, menu["bottom"] - 12),
                  tolerance=((menu["right"] - menu["left"]) // 2 - 10, 4))
    note(f"stick down: cursor at {s.pointer()} on Exit")
    rec.shot(80)
    stick.press(BUTTON_1, settle=0)  # the program ends on the release
    s.velmoras[0][0].wait(timeout=20)
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

    args.out = args.out.resolve()
    shutil.rmtree(args.out, ignore_errors=True)
    args.out.mkdir(parents=True)
    log = open(args.out / "demo.log", "a")

    def note(text):
        # Written as it happens, so the log has every line, the last one too.
        log.write(f"{time.strftime('%H:%M:%S')} {text}\n")
        log.flush()
        print(f"demo: {text}", flush=True)

    note("preparing the Wine prefix (made once, then reused)")
    with log, harness.prefix(args.prefix, args.out.parent / "wine-prefix.log") as prefix:
        session = harness.Session(args.windows_build, args.out / "session", prefix)
        try:
            with session as s:
                note(f"private X display {s.display}")
                rec = play(s, note, args.out)
        except (AssertionError, subprocess.TimeoutExpired) as failure:
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

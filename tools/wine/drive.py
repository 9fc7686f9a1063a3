"""Driving Velmora under Wine: starting it, moving the stick, opening and
using its tray menu. Shared by the end-to-end scenarios, the demo and the
Wine benchmark."""

import json

from harness import CENTRE, DOWN, LEFT, RIGHT, UP, Failure, wait_for

HOME = (500, 400)  # inside the probe window
# Over no window at all: each SetCursorPos warps the X pointer, and a Wine window
# under it may replay the warp late, setting the cursor back to an earlier tick's
# position (tests/e2e/README.md). Steps checked one by one are measured here.
BARE_DESKTOP = (850, 620)

VK_LBUTTON, VK_MBUTTON = 0x01, 0x04
VK_ESCAPE, VK_UP, VK_DOWN = 0x1B, 0x26, 0x28


def pos(x=CENTRE, y=CENTRE, buttons=0, count=1):
    return f"pos {x} {y} {buttons:#x} {count}"


def centre(count=1):
    return pos(count=count)


def start(s, cursor=HOME, exe=None):
    """The probe window, then Velmora (or the build `exe`) polling with the
    stick centred and the cursor resting at `cursor`. Returns its Windows pid."""
    s.start_probe()
    s.write_script(states=[centre()])
    s.x("mousemove", *cursor)
    s.start_velmora(exe=exe)
    pid = s.velmora_pid()
    # Wine may answer GetCursorPos from a cache for a moment after the X
    # pointer moved from outside; wait until the program sees it too.
    wait_for(lambda: s.queries(pid) and s.queries(pid)[-1].cursor == cursor, 60,
             f"Velmora to see the cursor at {cursor}")
    return pid


def periods_ms(queries):
    """The spacing of consecutive queries, which is the tick period."""
    return [(b.time_us - a.time_us) / 1000.0 for a, b in zip(queries, queries[1:])]


def steps(queries):
    """The cursor's move at each tick: where the next query saw it minus where this one did."""
    return [(b.cursor[0] - a.cursor[0], b.cursor[1] - a.cursor[1])
            for a, b in zip(queries, queries[1:])]


def notify_calls(s, index=0):
    """The Shell_NotifyIcon calls one Velmora made, from Wine's +systray trace."""
    return [int(line.rsplit("dwMessage = ", 1)[1].split(",")[0])
            for line in s.velmora_output(index).splitlines() if "Shell_NotifyIconW dwMessage = " in line]


def tray_adds(s):
    """Icons the tray (the desktop process) added, from its own trace."""
    return s.wine_log.read_text(errors="replace").count("systray:add_icon id=0x1,")


def menu_open(s):
    return [w for w in s.windows("#32768") if w["visible"]]


def open_menu(s):
    s.x("mousemove", *s.tray_icon_point(), "click", 3)
    return wait_for(lambda: menu_open(s), 15, "the popup menu")[0]


def menu_item(s, entry):
    """The open menu's item captioned `entry` (without its &), as the probe reads
    it from the menu itself: caption, separator flag and screen rectangle."""
    items = [json.loads(line) for line in s.probe("menu")]
    captions = [i["caption"] for i in items if not i["separator"]]
    for item in items:
        if not item["separator"] and item["caption"].replace("&", "") == entry:
            return item
    raise Failure(f"the menu has no entry {entry!r}; its entries are {captions}")


def choose(s, menu, entry):
    """Clicks the open menu's entry captioned `entry` (without the &)."""
    left, top, right, bottom = menu_item(s, entry)["rect"]
    s.x("mousemove", (left + right) // 2, (top + bottom) // 2, "click", 1)
    wait_for(lambda: not menu_open(s), 15, f"the menu to close after {entry}")


class Stick:
    """The scripted stick, with the program's speed rule kept alongside so a
    driver can land the pointer on a target: each axis moves one pixel more per
    tick held the same way, keeps its speed at the centre, and restarts at one
    when the direction reverses."""

    def __init__(self, session, pid, after_step=lambda delay: None, held=0):
        self.s, self.pid, self.held = session, pid, held  # held: buttons held all along
        self.after_step = after_step  # the demo takes a screenshot there
        self.speed = [0, 0]

    def push(self, axis, direction, ticks):
        position = {-1: (LEFT, UP), 1: (RIGHT, DOWN)}[direction][axis]
        x, y = (position, CENTRE) if axis == 0 else (CENTRE, position)
        self.press(0, pos(x, y, self.held, ticks))
        for _ in range(ticks):
            same = self.speed[axis] * direction > 0
            self.speed[axis] = self.speed[axis] + direction if same else direction

    def move_axis(self, axis, target, tolerance, delay=25):
        for _ in range(80):
            remaining = target - self.s.pointer()[axis]
            if abs(remaining) <= tolerance:
                return
            direction = 1 if remaining > 0 else -1
            speed = abs(self.speed[axis]) if self.speed[axis] * direction > 0 else 0
            # Ticks that stay short of the target, or end within reach of it.
            ticks, moved = 0, 0
            while moved + speed + ticks + 1 <= abs(remaining) + tolerance:
                ticks += 1
                moved += speed + ticks
            # None: too fast to stop near it, so one tick back restarts the speed.
            # Otherwise one or two ticks a frame, so the ramp shows in the trail.
            self.push(axis, *((-direction, 1) if ticks == 0 else
                              (direction, min(ticks, 1 if speed < 4 else 2))))
            self.after_step(delay)
        raise Failure(f"the cursor did not reach {target} on the {'xy'[axis]} axis; "
                      f"it is at {self.s.pointer()}")

    def move_to(self, point, tolerance=(3, 3), delay=25):
        """Vertically first, then across."""
        self.move_axis(1, point[1], tolerance[1], delay)
        self.move_axis(0, point[0], tolerance[0], delay)

    def press(self, bits, state=None, settle=3):
        """Buttons `bits` held for one tick (or `state` taken), then only the held ones."""
        self.s.run_stick(state or pos(buttons=self.held | bits), pos(buttons=self.held),
                         pid=self.pid, settle=settle)

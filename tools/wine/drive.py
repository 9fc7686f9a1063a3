"""Driving Velmora under Wine: starting it, moving the stick, opening and
using its tray menu. Shared by the end-to-end scenarios, the demo and the
Wine benchmark."""

from harness import CENTRE, wait_for

HOME = (500, 400)  # inside the probe window

# Menu entries, as fractions of the popup's height (3 entries, 2 separators).
MENU_ENTRY = {"Enabled": 11 / 72, "About...": 36 / 72, "Exit": 61 / 72}

VK_LBUTTON, VK_MBUTTON = 0x01, 0x04
VK_ESCAPE, VK_UP, VK_DOWN = 0x1B, 0x26, 0x28


def centre(count=1):
    return f"pos {CENTRE} {CENTRE} 0 {count}"


def pos(x=CENTRE, y=CENTRE, buttons=0, count=1):
    return f"pos {x} {y} {buttons:#x} {count}"


def start(s, buttons=12, cursor=HOME, exe=None):
    """The probe window, then Velmora (or the build `exe`) polling with the
    stick centred and the cursor resting at `cursor`. Returns Velmora's
    Windows process id."""
    s.start_probe()
    s.write_script(buttons=buttons, states=[centre()])
    if cursor:
        s.x("mousemove", *cursor)
    s.start_velmora(exe=exe)
    pid = s.velmora_pid()
    s.wait_polling(pid)
    if cursor:
        # Wine may answer GetCursorPos from a cache for a moment after the X
        # pointer moved from outside; wait until the program sees it too.
        wait_for(lambda: s.queries(pid)[-1].cursor == cursor, 10,
                 f"Velmora to see the cursor at {cursor}")
    return pid


def periods_ms(queries):
    """The spacing of consecutive queries, which is the tick period."""
    return [(b.time_us - a.time_us) / 1000.0 for a, b in zip(queries, queries[1:])]


def resolution_calls(s, pid):
    """timeBeginPeriod and timeEndPeriod as the double saw them, in order."""
    return [(c.name, c["args"]) for c in s.calls(pid=pid)
            if c.name in ("timeBeginPeriod", "timeEndPeriod")]


def steps(queries):
    """Cursor movement made by each tick: the cursor at the next query minus
    the cursor at this one."""
    return [(b.cursor[0] - a.cursor[0], b.cursor[1] - a.cursor[1])
            for a, b in zip(queries, queries[1:])]


def notify_calls(s, index=0):
    """The Shell_NotifyIcon calls one Velmora made, from Wine's +systray trace."""
    return [int(line.rsplit("dwMessage = ", 1)[1].split(",")[0])
            for line in s.velmora_output(index).splitlines()
            if "Shell_NotifyIconW dwMessage = " in line]


def tray_adds(s):
    """Icons the tray (the desktop process) added, from its own trace."""
    return s.wine_log.read_text(errors="replace").count("systray:add_icon id=0x1,")


def open_menu(s, offset=(0, 0)):
    x, y = s.tray_icon_point()
    s.x("mousemove", x + offset[0], y + offset[1], "click", 3)
    return wait_for(lambda: [w for w in s.windows("#32768") if w["visible"]], 15,
                    "the popup menu")[0]


def menu_open(s):
    return bool([w for w in s.windows("#32768") if w["visible"]])


def choose(s, menu, entry):
    left, top, right, bottom = menu["rect"]
    y = top + round((bottom - top) * MENU_ENTRY[entry])
    s.x("mousemove", (left + right) // 2, y)
    s.x("click", 1)
    wait_for(lambda: not menu_open(s), 15, f"the menu to close after {entry}")

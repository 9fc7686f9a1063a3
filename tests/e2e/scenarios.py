"""The end-to-end scenarios: what a user of Velmora would see, checked exactly.
Each gets a fresh Session; the stick advances one script line per query, and
the double logs the cursor at every query, so motion is checked step by step."""

import time

from drive import (BARE_DESKTOP, HOME, VK_DOWN, VK_ESCAPE, VK_LBUTTON, VK_MBUTTON, VK_UP, Stick,
                   centre, choose, menu_item, menu_open, notify_calls, open_menu, periods_ms, pos,
                   start, steps, tray_adds)
from harness import (DOWN, JOYERR_PARMS, JOYERR_UNPLUGGED, LEFT, RIGHT, UP, check, check_equal,
                     wait_for)

SCENARIOS = {}


def scenario(timeout=60):
    def register(function):
        SCENARIOS[function.__name__] = (function, timeout)
        return function
    return register


TOOLTIP = "Velmora 1.0 by Quillan"
CAPTION = "Velmora 1.0"
ABOUT_ADDRESS = "https://quillan.example/velmora/"
NIM_ADD, NIM_DELETE = 0, 2


# ------------------------------------------------------------- start-up


@scenario()
def no_joystick(s):
    """A failed capabilities query: the message, its caption, OK only, no icon,
    and the program ends once OK is pressed. A shell that starts while the
    message is open ("TaskbarCreated") gets no icon either."""
    s.start_probe()
    s.write_script(caps_result=JOYERR_PARMS, buttons=0)
    velmora = s.start_velmora()
    pid = s.velmora_pid()
    dialog = wait_for(lambda: [w for w in s.windows("#32770", pid) if w["visible"]], 30,
                      "the message box")[0]
    check_equal(dialog["text"], "Velmora", "message box caption")
    children = [w for w in s.info() if w["kind"] == "child" and w["parent"] == dialog["hwnd"]]
    texts = [c["text"] for c in children if c["class"] == "Static" and c["text"]]
    check_equal(texts, ["Couldn't detect the joystick"], "message box text")
    buttons = [c for c in children if c["class"] == "Button" and c["visible"]]
    check_equal([b["text"] for b in buttons], ["OK"], "message box buttons")
    SS_ICON, SS_TYPEMASK = 0x3, 0x1F
    icons = [c for c in children if c["class"] == "Static" and c["visible"]
             and c["style"] & SS_TYPEMASK == SS_ICON and c["icon"]]
    check_equal(icons, [], "icons in the message box")

    check(velmora.poll() is None, "Velmora ended before OK was pressed")
    s.probe("taskbarcreated")
    time.sleep(1)  # the broadcast is posted; the box's modal loop delivers it
    check_equal(notify_calls(s), [], "Shell_NotifyIcon calls before OK")
    left, top, right, bottom = buttons[0]["rect"]
    s.x("mousemove", (left + right) // 2, (top + bottom) // 2, "click", 1)
    s.wait_exit(velmora)
    check_equal(notify_calls(s), [], "Shell_NotifyIcon calls")
    check_equal(s.queries(pid), [], "joystick queries")
    check(s.tray_window() is None, "Wine's tray appeared, so an icon was added")


@scenario()
def no_window_ends_at_once(s):
    """A main window that cannot be created (a test build asks for a class that
    was never registered): the process ends at once with exit code 1, before
    any joystick check or icon, instead of living on invisibly."""
    s.write_script()
    velmora = s.start_velmora(exe=s.build / "no-window" / "Velmora.exe")
    check_equal(s.wait_exit(velmora, timeout=30), 1, "exit code")
    check_equal(s.calls("joyGetDevCapsA"), [], "capabilities queries")
    check_equal(notify_calls(s), [], "Shell_NotifyIcon calls")


@scenario()
def icon_window_queries_and_taskbar_restart(s):
    """The hidden window, the icon with its tooltip, how the double is called,
    and the icon coming back (and working) when the shell restarts."""
    pid = start(s)
    window = wait_for(lambda: s.windows("formVelmora", pid), 10, "the main window")[0]
    check_equal(window["text"], CAPTION, "main window caption")
    check(not window["visible"], "the main window is visible")
    check_equal(notify_calls(s), [NIM_ADD], "Shell_NotifyIcon calls")
    check_equal(tray_adds(s), 1, "icons added to the tray")
    caps = s.calls("joyGetDevCapsA", pid)
    # Made on the UI thread, which is by then COM's main single-threaded
    # apartment (APTTYPE_MAINSTA, 3), as ShellExecute asks of its callers.
    check_equal([(c["id"], c["size"], c["result"], c["apartment"]) for c in caps],
                [("0", "404", 0, "3")], "joyGetDevCapsA calls (id, size, result, apartment)")
    queries = s.wait_queries(100, pid)
    check_equal({(q["id"], q["size"], q["flags"]) for q in queries}, {("0", "52", "0xff")},
                "joyGetPosEx arguments (id, dwSize, dwFlags)")
    # The tray hands the tip to its tooltip control, which traces the text.
    wait_for(lambda: f'add text L"{TOOLTIP}"' in s.wine_log.read_text(errors="replace"), 20,
             f"the tooltip {TOOLTIP!r} in the tray's trace")

    s.probe("delicon")
    wait_for(lambda: "remove_from_standalone_tray removed 1 now 0" in
             s.wine_log.read_text(errors="replace"), 10, "the tray to remove the icon")
    s.probe("taskbarcreated")
    wait_for(lambda: notify_calls(s) == [NIM_ADD, NIM_ADD], 15, "Velmora to add its icon again")
    wait_for(lambda: tray_adds(s) == 2, 10, "the tray to show the icon again")
    open_menu(s)  # the restored icon works
    s.probe("key", VK_ESCAPE)
    wait_for(lambda: not menu_open(s), 10, "the menu to close")
    s.wait_queries(10, pid, after=len(s.queries(pid)))


@scenario()
def one_copy_at_a_time(s):
    """Two copies started together leave one icon and one poller; a copy
    started while one runs ends at once, silently: no joystick, icon or box."""
    s.start_probe()
    s.write_script(states=[centre()])
    a, b = s.start_velmora(), s.start_velmora()
    wait_for(lambda: a.poll() is not None or b.poll() is not None, 40,
             "one of the two copies to end")
    survivor = 0 if a.poll() is None else 1
    running = {q.pid for q in s.wait_queries(50, timeout=30)}
    check_equal(len(running), 1, "processes polling the joystick")
    check_equal(s.wait_exit(s.start_velmora(), timeout=30), 0, "a later copy's exit code")
    check_equal([c.name for c in s.calls() if c.pid not in running and c.name.startswith("joy")],
                [], "joystick calls by the copies that ended")
    check_equal([notify_calls(s, i) for i in range(3)],
                [[NIM_ADD] if i == survivor else [] for i in range(3)],
                "each copy's Shell_NotifyIcon calls")
    check_equal([w["pid"] for w in s.windows("#32770")], [], "message boxes")
    s.wait_queries(20, running.pop(), after=len(s.queries()))
    check_equal(tray_adds(s), 1, "icons in the tray")


# --------------------------------------------------------------- motion


@scenario()
def stick_moves_the_cursor(s):
    """Every tick's step: the ramp, the speed kept at the centre, the reversal,
    each axis alone and both at once, each keeping its own speed."""
    pid = start(s, cursor=BARE_DESKTOP)
    ticks = s.run_stick(pos(x=RIGHT, count=5), centre(3), pos(x=RIGHT), pos(x=LEFT, count=3),
                        pos(y=DOWN, count=3), pos(y=UP, count=2), pos(x=LEFT, y=DOWN, count=3),
                        centre(), pid=pid)
    check_equal(steps(ticks)[:20], [(1, 0), (2, 0), (3, 0), (4, 0), (5, 0),  # the ramp
                                    (0, 0), (0, 0), (0, 0), (6, 0),  # centred: speed kept
                                    (-1, 0), (-2, 0), (-3, 0),  # reversed
                                    (0, 1), (0, 2), (0, 3), (0, -1), (0, -2),  # down, up
                                    (-4, 1), (-5, 2), (-6, 3)],  # left goes on, down restarts
                "the cursor's step at each tick")
    expected = (BARE_DESKTOP[0], BARE_DESKTOP[1] + 9)
    check_equal(ticks[-1].cursor, expected, "the cursor after the moves")
    check_equal(s.pointer(), expected, "the X pointer after the moves")


# -------------------------------------------------------------- buttons


MOUSE_EVENTS = tuple(f"{b}button{e}" for b in "lmr" for e in ("down", "up", "dblclk"))
KEY_EVENTS = ("keydown", "keyup", "syskeydown", "syskeyup")
DOUBLE_CLICK = ["lbuttondown", "lbuttonup", "lbuttondblclk", "lbuttonup"]
UP_KEY, DOWN_KEY = ("0x26", "0x48", "1"), ("0x28", "0x50", "1")  # vk, scan code, extended


def names(events):
    return [e for e, _ in events]


@scenario(timeout=90)
def buttons_click_and_send_arrow_keys(s):
    """Each button held for some ticks over the probe, and what the probe gets:
    one press and release of buttons 1 to 3, a double click per tick of
    button 4, a whole arrow stroke per tick of buttons 5 to 8."""
    pid = start(s)
    cases = (  # joystick buttons, ticks held, messages, (vk, scan, extended) of keys
        (0x1, 8, ["lbuttondown", "lbuttonup"], None),
        (0x2, 8, ["mbuttondown", "mbuttonup"], None),
        (0x4, 8, ["rbuttondown", "rbuttonup"], None),
        (0x8, 3, DOUBLE_CLICK * 3, None),
        (0x10, 2, ["keydown", "keyup"] * 2, UP_KEY),
        (0x20, 2, ["keydown", "keyup"] * 2, DOWN_KEY),
        (0x40, 2, ["keydown", "keyup"] * 2, UP_KEY),
        (0x80, 2, ["keydown", "keyup"] * 2, DOWN_KEY),
    )
    for bits, ticks, expected, key in cases:
        mark = s.probe_mark()
        s.run_stick(pos(buttons=bits, count=ticks), centre(), pid=pid, settle=5)
        wait_for(lambda: len(s.probe_events(mark, MOUSE_EVENTS + KEY_EVENTS)) >= len(expected),
                 10, f"{len(expected)} messages for buttons {bits:#x}")
        s.wait_queries(10, pid, after=len(s.queries(pid)))  # and nothing more comes
        events = s.probe_events(mark, MOUSE_EVENTS + KEY_EVENTS)
        what = f"buttons {bits:#x} held {ticks} ticks"
        check_equal(names(events), expected, f"messages for {what}")
        check_equal({(f["vk"], f["scan"], f["ext"]) if key else (f["x"], f["y"]) for _, f in events},
                    {key or ("200", "150")}, f"keys, or where clicks landed, for {what}")
    for vk in (VK_LBUTTON, VK_MBUTTON, VK_UP, VK_DOWN):
        check_equal(s.probe("keystate", vk), ["up"], f"key {vk:#x} at the end")


# ------------------------------------------------------------------ menu


@scenario(timeout=90)
def menu_opens_closes_and_runs_its_entries(s):
    """The program makes its window the foreground window before the menu
    opens, so Esc reaches the menu; only the right button's release opens it;
    a click elsewhere closes it; About opens the home page. (Enabled: the
    tick_* scenarios.)"""
    pid = start(s)
    check_equal(s.foreground().get("class"), "VelmoraProbe", "the foreground window at first")
    mark = s.probe_mark()
    open_menu(s)
    foreground = s.foreground()
    check_equal((foreground.get("class"), foreground.get("pid")), ("formVelmora", pid),
                "the foreground window while the menu is open")
    check("activate" in names(s.probe_events(mark)), "the probe was never deactivated")
    # Esc goes to the foreground window's thread: only a menu whose owner is
    # the foreground window sees it.
    s.probe("key", VK_ESCAPE)
    wait_for(lambda: not menu_open(s), 10, "the menu to close on Esc")

    x, y = s.tray_icon_point()
    s.x("mousemove", x, y)
    for button in (1, 2):
        s.x("click", button)
    s.x("click", "--repeat", 2, "--delay", 50, 1)  # a double click
    s.x("mousedown", 3)
    s.wait_queries(30, pid, after=len(s.queries(pid)))
    check(not menu_open(s), "a menu opened before the right button was released")
    s.x("mouseup", 3)
    menu = wait_for(lambda: [w for w in s.windows("#32768") if w["visible"]], 15,
                    "the popup menu")[0]
    check_equal(menu["pid"], pid, "the process that owns the menu")
    s.x("mousemove", *HOME, "click", 1)
    wait_for(lambda: not menu_open(s), 10, "the menu to close on a click elsewhere")

    choose(s, open_menu(s), "About...")
    text = wait_for(lambda: s.browser_log.exists() and s.browser_log.read_text(), 30,
                    "the stand-in browser")
    check(ABOUT_ADDRESS in text, f"the browser was asked for {text.strip()!r}")
    check_equal(text.count("browser pid="), 1, "browser starts")
    check_equal(notify_calls(s), [NIM_ADD], "Shell_NotifyIcon calls")


# ------------------------------------------------------------- shut-down


def hold_middle_button(s, pid, mark):
    """Joystick button 2 held until the system shows the middle button down.
    (A real click on the menu or the icon resets the left or right button's
    state in Wine, so only the middle one can show a release.)"""
    s.run_stick(pos(buttons=0x2, count=3), pid=pid)
    wait_for(lambda: "mbuttondown" in names(s.probe_events(mark)), 10, "the middle press")
    check_equal(s.probe("keystate", VK_MBUTTON), ["down"], "the middle button while held")


@scenario(timeout=90)
def joystick_alone_opens_the_menu_and_exits(s):
    """No mouse: with button 2 held, the stick onto the icon, button 3 opens
    the menu, the stick onto Exit, button 1 chooses it; the held button is
    released, the icon goes and the program ends."""
    pid = start(s)
    hold_middle_button(s, pid, s.probe_mark())
    stick = Stick(s, pid, held=0x2)
    x, y = s.tray_icon_point()
    stick.move_to((x + 4, y), tolerance=(6, 8))
    stick.press(0x4)
    wait_for(lambda: menu_open(s), 15, "the menu after button 3 over the icon")
    left, top, right, bottom = menu_item(s, "Exit")["rect"]
    stick.move_to(((left + right) // 2, (top + bottom) // 2),
                  tolerance=((right - left) // 2 - 10, (bottom - top) // 2 - 3))
    s.stick(pos(buttons=0x3), pos(buttons=0x2))  # the program ends on the release
    check_equal(s.wait_exit(s.velmoras[0][0], timeout=20), 0, "Velmora's exit code")
    check_equal(notify_calls(s), [NIM_ADD, NIM_DELETE], "Shell_NotifyIcon calls")
    check_equal(s.probe("keystate", VK_MBUTTON), ["up"], "the middle button after Exit")


@scenario()
def close_request_unloads(s):
    """WM_CLOSE from outside: the icon goes and a held button is released."""
    pid = start(s)
    mark = s.probe_mark()
    s.run_stick(pos(buttons=0x1, count=3), pid=pid)
    wait_for(lambda: "lbuttondown" in names(s.probe_events(mark)), 10, "the left press")
    s.probe("close")
    code = s.wait_exit(s.velmoras[0][0])
    check_equal(code, 0, "Velmora's exit code")
    check_equal(notify_calls(s), [NIM_ADD, NIM_DELETE], "Shell_NotifyIcon calls")
    wait_for(lambda: "lbuttonup" in names(s.probe_events(mark)), 10, "the left release")
    check_equal(names(s.probe_events(mark, MOUSE_EVENTS)), ["lbuttondown", "lbuttonup"],
                "mouse messages")


@scenario()
def end_of_session_unloads(s):
    """Log-off: the system's end-of-session messages unload the program."""
    pid = start(s)
    mark = s.probe_mark()
    hold_middle_button(s, pid, mark)
    # Only Velmora's part of the end of the session is waited for: wineboot
    # itself sometimes lingers after every window has been told.
    s.start_wine("wineboot", "--end-session", label="wineboot")
    code = s.wait_exit(s.velmoras[0][0], timeout=30)
    check_equal(code, 0, "Velmora's exit code")
    check_equal(notify_calls(s), [NIM_ADD, NIM_DELETE], "Shell_NotifyIcon calls")
    # The probe window went with the session; the desktop, which keeps the
    # buttons' state, did not. A new probe process reads it.
    check_equal(s.probe_once("keystate", VK_MBUTTON), ["up"], "the middle button after log-off")


# ------------------------------------------------------------- lost stick


@scenario(timeout=90)
def lost_stick_stops_everything_and_is_paced(s):
    """The stick held right with button 5, then queries that fail after
    blocking 1.2 s: the cursor and the Up strokes stop, the next try waits at
    least that long after the last one ended (so the program spends at most
    about half its time in the driver), the menu still answers, and 10 ms
    polling resumes once the stick is back. Then a held button is released
    once when the joystick goes again."""
    pid = start(s, cursor=BARE_DESKTOP)
    mark = s.probe_mark()
    s.run_stick(pos(x=RIGHT, buttons=0x10, count=4), pid=pid, settle=0)
    before = len(s.queries(pid))
    s.stick("lost wait 1200")
    failing = wait_for(lambda: (lambda q: len(q) >= 4 and q)(
        [q for q in s.queries(pid)[before:] if q["result"] == JOYERR_UNPLUGGED]), 30,
        "four failing queries")
    spans = [(q.time_us / 1e6 - 1.2, q.time_us / 1e6) for q in failing]
    pauses = [b[0] - a[1] for a, b in zip(spans, spans[1:])]
    check(pauses[0] >= 0.95 and all(1.15 <= p <= 2.5 for p in pauses[1:]),
          f"pauses between the end of one failing query and the next: {pauses}")
    inside = 1.2 * len(spans) / (spans[-1][1] - spans[0][0])
    check(inside <= 0.6, f"{inside:.0%} of the time inside the driver")
    check_equal(len({q.cursor for q in failing}), 1, "cursor positions while the joystick is lost")
    held = len([q for q in s.queries(pid) if q["result"] == 0 and q["buttons"] == "0x10"])
    check_equal(names(s.probe_events(mark, KEY_EVENTS)), ["keydown", "keyup"] * held,
                f"key messages for button 5 held {held} ticks, then lost for four queries")
    open_menu(s)
    s.probe("key", VK_ESCAPE)
    wait_for(lambda: not menu_open(s), 10, "the menu to close")
    # Back again: the next query succeeds and 10 ms polling resumes at once.
    s.stick(centre())
    back = s.wait_queries(20, pid, after=len(s.queries(pid)), timeout=30)
    last_failure = max(i for i, q in enumerate(back) if q["result"] != 0)
    ok = back[last_failure + 1:]
    gaps = [(b.time_us - a.time_us) / 1000 for a, b in zip(ok[-15:], ok[-14:])]
    check(sum(gaps) / len(gaps) < 20, f"polling did not resume at 10 ms: {gaps}")
    check_equal(s.pointer(), ok[0].cursor, "the X pointer after the joystick came back")
    # Over the probe: a held button is released once, and failing tries press nothing.
    s.x("mousemove", *HOME)
    wait_for(lambda: s.queries(pid)[-1].cursor == HOME, 10, "Velmora to see the cursor at HOME")
    mark = s.probe_mark()
    s.run_stick(pos(buttons=0x1), pid=pid)
    s.stick("lost")
    wait_for(lambda: [q["result"] for q in s.queries(pid)[-3:]] == [JOYERR_UNPLUGGED] * 3, 10,
             "three failing queries")
    check_equal(names(s.probe_events(mark, MOUSE_EVENTS)), ["lbuttondown", "lbuttonup"],
                "mouse messages for button 1 held, then lost")


# ------------------------------------------------------------ DLL search


@scenario()
def planted_winmm_is_never_loaded(s):
    """A winmm.dll beside Velmora.exe is ignored; the system one is used."""
    import shutil
    app = s.dir / "Downloads"
    app.mkdir()
    shutil.copyfile(s.build / "Velmora.exe", app / "Velmora.exe")
    shutil.copyfile(s.build / "e2e" / "planted" / "winmm.dll", app / "winmm.dll")
    s.start_probe()
    s.write_script(states=[centre()])
    s.start_velmora(exe=app / "Velmora.exe")

    def planted():
        return [line for line in s.double_log.read_text().splitlines() if " planted " in line]
    wait_for(lambda: planted() or len(s.queries()) >= 20, 30,
             "twenty joystick queries, or the planted DLL loading")
    check_equal(planted(), [], "calls into the planted winmm.dll")
    pid = s.velmora_pid()
    modules = {c["module"].lower() for c in s.calls("attach", pid)}
    check_equal(modules, {"c:\\windows\\system32\\winmm.dll"}, "where winmm.dll was loaded from")


# ------------------------------------------------------------ tick paths


def resolution_calls(s, pid):
    return [(c.name, c["args"]) for c in s.calls(pid=pid)
            if c.name in ("timeBeginPeriod", "timeEndPeriod")]


def ticks_about_every_10_ms(queries, what):
    gaps = periods_ms(queries)
    mean = sum(gaps) / len(gaps)
    check(9.0 <= mean <= 11.5, f"mean tick period {what} {mean:.2f} ms, expected about 10 ms")


def tick_path(folder, holds_resolution):
    """One build's tick source: ticks every 10 ms, on inside the menu, none
    while Enabled is off, and the timer resolution held only while they run
    (on the fallbacks) or never (on the high-resolution timer)."""
    def run(s):
        pid = start(s, exe=s.build / folder / "Velmora.exe" if folder else None)
        held = [("timeBeginPeriod", ["1"])] if holds_resolution else []
        released = [("timeEndPeriod", ["1"])] if holds_resolution else []
        ticks_about_every_10_ms(s.wait_queries(150, pid)[-150:], "while idle")
        check_equal(resolution_calls(s, pid), held, "timer resolution calls while polling")

        menu = open_menu(s)
        ticks_about_every_10_ms(s.wait_queries(60, pid, after=len(s.queries(pid)))[-60:],
                                "with the menu open")
        choose(s, menu, "Enabled")
        s.probe("keystate", VK_LBUTTON)  # a round trip: the last tick has been logged
        paused_at = len(s.queries(pid))
        for _ in range(10):
            s.probe("keystate", VK_LBUTTON)
        check_equal(len(s.queries(pid)) - paused_at, 0, "joystick queries with Enabled off")
        check_equal(resolution_calls(s, pid), held + released, "timer resolution calls when off")

        choose(s, open_menu(s), "Enabled")
        ticks_about_every_10_ms(s.wait_queries(100, pid, after=len(s.queries(pid)))[-100:],
                                "after Enabled again")
        choose(s, open_menu(s), "Exit")
        check_equal(s.wait_exit(s.velmoras[0][0]), 0, "Velmora's exit code")
        check_equal(resolution_calls(s, pid), (held + released) * 2, "timer resolution calls")
    return run


# The shipped build runs the high-resolution waitable timer under Wine; the
# test builds beside it are forced onto each fallback.
for name, folder, holds in (("tick_high_resolution_timer", None, False),
                            ("tick_fallback_waitable_timer", "tick-fallback1", True),
                            ("tick_fallback_window_timer", "tick-fallback2", True)):
    function = tick_path(folder, holds)
    function.__name__ = name
    scenario()(function)

"""What a user of Velmora would see, checked exactly, each test in a Session of
its own (conftest.py). README.md maps each Win32 operation to the test that
fails without it."""

import sys
import time

import pytest
from harness import BARE_DESKTOP, CENTRE, HIGH, HOME, LOW, REPO, WINE64, pos, wait_for

sys.path.insert(0, str(REPO / "tests" / "exe"))
from check_exe import VGA, drawn_images  # noqa: E402

SMALL_ICON = drawn_images((REPO / "res" / "velmora_icon.txt").read_text(encoding="utf-8"))[30002]

CLICK = 0x9600C8  # lParam of a click at HOME: (200, 150) in the probe window
UP_KEY = [(0x100, 0x26, 0x01480001), (0x101, 0x26, 0xC1480001)]  # VK_UP, scan 0x48, extended
DOWN_KEY = [(0x100, 0x28, 0x01500001), (0x101, 0x28, 0xC1500001)]  # VK_DOWN, scan 0x50


def hold_middle_button(s, pid):
    """Joystick button 2 held over the probe until the system has the middle button
    down. Real clicks on the menu or the icon leave Wine's state of the left and
    right buttons stale (in wParam too), so only the middle one can show a release."""
    s.move_pointer(HOME, pid)
    mark = s.mark()
    s.run_stick(pos(buttons=0x2, count=3), pid=pid)
    wait_for(lambda: 0x207 in [e[0] for e in s.events(mark)], 10, "WM_MBUTTONDOWN")
    assert s.probe("keystate", 0x4) == ["down"]


def ramp_ticks(distance):
    """How many ticks of a push from rest come nearest to `distance` pixels."""
    return min(range(1, 40), key=lambda n: abs(n * (n + 1) // 2 - distance))


def shows_small_icon(cell):
    """Whether the 16-pixel icon's opaque pixels are somewhere in cell (rows of RGB)."""
    return any(all(c is None or cell[top + y][left + x] == VGA[c]
                   for y, row in enumerate(SMALL_ICON) for x, c in enumerate(row))
               for top in range(len(cell) - 15) for left in range(len(cell[0]) - 15))


def enabled_marked(s, menu):
    """Whether anything shows left of the first entry's caption, once that is drawn."""
    def entry():
        rows = s.pixels(menu["left"] + 2, menu["top"] + 2, 60, 16)
        return len({p for row in rows for p in row[16:]}) > 1 and rows
    return len({p for row in wait_for(entry, 10, "the menu drawn") for p in row[:14]}) > 1


def periods(queries):
    return [(b["time"] - a["time"]) / 1000 for a, b in zip(queries, queries[1:])]


def about_every_10_ms(queries, what):
    gaps = periods(queries)
    assert 9.0 <= sum(gaps) / len(gaps) <= 11.5, f"mean tick period {what}: {sum(gaps) / len(gaps)}"


def assert_paused(s, pid):
    """No joystick query for half a second (Enabled off); returns how many came before."""
    time.sleep(0.1)
    paused = len(s.queries(pid))
    time.sleep(0.5)
    assert len(s.queries(pid)) == paused, "joystick queries with Enabled off"
    return paused


def test_start_up_failures(s):
    """No main window (a test build asks for an unregistered class): exit code 1 at
    once, no joystick call. No joystick: the message (caption, text, OK only, no
    icon), no icon, exit code 1 on OK."""
    s.start_probe()
    assert s.start_velmora("no-window").wait(timeout=30) == 1
    velmora = s.start_velmora(caps="165 0")  # JOYERR_PARMS
    pid = s.velmora_pid(1)
    dialog = wait_for(lambda: [w for w in s.windows() if w["class"] == "#32770"
                               and w["pid"] == pid and w["visible"]], 30, "the message box")[0]
    assert dialog["text"] == "Velmora"
    controls = [w for w in s.windows() if w["parent"] == dialog["hwnd"]]
    assert sorted((c["class"], c["text"]) for c in controls if c["visible"] and c["text"]) == [
        ("Button", "OK"), ("Static", "Couldn't detect the joystick")]
    assert [c for c in controls if c["icon"]] == []
    ok = [c for c in controls if c["class"] == "Button" and c["visible"]]
    s.x("mousemove", (ok[0]["left"] + ok[0]["right"]) // 2, (ok[0]["top"] + ok[0]["bottom"]) // 2,
        "click", 1)
    assert velmora.wait(timeout=20) == 1
    assert s.notify_calls(0) == s.notify_calls(1) == []
    assert [c["name"] for c in s.calls()] == ["attach", "attach", "joyGetDevCapsA"]
    assert not s.tray(), "Wine's tray appeared, so an icon was added"


def test_one_copy_icon_queries_shell_restart_and_log_off(s):
    """Two copies started together leave one hidden window, icon and poller; a later
    one ends at once, silently. The icon comes back, and works, when the shell
    restarts. Log-off unloads: the icon goes and a held button is released."""
    pid = s.start(copies=2)
    wait_for(lambda: any(v.poll() is not None for v, _ in s.velmoras), 40, "one copy to end")
    survivor = next(i for i, (v, _) in enumerate(s.velmoras) if v.poll() is None)
    window = wait_for(lambda: [(w["text"], w["visible"]) for w in s.windows()
                               if w["class"] == "formVelmora" and w["pid"] == pid], 10, "its window")
    assert window == [("Velmora 1.0", 0)]
    # From the UI thread, by then COM's main single-threaded apartment
    # (APTTYPE_MAINSTA, 3), as ShellExecute asks of its callers.
    assert [(c["id"], c["size"], c["result"], c["apartment"])
            for c in s.calls("joyGetDevCapsA")] == [(0, 404, 0, 3)]
    s.wait_queries(100, pid)
    assert {(q["pid"], q["id"], q["size"], q["flags"]) for q in s.queries()} == {(pid, 0, 52, 0xFF)}
    assert s.start_velmora().wait(timeout=30) == 0
    assert {c["pid"] for c in s.calls() if c["name"].startswith("joy")} == {pid}
    assert [s.notify_calls(i) for i in range(3)] == [[0] if i == survivor else [] for i in range(3)]
    assert [w for w in s.windows() if w["class"] == "#32770"] == []
    # What a user sees of it: its picture in the tray's first cell (a square one
    # row high), and its tip while the pointer rests there.
    x, y = s.tray_icon_point()
    wait_for(lambda: shows_small_icon(s.pixels(x - 8, y - 10, 20, 20)), 10, "the icon's picture")
    s.x("mousemove", x, y)
    wait_for(lambda: [w["text"] for w in s.windows() if w["class"] == "tooltips_class32"
                      and w["visible"]] == ["Velmora 1.0 by Quillan"], 10, "the tip")
    s.move_pointer(HOME, pid)
    # A log-off that another program cancelled: the icon stays, the ticks go on.
    s.probe("cancellogoff")
    about_every_10_ms(s.wait_queries(50, pid, after=len(s.queries(pid)))[-50:], "after it")
    assert s.notify_calls(survivor) == [0]

    s.probe("delicon")  # answered once the tray has removed it
    s.probe("taskbarcreated")
    wait_for(lambda: s.notify_calls(survivor) == [0, 0], 15, "Velmora to add its icon again")
    s.open_menu()
    s.menu_keys(0x1B)

    hold_middle_button(s, pid)
    # Only Velmora's part of the end of the session is waited for: wineboot
    # itself sometimes lingers after every window has been told.
    s._start("wineboot", [WINE64, "wineboot", "--end-session"], s.env())
    assert s.velmoras[survivor][0].wait(timeout=30) == 0
    assert s.notify_calls(survivor) == [0, 0, 3, 2]
    # The probe window went with the session; the desktop, which keeps the
    # buttons' state, did not. A new probe reads it.
    s.start_probe()
    assert s.probe("keystate", 0x4) == ["up"]


def test_stick_moves_the_cursor_and_a_lost_stick_stops_everything(s):
    """Every tick's step; one tick after a query that hangs. Then a joystick that is
    gone, each query blocking 1.2 s: the cursor and the keys stop, each try asks
    for the capabilities first, the menu still opens. Back with more buttons, it
    polls every 10 ms and the new buttons act."""
    pid = s.start(cursor=BARE_DESKTOP, buttons=6)
    ticks = s.run_stick(pos(x=HIGH, count=5), pos(count=3), pos(x=HIGH), pos(x=LOW, count=3),
                        pos(y=HIGH, count=3), pos(y=LOW, count=2), pos(x=LOW, y=HIGH, count=3),
                        pos(), pid=pid)
    steps = [(b["cursor"][0] - a["cursor"][0], b["cursor"][1] - a["cursor"][1])
             for a, b in zip(ticks, ticks[1:])]
    assert steps[:20] == [(1, 0), (2, 0), (3, 0), (4, 0), (5, 0),  # the ramp
                          (0, 0), (0, 0), (0, 0), (6, 0),  # centred: speed kept
                          (-1, 0), (-2, 0), (-3, 0),  # reversed
                          (0, 1), (0, 2), (0, 3), (0, -1), (0, -2),  # down, up
                          (-4, 1), (-5, 2), (-6, 3)]  # left goes on, down restarts
    assert ticks[-1]["cursor"] == s.pointer() == (850, 629)
    # A query that hangs 3.5 s (a driver waking up, say) is followed by one tick,
    # then the 10 ms pace: no tick is caught up, which would crowd the next ten.
    stall = s.run_stick(pos(wait_ms=3500), pos(), pid=pid, settle=12)
    assert (stall[11]["time"] - stall[1]["time"]) / 1000 >= 85, periods(stall[1:12])

    # Six buttons: of 5 and 7 (0x50) only 5 sends Up.
    mark = s.mark()
    s.run_stick(pos(x=HIGH, buttons=0x50, count=4), pid=pid, settle=0)
    before = len(s.calls(pid=pid))
    s.stick(pos(result=167, wait_ms=1200))  # JOYERR_UNPLUGGED

    failing = wait_for(lambda: (lambda c: len(c) >= 3 and c)(
        [c for c in s.calls(pid=pid)[before:] if c["name"].startswith("joy") and c["result"]]),
        30, "three failing tries")
    # Each try after the first asks what the device is, and stops there while it is gone.
    assert [c["name"] for c in failing[:3]] == ["joyGetPosEx"] + ["joyGetDevCapsA"] * 2
    assert s.pointer() == failing[0]["cursor"]
    held = len([q for q in s.queries(pid) if q["result"] == 0 and q["buttons"] == 0x50])
    assert s.events(mark) == UP_KEY * held
    s.open_menu()
    s.menu_keys(0x1B)
    s.probe("front")  # the keys below go to the probe again
    # Back as a pad of eight buttons: 5 and 7 both send Up.
    mark = s.mark()
    s.stick(pos(buttons=0x50, count=3, caps=8), pos())
    wait_for(lambda: len(s.events(mark)) >= 12, 30, "an Up from each of buttons 5 and 7, 3 ticks")
    n = len(s.queries(pid))
    back = s.wait_queries(20, pid, after=n)[n:]
    assert s.events(mark) == UP_KEY * 6
    about_every_10_ms(back[-15:], "once the stick is back")
    assert s.pointer() == back[0]["cursor"]


def test_buttons_click_and_send_arrow_keys_then_a_quit_message(s):
    """Buttons held over the probe: one click of 1 to 3, a double click per tick of 4,
    an arrow stroke per tick of 5, 6 and 8 (7: the lost-stick test). WM_QUIT from
    outside ends the loop: the unload still runs (icon gone, held button released)."""
    pid = s.start()
    double = [(0x201, 0x1, CLICK), (0x202, 0, CLICK), (0x203, 0x1, CLICK), (0x202, 0, CLICK)]
    for bits, ticks, expected in (
            (0x1, 8, [(0x201, 0x1, CLICK), (0x202, 0, CLICK)]),
            (0x2, 8, [(0x207, 0x10, CLICK), (0x208, 0, CLICK)]),
            (0x4, 8, [(0x204, 0x2, CLICK), (0x205, 0, CLICK)]),
            (0x8, 3, double * 3),
            (0x10, 2, UP_KEY * 2), (0x20, 2, DOWN_KEY * 2), (0x80, 2, DOWN_KEY * 2)):
        mark = s.mark()
        s.run_stick(pos(buttons=bits, count=ticks), pos(), pid=pid, settle=5)
        wait_for(lambda: len(s.events(mark)) >= len(expected), 10, f"messages for {bits:#x}")
        s.wait_queries(10, pid, after=len(s.queries(pid)))  # and nothing more comes
        assert s.events(mark) == expected, f"buttons {bits:#x} held {ticks} ticks"
    assert [s.probe("keystate", vk) for vk in (0x1, 0x4, 0x26, 0x28)] == [["up"]] * 4

    mark = s.mark()
    s.run_stick(pos(buttons=0x1, count=3), pid=pid)
    wait_for(lambda: s.events(mark), 10, "the left press")
    s.probe("quit")
    assert s.velmoras[0][0].wait(timeout=20) == 0
    assert s.notify_calls() == [0, 2]
    wait_for(lambda: len(s.events(mark)) >= 2, 10, "the left release")
    assert s.events(mark) == [(0x201, 0x1, CLICK), (0x202, 0, CLICK)]


def test_menu_opens_closes_runs_about_and_the_joystick_alone_exits(s):
    """Velmora is the foreground window while its menu is open (Esc reaches it, and
    the focus goes back to the notification area, unless another window has taken
    it), also while every tick overruns its period; About... opens the home page. No
    mouse: the stick onto the icon, button 3, onto Exit, button 1 ends it, releasing
    button 2."""
    pid = s.start()
    assert s.foreground()["class"] == "VelmoraProbe"
    at = s.tray_icon_point()
    assert at[0] != at[1], "a click on the diagonal would hide a swap of x and y"
    # Ticks that overrun their period (each query blocking 15 ms) still let the
    # queue in: the icon's callback gets through while they go on, and in the
    # menu, keys and clicks do.
    s.stick(pos(wait_ms=15, count=200), pos(wait_ms=15))
    overrun = len(s.script.read_text().splitlines()) - 1
    menu = s.open_menu()
    assert len([q for q in s.queries(pid) if q["line"] == overrun]) < 200, "menu after the overrun"
    assert (menu["left"], menu["top"]) == at  # TPM_LEFTALIGN, top-aligned: its corner at the click
    assert (s.foreground()["class"], s.foreground()["pid"]) == ("formVelmora", pid)
    s.menu_keys(0x1B)  # to the foreground window's thread: the menu's only if it is Velmora's
    # Dismissed from the keyboard: the focus goes back to the notification area.
    wait_for(lambda: s.notify_calls() == [0, 3], 10, "NIM_SETFOCUS after Esc")
    menu = s.open_menu()
    s.x("mousemove", menu["left"] + 30, menu["top"] + 10, "click", 1)  # Enabled
    wait_for(lambda: not s.menu(), 5, "the menu to take a click on Enabled between slow ticks")
    assert_paused(s, pid)
    s.stick(pos())
    s.open_menu()
    s.menu_keys(0x28, 0x0D)  # Down, Return: Enabled, on again
    wait_for(lambda: s.notify_calls() == [0, 3, 3, 3], 10, "NIM_SETFOCUS after each Enabled")
    s.open_menu()
    # In the menu the ticks come as messages. A query that hangs 3.5 s is
    # followed by one tick, the newest posted: none of those posted before the
    # stall's last second runs (the double logs the age of the message that
    # runs each tick, GetTickCount - GetMessageTime).
    stall = [q["age"] for q in s.run_stick(pos(wait_ms=3500), pos(), pid=pid)]
    assert max(stall[1:]) < 1000, f"ms old after a stall in the menu: {stall}"
    s.menu_keys(0x1B)
    wait_for(lambda: s.notify_calls() == [0, 3, 3, 3, 3], 10, "NIM_SETFOCUS after Esc")
    assert s.open_menu()["pid"] == pid
    # Another window in front meanwhile: closed, the menu leaves the focus there.
    s.probe("front")
    s.x("mousemove", *HOME, "click", 1)
    wait_for(lambda: not s.menu(), 10, "the menu to close on a click elsewhere")
    s.open_menu()
    s.menu_keys(0x28, 0x28, 0x0D)  # Down, Down, Return: About...
    text = wait_for(lambda: s.browser_log.exists() and s.browser_log.read_text(), 30, "the browser")
    assert "https://quillan.example/velmora/" in text and text.count("browser pid=") == 1

    hold_middle_button(s, pid)
    # Steered open loop, by the ramp alone (a push from rest moves 1, 2, 3...
    # pixels a tick, a reversal starts again at 1): up and left until the
    # screen's corner stops the pointer, then onto the icon, button 3.
    x, y = s.tray_icon_point()
    s.run_stick(pos(LOW, LOW, 0x2, 40), pos(HIGH, CENTRE, 0x2, ramp_ticks(x)),
                pos(CENTRE, HIGH, 0x2, ramp_ticks(y)), pos(buttons=0x6), pos(buttons=0x2), pid=pid)
    menu = wait_for(s.menu, 15, "the menu after button 3 over the icon")[0]
    # Exit is the last entry, its middle about 12 pixels above the menu's bottom
    # edge: a little right, up one pixel, then down from rest.
    down = ramp_ticks(menu["bottom"] - 12 - s.pointer()[1] + 1)
    s.stick(pos(HIGH, LOW, 0x2), pos(HIGH, CENTRE, 0x2), pos(CENTRE, HIGH, 0x2, down),
            pos(buttons=0x3), pos(buttons=0x2))  # the program ends on the release
    assert s.velmoras[0][0].wait(timeout=20) == 0
    assert s.notify_calls() == [0, 3, 3, 3, 3, 2]
    assert s.probe("keystate", 0x4) == ["up"]


@pytest.mark.timeout(180)
def test_tick_paths(s):
    """Each tick source ticks every 10 ms, in the menu too, never with Enabled off,
    and raises the timer resolution only while polling (the fallbacks) or never (the
    high-resolution timer), on Windows 10 1809 (the double refuses the periodic
    high-resolution timer), and where no waitable timer arms; Enabled gives the
    focus back. The last ends on a close request from outside, the others through Exit."""
    s.start_probe()
    s.stick(pos())
    make, arm = ("CreateWaitableTimerExW", 2), "SetWaitableTimer"  # (..., high, made or armed)
    for index, (refuse, holds, timers) in enumerate((
            ("", 0, [(*make, 1), (arm, 1, 1)]),
            ("arm-high-resolution", 1, [(*make, 1), (arm, 1, 0), (arm, 0, 1)]),
            ("create-high-resolution arm-any", 1, [(*make, 0), (arm, 0, 0)]))):
        s.start_velmora(refuse=refuse or "none")
        pid = s.velmora_pid(index)
        begin, end = [("timeBeginPeriod", 1)] * holds, [("timeEndPeriod", 1)] * holds

        def resolution():
            return [(c["name"], c["period"]) for c in s.calls(pid=pid) if c["name"].startswith("time")]
        about_every_10_ms(s.wait_queries(150, pid)[-150:], f"refusing {refuse or 'nothing'}")
        assert [(c["name"], c.get("flags", c.get("high")), c.get("made", c.get("armed")))
                for c in s.calls(pid=pid) if "Timer" in c["name"]] == timers
        assert resolution() == begin
        assert enabled_marked(s, s.open_menu()), "Enabled not marked at start"
        about_every_10_ms(s.wait_queries(60, pid, after=len(s.queries(pid)))[-60:], "in the menu")
        s.menu_keys(0x28, 0x0D)  # Down, Return: Enabled, off
        paused = assert_paused(s, pid)
        assert resolution() == begin + end
        assert not enabled_marked(s, s.open_menu()), "Enabled still marked when off"
        s.menu_keys(0x28, 0x0D)  # and on again
        about_every_10_ms(s.wait_queries(100, pid, after=paused)[-100:], "after Enabled again")
        assert enabled_marked(s, s.open_menu()), "Enabled not marked when on again"
        s.menu_keys(0x58 if index < 2 else 0x1B)  # X: E&xit; or Esc, then WM_CLOSE
        if index == 2:
            s.probe("close")
        assert s.velmoras[index][0].wait(timeout=20) == 0
        # Enabled gave the focus back to the notification area each time, as Esc did.
        assert s.notify_calls(index) == ([0, 3, 3, 3, 2] if index == 2 else [0, 3, 3, 2])
        assert resolution() == (begin + end) * 2


def test_an_icon_the_shell_refuses_is_offered_again_until_taken(s):
    """A shell that refuses the start-up add and the next offer, each after 1.5 s:
    the offers come at least that long apart, the ticks go on between them, and
    the icon is then added once and works. An add refused after the shell took it
    is found by a modify, never added twice. Exit removes the icon either way."""
    s.start_probe()
    s.stick(pos())
    for index, (refused, done, icon_calls) in enumerate(((2, 0, [0, 1, 0]), (1, 1, [0, 1]))):
        mark = s.mark()
        s.probe("faketray", refused, 1500, done)  # a stand-in tray, found before the real one
        s.start_velmora()
        pid = s.velmora_pid(index)
        wait_for(lambda: s.notify_calls(index) == icon_calls, 20, f"the icon calls {icon_calls}")
        assert [(e[0], e[2]) for e in s.events(mark)] == [(0x4A, m) for m in icon_calls[:refused]]
        queries = s.wait_queries(20, pid, after=len(s.queries(pid)))  # some after the last offer
        if refused == 2:  # the ticks stop only while the second offer blocks
            gaps = [(b["time"] - a["time"]) / 1e6 for a, b in zip(queries, queries[1:])]
            blocked = max(range(len(gaps)), key=gaps.__getitem__)
            # From the capabilities query just before the add: the add blocked 1.5 s,
            # then at least as long a pause before the offer that blocks again.
            caps = s.calls("joyGetDevCapsA", pid)[0]["time"]
            assert gaps[blocked] >= 1.45 and (queries[blocked]["time"] - caps) / 1e6 >= 2.9
            about_every_10_ms(queries[:blocked + 1], "between the offers")
        s.open_menu()
        s.menu_keys(0x58)  # X: E&xit
        assert s.velmoras[index][0].wait(timeout=20) == 0
        assert s.notify_calls(index) == icon_calls + [2]

"""Runs the real Velmora.exe under Wine on a private X display, for the e2e
tests, the demo and the Wine benchmark (standard library only). A Session owns
what one test starts (Xvfb, a wineserver of its own, the probe window, each
Velmora) and ends each by its process id."""

import contextlib
import fcntl
import os
import re
import select
import shutil
import signal
import subprocess
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
WINE64, WINESERVER = "/usr/lib/wine/wine64", "/usr/lib/wine/wineserver64"
# Where the kernel has no 32-bit mode, scripts/deps.sh registers qemu-user for
# Wine's 32-bit half; qemu must then reserve the guest's whole 4 GiB up front,
# or Wine cannot map its shared user data at 0x7ffe0000.
QEMU_ENV = {"QEMU_RESERVED_VA": "0xffff0000"}
PREFIX_STAMP = "velmora-e2e-prefix-2"
PROBE, BROWSER = "C:\\velmora-e2e\\probe.exe", "C:\\velmora-e2e\\browser.exe"
HOME = (500, 400)  # inside the probe window, (300, 250) to (700, 550)
# Over no window: each SetCursorPos warps the X pointer, and a Wine window under
# it may replay the warp late, setting the cursor back (tests/e2e/README.md).
BARE_DESKTOP = (850, 620)
LOW, CENTRE, HIGH = 256, 32767, 65280  # axis values: left or up, centre, right or down
FIELDS = ("hwnd", "parent", "pid", "foreground", "visible", "icon", "left", "top", "right", "bottom",
          "class")


def wait_for(predicate, timeout, what):
    """Polls until predicate() returns something true; returns it."""
    deadline = time.monotonic() + timeout
    while not (result := predicate()):
        assert time.monotonic() < deadline, f"timed out after {timeout:g} s waiting for {what}"
        time.sleep(0.02)
    return result


def windows_path(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")  # Z: is the Unix root


def pos(x=CENTRE, y=CENTRE, buttons=0, count=1, result=0, wait_ms=0, caps=0):
    """One line of the stick script (joydouble.c): `count` queries answered so, and
    the capabilities meanwhile (`caps` buttons, 0: as at start)."""
    return f"{result} {x} {y} {buttons:#x} {count} {wait_ms} {caps}"


def wine_env(prefix, debug="-all", overrides="", **extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("WINE", "JOYDOUBLE"))}
    # No offers to install Wine's .NET and browser add-ons, no desktop menu entries.
    return {**env, **QEMU_ENV, "LC_ALL": "C.UTF-8", "WINEPREFIX": str(prefix), "WINEARCH": "win64",
            "WINEDEBUG": debug, "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d" +
            (overrides and ";" + overrides), **extra}


def start_server(prefix, env, out):
    """A wineserver of our own, listening before any Wine program starts: a
    program that finds none starts one that could not be ended by its id."""
    server = subprocess.Popen([WINESERVER, "-f", "-p"], env=env, stdout=out,
                              stderr=subprocess.STDOUT, start_new_session=True)
    # Where the socket lives differs between builds; the server works in its folder.
    info = os.stat(prefix)
    name = f"server-{info.st_dev:x}-{info.st_ino:x}"

    def listening():
        with contextlib.suppress(OSError):
            cwd = Path(os.readlink(f"/proc/{server.pid}/cwd"))
            return cwd.name == name and (cwd / "socket").exists()
    wait_for(lambda: listening() or server.poll() is not None, 20, "the wineserver's socket")
    assert server.poll() is None, "wineserver exited at start (is another one running?)"
    return server


def end_wine(env, server, out):
    """Ends every Wine process of the prefix, then our server: Wine's helpers run in
    sessions of their own and do not all notice a server that goes away."""
    if server.poll() is None:
        with contextlib.suppress(subprocess.TimeoutExpired, OSError):
            subprocess.run([WINESERVER, "-k"], env=env, stdout=out, stderr=subprocess.STDOUT,
                           timeout=15)
    stop(server)


def stop(process):
    """Ends a process we started, with its process group, by their id."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        if process.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, sig)
            with contextlib.suppress(subprocess.TimeoutExpired):
                process.wait(timeout=3)


@contextlib.contextmanager
def prefix(path, log):
    """The cached 64-bit prefix (32-bit programs run in its WoW64 half), locked while
    in use (a wineserver belongs to a prefix), remade if missing or out of date."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(f"{path}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        stamp = path / "velmora-e2e.stamp"
        if not stamp.exists() or stamp.read_text().strip() != PREFIX_STAMP:
            shutil.rmtree(path, ignore_errors=True)
            path.mkdir()
            env = wine_env(path)
            # About...'s address must reach the stand-in browser, not Wine's.
            add = ["reg", "add", r"HKCR\https\shell\open\command", "/ve", "/d",
                   f'"{BROWSER}" browser "%1"', "/f"]
            with open(log, "a") as out:
                server = start_server(path, env, out)
                try:
                    for args in (["wineboot", "-i"], add + ["/reg:64"], add + ["/reg:32"]):
                        code = subprocess.run([WINE64, *args], env=env, stdout=out,
                                              stderr=subprocess.STDOUT, timeout=180).returncode
                        assert code == 0, f"wine {' '.join(args)} exited with {code} (see {log})"
                finally:
                    end_wine(env, server, out)
            stamp.write_text(PREFIX_STAMP + "\n")
        yield path


def _value(text):
    with contextlib.suppress(ValueError):
        return int(text, 0)
    with contextlib.suppress(ValueError):
        return tuple(map(int, text.split(",")))  # the cursor, "x,y"
    return text


class Session:
    """Everything one test runs, ended in reverse order on the way out."""

    def __init__(self, build, directory, prefix):
        self.build, self.dir, self.prefix = Path(build), Path(directory), Path(prefix)
        self.processes, self.velmoras = [], []  # (label, Popen, log); (Popen, log)
        self.display, self.probe_process = None, None
        self.script, self.double_log, self.events_log, self.browser_log = (
            self.dir / name for name in ("stick.txt", "double.log", "events.log", "browser.log"))

    def __enter__(self):
        shutil.rmtree(self.dir, ignore_errors=True)
        self.dir.mkdir(parents=True)
        for f in (self.script, self.double_log, self.events_log):
            f.touch()
        try:
            # Xvfb writes the display number it chose once it takes clients.
            xvfb = self._start("xvfb", ["Xvfb", "-displayfd", 1, "-screen", 0, "1024x768x24",
                                        "-nolisten", "tcp", "-noreset"], os.environ,
                               stdout=subprocess.PIPE)
            assert select.select([xvfb.stdout], [], [], 20)[0], "Xvfb did not start in 20 s"
            self.display = ":" + xvfb.stdout.readline().decode().strip()
            with open(self.dir / "wineserver.log", "ab") as out:
                server = start_server(self.prefix, self.env(), out)
            self.processes.append(("wineserver", server, self.dir / "wineserver.log"))
            drive_c = self.prefix / "drive_c"
            shutil.copyfile(self.build / "e2e/winmm.dll", drive_c / "windows/syswow64/winmm.dll")
            (drive_c / "velmora-e2e").mkdir(exist_ok=True)
            for exe in ("probe.exe", "browser.exe"):
                shutil.copyfile(self.build / "e2e" / exe, drive_c / "velmora-e2e" / exe)
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *error):
        with open(self.dir / "teardown.log", "a") as out:
            for label, process, _ in reversed(self.processes):
                end_wine(self.env(), process, out) if label == "wineserver" else stop(process)

    def _start(self, label, args, env, stdin=subprocess.DEVNULL, stdout=None):
        log = self.dir / f"{label}.log"
        with open(log, "ab") as out:
            process = subprocess.Popen([str(a) for a in args], env=env, stdin=stdin,
                                       stdout=stdout or out, stderr=out, start_new_session=True)
        self.processes.append((label, process, log))
        return process

    def env(self, debug="-all", overrides="", **extra):
        return wine_env(self.prefix, debug, overrides, DISPLAY=self.display or "", **extra)

    def report(self):
        """The tail of every log, for a failed test's output."""
        logs = [log for _, _, log in self.processes] + [self.double_log, self.events_log, self.script]
        return "\n".join(f"--- {log}\n" + "\n".join(log.read_text(errors="replace").splitlines()[-30:])
                         for log in logs if log.exists())

    # -- the X side --

    def x(self, *args):
        result = subprocess.run(["xdotool", *map(str, args)], capture_output=True, text=True,
                                env={**os.environ, "DISPLAY": self.display}, timeout=10)
        return result.stdout.strip() if result.returncode == 0 else None

    def pixels(self, left, top, width, height):
        """What the screen shows in that rectangle: rows of (red, green, blue)."""
        data = subprocess.run(["import", "-display", self.display, "-window", "root", "-crop",
                               f"{width}x{height}+{left}+{top}", "-depth", "8", "rgb:-"],
                              capture_output=True, check=True, timeout=20).stdout
        assert len(data) == 3 * width * height, f"{width}x{height}+{left}+{top} is not all on screen"
        return [[tuple(data[i:i + 3]) for i in range(3 * width * y, 3 * width * (y + 1), 3)]
                for y in range(height)]

    def pointer(self):
        return tuple(map(int, re.match(r"x:(-?\d+) y:(-?\d+)", self.x("getmouselocation")).groups()))

    def tray(self):
        """Wine's own tray: the desktop process's visible windows (untitled since Wine 9)."""
        return self.x("search", "--onlyvisible", "--classname", "explorer.exe")

    def tray_icon_point(self):
        """Root coordinates of the first icon in the tray, which is one row (20 px) high."""
        def point():
            for window in (self.tray() or "").split():
                geometry = self.x("getwindowgeometry", window) or ""
                match = re.search(r"Position: (-?\d+),(-?\d+).*Geometry: \d+x20\b", geometry, re.S)
                if match:
                    return int(match[1]) + 8, int(match[2]) + 10
        return wait_for(point, 20, "Wine's tray")

    # -- the probe (probe.c) --

    def start_probe(self):
        """The probe window, first, so the desktop process and its tray are its child
        and trace the tray into wine.log."""
        self.probe_process = self._start(
            "wine", [WINE64, PROBE, "window", windows_path(self.events_log)],
            self.env("-all,+systray"), stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        if self._answer("the probe window", 60) != ["ready foreground=1"]:
            # Wine lets a click make a window foreground when the program could not.
            self.x("mousemove", 305, 255, "click", 1)
            wait_for(lambda: self.foreground()["class"] == "VelmoraProbe", 10, "the probe in front")

    def _answer(self, what, timeout=30):
        text, fd, deadline = b"", self.probe_process.stdout.fileno(), time.monotonic() + timeout
        while not re.search(rb"(^|\n)= -?\d+\r?\n$", text):  # the CRT writes \r\n
            remaining = deadline - time.monotonic()
            assert remaining > 0 and select.select([fd], [], [], remaining)[0], f"no answer to {what}"
            chunk = os.read(fd, 1 << 16)
            assert chunk, f"the probe ended before it answered {what}"
            text += chunk
        *lines, status = text.decode(errors="replace").splitlines()
        assert status == "= 0", f"probe {what}: {lines} {status}"
        return lines

    def probe(self, *command):
        """Runs a command in the probe window's process; returns its output lines."""
        what = " ".join(map(str, command))
        self.probe_process.stdin.write(f"{what}\n".encode())
        self.probe_process.stdin.flush()
        return self._answer(what)

    def windows(self):
        """Every top-level window and each dialog's controls."""
        rows = [line.split("\t") for line in self.probe("windows")]
        return [dict(zip(FIELDS, [*map(int, row[:10]), row[10]]), text=row[11]) for row in rows]

    def foreground(self):
        return next(w for w in self.windows() if w["foreground"])

    def menu(self):
        return [w for w in self.windows() if w["class"] == "#32768" and w["visible"]]

    def open_menu(self):
        self.x("mousemove", *self.tray_icon_point(), "click", 3)
        return wait_for(self.menu, 15, "the popup menu")[0]

    def menu_keys(self, *keys):
        """Keys to the foreground window, which close the open menu."""
        self.probe("key", *keys)
        wait_for(lambda: not self.menu(), 10, f"the menu to close after keys {keys}")

    def events(self, since=0):
        """The probe window's (message, wParam, lParam) after `since` bytes of its log."""
        text = self.events_log.read_bytes()[since:].decode()
        return [tuple(int(word, 16) for word in line.split()) for line in text.split("\n")[:-1]]

    def mark(self):
        return self.events_log.stat().st_size

    # -- the stick (joydouble.c) and Velmora --

    def stick(self, *states):
        with open(self.script, "a") as f:
            f.writelines(state + "\n" for state in states)

    def start_velmora(self, variant="", caps="0 12", debug="-all,+systray", refuse=""):
        """Velmora.exe (or the test build in folder `variant`) from a folder that also
        holds a winmm.dll, planted there and never to be loaded (check_winmm_origin);
        `refuse`: what of its waitable timers the double refuses (joydouble.c)."""
        app = self.dir / (variant or "app")
        if not app.exists():
            app.mkdir()
            shutil.copyfile(self.build / variant / "Velmora.exe", app / "Velmora.exe")
            shutil.copyfile(self.build / "e2e/winmm.dll", app / "winmm.dll")
        label = f"velmora{len(self.velmoras) + 1}"
        env = self.env(debug, "winmm=n,b", JOYDOUBLE_CAPS=caps,
                       JOYDOUBLE_SCRIPT=windows_path(self.script),
                       JOYDOUBLE_LOG=windows_path(self.double_log),
                       VELMORA_E2E_BROWSER_LOG=windows_path(self.browser_log),
                       JOYDOUBLE_REFUSE=refuse)
        self.velmoras.append((self._start(label, [WINE64, windows_path(app / "Velmora.exe")], env),
                              self.dir / f"{label}.log"))
        return self.velmoras[-1][0]

    def start(self, cursor=HOME, copies=1, buttons=0):
        """The probe, then Velmora polling the centred stick (of `buttons` buttons,
        0: 12) with the cursor at `cursor`. Returns its Windows process id."""
        self.start_probe()
        self.stick(pos(caps=buttons))
        for _ in range(copies):
            self.start_velmora()
        pid = self.velmora_pid()
        self.move_pointer(cursor, pid, timeout=60)
        return pid

    def move_pointer(self, point, pid, timeout=10):
        """Moves the X pointer and waits until Velmora's ticks see it there: Wine may
        answer GetCursorPos from a cache for a moment after a move from outside."""
        self.x("mousemove", *point)
        wait_for(lambda: (q := self.queries(pid)) and q[-1]["cursor"] == point, timeout,
                 f"Velmora to see the cursor at {point}")

    def calls(self, name=None, pid=None):
        """The double's log: each call's fields, with its time, pid and name."""
        calls = []
        # A line still being written is left for the next look.
        for line in self.double_log.read_text(errors="replace").split("\n")[:-1]:
            time_us, call_pid, call_name, *fields = line.split()
            calls.append({"time": int(time_us), "pid": int(call_pid), "name": call_name,
                          **{k: _value(v) for k, v in (f.split("=", 1) for f in fields)}})
        return [c for c in calls if name in (None, c["name"]) and pid in (None, c["pid"])]

    def queries(self, pid=None):
        return self.calls("joyGetPosEx", pid)

    def attached(self):
        return [c for c in self.calls("attach") if c["exe"].lower().endswith("velmora.exe")]

    def velmora_pid(self, index=0):
        """The Windows process id of the index-th Velmora to load the double."""
        pids = lambda: list(dict.fromkeys(c["pid"] for c in self.attached()))  # noqa: E731
        wait_for(lambda: len(pids()) > index, 60, f"Velmora #{index + 1} to load the double")
        return pids()[index]

    def check_winmm_origin(self):
        modules = {c["module"].lower() for c in self.attached()}
        assert modules <= {"c:\\windows\\system32\\winmm.dll"}, f"winmm.dll loaded from {modules}"

    def wait_queries(self, count, pid, after=0, timeout=20):
        """Waits for `count` queries past the first `after`; returns them all."""
        return wait_for(lambda: (lambda q: len(q) >= after + count and q)(self.queries(pid)),
                        timeout, f"{count} joystick queries after the first {after}")

    def run_stick(self, *states, pid, settle=3):
        """Appends states, waits until the last is taken and `settle` queries more
        made; returns the queries that took the new lines."""
        first = len(self.script.read_text().splitlines()) + 1
        last = first + len(states) - 1
        self.stick(*states)

        def done():
            queries = self.queries(pid)
            taken = [i for i, q in enumerate(queries) if q["line"] == last]
            return taken and len(queries) > taken[0] + settle and queries
        return [q for q in wait_for(done, 20, f"stick lines {first}-{last}") if q["line"] >= first]

    def notify_calls(self, index=0):
        """The index-th Velmora's Shell_NotifyIcon calls, from Wine's +systray trace."""
        text = self.velmoras[index][1].read_text(errors="replace")
        return [int(m) for m in re.findall(r"Shell_NotifyIconW dwMessage = (\d+)", text)]


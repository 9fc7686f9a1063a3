"""Runs the real Velmora.exe under Wine on a private X display.

A Session owns everything one scenario starts: Xvfb, a wineserver of its own,
the probe window and Velmora itself. Each is ended by its own process id when
the session closes, whatever happened. Every wait has a deadline; a scenario
that runs out of time fails with the logs of what it saw attached.

The joystick is the winmm.dll double (tools/wine/joydouble). Its script is a
file the session appends to, and the double takes one line per query, so a
scenario says "five queries with the stick right" and gets exactly five ticks.
"""

import contextlib
import fcntl
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

WINE_DIR = Path("/usr/lib/wine")
WINE64 = WINE_DIR / "wine64"
WINE32 = WINE_DIR / "wine"
WINESERVER = WINE_DIR / "wineserver64"

# Keeps Wine from offering to install its .NET and browser add-ons, and from
# writing desktop menu entries for the programs it runs.
BASE_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"

SCREEN = (1024, 768)
PREFIX_STAMP = "velmora-e2e-prefix-1"
PROBE_IN_PREFIX = "C:\\velmora-e2e\\probe.exe"

# joyGetPosEx codes and axis values the scenarios speak in.
LEFT, CENTRE, RIGHT = 256, 32767, 65280
UP, DOWN = 256, 65280
JOYERR_PARMS = 165
JOYERR_UNPLUGGED = 167


class Failure(Exception):
    """A check did not hold, or a wait ran out of time."""


def check(condition, message):
    if not condition:
        raise Failure(message)


def check_equal(actual, expected, what):
    if actual != expected:
        raise Failure(f"{what}: expected {expected!r}, got {actual!r}")


def wait_for(predicate, timeout, what, interval=0.02):
    """Polls until predicate() returns something true; returns it."""
    deadline = time.monotonic() + timeout
    while True:
        result = predicate()
        if result:
            return result
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)


def unix_to_windows(path):
    # Wine's Z: drive is the Unix root.
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


# ---------------------------------------------------------------- machine set-up


def ensure_i386_runs():
    """Makes sure 32-bit x86 Linux programs (Wine's 32-bit loader) can run.

    Some kernels are built without 32-bit user mode (ia32_emulation=off, or a
    hypervisor that has none). There the 32-bit half of Wine runs under
    qemu-i386-static through binfmt_misc; registering it needs root, once per
    boot.
    """
    if _wine32_starts():
        return
    qemu = shutil.which("qemu-i386-static")
    check(qemu, "this kernel cannot run 32-bit programs and qemu-i386-static is missing "
                "(scripts/deps.sh installs qemu-user-static)")
    binfmt = Path("/proc/sys/fs/binfmt_misc")
    check(os.geteuid() == 0, "this kernel cannot run 32-bit programs; as root, run the e2e "
                             "tests once to register qemu-i386-static with binfmt_misc")
    if not (binfmt / "register").exists():
        subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", str(binfmt)], check=True,
                       timeout=10)
    entry = binfmt / "velmora-i386"
    if not entry.exists():
        magic = (r"\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00")
        mask = (r"\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff")
        # F: the interpreter is opened now, so it works inside any mount namespace.
        (binfmt / "register").write_text(f":velmora-i386:M::{magic}:{mask}:{qemu}:F\n")
    check(_wine32_starts(), "32-bit Wine still does not start under qemu-i386-static")


def _wine32_starts():
    try:
        result = subprocess.run([str(WINE32), "--version"], capture_output=True, timeout=30,
                                env=wine_base_env())
    except OSError:
        return False
    return result.returncode == 0


def wine_base_env():
    env = {k: v for k, v in os.environ.items() if not k.startswith(("WINE", "JOYDOUBLE"))}
    # qemu-user reserves the guest's whole 4 GiB up front, so Wine's fixed
    # mappings (shared user data at 0x7ffe0000) land where Wine expects them.
    # Ignored when 32-bit programs run natively.
    env["QEMU_RESERVED_VA"] = "0xffff0000"
    env["LC_ALL"] = "C.UTF-8"
    return env


# ---------------------------------------------------------------------- prefix


class Prefix:
    """A 64-bit Wine prefix (32-bit programs run in its WoW64 half), kept
    between runs and rebuilt when missing or made by another harness version."""

    def __init__(self, path):
        self.path = Path(path)
        self.lock_path = self.path.with_name(self.path.name + ".lock")

    @property
    def syswow64(self):
        return self.path / "drive_c" / "windows" / "syswow64"

    @property
    def probe_dir(self):
        return self.path / "drive_c" / "velmora-e2e"

    def env(self):
        env = wine_base_env()
        env["WINEPREFIX"] = str(self.path)
        env["WINEARCH"] = "win64"
        env["WINEDEBUG"] = "-all"
        env["WINEDLLOVERRIDES"] = BASE_OVERRIDES
        return env

    @contextlib.contextmanager
    def locked(self):
        """One user of the prefix at a time: a wineserver belongs to a prefix.
        A holder that never lets go is ended by ctest's own timeout."""
        self.lock_path.parent.mkdir(parents=True, exist_ok=True)
        with open(self.lock_path, "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            yield

    def ready(self):
        stamp = self.path / "velmora-e2e.stamp"
        return stamp.exists() and stamp.read_text().strip() == PREFIX_STAMP

    def prepare(self, log):
        """Creates the prefix unless a good one is there. Call with the lock held."""
        ensure_i386_runs()
        if self.ready():
            return False
        if self.path.exists():
            shutil.rmtree(self.path)
        # wineboot fills an empty folder; the server needs it to exist first.
        self.path.mkdir(parents=True)
        env = self.env()
        started = time.monotonic()
        with open(log, "a") as out:
            server = subprocess.Popen([str(WINESERVER), "-f", "-p"], env=env, stdout=out,
                                      stderr=subprocess.STDOUT, start_new_session=True)
            try:
                wait_for_server(self.path, server)
                # wineboot makes the prefix in Wine's own first start; the server
                # is ours so that it can be ended by its id afterwards.
                _run(["wineboot", "-i"], env, out, timeout=180, server=server)
                # The About command's address must reach the stand-in browser,
                # not Wine's, which would look for a real one.
                command = f'"{PROBE_IN_PREFIX}" browser "%1"'
                for view in ("/reg:64", "/reg:32"):
                    _run(["reg", "add", r"HKCR\https\shell\open\command", "/ve", "/d", command,
                          "/f", view], env, out, timeout=60, server=server)
            finally:
                _end_wine(env, server, out)
        (self.path / "velmora-e2e.stamp").write_text(PREFIX_STAMP + "\n")
        with open(log, "a") as out:
            out.write(f"prefix made in {time.monotonic() - started:.1f} s\n")
        return True


def _run(args, env, out, timeout, server=None):
    process = subprocess.Popen([str(WINE64)] + args, env=env, stdout=out, stderr=subprocess.STDOUT,
                               start_new_session=True)
    try:
        code = process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        _stop(process, out)
        raise Failure(f"wine {' '.join(args)} did not finish in {timeout} s")
    check(code == 0, f"wine {' '.join(args)} exited with {code}")


def wait_for_server(prefix, server):
    # A Wine program that finds no server starts one of its own, which could
    # not be ended by its id; so wait for ours to listen first.
    # Where the server keeps its socket differs between builds, but it always
    # works in that folder, so look there.
    info = os.stat(prefix)
    name = f"server-{info.st_dev:x}-{info.st_ino:x}"

    def listening():
        with contextlib.suppress(OSError):
            cwd = os.readlink(f"/proc/{server.pid}/cwd")
            return Path(cwd).name == name and Path(cwd, "socket").exists()
        return False
    wait_for(lambda: listening() or server.poll() is not None, 20, "the wineserver's socket")
    check(server.poll() is None, "wineserver exited at start (is another one running?)")


def _end_wine(env, server, out):
    """Ends every Wine process of the prefix, then the server we started.

    Wine starts helper processes of its own (services, device drivers, the
    desktop) in sessions of their own; they do not all notice a server that
    goes away, so the server is first asked to end each of its clients.
    """
    if server.poll() is None:
        with contextlib.suppress(subprocess.TimeoutExpired, OSError):
            subprocess.run([str(WINESERVER), "-k"], env=env, stdout=out, stderr=subprocess.STDOUT,
                           timeout=15)
    _stop(server, out)


def _stop(process, out=None, grace=3.0):
    """Ends a process we started, and its process group, by their id."""
    if process.poll() is not None:
        return
    for sig, wait in ((signal.SIGTERM, grace), (signal.SIGKILL, 5.0)):
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, sig)
        try:
            process.wait(timeout=wait)
            return
        except subprocess.TimeoutExpired:
            continue
    if out:
        out.write(f"process {process.pid} would not end\n")


# ---------------------------------------------------------------- the logs


LINE = re.compile(r"^(\d+) (\d+) (\w+) (\w+)(.*)$")


class Call(dict):
    """One call logged by the joystick double: its fields by name, the words
    without a name in "args", and what it returned in "result"."""

    def __init__(self, time_us, pid, name, rest):
        super().__init__()
        self.time_us, self.pid, self.name = int(time_us), int(pid), name
        words = rest.split()
        if "->" in words:
            self["result"] = int(words[words.index("->") + 1])
        for word in words:
            key, _, value = word.partition("=")
            if value:
                self[key] = value
        self["args"] = [w for w in words if "=" not in w and w != "->"]

    @property
    def cursor(self):
        x, y = self["cursor"].split(",")
        return int(x), int(y)


def read_double_log(path):
    lines = Path(path).read_text(errors="replace").splitlines() if Path(path).exists() else []
    return [Call(time_us, pid, name, rest) for time_us, pid, source, name, rest in
            (m.groups() for m in map(LINE.match, lines) if m) if source == "double"]


def read_probe_log(path, since=0):
    """The probe window's events after `since` bytes, as (name, fields) pairs."""
    events = []
    path = Path(path)
    if not path.exists():
        return events
    data = path.read_bytes()[since:].decode(errors="replace")
    for raw in data.splitlines():
        parts = raw.split()
        if len(parts) < 2:
            continue
        fields = dict(p.split("=", 1) for p in parts[2:] if "=" in p)
        events.append((parts[1], fields))
    return events


# --------------------------------------------------------------------- session


class Session:
    """Everything one scenario runs, ended in reverse order on the way out."""

    def __init__(self, name, windows_build, work, prefix, directory=None):
        self.name = name
        self.build = Path(windows_build)
        self.dir = Path(directory) if directory else Path(work) / "scenarios" / name
        self.prefix = prefix
        self.processes = []  # (label, Popen, log path), ended in reverse order
        self.velmoras = []
        self.display = None
        self.server = None
        self.probe_log = self.dir / "probe.log"
        self.probe_cmd = self.dir / "probe-commands.txt"
        self.probe_replies = self.dir / "probe-replies.txt"
        self.double_log = self.dir / "double.log"
        self.script = self.dir / "stick.txt"
        self.browser_log = self.dir / "browser.log"
        self.wine_log = self.dir / "wine.log"
        self._command_seq = 0

    # -- set-up and tear-down --

    def __enter__(self):
        if self.dir.exists():
            shutil.rmtree(self.dir)
        self.dir.mkdir(parents=True)
        for f in (self.double_log, self.probe_log, self.probe_cmd, self.probe_replies):
            f.touch()
        try:
            self._start_display()
            self._start_server()
            self._install_doubles()
        except BaseException:
            self.__exit__(*sys.exc_info())
            raise
        return self

    def __exit__(self, kind, error, trace):
        if kind is not None:
            with contextlib.suppress(Exception):
                self.screenshot("failure.png")
        with open(self.dir / "teardown.log", "a") as out:
            for label, process, _ in reversed(self.processes):
                if label == "wineserver":
                    _end_wine(self.wine_env(), process, out)
                else:
                    _stop(process, out)
        return False

    def _start(self, label, args, env, log=None, pass_fds=()):
        log = log or (self.dir / f"{label}.log")
        out = open(log, "ab")
        process = subprocess.Popen([str(a) for a in args], env=env, stdout=out,
                                   stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                   start_new_session=True, pass_fds=pass_fds)
        out.close()
        self.processes.append((label, process, log))
        return process

    def _start_display(self):
        read_end, write_end = os.pipe()
        width, height = SCREEN
        xvfb = self._start("xvfb", ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                    f"{width}x{height}x24", "-nolisten", "tcp", "-noreset"],
                           env=dict(os.environ), pass_fds=(write_end,))
        os.close(write_end)
        # Xvfb writes the display number it chose once it accepts clients.
        number = b""
        deadline = time.monotonic() + 20
        os.set_blocking(read_end, False)
        while not number.endswith(b"\n"):
            check(time.monotonic() < deadline, "Xvfb did not start within 20 s")
            check(xvfb.poll() is None, "Xvfb exited at start")
            try:
                chunk = os.read(read_end, 16)
            except BlockingIOError:
                time.sleep(0.02)
                continue
            check(chunk, "Xvfb closed its display pipe")
            number += chunk
        os.close(read_end)
        self.display = ":" + number.decode().strip()

    def wine_env(self, debug="-all", overrides=""):
        env = self.prefix.env()
        env["DISPLAY"] = self.display
        env["WINEDEBUG"] = debug
        env["WINEDLLOVERRIDES"] = BASE_OVERRIDES + (";" + overrides if overrides else "")
        return env

    def _start_server(self):
        env = self.wine_env()
        self.server = self._start("wineserver", [str(WINESERVER), "-f", "-p"], env)
        wait_for_server(self.prefix.path, self.server)

    def _install_doubles(self):
        e2e = self.build / "e2e"
        shutil.copyfile(e2e / "winmm.dll", self.prefix.syswow64 / "winmm.dll")
        self.prefix.probe_dir.mkdir(exist_ok=True)
        shutil.copyfile(e2e / "probe.exe", self.prefix.probe_dir / "probe.exe")

    # -- the X side --

    def x(self, *args, timeout=10):
        env = dict(os.environ, DISPLAY=self.display)
        result = subprocess.run(["xdotool", *map(str, args)], env=env, capture_output=True,
                                text=True, timeout=timeout)
        return result.stdout.strip() if result.returncode == 0 else None

    def pointer(self):
        out = self.x("getmouselocation")
        match = re.match(r"x:(-?\d+) y:(-?\d+)", out or "")
        check(match, f"xdotool getmouselocation said {out!r}")
        return int(match.group(1)), int(match.group(2))

    def screenshot(self, name):
        env = dict(os.environ, DISPLAY=self.display)
        path = self.dir / name
        subprocess.run(["import", "-window", "root", str(path)], env=env, timeout=20,
                       capture_output=True)
        return path

    def tray_window(self):
        out = self.x("search", "--name", "^Wine System Tray$")
        return out.split()[0] if out else None

    def tray_icon_point(self, index=0):
        """Root coordinates of an icon in Wine's own tray window."""
        tray = wait_for(self.tray_window, 20, "Wine's tray window")
        geometry = self.x("getwindowgeometry", tray)
        match = re.search(r"Position: (-?\d+),(-?\d+).*Geometry: (\d+)x(\d+)", geometry or "", re.S)
        check(match, f"no geometry for the tray window: {geometry!r}")
        left, top, _, height = map(int, match.groups())
        icon_width = height  # the icons are square, as tall as the tray
        return left + index * icon_width + 8, top + height // 2

    # -- the probe --

    def start_probe(self, rect=(300, 250, 400, 300)):
        """The probe window, which also runs the driver's commands inside Wine.

        It starts first, so the desktop process (and its tray) is spawned by it
        and traces the tray and its tooltips into wine.log, apart from
        Velmora's own output.
        """
        env = self.wine_env(debug="-all,+systray,+tooltips")
        env["VELMORA_PROBE_COMMANDS"] = unix_to_windows(self.probe_cmd)
        env["VELMORA_PROBE_REPLIES"] = unix_to_windows(self.probe_replies)
        x, y, w, h = rect
        self._start("probe", [str(WINE64), PROBE_IN_PREFIX, "window", x, y, w, h,
                              unix_to_windows(self.probe_log)], env, log=self.wine_log)
        ready = wait_for(lambda: [f for e, f in read_probe_log(self.probe_log) if e == "ready"],
                         60, "the probe window")[0]
        if ready.get("foreground") != "1":
            # Wine lets a click make a window foreground when the program could not.
            self.x("mousemove", x + 5, y + 5, "click", 1)
            wait_for(lambda: self.foreground().get("class") == "VelmoraProbe", 10,
                     "the probe to become the foreground window")
        return ready

    def probe_once(self, *command, timeout=30):
        """Runs one probe command in a process of its own; returns its output lines."""
        label = f"probe-once-{len(self.processes)}"
        process = self._start(label, [WINE64, PROBE_IN_PREFIX, *command], self.wine_env())
        code = self.wait_exit(process, timeout)
        check(code == 0, f"probe {' '.join(map(str, command))} exited with {code}")
        return (self.dir / f"{label}.log").read_text(errors="replace").split()

    def probe(self, *command, timeout=20):
        """Runs one probe command inside Wine and returns its reply lines."""
        self._command_seq += 1
        seq = self._command_seq
        with open(self.probe_cmd, "a") as f:
            f.write(f"{seq} {' '.join(map(str, command))}\n")
        end = f"end {seq}\n"

        def reply():
            text = self.probe_replies.read_text(errors="replace")
            if end not in text:
                return None
            block = text.split(f"begin {seq}\n", 1)[1].split(end, 1)[0]
            return block.splitlines() or [""]
        lines = wait_for(reply, timeout, f"the probe's reply to {' '.join(map(str, command))}")
        status = lines.pop() if lines and lines[-1].startswith("exit ") else "exit ?"
        check(status == "exit 0", f"probe command {' '.join(map(str, command))}: {status}")
        return [line for line in lines if line]

    def info(self):
        return [json.loads(line) for line in self.probe("info")]

    def foreground(self):
        return next((w for w in self.info() if w["kind"] == "foreground"), {})

    def windows(self, cls=None, pid=None):
        return [w for w in self.info() if w["kind"] == "window" and
                (cls is None or w["class"] == cls) and (pid is None or w["pid"] == pid)]

    def probe_events(self, since=0, kinds=None):
        events = read_probe_log(self.probe_log, since)
        if kinds:
            events = [(e, f) for e, f in events if e in kinds]
        return events

    def probe_mark(self):
        return self.probe_log.stat().st_size

    # -- the stick --

    def write_script(self, caps_result=0, buttons=12, states=("pos 32767 32767 0",)):
        self.script.write_text(f"caps {caps_result} {buttons}\n" + "".join(
            s + "\n" for s in states))

    def stick(self, *states):
        """Appends joystick states; each is taken by one query (or its count)."""
        with open(self.script, "a") as f:
            for state in states:
                f.write(state + "\n")

    def script_lines(self):
        return len(self.script.read_text().splitlines())

    # -- Velmora --

    def start_velmora(self, exe=None, debug="-all,+systray", extra_env=None, label=None):
        exe = Path(exe or self.build / "Velmora.exe")
        env = self.wine_env(debug=debug, overrides="winmm=n,b")
        env["JOYDOUBLE_SCRIPT"] = unix_to_windows(self.script)
        env["JOYDOUBLE_LOG"] = unix_to_windows(self.double_log)
        env["VELMORA_E2E_BROWSER_LOG"] = unix_to_windows(self.browser_log)
        env.update(extra_env or {})
        label = label or f"velmora{len(self.velmoras) + 1}"
        process = self._start(label, [str(WINE64), unix_to_windows(exe)], env)
        self.velmoras.append((process, self.dir / f"{label}.log"))
        return process

    def velmora_output(self, index=0):
        return self.velmoras[index][1].read_text(errors="replace")

    def calls(self, name=None, pid=None):
        calls = read_double_log(self.double_log)
        return [c for c in calls if (name is None or c.name == name) and
                (pid is None or c.pid == pid)]

    def queries(self, pid=None):
        return self.calls("joyGetPosEx", pid)

    def velmora_pid(self, index=0, timeout=60):
        """The Windows process id of the index-th Velmora, from the double's log."""
        def attached():
            pids = []
            for c in self.calls("attach"):
                if c.get("exe", "").lower().endswith("velmora.exe") and c.pid not in pids:
                    pids.append(c.pid)
            return pids[index] if len(pids) > index else None
        return wait_for(attached, timeout, f"Velmora #{index + 1} to load the joystick driver")

    def wait_queries(self, count, pid=None, timeout=20, after=0):
        """Waits until `count` queries past the first `after` have been made."""
        return wait_for(lambda: (lambda q: q if len(q) >= after + count else None)(
            self.queries(pid)), timeout, f"{count} joystick queries after the first {after}")

    def run_stick(self, *states, settle=3, pid=None, timeout=20):
        """Appends states and waits until the last one has been taken, plus
        `settle` queries more. Returns the queries that took the new lines."""
        start_line = self.script_lines() + 1
        self.stick(*states)
        last_line = self.script_lines()

        def done():
            queries = self.queries(pid)
            idx = [i for i, q in enumerate(queries) if int(q["line"]) == last_line]
            return queries if idx and len(queries) - 1 >= idx[0] + settle else None
        queries = wait_for(done, timeout, f"the stick states on lines {start_line}-{last_line}")
        return [q for q in queries if int(q["line"]) >= start_line]

    def start_wine(self, *args, label="wine-command"):
        """Starts a Wine program; the session ends it if it is still running."""
        return self._start(label, [WINE64, *args], self.wine_env(), log=self.dir / f"{label}.log")

    def wait_exit(self, process, timeout=20):
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"the process {process.pid} did not end within {timeout} s")

    def report(self):
        """What the session saw, for a failed scenario's output."""
        parts = []
        for label, process, log in self.processes:
            state = process.poll()
            parts.append(f"--- {label} (pid {process.pid}, "
                         f"{'running' if state is None else f'exit {state}'}): {log}")
            if Path(log).exists():
                text = Path(log).read_text(errors="replace").splitlines()
                parts.extend(text[-40:])
        for title, path in (("joystick double", self.double_log), ("probe", self.probe_log),
                            ("probe replies", self.probe_replies), ("stick", self.script)):
            if path.exists():
                lines = path.read_text(errors="replace").splitlines()
                parts.append(f"--- {title}: {path} ({len(lines)} lines, last 30)")
                parts.extend(lines[-30:])
        return "\n".join(parts)


if __name__ == "__main__":
    # scripts/run.sh: make sure Wine's 32-bit half can run before starting it.
    if sys.argv[1:] != ["--enable-i386"]:
        sys.exit("usage: harness.py --enable-i386")
    try:
        ensure_i386_runs()
    except Failure as failure:
        sys.exit(f"harness: {failure}")

"""Runs the real Velmora.exe under Wine on a private X display.

A Session owns everything one scenario starts (Xvfb, a wineserver of its own,
the probe window, Velmora) and ends each by its process id on the way out.
Every wait has a deadline. The joystick double (tools/wine/joydouble) takes one
line of the session's stick script per query, so five lines are five ticks.
"""

import contextlib
import fcntl
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"
# No offers to install Wine's .NET and browser add-ons, no desktop menu entries.
BASE_OVERRIDES = "mscoree,mshtml=;winemenubuilder.exe=d"
# qemu-user reserves the guest's whole 4 GiB up front, so Wine's fixed mappings
# (shared user data at 0x7ffe0000) land where Wine expects them. Ignored where
# 32-bit programs run natively.
QEMU_ENV = {"QEMU_RESERVED_VA": "0xffff0000"}
PREFIX_STAMP = "velmora-e2e-prefix-1"
PROBE_IN_PREFIX = "C:\\velmora-e2e\\probe.exe"

# joyGetPosEx codes and axis values the scenarios speak in.
LEFT, CENTRE, RIGHT = 256, 32767, 65280
UP, DOWN = 256, 65280
JOYERR_PARMS, JOYERR_UNPLUGGED = 165, 167


class Failure(Exception):
    """A check did not hold, or a wait ran out of time."""


def check(condition, message):
    if not condition:
        raise Failure(message)


def check_equal(actual, expected, what):
    check(actual == expected, f"{what}: expected {expected!r}, got {actual!r}")


def wait_for(predicate, timeout, what):
    """Polls until predicate() returns something true; returns it."""
    deadline = time.monotonic() + timeout
    while not (result := predicate()):
        check(time.monotonic() < deadline, f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(0.02)
    return result


def unix_to_windows(path):
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")  # Z: is the Unix root


def ensure_i386_runs():
    """Lets Wine's 32-bit loader run. Kernels without 32-bit user mode run it
    under qemu-i386-static through binfmt_misc, registered as root once per boot."""
    def wine32_starts():
        with contextlib.suppress(OSError, subprocess.TimeoutExpired):
            return subprocess.run(["/usr/lib/wine/wine", "--version"], capture_output=True,
                                  timeout=30, env={**os.environ, **QEMU_ENV}).returncode == 0
    if wine32_starts():
        return
    qemu, binfmt = shutil.which("qemu-i386-static"), Path("/proc/sys/fs/binfmt_misc")
    check(qemu, "this kernel cannot run 32-bit programs and qemu-i386-static is missing "
                "(scripts/deps.sh installs qemu-user-static)")
    check(os.geteuid() == 0, "this kernel cannot run 32-bit programs; as root, run the e2e "
                             "tests once to register qemu-i386-static with binfmt_misc")
    if not (binfmt / "register").exists():
        subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", binfmt], check=True, timeout=10)
    if not (binfmt / "velmora-i386").exists():
        magic = r"\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
        mask = r"\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
        # F: the interpreter is opened now, so it works inside any mount namespace.
        (binfmt / "register").write_text(f":velmora-i386:M::{magic}:{mask}:{qemu}:F\n")
    check(wine32_starts(), "32-bit Wine still does not start under qemu-i386-static")


def wine_env(prefix, debug="-all", overrides="", **extra):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("WINE", "JOYDOUBLE"))}
    env.update(QEMU_ENV, LC_ALL="C.UTF-8", WINEPREFIX=str(prefix), WINEARCH="win64",
               WINEDEBUG=debug, WINEDLLOVERRIDES=BASE_OVERRIDES + (overrides and ";" + overrides))
    return {**env, **extra}


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
    check(server.poll() is None, "wineserver exited at start (is another one running?)")
    return server


def end_wine(env, server, out):
    """Ends every Wine process of the prefix, then our server. Wine's helpers
    (services, drivers, the desktop) run in sessions of their own and do not all
    notice a server that goes away, so the server ends its clients first."""
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


class Prefix:
    """A 64-bit Wine prefix (32-bit programs run in its WoW64 half), kept between
    runs and made again when missing or made by another version of this file."""

    def __init__(self, path):
        self.path = Path(path)

    @contextlib.contextmanager
    def locked(self):
        """One user at a time: a wineserver belongs to a prefix."""
        self.path.parent.mkdir(parents=True, exist_ok=True)
        with open(self.path.with_name(self.path.name + ".lock"), "w") as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            yield

    def prepare(self, log):
        """Makes the prefix unless a good one is there; says whether it did. Hold the lock."""
        ensure_i386_runs()
        stamp = self.path / "velmora-e2e.stamp"
        if stamp.exists() and stamp.read_text().strip() == PREFIX_STAMP:
            return False
        shutil.rmtree(self.path, ignore_errors=True)
        self.path.mkdir(parents=True)  # the server needs it; wineboot fills it
        env = wine_env(self.path)
        # About's address must reach the stand-in browser, not Wine's.
        add = ["reg", "add", r"HKCR\https\shell\open\command", "/ve", "/d",
               f'"{PROBE_IN_PREFIX}" browser "%1"', "/f"]
        with open(log, "a") as out:
            server = start_server(self.path, env, out)
            try:
                for args in (["wineboot", "-i"], add + ["/reg:64"], add + ["/reg:32"]):
                    code = subprocess.run([WINE64, *args], env=env, stdout=out,
                                          stderr=subprocess.STDOUT, timeout=180).returncode
                    check(code == 0, f"wine {' '.join(args)} exited with {code}")
            finally:
                end_wine(env, server, out)
        stamp.write_text(PREFIX_STAMP + "\n")
        return True


class Call(dict):
    """One call the joystick double logged: its name=value fields, the other
    words in "args" and the return value in "result"."""

    def __init__(self, line):
        time_us, pid, _, self.name, *words = line.split()
        self.time_us, self.pid = int(time_us), int(pid)
        super().__init__(w.split("=", 1) for w in words if "=" in w)
        if "->" in words:
            self["result"] = int(words[words.index("->") + 1])
        self["args"] = [w for w in words if "=" not in w and w != "->"]

    @property
    def cursor(self):
        return tuple(map(int, self["cursor"].split(",")))


def read_double_log(path):
    lines = Path(path).read_text(errors="replace").splitlines() if Path(path).exists() else []
    return [Call(line) for line in lines if line.split()[2:3] == ["double"]]


class Session:
    """Everything one scenario runs, ended in reverse order on the way out."""

    def __init__(self, name, windows_build, work, prefix, directory=None):
        self.build, self.prefix = Path(windows_build), prefix
        self.dir = Path(directory or Path(work) / "scenarios" / name)
        self.processes = []  # (label, Popen, log)
        self.velmoras = []  # (Popen, log)
        self.display, self.command_seq = None, 0
        d = self.dir
        self.probe_log, self.double_log, self.script = d / "probe.log", d / "double.log", d / "stick.txt"
        self.probe_cmd, self.probe_replies = d / "probe-commands.txt", d / "probe-replies.txt"
        self.browser_log, self.wine_log = d / "browser.log", d / "wine.log"

    def __enter__(self):
        shutil.rmtree(self.dir, ignore_errors=True)
        self.dir.mkdir(parents=True)
        for f in (self.double_log, self.probe_log, self.probe_cmd, self.probe_replies):
            f.touch()
        try:
            # Xvfb writes the display number it chose once it takes clients.
            xvfb = self._start("xvfb", ["Xvfb", "-displayfd", 1, "-screen", 0, "1024x768x24",
                                        "-nolisten", "tcp", "-noreset"], os.environ,
                               stdout=subprocess.PIPE)
            check(select.select([xvfb.stdout], [], [], 20)[0], "Xvfb did not start in 20 s")
            self.display = ":" + xvfb.stdout.readline().decode().strip()
            check(self.display != ":", "Xvfb exited at start")
            with open(self.dir / "wineserver.log", "ab") as out:
                server = start_server(self.prefix.path, self.wine_env(), out)
            self.processes.append(("wineserver", server, self.dir / "wineserver.log"))
            drive_c = self.prefix.path / "drive_c"
            shutil.copyfile(self.build / "e2e/winmm.dll", drive_c / "windows/syswow64/winmm.dll")
            (drive_c / "velmora-e2e").mkdir(exist_ok=True)
            shutil.copyfile(self.build / "e2e/probe.exe", drive_c / "velmora-e2e/probe.exe")
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
                end_wine(self.wine_env(), process, out) if label == "wineserver" else stop(process)
        return False

    def _start(self, label, args, env, log=None, stdout=None):
        log = log or self.dir / f"{label}.log"
        with open(log, "ab") as out:
            process = subprocess.Popen([str(a) for a in args], env=env, stdout=stdout or out,
                                       stderr=out, stdin=subprocess.DEVNULL, start_new_session=True)
        self.processes.append((label, process, log))
        return process

    def wine_env(self, debug="-all", overrides=""):
        return wine_env(self.prefix.path, debug, overrides, DISPLAY=self.display)

    def start_wine(self, *args, label):
        """A Wine program, ended with the session if it is still running."""
        return self._start(label, [WINE64, *args], self.wine_env())

    def wait_exit(self, process, timeout=20):
        try:
            return process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"the process {process.pid} did not end within {timeout} s")

    # -- the X side --

    def x(self, *args):
        result = subprocess.run(["xdotool", *map(str, args)], capture_output=True, text=True,
                                env={**os.environ, "DISPLAY": self.display}, timeout=10)
        return result.stdout.strip() if result.returncode == 0 else None

    def pointer(self):
        out = self.x("getmouselocation")
        match = re.match(r"x:(-?\d+) y:(-?\d+)", out or "")
        check(match, f"xdotool getmouselocation said {out!r}")
        return int(match.group(1)), int(match.group(2))

    def screenshot(self, name, *crop):
        subprocess.run(["import", "-window", "root", *crop, self.dir / name], capture_output=True,
                       env={**os.environ, "DISPLAY": self.display}, check=True, timeout=30)

    def tray_window(self):
        out = self.x("search", "--name", "^Wine System Tray$")
        return out.split()[0] if out else None

    def tray_icon_point(self):
        """Root coordinates of the first icon in Wine's own tray window."""
        geometry = self.x("getwindowgeometry", wait_for(self.tray_window, 20, "Wine's tray"))
        match = re.search(r"Position: (-?\d+),(-?\d+).*Geometry: \d+x(\d+)", geometry or "", re.S)
        check(match, f"no geometry for the tray window: {geometry!r}")
        left, top, height = map(int, match.groups())
        return left + 8, top + height // 2

    # -- the probe --

    def start_probe(self, rect=(300, 250, 400, 300)):
        """The probe window, which also runs the driver's commands inside Wine.
        It starts first, so the desktop process and its tray are spawned by it
        and trace the tray and its tooltips into wine.log."""
        env = self.wine_env(debug="-all,+systray,+tooltips")
        env["VELMORA_PROBE_COMMANDS"] = unix_to_windows(self.probe_cmd)
        env["VELMORA_PROBE_REPLIES"] = unix_to_windows(self.probe_replies)
        self._start("probe", [WINE64, PROBE_IN_PREFIX, "window", *rect,
                              unix_to_windows(self.probe_log)], env, log=self.wine_log)
        ready = wait_for(lambda: self.probe_events(kinds=["ready"]), 60, "the probe window")[0][1]
        if ready["foreground"] != "1":
            # Wine lets a click make a window foreground when the program could not.
            self.x("mousemove", rect[0] + 5, rect[1] + 5, "click", 1)
            wait_for(lambda: self.foreground().get("class") == "VelmoraProbe", 10,
                     "the probe to become the foreground window")

    def probe_once(self, *command, timeout=30):
        """Runs one probe command in a process of its own; returns its output words."""
        label = f"probe-once-{len(self.processes)}"
        code = self.wait_exit(self.start_wine(PROBE_IN_PREFIX, *command, label=label), timeout)
        check(code == 0, f"probe {' '.join(map(str, command))} exited with {code}")
        return (self.dir / f"{label}.log").read_text(errors="replace").split()

    def probe(self, *command, timeout=20):
        """Runs one command in the probe window's process and returns its reply lines."""
        self.command_seq += 1
        seq, what = self.command_seq, " ".join(map(str, command))
        with open(self.probe_cmd, "a") as f:
            f.write(f"{seq} {what}\n")

        def reply():
            text = self.probe_replies.read_text(errors="replace")
            return f"end {seq}\n" in text and text.split(f"begin {seq}\n")[1].split(f"end {seq}\n")[0]
        *lines, status = wait_for(reply, timeout, f"the probe's reply to {what}").splitlines()
        check(status == "exit 0", f"probe command {what}: {status}")
        return [line for line in lines if line]

    def info(self):
        return [json.loads(line) for line in self.probe("info")]

    def foreground(self):
        return next((w for w in self.info() if w["kind"] == "foreground"), {})

    def windows(self, cls=None, pid=None):
        return [w for w in self.info() if w["kind"] == "window" and
                (cls is None or w["class"] == cls) and (pid is None or w["pid"] == pid)]

    def probe_mark(self):
        return self.probe_log.stat().st_size

    def probe_events(self, since=0, kinds=None):
        """The probe window's events after `since` bytes of its log, as (name, fields)."""
        text = self.probe_log.read_bytes()[since:].decode(errors="replace")
        events = [(p[1], dict(w.split("=", 1) for w in p[2:] if "=" in w))
                  for p in map(str.split, text.splitlines()) if len(p) >= 2]
        return [e for e in events if not kinds or e[0] in kinds]

    # -- the stick and Velmora --

    def write_script(self, caps_result=0, buttons=12, states=("pos 32767 32767 0",)):
        self.script.write_text(f"caps {caps_result} {buttons}\n")
        self.stick(*states)

    def stick(self, *states):
        """Appends joystick states; each is taken by one query (or its count)."""
        with open(self.script, "a") as f:
            f.writelines(state + "\n" for state in states)

    def start_velmora(self, exe=None, debug="-all,+systray"):
        env = self.wine_env(debug=debug, overrides="winmm=n,b")
        env["JOYDOUBLE_SCRIPT"] = unix_to_windows(self.script)
        env["JOYDOUBLE_LOG"] = unix_to_windows(self.double_log)
        env["VELMORA_E2E_BROWSER_LOG"] = unix_to_windows(self.browser_log)
        label = f"velmora{len(self.velmoras) + 1}"
        process = self._start(label, [WINE64, unix_to_windows(exe or self.build / "Velmora.exe")],
                              env)
        self.velmoras.append((process, self.dir / f"{label}.log"))
        return process

    def velmora_output(self, index=0):
        return self.velmoras[index][1].read_text(errors="replace")

    def calls(self, name=None, pid=None):
        return [c for c in read_double_log(self.double_log)
                if name in (None, c.name) and pid in (None, c.pid)]

    def queries(self, pid=None):
        return self.calls("joyGetPosEx", pid)

    def velmora_pid(self, index=0, timeout=60):
        """The Windows process id of the index-th Velmora, from the double's log."""
        def attached():
            pids = list(dict.fromkeys(c.pid for c in self.calls("attach")
                                      if c["exe"].lower().endswith("velmora.exe")))
            return pids[index] if len(pids) > index else None
        return wait_for(attached, timeout, f"Velmora #{index + 1} to load the joystick driver")

    def wait_queries(self, count, pid=None, timeout=20, after=0):
        """Waits until `count` queries past the first `after` have been made; returns all."""
        return wait_for(lambda: (lambda q: len(q) >= after + count and q)(self.queries(pid)),
                        timeout, f"{count} joystick queries after the first {after}")

    def run_stick(self, *states, settle=3, pid=None, timeout=20):
        """Appends states and waits until the last one has been taken, plus
        `settle` queries more. Returns the queries that took the new lines."""
        first = len(self.script.read_text().splitlines()) + 1
        self.stick(*states)
        last = first + len(states) - 1

        def done():
            queries = self.queries(pid)
            taken = [i for i, q in enumerate(queries) if int(q["line"]) == last]
            return taken and len(queries) - 1 >= taken[0] + settle and queries
        queries = wait_for(done, timeout, f"the stick states on lines {first}-{last}")
        return [q for q in queries if int(q["line"]) >= first]

    def report(self):
        """The tail of every log the session wrote, for a failed run's output."""
        parts = []
        for label, process, log in self.processes:
            parts.append(f"--- {label} (pid {process.pid}, exit {process.poll()}): {log}")
            parts += log.read_text(errors="replace").splitlines()[-40:] if log.exists() else []
        for path in (self.double_log, self.probe_log, self.probe_replies, self.script):
            lines = path.read_text(errors="replace").splitlines() if path.exists() else []
            parts += [f"--- {path} (last 30 of {len(lines)} lines)", *lines[-30:]]
        return "\n".join(parts)


if __name__ == "__main__":
    # scripts/run.sh: Wine's 32-bit half must run before Velmora can.
    if sys.argv[1:] != ["--enable-i386"]:
        sys.exit("usage: harness.py --enable-i386")
    try:
        ensure_i386_runs()
    except Failure as failure:
        sys.exit(f"harness: {failure}")

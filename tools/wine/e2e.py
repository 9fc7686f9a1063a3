#!/usr/bin/env python3
"""Runs Velmora's end-to-end scenarios under Wine.

  e2e.py --list                       the scenario names, one a line
  e2e.py --prepare                    makes (or checks) the cached Wine prefix
  e2e.py NAME [NAME...]               runs scenarios; exit 0 when all pass

ctest runs one scenario per test (tests/e2e/CMakeLists.txt); the scenarios are
in tests/e2e/scenarios.py. --windows-build
is the windows preset's build folder (Velmora.exe, e2e/winmm.dll, e2e/probe.exe).
"""

import argparse
import signal
import sys
import time
import traceback
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tools" / "wine"))
sys.path.insert(0, str(REPO / "tests" / "e2e"))  # the scenarios themselves

import harness  # noqa: E402
import scenarios  # noqa: E402



class Deadline(Exception):
    pass


def _on_alarm(signum, frame):
    raise Deadline()


def run_one(name, args, prefix):
    function, timeout = scenarios.SCENARIOS[name]
    started = time.monotonic()
    session = harness.Session(name, args.windows_build, args.work, prefix)
    signal.signal(signal.SIGALRM, _on_alarm)
    problem = None
    try:
        with prefix.locked():
            signal.alarm(timeout)
            try:
                with session:
                    function(session)
            finally:
                signal.alarm(0)
    except Deadline:
        problem = f"the scenario ran out of its {timeout} s"
    except harness.Failure as failure:
        problem = str(failure)
    except Exception:  # a broken driver is reported like a failed check
        problem = traceback.format_exc()
    elapsed = time.monotonic() - started
    if problem is None:
        print(f"PASS {name} ({elapsed:.1f} s)")
        return True
    print(f"FAIL {name} ({elapsed:.1f} s): {problem}")
    print(session.report())
    print(f"(everything the scenario left is in {session.dir})")
    return False


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--windows-build", type=Path, default=REPO / "build" / "windows")
    parser.add_argument("--work", type=Path, default=REPO / "build" / "host" / "e2e")
    parser.add_argument("--prefix", type=Path, default=REPO / "build" / "wine-prefix",
                        help="the cached Wine prefix (made when missing)")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--prepare", action="store_true")
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()

    if args.list:
        print("\n".join(scenarios.SCENARIOS))
        return 0

    prefix = harness.Prefix(args.prefix)
    args.work.mkdir(parents=True, exist_ok=True)
    if args.prepare:
        try:
            with prefix.locked():
                made = prefix.prepare(args.work / "prefix.log")
        except harness.Failure as failure:
            print(f"FAIL prefix: {failure}")
            log = args.work / "prefix.log"
            if log.exists():
                print("\n".join(log.read_text(errors="replace").splitlines()[-40:]))
            return 1
        print(f"PASS prefix ({'made' if made else 'reused'}: {prefix.path})")
        return 0

    missing = [p for p in (args.windows_build / "Velmora.exe",
                           args.windows_build / "e2e" / "winmm.dll",
                           args.windows_build / "e2e" / "probe.exe") if not p.exists()]
    if missing:
        print("FAIL: build the windows preset first; missing " + ", ".join(map(str, missing)))
        return 1
    unknown = [n for n in args.names if n not in scenarios.SCENARIOS]
    if unknown or not args.names:
        print(f"unknown scenarios: {unknown}" if unknown else "name a scenario (see --list)")
        return 2
    with prefix.locked():
        prefix.prepare(args.work / "prefix.log")
    results = [run_one(name, args, prefix) for name in args.names]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main())

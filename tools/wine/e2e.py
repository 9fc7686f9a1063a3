#!/usr/bin/env python3
"""Runs Velmora's end-to-end scenarios (tests/e2e/scenarios.py) under Wine.

  e2e.py --list                       the scenario names, one a line
  e2e.py --prepare                    makes (or checks) the cached Wine prefix
  e2e.py NAME [NAME...]               runs scenarios; exit 0 when all pass

ctest runs one scenario per test. --windows-build is the windows preset's build
folder (Velmora.exe, e2e/winmm.dll, e2e/probe.exe).
"""

import argparse
import signal
import sys
import time
import traceback
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path[:0] = [str(REPO / "tools" / "wine"), str(REPO / "tests" / "e2e")]

import harness  # noqa: E402
import scenarios  # noqa: E402


def run_one(name, args, prefix):
    function, timeout = scenarios.SCENARIOS[name]
    started = time.monotonic()
    session = harness.Session(name, args.windows_build, args.work, prefix)

    def out_of_time(signum, frame):
        raise harness.Failure(f"the scenario ran out of its {timeout} s")
    signal.signal(signal.SIGALRM, out_of_time)
    try:
        signal.alarm(timeout)
        with session:
            function(session)
        problem = None
    except harness.Failure as failure:
        problem = str(failure)
    except Exception:  # a broken driver is reported like a failed check
        problem = traceback.format_exc()
    finally:
        signal.alarm(0)
    print(f"{'FAIL' if problem else 'PASS'} {name} ({time.monotonic() - started:.1f} s)"
          + (f": {problem}\n{session.report()}\n(all it left is in {session.dir})" if problem else ""))
    return problem is None


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--windows-build", type=Path, default=REPO / "build" / "windows")
    parser.add_argument("--work", type=Path, default=REPO / "build" / "host" / "e2e")
    parser.add_argument("--prefix", type=Path, default=REPO / "build" / "wine-prefix")
    parser.add_argument("--list", action="store_true")
    parser.add_argument("--prepare", action="store_true")
    parser.add_argument("names", nargs="*")
    args = parser.parse_args()
    if args.list:
        print("\n".join(scenarios.SCENARIOS))
        return 0
    unknown = [n for n in args.names if n not in scenarios.SCENARIOS]
    if unknown or not (args.names or args.prepare):
        print(f"unknown scenarios: {unknown}" if unknown else "name a scenario (see --list)")
        return 2
    prefix, log = harness.Prefix(args.prefix), args.work / "prefix.log"
    args.work.mkdir(parents=True, exist_ok=True)
    with prefix.locked():
        try:
            made = prefix.prepare(log)
        except Exception as error:
            tail = log.read_text().splitlines()[-40:] if log.exists() else []
            print("\n".join([f"FAIL prefix: {error}", *tail]))
            return 1
        if args.prepare:
            print(f"PASS prefix ({'made' if made else 'reused'}: {prefix.path})")
            return 0
        return 0 if all([run_one(name, args, prefix) for name in args.names]) else 1


if __name__ == "__main__":
    sys.exit(main())

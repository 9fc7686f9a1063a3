#!/usr/bin/env bash
# Builds Velmora.exe and runs it under Wine.
#
#   scripts/run.sh           on $DISPLAY, with whatever joystick Wine finds
#   scripts/run.sh --demo    (or with no $DISPLAY) a scripted demo on a private
#                            X display; frames with the pointer drawn in, an
#                            animated demo.gif and a log go to build/demo/
set -euo pipefail
cd "$(dirname "$0")/.."

demo=false
case "${1:-}" in
  --demo) demo=true ;;
  "") ;;
  *) echo "usage: scripts/run.sh [--demo]" >&2; exit 64 ;;
esac

scripts/build.sh windows

if [ -z "${DISPLAY:-}" ] && ! $demo; then
  echo "run: no \$DISPLAY, so Velmora runs on a private X display with a scripted joystick instead"
  demo=true
fi

if $demo; then
  exec python3 tools/demo/demo.py --windows-build build/windows --out build/demo
fi

# A prefix of its own, so About... reaches Wine's browser rather than the
# tests' stand-in; on kernels without 32-bit mode, qemu (registered by
# scripts/deps.sh) runs Wine's 32-bit half.
export WINEPREFIX="$PWD/build/wine-run" WINEARCH=win64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
export QEMU_RESERVED_VA=0xffff0000
echo "run: starting Velmora.exe on $DISPLAY (its icon appears in the notification area)"
exec /usr/lib/wine/wine64 build/windows/Velmora.exe

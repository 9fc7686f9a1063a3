#!/usr/bin/env bash
# Builds both presets and runs every test: unit tests under ASan/UBSan, the
# format check, the executable checks and the end-to-end scenarios that run
# the real Velmora.exe under Wine. Ends with ctest's summary line.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/build.sh windows host
ctest --preset host "$@"

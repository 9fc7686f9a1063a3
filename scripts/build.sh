#!/usr/bin/env bash
# Installs missing system packages, then configures and builds each preset
# named (windows, host, bench).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
for preset in "$@"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

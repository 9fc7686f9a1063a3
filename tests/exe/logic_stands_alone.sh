#!/usr/bin/env bash
# The logic allocates nothing, per tick or ever: the Windows build of it may
# call nothing outside itself but the few memory routines GCC emits for plain
# copies, so operator new, malloc and the standard containers cannot creep in.
#
#   logic_stands_alone.sh NM LIBVELMORA_LOGIC
set -euo pipefail
[ -f "$2" ] || { echo "$2 is missing; build the windows preset first"; exit 1; }
outside=$("$1" "$2" | awk '$1 == "U" { u[$2] } NF == 3 { d[$3] }
  END { for (s in u) if (!(s in d) && s !~ /^_(memcpy|memmove|memset)$/) print s }')
[ -z "$outside" ] || { echo "the logic calls outside itself:"; "${1%nm}c++filt" $outside; exit 1; }

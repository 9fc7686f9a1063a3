#!/usr/bin/env bash
# Builds Velmora.exe a second time from a copy of the sources in another
# folder, now, and compares it byte for byte with the windows preset's build:
# a user must be able to rebuild a release and get the file they downloaded.
#
#   same_bytes_elsewhere.sh SOURCE_DIR VELMORA_EXE
set -euo pipefail
source_dir=$1
built=$2
[ -f "$built" ] || { echo "$built is missing; build the windows preset first"; exit 1; }

elsewhere=$(mktemp -d /tmp/velmora-rebuild.XXXXXX)
trap 'rm -rf "$elsewhere"' EXIT
# In a repository, the tracked files and any new ones not ignored: what a
# commit of this tree holds. In a tree unpacked from an archive, all of it but
# its build outputs.
if git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  git -C "$source_dir" ls-files -z --cached --others --exclude-standard |
    (cd "$source_dir" && tar --null -T - -cf -) | tar -xf - -C "$elsewhere"
else
  tar -C "$source_dir" --exclude=./build -cf - . | tar -xf - -C "$elsewhere"
fi
(cd "$elsewhere" && cmake --preset windows >/dev/null &&
  cmake --build --preset windows --target Velmora >/dev/null)

# Built in two folders, a build path in the file would make them differ.
cmp "$built" "$elsewhere/build/windows/Velmora.exe" || { echo "two builds of the same sources differ"; exit 1; }
echo "the same $(wc -c <"$built") bytes when built again in $elsewhere"

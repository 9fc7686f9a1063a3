#!/usr/bin/env bash
# Builds the release from the committed tree (HEAD; uncommitted changes are
# left out) and writes:
#   dist/Velmora-VERSION-win32.zip   Velmora.exe, README.txt, LICENSE.txt
#   dist/SHA256SUMS                  for the zip and for the exe, sha256sum format
#   dist/TOOLCHAIN                   the Debian release, compiler, binutils and
#                                    mingw-w64 runtime that built them
# Two runs on the same commit with the same toolchain give the same bytes,
# wherever and whenever made. Another toolchain (Debian 12's GCC 12 against
# Debian 13's GCC 14) gives other bytes, so the sums are printed beside it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh
commit=$(git rev-parse HEAD)
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
  echo "release: uncommitted changes are not part of the release of $commit" >&2
fi
# Time stamps in the zip are the commit's, so they do not depend on the clock.
epoch=$(git log -1 --format=%ct "$commit")
version=$(git show "$commit:src/version.h" |
  sed -n 's/^#define VELMORA_VERSION_TEXT "\([^"]*\)".*/\1/p')
[ -n "$version" ] || { echo "release: no VELMORA_VERSION_TEXT in src/version.h" >&2; exit 1; }

tree=$(mktemp -d /tmp/velmora-release.XXXXXX)
trap 'rm -rf "$tree"' EXIT
git archive "$commit" | tar -xf - -C "$tree"
echo "release: building Velmora $version from $commit"
(cd "$tree" && cmake --preset windows >/dev/null && cmake --build --preset windows --target Velmora >/dev/null)
exe="$tree/build/windows/Velmora.exe"
# The system interpreter: the PE reader is Debian's python3-pefile.
/usr/bin/python3 "$tree/tests/exe/check_exe.py" "$exe"

mkdir -p dist
zip="Velmora-$version-win32.zip"
rm -f "dist/$zip" dist/SHA256SUMS
# Python's zipfile, because every field that could vary is set here: entry
# order, time stamps and permissions. Entries are stored, not deflated, so the
# bytes do not depend on the zlib version either (the zip is small anyway).
python3 - "$epoch" "dist/$zip" "$exe" "$tree/res/README.txt" "$tree/LICENSE" <<'PY'
import sys
import time
import zipfile

epoch, out, exe, readme, licence = sys.argv[1:]
stamp = time.gmtime(max(int(epoch), 315532800))[:6]  # zip dates start in 1980


def crlf(path):
    with open(path, "rb") as f:
        return f.read().replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")


with open(exe, "rb") as f:
    entries = [("Velmora.exe", f.read()), ("README.txt", crlf(readme)),
               ("LICENSE.txt", crlf(licence))]
with zipfile.ZipFile(out, "w") as archive:
    for name, data in entries:
        info = zipfile.ZipInfo(name, date_time=stamp)
        info.create_system = 0  # MS-DOS: no Unix owner or mode bits
        info.external_attr = 0x20  # FILE_ATTRIBUTE_ARCHIVE, as Windows writes it
        info.compress_type = zipfile.ZIP_STORED
        archive.writestr(info, data)
PY
# Each tool as the build found it, with the Debian package (and version) it came from.
cxx=$(sed -n 's/^set(CMAKE_CXX_COMPILER "\(.*\)")$/\1/p' "$tree"/build/windows/CMakeFiles/*/CMakeCXXCompiler.cmake)
package_of() {
  local package
  package=$(dpkg -S "$(readlink -f "$1")" | head -n 1 | cut -d: -f1)
  dpkg-query -W -f='${Package} ${Version}' "$package"
}
{
  echo "Debian $(cat /etc/debian_version)"
  echo "compiler: $("$cxx" --version | head -n 1) ($(package_of "$cxx"))"
  ld=$("$cxx" -print-prog-name=ld)
  echo "binutils: $("$ld" --version | head -n 1) ($(package_of "$(command -v "$ld")"))"
  echo "mingw-w64 runtime: $(package_of "$("$cxx" -print-file-name=libmingw32.a)")"
} >dist/TOOLCHAIN
cp "$exe" dist/Velmora.exe
(cd dist && sha256sum "$zip" Velmora.exe >SHA256SUMS && rm Velmora.exe)
echo "release: dist/$zip, dist/SHA256SUMS and dist/TOOLCHAIN"
cat dist/SHA256SUMS
echo "built with:"
sed 's/^/  /' dist/TOOLCHAIN

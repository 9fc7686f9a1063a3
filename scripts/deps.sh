#!/usr/bin/env bash
# Installs the system packages the build and the tests need, only those missing,
# without Debian's recommended extras (fonts, multimedia plug-ins, documentation)
# that neither the build nor the tests use. apt's own output goes to
# build/deps.log; on failure its last lines are printed.
# Safe to run again; needs root (or sudo) the first time on a fresh machine.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake ninja-build python3 python3-pefile python3-pytest python3-pytest-timeout clang libclang-rt-14-dev clang-format
  libgtest-dev libgmock-dev libbenchmark-dev
  # One thread model is enough: the win32 one needs no winpthread DLL.
  gcc-mingw-w64-i686-win32 g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
  wine wine32:i386 wine64 xvfb xdotool x11-utils imagemagick
)

# Some kernels here are built without 32-bit user mode; Wine's 32-bit half then
# runs under qemu-user (registered below), and the preloader is what lets Wine
# reserve its low memory there. Whether the kernel runs 32-bit programs is
# decided by running one: a 96-byte i386 ELF whose only instruction is exit(7).
runs_i386() {
  local probe
  probe=$(mktemp)
  printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x07\x00\x00\x00\xcd\x80' >"$probe"
  chmod +x "$probe"
  local rc=0
  "$probe" 2>/dev/null || rc=$?
  rm -f "$probe"
  [ "$rc" -eq 7 ]
}
native_i386=true
if ! runs_i386; then
  native_i386=false
  packages+=(qemu-user-static wine32-preloader:i386)
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# The kernel hands i386 programs to qemu once it is registered with
# binfmt_misc, which lasts until the next boot, so it is done whenever it is
# missing. F: the interpreter is opened now, so it works in any mount
# namespace. Wine's own programs also need QEMU_RESERVED_VA=0xffff0000 in
# their environment (the harness and run.sh set it).
register_qemu() {
  local binfmt=/proc/sys/fs/binfmt_misc
  $native_i386 && return 0
  [ -e $binfmt/register ] || $sudo mount -t binfmt_misc binfmt_misc $binfmt
  [ -e $binfmt/velmora-i386 ] || printf '%s' ':velmora-i386:M::'\
'\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:'\
'\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'\
'/usr/bin/qemu-i386-static:F' | $sudo tee $binfmt/register >/dev/null
  runs_i386 || { echo "deps: i386 programs do not run even under qemu-i386-static" >&2; exit 1; }
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  register_qemu
  exit 0
fi

mkdir -p build
log="$PWD/build/deps.log"
: >"$log"
fail() {
  echo "deps: $1 failed; the last lines of $log:" >&2
  tail -n 20 "$log" >&2
  exit 1
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386 >>"$log" 2>&1 || fail "adding the i386 architecture"
fi
# Once installed, the downloaded .deb files (about 0.6 GB) are of no more use,
# and apt's binary caches of the package lists (about 0.1 GB) are rebuilt
# whenever apt needs them; neither is kept. Files apt already had stay.
lean=(-o APT::Keep-Downloaded-Packages=false -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=)
echo "deps: updating the package lists (log: build/deps.log)" >&2
$sudo apt-get "${lean[@]}" update -q >>"$log" 2>&1 || fail "apt-get update"
echo "deps: installing ${#missing[@]} packages and what they need (this takes a few minutes)" >&2
DEBIAN_FRONTEND=noninteractive $sudo apt-get "${lean[@]}" install -y -q --no-install-recommends \
  "${missing[@]}" >>"$log" 2>&1 || fail "apt-get install"
echo "deps: done" >&2
register_qemu

#!/usr/bin/env bash
# Installs the system packages the build and the tests need, only those missing.
# Safe to run again; needs root (or sudo) the first time on a fresh machine.
set -euo pipefail

# wine32-preloader: 32-bit programs here run under qemu-user (the kernel has no
# 32-bit mode), and without the preloader Wine cannot reserve its low memory there.
packages=(
  cmake ninja-build python3 clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  wine wine32:i386 wine32-preloader:i386 wine64 xvfb xdotool x11-utils imagemagick
  qemu-user-static  # runs 32-bit Wine where the kernel has no 32-bit mode (tests/e2e)
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "deps: installing ${missing[*]}" >&2
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}" >&2

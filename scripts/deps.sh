#!/usr/bin/env bash
# Installs the system packages the build and the tests need, only those missing,
# without Debian's recommended extras (fonts, multimedia plug-ins, documentation)
# that neither the build nor the tests use. apt's own output goes to
# build/deps.log; on failure its last lines are printed.
# Safe to run again; needs root (or sudo) the first time on a fresh machine.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/apt_mirror.sh

packages=(
  cmake ninja-build python3 python3-pefile python3-pytest python3-pytest-timeout clang libclang-rt-dev clang-format
  libgtest-dev libgmock-dev libbenchmark-dev
  # One thread model is enough: the win32 one needs no winpthread DLL.
  gcc-mingw-w64-i686-win32 g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
  wine wine32:i386 wine64 xvfb xdotool x11-utils imagemagick
)

# Some kernels here are built without 32-bit user mode; Wine's 32-bit half then
# runs under qemu-user, registered with binfmt_misc below, and the preloader is
# what lets Wine reserve its low memory there. What runs i386 programs is found
# by running one: a 96-byte i386 ELF whose only instruction is exit(7). With
# QEMU_VERSION set, qemu prints its version instead of running it, so the
# answer says which qemu the kernel hands them to, if any: "native", a
# version line, or nothing (they do not run at all).
i386_runner() {
  local probe out rc=0
  probe=$(mktemp)
  printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x07\x00\x00\x00\xcd\x80' >"$probe"
  chmod +x "$probe"
  out=$(QEMU_VERSION=1 "$probe" 2>/dev/null) || rc=$?
  rm -f "$probe"
  if [ "$rc" -eq 7 ]; then echo native; else printf '%s\n' "$out" | head -n 1; fi
}
# qemu-user from 9.1 on is built static, so a registration made from one root
# serves every other; Debian 12's own 7.2 is not, and it runs Wine 10's 32-bit
# programs about 90 times slower. Where the release's candidate is older, the
# same package comes from the release's backports.
qemu_package=qemu-user
qemu_minimum=1:10
qemu=/usr/bin/qemu-i386
native_i386=false
[ "$(i386_runner)" = native ] && native_i386=true
$native_i386 || packages+=(wine32-preloader:i386)

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

qemu_current() {
  local version
  version=$(dpkg-query -W -f='${Version}' $qemu_package 2>/dev/null) &&
    dpkg --compare-versions "$version" ge $qemu_minimum
}

# The kernel hands i386 programs to the qemu registered with binfmt_misc. A
# registration is system-wide: it serves every root on the machine and lasts
# until the next boot. F: the interpreter is opened when it is registered, so
# it works in any root or mount namespace, and the registration keeps that
# file; changing it means registering again. One left by another set-up (an
# older qemu, another root's) is therefore replaced by this root's, unless it
# already runs the same qemu. Wine's own programs also need
# QEMU_RESERVED_VA=0xffff0000 in their environment (the harness and run.sh set it).
register_qemu() {
  local binfmt=/proc/sys/fs/binfmt_misc want
  $native_i386 && return 0
  want=$($qemu --version | head -n 1)
  [ "$(i386_runner)" = "$want" ] && return 0
  [ -e $binfmt/register ] || $sudo mount -t binfmt_misc binfmt_misc $binfmt
  if [ -e $binfmt/velmora-i386 ]; then
    echo "deps: i386 programs ran under \"$(i386_runner)\"; registering $want instead" >&2
    echo -1 | $sudo tee $binfmt/velmora-i386 >/dev/null
  fi
  # The newest registration is the one the kernel tries first.
  printf '%s' ':velmora-i386:M::'\
'\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:'\
'\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'\
"$qemu:F" | $sudo tee $binfmt/register >/dev/null
  [ "$(i386_runner)" = "$want" ] ||
    { echo "deps: i386 programs do not run under $qemu ($want)" >&2; exit 1; }
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
$native_i386 || qemu_current || missing+=($qemu_package)
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
# The candidate version of $1, from the release named in $2 if given.
candidate() { apt-cache ${2:+-t "$2"} policy "$1" | sed -n 's/^ *Candidate: //p'; }
if ! $native_i386 && ! dpkg --compare-versions "$(candidate $qemu_package)" ge $qemu_minimum; then
  release=$(. /etc/os-release && echo "$VERSION_CODENAME")
  backports=$release-backports
  echo "deps: $qemu_package $(candidate $qemu_package) is older than $qemu_minimum; adding $backports" >&2
  # From wherever the machine takes its release.
  mirror=$(apt_mirror "$release")
  printf '%s\n' 'Types: deb' "URIs: $mirror" "Suites: $backports" \
    'Components: main' 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg' |
    $sudo tee /etc/apt/sources.list.d/velmora-backports.sources >/dev/null
  $sudo apt-get "${lean[@]}" update -q >>"$log" 2>&1 || fail "apt-get update"
  dpkg --compare-versions "$(candidate $qemu_package "$backports")" ge $qemu_minimum ||
    fail "finding $qemu_package $qemu_minimum or later in $backports"
  for i in "${!missing[@]}"; do
    [ "${missing[$i]}" != $qemu_package ] || missing[$i]=$qemu_package/$backports
  done
fi
echo "deps: installing ${#missing[@]} packages and what they need (this takes a few minutes)" >&2
DEBIAN_FRONTEND=noninteractive $sudo apt-get "${lean[@]}" install -y -q --no-install-recommends \
  "${missing[@]}" >>"$log" 2>&1 || fail "apt-get install"
echo "deps: done" >&2
register_qemu

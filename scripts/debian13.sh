#!/usr/bin/env bash
# Runs the test command, scripts/test.sh, in a Debian 13 ("trixie") root made
# from Debian's packages, on a fresh copy of the committed tree (HEAD;
# uncommitted changes are left out). Needs root.
#
#   scripts/debian13.sh                     scripts/test.sh
#   scripts/debian13.sh scripts/bench.sh    or another command of the tree
#
# The root is made with mmdebstrap and scripts/deps.sh, and kept under
# /var/cache/velmora (or $VELMORA_ROOTS) for the next run. It is made again
# when the committed scripts/deps.sh differs from the one that set it up, or
# when it is more than a week old (the release's updates). The tree in it is
# copied anew each run.
#
# Like any run of scripts/deps.sh, the one in the root registers that root's
# qemu for i386 programs where the kernel has no 32-bit mode; the machine's
# own scripts/deps.sh registers the machine's again. Both are qemu 10.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/apt_mirror.sh

suite=trixie
roots=${VELMORA_ROOTS:-/var/cache/velmora}
max_age_minutes=$((7 * 24 * 60))

[ "$(id -u)" -eq 0 ] || { echo "debian13: needs root (mmdebstrap, mount, chroot)" >&2; exit 1; }
if ! command -v mmdebstrap >/dev/null; then
  echo "debian13: installing mmdebstrap" >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends mmdebstrap >/dev/null
fi

commit=$(git rev-parse HEAD)
key=$(git show "$commit:scripts/deps.sh" | sha256sum | cut -c1-16)
root=$roots/$suite-$key
mkdir -p "$roots"
# One run at a time per machine: the roots are shared, and so is binfmt_misc.
exec 9>"$roots/$suite.lock"
flock 9

mounted_under() { awk -v dir="$1/" 'index($2 "/", dir) == 1 { print $2 }' /proc/mounts; }
running_in() {
  local pid
  for pid in $(ls /proc | grep -x '[0-9]*'); do
    [ "$(readlink "/proc/$pid/root" 2>/dev/null)" = "$1" ] && echo "$pid"
  done
  return 0
}
# What this run starts in the root carries this in its environment, so that
# whatever of it is still running at the end (a wineserver, say, which would
# keep the mounts busy) is ended by its id, and nothing else is.
run_mark="VELMORA_ROOT_RUN=$$.$(date +%s%N)"
ours_running() {
  local pid
  for pid in $(running_in "$root"); do
    { tr '\0' '\n' <"/proc/$pid/environ"; } 2>/dev/null | grep -qx "$run_mark" && echo "$pid"
  done
  return 0
}
# Again until none is left: one may start another while it is ended.
end_our_processes() {
  local pids tries=50
  while pids=$(ours_running) && [ -n "$pids" ] && [ $((tries -= 1)) -gt 0 ]; do
    kill -KILL $pids 2>/dev/null
    sleep 0.1
  done
  return 0
}
ours=()  # the mounts this run made, in the order made
undo_mounts() {
  end_our_processes
  local i
  for ((i = ${#ours[@]} - 1; i >= 0; i--)); do
    umount "${ours[i]}" || umount -l "${ours[i]}"
  done
  ours=()
}

# A root is ready once deps.sh has run in it to the end; other roots of this
# suite, unfinished ones and old ones are removed.
for old in "$roots/$suite"-*; do
  [ -d "$old" ] || continue
  if [ "$old" != "$root" ] || [ ! -e "$old/velmora-ready" ] ||
    [ -n "$(find "$old/velmora-ready" -mmin +$max_age_minutes)" ]; then
    # One still in use (mounts or processes in it) is left alone.
    if [ -n "$(mounted_under "$old")$(running_in "$old")" ]; then
      echo "debian13: leaving the old root $old, which is in use" >&2
      continue
    fi
    echo "debian13: removing the old root $old" >&2
    # --one-file-system: never into a mount.
    rm -rf --one-file-system "$old"
  fi
done

trap undo_mounts EXIT
trap 'exit 130' INT TERM HUP  # so that the EXIT trap runs
if [ ! -d "$root" ]; then
  echo "debian13: making a Debian 13 root in $root" >&2
  started=$SECONDS
  # The root's packages come from where the machine takes its own release's:
  # its archive, and its security archive if it has one.
  release=$(. /etc/os-release && echo "$VERSION_CODENAME")
  mirror=$(apt_mirror "$release")
  sources=("deb $mirror $suite main" "deb $mirror $suite-updates main")
  if security=$(apt_mirror "$release-security" 2>/dev/null); then
    sources+=("deb $security $suite-security main")
  else
    echo "debian13: the machine has no security archive; the root goes without" >&2
  fi
  mmdebstrap --quiet --variant=minbase --architectures=amd64,i386 "$suite" "$root" "${sources[@]}"
  echo "debian13: the root took $((SECONDS - started)) s" >&2
fi

mkdir -p "$root/proc" "$root/sys" "$root/dev"
# deps.sh finds binfmt_misc where the machine has it mounted.
binfmt=/proc/sys/fs/binfmt_misc
for dir in /proc /sys /dev /dev/pts /dev/shm $binfmt; do
  [ $dir != $binfmt ] || mountpoint -q $binfmt || continue
  mount --bind "$dir" "$root$dir"
  ours+=("$root$dir")
done
# Wine looks its host name up; the root's name service is its files alone.
printf '127.0.0.1\tlocalhost\n127.0.1.1\t%s\n::1\tlocalhost\n' "$(hostname)" >"$root/etc/hosts"
cp -L /etc/resolv.conf "$root/etc/resolv.conf"

# Not /velmora: the exe check would find that path in the program's own web
# address and take it for a build path left in the file.
rm -rf --one-file-system "$root/build/velmora"
mkdir -p "$root/build/velmora"
git archive "$commit" | tar -xf - -C "$root/build/velmora"

in_root() {
  env -i "$run_mark" PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
    LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" chroot "$root" /bin/bash -c 'cd /build/velmora && "$@"' bash "$@" </dev/null
}
if [ ! -e "$root/velmora-ready" ]; then
  started=$SECONDS
  in_root scripts/deps.sh &
  wait $!
  touch "$root/velmora-ready"
  echo "debian13: set-up in the root took $((SECONDS - started)) s" >&2
fi
[ $# -gt 0 ] || set -- scripts/test.sh
echo "debian13: $* on $commit in $root (Debian $(cat "$root/etc/debian_version"))"
# In the background, so that a signal to this script is handled at once
# (bash holds a trap until a command in the foreground ends).
in_root "$@" &
wait $!

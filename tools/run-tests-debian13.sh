#!/usr/bin/env bash
# Runs the README's test command (tools/run-tests.sh) as root on a minimal
# Debian 13 (trixie): debootstraps it into build-trixie/root from the Debian
# archive this machine's apt uses, copies the checkout in and runs the suite
# there. Needs root (debootstrap, chroot, mounts). A root left complete by an
# earlier run of this script is reused; TMK_TRIXIE_FRESH=1 makes a new one.
# Tests that need a network namespace skip in the chroot.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
dir="$top/build-trixie"
root="$dir/root"

if [ "$(id -u)" -ne 0 ]; then
  exec sudo --preserve-env=TMK_TRIXIE_FRESH,TMK_DEBIAN_MIRROR,TMK_FUZZ_SECONDS "$0" "$@"
fi

# The mirror: the host of this machine's own Debian archive.
mirror=${TMK_DEBIAN_MIRROR:-}
if [ -z "$mirror" ]; then
  mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
    grep -oE '(https?)://[^ ]+/debian/?( |$)' | head -n1 | tr -d ' ' || true)
  mirror=${mirror:-http://deb.debian.org/debian}
fi

mounts=()
unmount_all() {
  local i
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do
    umount -l "${mounts[i]}" 2>/dev/null || true
  done
  mounts=()
}
trap unmount_all EXIT
mount_in() {  # mount_in TARGET ARGS...: mounts and remembers it for the trap
  local target=$1; shift
  mkdir -p "$target"
  mount "$@" "$target"
  mounts+=("$target")
}

# Nothing may stay mounted from an interrupted run before the root is removed.
for m in run dev sys proc; do
  mountpoint -q "$root/$m" 2>/dev/null && umount -l "$root/$m"
done

if [ -n "${TMK_TRIXIE_FRESH:-}" ] || [ ! -e "$dir/complete" ]; then
  command -v debootstrap >/dev/null || {
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap
  }
  rm -rf "$dir"
  mkdir -p "$dir"
  start=$(date +%s)
  echo "== debootstrap trixie from $mirror"
  debootstrap --variant=minbase trixie "$root" "$mirror" > "$dir/debootstrap.log" 2>&1 || {
    tail -n 30 "$dir/debootstrap.log"; [ -f "$root/debootstrap/debootstrap.log" ] && tail -n 30 "$root/debootstrap/debootstrap.log"
    exit 1
  }
  echo "== debootstrap took $(( $(date +%s) - start )) s"
  touch "$dir/complete"
fi

# The host's view of the archive's dates (a mirror may serve a dated snapshot).
apt-config dump | grep -E '^Acquire::Check-(Valid-Until|Date) ' > "$root/etc/apt/apt.conf.d/90host-dates" || true
cp -L /etc/resolv.conf "$root/etc/resolv.conf"

mount_in "$root/proc" -t proc proc
mount_in "$root/sys" --rbind /sys
mount --make-rslave "$root/sys"
mount_in "$root/dev" --rbind /dev
mount --make-rslave "$root/dev"
mount_in "$root/run" -t tmpfs tmpfs

# The checkout as it is, without its builds.
rm -rf "$root/src" && mkdir -p "$root/src"
git ls-files -z -c -o --exclude-standard | tar --null --ignore-failed-read -T - -cf - | tar -xf - -C "$root/src"

start=$(date +%s)
status=0
chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
  LANG=C.UTF-8 TERM=dumb TMK_FUZZ_SECONDS="${TMK_FUZZ_SECONDS:-20}" \
  bash -c 'cd /src && tools/run-tests.sh' || status=$?
echo "== Debian 13: tools/run-tests.sh took $(( $(date +%s) - start )) s, exit status $status"
exit "$status"

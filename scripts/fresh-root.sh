#!/usr/bin/env bash
# Follows the README on a fresh Debian 12 as a new user would, and measures it: makes a minimal root
# with mmdebstrap (or copies one given), clones this repository into it and runs
# `scripts/start.sh --verify-startup` there. Prints the packages and megabytes that start.sh
# installed, the build's wall time, and the check's exit status. Needs root, mmdebstrap, unshare.
#
#   scripts/fresh-root.sh [--base ROOT] [--keep] [--build-again]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
base='' keep=0 again=0
while [ $# -gt 0 ]; do
  case "$1" in
    --base) base=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --build-again) again=1; shift ;;
    *) sed -n '2,8p' "$0" >&2; exit 64 ;;
  esac
done
mirror=http://deb.debian.org/debian
root=$(mktemp -d "${TMPDIR:-/tmp}/nubrio-fresh.XXXXXX")
cleanup() {
  for mount in proc sys dev; do umount -l "$root/$mount" 2>/dev/null || true; done
  [ "$keep" = 1 ] && echo "root kept in $root" || rm -rf "$root"
}
trap cleanup EXIT
if [ -n "$base" ]; then
  cp -a "$base/." "$root/"
else
  mmdebstrap --quiet --variant=apt bookworm "$root" "deb $mirror bookworm main" \
    "deb $mirror bookworm-updates main" "deb http://deb.debian.org/debian-security bookworm-security main"
fi
mount -t proc proc "$root/proc"; mount --rbind /sys "$root/sys"; mount --rbind /dev "$root/dev"
cp /etc/resolv.conf "$root/etc/resolv.conf"
git clone --quiet "$repo" "$root/root/nubrio"

in_root() { chroot "$root" env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"; }
packages() { in_root dpkg-query -W -f='${Status}\n' | grep -c 'install ok installed'; }
# As apt counts it: the installed size of every package.
megabytes() { in_root dpkg-query -W -f='${Installed-Size}\n' | awk '{kb += $1} END {printf "%d", kb / 1024}'; }
packages0=$(packages) mb0=$(megabytes)
in_root /root/nubrio/scripts/setup.sh >/dev/null
packages1=$(packages) mb1=$(megabytes)
echo "load before the build: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
t0=$EPOCHREALTIME
cpu=$( { TIMEFORMAT='%U %S'; time in_root /root/nubrio/scripts/build.sh >/dev/null; } 2>&1 | tail -n 1)
t1=$EPOCHREALTIME
# The check, as the README gives it; a network namespace of its own (with the host's ip to bring up
# its loopback) keeps port 4173 its own.
status=0
unshare -n sh -c 'ip link set lo up && exec chroot "$0" sh -c "cd /root/nubrio && HOME=/root scripts/start.sh --verify-startup"' "$root" \
  >/dev/null 2>"$root/check.err" || status=$?
echo "start.sh installed $((packages1 - packages0)) packages, $((mb1 - mb0)) MB"
echo "build: $(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.0f", b - a}') s wall, $(awk '{printf "%.0f", $1 + $2}' <<<"$cpu") s of CPU; build folder $(du -sm "$root/root/nubrio/build" | cut -f1) MB"
echo "start.sh --verify-startup: status $status"
[ "$status" = 0 ] || cat "$root/check.err"
if [ "$again" = 1 ]; then
  t0=$EPOCHREALTIME
  in_root sh -c 'cd /root/nubrio && ninja -C build -n program' | tail -n 1
  unshare -n sh -c 'ip link set lo up && exec chroot "$0" sh -c "cd /root/nubrio && HOME=/root scripts/start.sh --verify-startup"' "$root" >/dev/null 2>&1 || true
  t1=$EPOCHREALTIME
  echo "second start.sh --verify-startup: $(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.1f", b - a}') s in all"
fi

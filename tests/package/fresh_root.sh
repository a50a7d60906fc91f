#!/usr/bin/env bash
# The package as a user installs it on a fresh Debian (12, or the release given): a minimal root made
# with mmdebstrap (or a copy of NUBRIO_FRESH_BASE, a root of that release made that way before),
# `apt install ./nubrio_*.deb` inside, then:
# no -dev package came with it, `nubrio --verify-startup` gives 0, no file is written into the
# user's home but the data folder and the single-instance lock, and `apt-get purge nubrio` leaves the root as it was before the
# package (the dependencies stay, as apt leaves them). The same steps as piuparts' install and
# purge test, which needs its own chroot set-up.
#
#   fresh_root.sh [--release bookworm|trixie] <folder with the .deb>
set -euo pipefail
release=bookworm
[ "${1:-}" = --release ] && { release=$2; shift 2; }
packages=${1:?usage: fresh_root.sh [--release RELEASE] <folder with the .deb>}
deb=$(ls "$packages"/nubrio_*_*.deb 2>/dev/null | grep -v dbgsym | head -n 1)
[ -n "$deb" ] || { echo "FAIL: no package in $packages"; exit 1; }
[ "$(id -u)" = 0 ] || { echo "SKIP: needs root for chroot"; exit 77; }
command -v unshare >/dev/null || { echo "SKIP: unshare is missing"; exit 77; }
if [ -z "${NUBRIO_FRESH_BASE:-}" ]; then
  command -v mmdebstrap >/dev/null || { echo "SKIP: mmdebstrap is missing"; exit 77; }
  getent hosts deb.debian.org >/dev/null || { echo "SKIP: no network to Debian's mirror"; exit 77; }
fi

root=$(mktemp -d "${TMPDIR:-/tmp}/nubrio-fresh-root.XXXXXX")
cleanup() { for mount in proc dev; do umount -l "$root/$mount" 2>/dev/null || true; done; rm -rf "$root"; }
trap cleanup EXIT
failures=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; failures=$((failures + 1)); fi; }

if [ -n "${NUBRIO_FRESH_BASE:-}" ]; then
  cp -a "$NUBRIO_FRESH_BASE/." "$root/"
else
  mirror=http://deb.debian.org/debian
  mmdebstrap --quiet --variant=apt "$release" "$root" "deb $mirror $release main" "deb $mirror $release-updates main" \
    "deb http://deb.debian.org/debian-security $release-security main"
fi
mount -t proc proc "$root/proc"; mount --rbind /dev "$root/dev"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$deb" "$root/tmp/"
in_root() { chroot "$root" env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"; }
snapshot() { (cd "$root" && find . -xdev \( -path ./proc -o -path ./dev -o -path ./tmp -o -path ./var/cache/apt \
               -o -path ./var/lib/apt/lists -o -path ./var/log -o -path ./root \) -prune -o -print | sort) >"$1"; }

in_root apt-get update -qq
# First in and out, so that the dependencies are in place for the comparison.
in_root apt-get install -y -qq --no-install-recommends "/tmp/${deb##*/}" >"$root/tmp/install.log" 2>&1 ||
  { cat "$root/tmp/install.log"; echo "FAIL: apt install"; exit 1; }
echo "installed with its dependencies: $(grep -c '^Setting up' "$root/tmp/install.log") packages"
# What apt does by default, with the package's Recommends, on a root that has none of it yet.
in_root apt-get purge -y -qq --autoremove nubrio >/dev/null
echo "apt install with its Recommends, as apt does by default: $(in_root apt-get install -s "/tmp/${deb##*/}" | grep -c '^Inst') packages"
in_root apt-get install -y -qq --no-install-recommends "/tmp/${deb##*/}" >/dev/null
check "no -dev package came with it" "! in_root dpkg-query -W -f='\${Package}\n' | grep -- '-dev$'"
in_root apt-get purge -y -qq nubrio >/dev/null
snapshot "$root/tmp/before"

in_root apt-get install -y -qq --no-install-recommends "/tmp/${deb##*/}" >/dev/null
in_root dpkg -L nubrio >"$root/tmp/files"
check "/usr/bin/nubrio is on the PATH" "in_root sh -c 'command -v nubrio' | grep -qx /usr/bin/nubrio"
mkdir -p "$root/home/ana" && chmod 700 "$root/home/ana"
status=0
unshare -n sh -c 'ip link set lo up && exec chroot "$0" env -i HOME=/home/ana PATH=/usr/bin:/bin LANG=C.UTF-8 nubrio --verify-startup' "$root" \
  >"$root/tmp/check.out" 2>&1 || status=$?
cat "$root/tmp/check.out"
check "nubrio --verify-startup gives 0 (was $status)" "[ $status = 0 ]"
# Its data folder, and the single-instance lock in ~/.cache/nubrio where there is no runtime folder.
(cd "$root/home/ana" && find . -mindepth 1 -type f | grep -v -e '^./.local/share/Nubrio/' \
   -e '^./.cache/nubrio/') >"$root/tmp/home" || true
cat "$root/tmp/home"
check "it wrote into the home nothing but its data folder" "[ ! -s '$root/tmp/home' ]"
rm -rf "$root/home/ana"

in_root apt-get purge -y -qq nubrio >/dev/null
snapshot "$root/tmp/after"
check "purge leaves none of its files" "diff '$root/tmp/before' '$root/tmp/after'"
left=0
while read -r file; do [ -e "$root$file" ] && [ ! -d "$root$file" ] && left=$((left + 1)); done <"$root/tmp/files"
check "none of the $(wc -l <"$root/tmp/files") paths it listed is a file any more" "[ $left = 0 ]"

[ "$failures" = 0 ] && echo "PASS" || { echo "$failures failed"; exit 1; }

#!/usr/bin/env bash
# Follows the README on a fresh Debian as a new user would, and measures it: makes a minimal root with
# mmdebstrap (Debian 12, or the release given), clones this repository into it and runs
# `scripts/start.sh --verify-startup` there. Prints the packages and megabytes that start.sh
# installed, the build's wall time, its compiler warnings and the check's exit status. Then, as asked:
#   --tests LABELS  `scripts/test.sh -L LABELS` in the same root (the test bench installed as the README says)
#   --package       the Debian package built and checked there (lintian, validators: tests/package/check.sh),
#                   then installed, checked and purged in another fresh root of the release
#                   (tests/package/fresh_root.sh)
# With --cache DIR the minimal root is made once into DIR/<release> and copied for each run (made anew
# after a week), and the roots' downloaded packages are kept in DIR too. Needs root, mmdebstrap, unshare.
# Exits non-zero when any step failed.
#
#   scripts/fresh-root.sh [--release bookworm|trixie] [--cache DIR] [--base ROOT] [--keep] [--build-again]
#                         [--tests LABELS] [--package]
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
release=bookworm base='' cache='' keep=0 again=0 labels='' package=0
while [ $# -gt 0 ]; do
  case "$1" in
    --release) release=$2; shift 2 ;;
    --cache) cache=$(realpath -m "$2"); shift 2 ;;
    --base) base=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --build-again) again=1; shift ;;
    --tests) labels=$2; shift 2 ;;
    --package) package=1; shift ;;
    *) sed -n '2,16p' "$0" >&2; exit 64 ;;
  esac
done
mirror=http://deb.debian.org/debian
make_root() { # folder
  mmdebstrap --quiet --variant=apt "$release" "$1" "deb $mirror $release main" "deb $mirror $release-updates main" \
    "deb http://deb.debian.org/debian-security $release-security main"
}
if [ -z "$base" ] && [ -n "$cache" ]; then
  base="$cache/$release"
  if [ ! -d "$base" ] || [ -n "$(find "$base" -maxdepth 0 -mtime +7)" ]; then
    rm -rf "$base" "$base.partial"
    mkdir -p "$cache"
    make_root "$base.partial"
    mv "$base.partial" "$base"
  fi
fi

root=$(mktemp -d "${TMPDIR:-/tmp}/nubrio-fresh.XXXXXX")
cleanup() {
  umount -R "$root/var/cache/apt/archives" 2>/dev/null || true
  for mount in proc sys dev; do umount -R -l "$root/$mount" 2>/dev/null || true; done
  [ "$keep" = 1 ] && echo "root kept in $root" || rm -rf "$root"
}
trap cleanup EXIT
if [ -n "$base" ]; then
  cp -a "$base/." "$root/"
else
  make_root "$root"
fi
mount -t proc proc "$root/proc"; mount --rbind /sys "$root/sys"; mount --rbind /dev "$root/dev"
if [ -n "$cache" ]; then
  mkdir -p "$cache/$release-archives/partial"
  mount --bind "$cache/$release-archives" "$root/var/cache/apt/archives"
  # apt empties its archives after each install in a root made this way; keep them for the next run.
  rm -f "$root/etc/apt/apt.conf.d/docker-clean" "$root/etc/apt/apt.conf.d/mmdebstrap"*
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
git clone --quiet "$repo" "$root/root/nubrio"
echo "Debian $(cat "$root/etc/debian_version") ($release)"

in_root() { chroot "$root" env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive "$@"; }
# Port 4173 and the tests' sockets stay inside a network namespace of the root's own.
in_root_unshared() {
  unshare -n sh -c 'ip link set lo up && exec chroot "$0" env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive CI="$1" sh -c "$2"' \
    "$root" "${CI:-}" "$1"
}
packages() { in_root dpkg-query -W -f='${Status}\n' | grep -c 'install ok installed'; }
# As apt counts it: the installed size of every package.
megabytes() { in_root dpkg-query -W -f='${Installed-Size}\n' | awk '{kb += $1} END {printf "%d", kb / 1024}'; }
failed=()
# A newcomer has git, with which the repository came.
in_root sh -c 'apt-get update -qq && apt-get install -y -qq --no-install-recommends git >/dev/null'
packages0=$(packages) mb0=$(megabytes)
in_root /root/nubrio/scripts/setup.sh >/dev/null
packages1=$(packages) mb1=$(megabytes)
echo "load before the build: $(cut -d' ' -f1-3 /proc/loadavg) on $(nproc) cores"
t0=$EPOCHREALTIME
cpu=$( { TIMEFORMAT='%U %S'; time in_root sh -c 'cd /root/nubrio && scripts/build.sh >build.log 2>&1'; } 2>&1 | tail -n 1)
t1=$EPOCHREALTIME
warnings=$(grep -c 'warning:' "$root/root/nubrio/build.log" || true)
# The check, as the README gives it.
status=0
in_root_unshared 'cd /root/nubrio && HOME=/root scripts/start.sh --verify-startup' >/dev/null 2>"$root/check.err" || status=$?
echo "start.sh installed $((packages1 - packages0)) packages, $((mb1 - mb0)) MB"
echo "build: $(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.0f", b - a}') s wall, $(awk '{printf "%.0f", $1 + $2}' <<<"$cpu") s of CPU; build folder $(du -sm "$root/root/nubrio/build" | cut -f1) MB; compiler warnings: $warnings"
echo "start.sh --verify-startup: status $status"
[ "$status" = 0 ] || { cat "$root/check.err"; failed+=("the check"); }
[ "$warnings" = 0 ] || { grep -A3 'warning:' "$root/root/nubrio/build.log" | head -n 40; failed+=("a build without warnings"); }
if [ "$again" = 1 ]; then
  t0=$EPOCHREALTIME
  in_root sh -c 'cd /root/nubrio && ninja -C build -n program' | tail -n 1
  in_root_unshared 'cd /root/nubrio && HOME=/root scripts/start.sh --verify-startup' >/dev/null 2>&1 || true
  t1=$EPOCHREALTIME
  echo "second start.sh --verify-startup: $(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.1f", b - a}') s in all"
fi

if [ -n "$labels" ]; then
  t0=$EPOCHREALTIME
  in_root /root/nubrio/scripts/setup.sh --tests >"$root/setup-tests.log" 2>&1 ||
    { tail -n 20 "$root/setup-tests.log"; failed+=("setup.sh --tests"); }
  echo "setup.sh --tests: $(($(packages) - packages1)) more packages, $(($(megabytes) - mb1)) MB, $(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.0f", b - a}') s"
  t0=$EPOCHREALTIME
  # CTest's closing lines are prefixed, so that a log reader takes the Debian 12 run's as the run's own.
  in_root_unshared "cd /root/nubrio && scripts/test.sh -L '$labels'" 2>&1 | sed -u "s/^/[$release] /" ||
    failed+=("the $labels tests")
  echo "scripts/test.sh -L '$labels': $(awk -v a="$t0" -v b="$EPOCHREALTIME" 'BEGIN {printf "%.0f", b - a}') s"
fi

if [ "$package" = 1 ]; then
  in_root sh -c 'command -v lintian >/dev/null' || in_root /root/nubrio/scripts/setup.sh --tests >/dev/null 2>&1
  out="$root/root/package"
  if in_root bash /root/nubrio/tests/package/check.sh /root/nubrio /root/package 2>&1 | sed -u "s/^/[$release] /"; then
    NUBRIO_FRESH_BASE=${base:-} bash "$repo/tests/package/fresh_root.sh" --release "$release" "$out" 2>&1 |
      sed -u "s/^/[$release] /" || failed+=("the package's install, check and purge")
  else
    failed+=("the package's build and checks")
  fi
fi

if [ ${#failed[@]} -gt 0 ]; then
  printf 'FAILED on %s: %s\n' "$release" "$(IFS=,; echo "${failed[*]}")"
  exit 1
fi
echo "all passed on $release"

#!/usr/bin/env bash
# Debian's install and purge tester on the package: a minimal Debian 12 chroot of its own, the package
# installed with its dependencies, purged, and the chroot compared before and after.
#
#   piuparts.sh <folder with the .deb>
set -euo pipefail
deb=$(ls "${1:?usage: piuparts.sh <folder with the .deb>}"/nubrio_*_*.deb | grep -v dbgsym | head -n 1)
command -v piuparts >/dev/null || { echo "SKIP: piuparts is missing"; exit 77; }
[ "$(id -u)" = 0 ] || { echo "SKIP: piuparts needs root"; exit 77; }
getent hosts deb.debian.org >/dev/null || { echo "SKIP: no network to Debian's mirror"; exit 77; }
log=$(mktemp "${TMPDIR:-/tmp}/nubrio-piuparts.XXXXXX")
trap 'rm -f "$log"' EXIT
if piuparts --distribution=bookworm --mirror="http://deb.debian.org/debian main" --no-upgrade-test "$deb" >"$log" 2>&1; then
  grep -E 'INFO: (Installation|PASS)' "$log"
else
  tail -n 60 "$log"
  exit 1
fi

#!/usr/bin/env bash
# Builds the package (scripts/package.sh) and checks it: lintian with no error or warning,
# appstreamcli and desktop-file-validate on its metadata and entry, the file layout, and an
# install and purge with dpkg in a throw-away database that leave nothing behind.
set -euo pipefail
source=${1:?usage: check.sh <source folder> <output folder>}
out=${2:?usage: check.sh <source folder> <output folder>}
for tool in dpkg-buildpackage dh lintian appstreamcli desktop-file-validate; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing (scripts/setup.sh --tests installs it)"; exit 77; }
done
failures=0
check() { if eval "$2"; then echo "ok: $1"; else echo "FAIL: $1"; failures=$((failures + 1)); fi; }

"$source/scripts/package.sh" "$out" >"$out.log" 2>&1 || { tail -n 40 "$out.log"; echo "FAIL: the package did not build"; exit 1; }
deb=$(ls "$out"/nubrio_*.deb)
check "a debug package is made" "ls '$out'/nubrio-dbgsym_*.deb >/dev/null"

work=$(mktemp -d "${TMPDIR:-/tmp}/nubrio-package-check.XXXXXX")
trap 'rm -rf "$work"' EXIT

lintian --info --display-info "$out"/nubrio_*.changes >"$work/lintian" 2>&1 || true
cat "$work/lintian"
check "lintian: no error, no warning" "! grep -qE '^[EW]: ' '$work/lintian'"

dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/files"
for file in /usr/lib/nubrio/Nubrio.app/Contents/MacOS/Nubrio /usr/lib/nubrio/Nubrio.app/Contents/Info.plist \
            /usr/lib/nubrio/Nubrio.app/Contents/Resources/service/NubrioService/NubrioService /usr/bin/nubrio \
            /usr/share/applications/app.nubrio.desktop.desktop \
            /usr/share/applications/chrome-nubrio.app__-Default.desktop \
            /usr/share/icons/hicolor/scalable/apps/app.nubrio.desktop.svg \
            /usr/share/icons/hicolor/48x48/apps/app.nubrio.desktop.png \
            /usr/share/metainfo/app.nubrio.desktop.metainfo.xml /usr/share/man/man1/nubrio.1.gz \
            /usr/share/doc/nubrio/copyright; do
  check "the package holds $file" "grep -qx '$file' '$work/files'"
done
check "no stray install helper" "! grep -q register-handler '$work/files'"

dpkg-deb -x "$deb" "$work/tree"
check "/usr/bin/nubrio links to the bundle executable" \
  "[ \"\$(readlink '$work/tree/usr/bin/nubrio')\" = ../lib/nubrio/Nubrio.app/Contents/MacOS/Nubrio ]"
check "the binaries are stripped" "! file -L '$work/tree/usr/lib/nubrio/Nubrio.app/Contents/MacOS/Nubrio' | grep -q 'not stripped'"
appstreamcli validate --no-net "$work/tree/usr/share/metainfo/app.nubrio.desktop.metainfo.xml" >"$work/appstream" 2>&1 &&
  appstream=0 || appstream=$?
cat "$work/appstream"
check "appstreamcli validate passes" "[ $appstream = 0 ]"
check "desktop-file-validate passes" "desktop-file-validate '$work/tree'/usr/share/applications/*.desktop"
check "the editor window's entries are hidden" \
  "grep -qx NoDisplay=true '$work/tree/usr/share/applications/chrome-nubrio.app__-Default.desktop'"
check "the entry starts the packaged executable" \
  "grep -qx 'Exec=/usr/lib/nubrio/Nubrio.app/Contents/MacOS/Nubrio %u' '$work/tree/usr/share/applications/app.nubrio.desktop.desktop'"
check "the entry is visible" "! grep -q '^NoDisplay=true' '$work/tree/usr/share/applications/app.nubrio.desktop.desktop'"
version=$(dpkg-deb -f "$deb" Version)
check "the metadata's release is the package's version" \
  "grep -q 'release version=\"$version\"' '$work/tree/usr/share/metainfo/app.nubrio.desktop.metainfo.xml'"

# Install and purge in a database of its own (the dependencies are not there: the files are what counts).
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
# A stand-in for desktop-file-utils, whose trigger on the applications folder runs update-desktop-database
# (the mimeinfo.cache from which GIO, and so the desktop portal, learn that the entry opens nubrio: links).
mkdir -p "$work/probe/DEBIAN"
printf 'Package: applications-trigger-probe\nVersion: 1\nArchitecture: all\nMaintainer: test <test@invalid>\nDescription: probe\n probe\n' \
  >"$work/probe/DEBIAN/control"
echo 'interest-noawait /usr/share/applications' >"$work/probe/DEBIAN/triggers"
printf '#!/bin/sh\n[ "$1" = triggered ] && echo "$2" >> "$DPKG_ROOT/triggered"\nexit 0\n' >"$work/probe/DEBIAN/postinst"
chmod 755 "$work/probe/DEBIAN/postinst"
dpkg-deb --root-owner-group -b "$work/probe" "$work/probe.deb" >/dev/null
dpkg --root="$root" --force-script-chrootless --force-not-root -i "$work/probe.deb" >"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; echo "FAIL: dpkg -i of the trigger probe"; exit 1; }
(cd "$root" && find . | sort) >"$work/before"
dpkg --root="$root" --force-depends --force-script-chrootless --force-not-root -i "$deb" >>"$work/dpkg.log" 2>&1 ||
  { cat "$work/dpkg.log"; echo "FAIL: dpkg -i"; exit 1; }
check "installed: the executable is there" "[ -x '$root/usr/bin/nubrio' ]"
check "installed: the applications folder's trigger ran (update-desktop-database's, with desktop-file-utils)" \
  "grep -qx /usr/share/applications '$root/triggered'"
rm -f "$root/triggered"
dpkg --root="$root" --force-script-chrootless --force-not-root --purge nubrio >>"$work/dpkg.log" 2>&1
rm -f "$root/triggered"  # the purge runs it too
(cd "$root" && find . | sort) >"$work/after"
check "purged: nothing is left but dpkg's own records" \
  "diff <(grep -v '^./var/lib/dpkg' '$work/before') <(grep -v '^./var/lib/dpkg' '$work/after')"

[ "$failures" = 0 ] && echo "PASS" || { echo "$failures failed"; exit 1; }

#!/usr/bin/env bash
# Inside a GNOME Wayland session (wayland_session.sh gnome-stock): a nubrio://connect link reaches
# Nubrio through the desktop portal's OpenURI, called on the session bus as Chromium calls it for a
# link clicked in a page, right after a fresh install into an empty home. The portal opens a link of
# such a scheme without asking only when GIO recommends exactly one handler; otherwise it asks, and
# with none it says "No Apps available". The editor's opening is recorded by a stand-in browser.
#
#   portal_link.sh BUNDLE REGISTER_HELPER user|packaged
#
# user: installed as `cmake --install` does it for a prefix in the home (~/Applications).
# packaged: laid out as the package does it (<prefix>/lib/nubrio, <prefix>/share), with the
# mimeinfo.cache that dpkg's trigger of desktop-file-utils writes for the applications folder; the
# session's XDG_DATA_DIRS holds that prefix's share folder.
set -euo pipefail
bundle=$1 register=$2 layout=$3
work=$WAYLAND_SESSION_WORK
shots=${NUBRIO_SHOTS:-$work}
t0=$(date +%s%N)
ms() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }
say() { printf '%6d ms  %s\n' "$(ms "$t0")" "$*"; }
fail() { say "FAIL: $*"; session-shot "$shots/portal-$layout-failure.png" 2>/dev/null || true; exit 1; }
eventually() {  # eventually SECONDS COMMAND...: until COMMAND succeeds
  local end=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do [ "$SECONDS" -lt "$end" ] || return 1; sleep 0.05; done
}
launches() { ls "$work/browser" 2>/dev/null | wc -l; }
launches_are() { [ "$(launches)" = "$1" ]; }

case "$layout" in
  user)
    exe="$HOME/Applications/Nubrio.app/Contents/MacOS/Nubrio"
    mkdir -p "$HOME/Applications"
    cp -a "$bundle" "$HOME/Applications/"
    "$register" "$exe" ;;
  packaged)
    command -v update-desktop-database >/dev/null || { echo "portal_link: update-desktop-database is missing; skipped"; exit 77; }
    prefix="$work/usr"
    exe="$prefix/lib/nubrio/Nubrio.app/Contents/MacOS/Nubrio"
    mkdir -p "$prefix/lib/nubrio"
    cp -a "$bundle" "$prefix/lib/nubrio/"
    "$register" --system-files "$prefix/share" "$exe"
    update-desktop-database "$prefix/share/applications"
    # The portal, started by the bus at its first call, sees the prefix's entries as the system's.
    export XDG_DATA_DIRS="$prefix/share:${XDG_DATA_DIRS:-/usr/local/share:/usr/share}"
    dbus-update-activation-environment XDG_DATA_DIRS ;;
  *) echo "portal_link: the layout is user or packaged" >&2; exit 64 ;;
esac
say "installed ($layout): $(LC_ALL=C gio mime x-scheme-handler/nubrio | tr '\n\t' '  ')"

# The user's browser: Chrome's entry, the default for web pages, whose program records each launch.
mkdir -p "$work/browser" "$XDG_DATA_HOME/applications"
cat >"$work/recorder" <<SCRIPT
#!/bin/sh
printf '%s\n' "\$@" > "$work/browser/.launch" && mv "$work/browser/.launch" "$work/browser/\$(date +%s%N)"
SCRIPT
chmod +x "$work/recorder"
printf '[Desktop Entry]\nType=Application\nName=Google Chrome\nExec=%s %%U\nMimeType=x-scheme-handler/https;\n' \
  "$work/recorder" >"$XDG_DATA_HOME/applications/google-chrome.desktop"
printf '[Default Applications]\nx-scheme-handler/https=google-chrome.desktop\n' >>"$XDG_CONFIG_HOME/mimeapps.list"

# What the portal does is seen on the bus.
gdbus monitor --session --dest org.freedesktop.portal.Desktop >"$work/portal-signals" 2>&1 &
monitor=$!
trap 'kill $monitor 2>/dev/null || true' EXIT
sleep 0.5
open_uri() {
  gdbus call --session --dest org.freedesktop.portal.Desktop --object-path /org/freedesktop/portal/desktop \
    --method org.freedesktop.portal.OpenURI.OpenURI '' 'nubrio://connect' '{}'
}

# Nothing runs: the portal starts Nubrio with the link, which opens the editor once its worker is ready.
start=$(date +%s%N)
open_uri >/dev/null || fail "the portal refused the call"
eventually 30 launches_are 1 || fail "no editor opened; the portal sent: $(tr -s ' \n' ' ' <"$work/portal-signals"); windows: $(session-windows | tr '\t\n' ' |')"
say "editor opened $(ms "$start") ms after OpenURI (Nubrio started by it, with its worker): $(tr '\n' ' ' <"$work/browser"/[0-9]*)"
grep -q -- "--app=https://nubrio.app/?app=window#app/crear" "$work/browser"/[0-9]* || fail "the browser was not asked for the editor's app window"
pgrep -f -x "$exe( .*)?" >/dev/null || fail "Nubrio is not running"

# Nubrio running: the link is handed to it, which opens the editor again.
start=$(date +%s%N)
open_uri >/dev/null || fail "the portal refused the second call"
eventually 30 launches_are 2 || fail "the running copy opened no editor"
say "editor opened $(ms "$start") ms after OpenURI (Nubrio running)"
session-shot "$shots/portal-$layout.png"
# GIO's launch signal, sent by the portal for each: our entry, with the link.
launched=$(grep -c "DesktopAppInfo.Launched (b'[^']*/applications/app.nubrio.desktop.desktop', '', int64 [0-9]*, \['nubrio://connect'\], {'origin-prgname': <b'/usr/libexec/xdg-desktop-portal'>" \
  "$work/portal-signals" || true)
say "the portal launched the entry with the link $launched times"
[ "$launched" = 2 ] || fail "not as the portal's launches: $(cat "$work/portal-signals")"
say "PASS"

#!/usr/bin/env bash
# Inside a Plasma Wayland session (wayland_session.sh kde): Plasma's tray sends Activate for a left
# click on a StatusNotifierItem, and the program answers with its menu, as a click on the reference
# platform's status item opens it; the menu's window and the program's alerts carry the entry's app id.
#
#   kde_left_click.sh BUNDLE
set -euo pipefail
bundle=$1
work=$WAYLAND_SESSION_WORK
shots=${NUBRIO_SHOTS:-$work}
exe="$HOME/Applications/Nubrio.app/Contents/MacOS/Nubrio"
t0=$(date +%s%N)
say() { printf '%6d ms  %s\n' $(( ($(date +%s%N) - t0) / 1000000 )) "$*"; }
fail() { say "FAIL: $*"; session-shot "$shots/kde-failure.png" 2>/dev/null || true; exit 1; }
eventually() {  # eventually SECONDS COMMAND...: until COMMAND succeeds
  local end=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do [ "$SECONDS" -lt "$end" ] || return 1; sleep 0.2; done
}
watcher() {
  gdbus call --session -d org.kde.StatusNotifierWatcher -o /StatusNotifierWatcher \
    -m org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher RegisteredStatusNotifierItems
}
item_registered() { watcher | grep -q "/StatusNotifierItem'"; }
nubrio_windows() { session-windows | awk -F '\t' -v p="$pid" '$6 == p'; }
has_window() { [ -n "$(nubrio_windows)" ]; }
no_window() { [ -z "$(nubrio_windows)" ]; }

mkdir -p "$HOME/Applications"
cp -a "$bundle" "$HOME/Applications/"
"$exe" --background >"$work/nubrio.log" 2>&1 &
pid=$!
eventually 30 item_registered || fail "no tray item: $(watcher)"
service=$(watcher | grep -o "'[^']*/StatusNotifierItem'" | head -n 1 | tr -d "'")
service=${service%/StatusNotifierItem}
say "tray item registered by $service"
sleep 1  # the panel's first frame with the icon
session-shot "$shots/kde-01-tray.png"
has_window && fail "a window before the click: $(nubrio_windows)"

# What Plasma's tray does on a left click: Activate with the place for a popup.
gdbus call --session -d "$service" -o /StatusNotifierItem -m org.kde.StatusNotifierItem.Activate 800 650 >/dev/null
eventually 20 has_window || fail "no menu after Activate"
line=$(nubrio_windows | head -n 1)
say "menu after Activate: $line"
session-shot "$shots/kde-02-menu.png"
[ "$(printf '%s' "$line" | cut -f1)" = app.nubrio.desktop ] || fail "the menu's window is not matched to the entry"
size=$(printf '%s' "$line" | cut -f3 | cut -d' ' -f2)
[ "${size#*x}" -gt 150 ] || fail "the window is no menu of ten entries: $size"

# A click elsewhere closes it, as it closes a menu.
session-click 40 40 left
eventually 10 no_window || fail "the menu stayed after a click elsewhere: $(nubrio_windows)"
say "closed by a click elsewhere"

# The right click stays Plasma's: it shows the exported menu itself, and no window of ours appears.
gdbus call --session -d "$service" -o /StatusNotifierItem -m org.kde.StatusNotifierItem.ContextMenu 800 650 >/dev/null
sleep 1
has_window && fail "a window of ours on ContextMenu: $(nubrio_windows)"
say "done"

#!/usr/bin/env bash
# Inside a Plasma Wayland session (wayland_session.sh kde): a left click on the status icon opens the
# menu at the icon, as a click on the reference platform's status item opens it, and just where the
# right click opens it. The item says it is a menu and declines Activate; Plasma then opens the
# item's menu itself. The program's alert, chosen in that menu, carries the entry's app id.
#
#   kde_left_click.sh BUNDLE ICON_PLACE   (ICON_PLACE: tests/panels' icon_place)
set -euo pipefail
bundle=$1
icon_place=$2
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
# Plasma's menus are popups of its shell; a menu of ten entries is taller than any tool tip.
menu_frame() {
  session-windows --all | awk -F '\t' '$4 == "popup" { split($3, f, /[ ,x]/); if (f[4] > 150) print $3 }' | head -n 1
}
menu_open() { [ -n "$(menu_frame)" ]; }
menu_closed() { [ -z "$(menu_frame)" ]; }
icon_found() { session-shot "$work/with-icon.png" && "$icon_place" "$work/before.png" "$work/with-icon.png" >"$work/icon"; }

# Where the menu opened: beside the panel (no more than 8 px from it) and over the icon's column.
check_beside_icon() {  # check_beside_icon WHAT FRAME
  local x y w h
  read -r x y w h <<<"$(printf '%s' "$2" | tr ',x' '  ')"
  [ "$x" -le "$icon_x" ] && [ "$icon_x" -le $((x + w)) ] || fail "$1: the menu at $2 is not over the icon at x $icon_x"
  local gap=$(( y >= panel_y + panel_h ? y - panel_y - panel_h : (y + h <= panel_y ? panel_y - y - h : 0) ))
  [ "$gap" -le 8 ] || fail "$1: the menu at $2 is $gap px from the panel at $panel"
}

session-shot "$work/before.png"
mkdir -p "$HOME/Applications"
cp -a "$bundle" "$HOME/Applications/"
"$exe" --background >"$work/nubrio.log" 2>&1 &
pid=$!
eventually 30 item_registered || fail "no tray item: $(watcher)"
service=$(watcher | grep -o "'[^']*/StatusNotifierItem'" | head -n 1 | tr -d "'")
service=${service%/StatusNotifierItem}
say "tray item registered by $service"
eventually 30 icon_found || fail "the icon is not on the panel: $("$icon_place" "$work/before.png" "$work/with-icon.png" 2>&1)"
read -r ix iy iw ih <"$work/icon"
icon_x=$((ix + iw / 2)) icon_y=$((iy + ih / 2))
panel=$(session-windows --all | awk -F '\t' '$4 == "dock" { print $3; exit }')
read -r panel_x panel_y panel_w panel_h <<<"$(printf '%s' "$panel" | tr ',x' '  ')"
say "icon at ${iw}x${ih}+$ix+$iy on the panel at $panel"
cp "$work/with-icon.png" "$shots/kde-01-tray.png"

# The item is all menu, and says so; Activate fails, which makes Plasma open the menu.
item() { gdbus call --session -d "$service" -o /StatusNotifierItem -m "$@"; }
[ "$(item org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierItem ItemIsMenu)" = '(<true>,)' ] ||
  fail "ItemIsMenu is not true"
if item org.kde.StatusNotifierItem.Activate "$icon_x" "$icon_y" >"$work/activate" 2>&1; then
  fail "Activate did not fail"
fi
grep -q NotSupported "$work/activate" || fail "Activate failed otherwise: $(cat "$work/activate")"
sleep 1
has_window && fail "a window of ours on Activate: $(nubrio_windows)"

# The left click.
session-click "$icon_x" "$icon_y" left
eventually 20 menu_open || fail "no menu after a left click on the icon: $(session-windows --all)"
left=$(menu_frame)
say "menu after a left click: $left"
session-shot "$shots/kde-02-left-click.png"
check_beside_icon "left click" "$left"
has_window && fail "a window of ours on a left click: $(nubrio_windows)"

# A click elsewhere closes it, as it closes a menu.
session-click 40 40 left
eventually 10 menu_closed || fail "the menu stayed after a click elsewhere: $(menu_frame)"
say "closed by a click elsewhere"

# The right click opens the same menu in the same place.
session-click "$icon_x" "$icon_y" right
eventually 20 menu_open || fail "no menu after a right click on the icon: $(session-windows --all)"
right=$(menu_frame)
say "menu after a right click: $right"
session-shot "$shots/kde-03-right-click.png"
[ "$right" = "$left" ] || fail "the right click's menu at $right, the left click's at $left"
session-click 40 40 left
eventually 10 menu_closed || fail "the menu stayed after a click elsewhere: $(menu_frame)"

# "Acerca de Nubrio", chosen in the item's menu, shows an alert whose window Plasma matches to the entry.
layout=$(gdbus call --session -d "$service" -o /MenuBar -m com.canonical.dbusmenu.GetLayout 0 'int32 -1' '[]')
about=$(printf '%s' "$layout" | grep -o "([0-9]*, {[^}]*'label': <'Acerca de Nubrio'>" | grep -o '^([0-9]*' | tr -d '(')
[ -n "$about" ] || fail "no \"Acerca de Nubrio\" in the menu: $layout"
gdbus call --session -d "$service" -o /MenuBar -m com.canonical.dbusmenu.Event "$about" clicked '<0>' 0 >/dev/null
eventually 20 has_window || fail "no about alert"
line=$(nubrio_windows | head -n 1)
say "about alert: $line"
session-shot "$shots/kde-04-about.png"
# KWin 5 names the entry without ".desktop", KWin 6 with it.
case "$(printf '%s' "$line" | cut -f1)" in
  app.nubrio.desktop|app.nubrio.desktop.desktop) ;;
  *) fail "the alert's window is not matched to the entry" ;;
esac
say "done"

#!/usr/bin/env bash
# Inside a stock GNOME Wayland session (wayland_session.sh gnome-stock), which has no tray: every
# command of the status menu is reached from the launcher's entry the way GNOME's dash does it (the
# app's actions, started by GNOME Shell), the user is told once where the commands are, each change
# of start at login is told in a notification, and the program's windows (its alerts) carry the
# entry's app id.
#
#   gnome_commands.sh BUNDLE REGISTER_HELPER
set -euo pipefail
bundle=$1 register=$2
work=$WAYLAND_SESSION_WORK
shots=${NUBRIO_SHOTS:-$work}
app=app.nubrio.desktop.desktop
exe="$HOME/Applications/Nubrio.app/Contents/MacOS/Nubrio"
data="${XDG_DATA_HOME:-$HOME/.local/share}/Nubrio"
failures=0
t0=$(date +%s%N)

say() { printf '%6d ms  %s\n' $(( ($(date +%s%N) - t0) / 1000000 )) "$*"; }
fail() { say "FAIL: $*"; failures=$((failures + 1)); session-shot "$shots/failure-$failures.png" 2>/dev/null || true; }
eventually() {  # eventually SECONDS COMMAND...: until COMMAND succeeds
  local end=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do [ "$SECONDS" -lt "$end" ] || return 1; sleep 0.2; done
}
shell() { session-eval "$1"; }
shell_true() { [ "$(session-eval "$1")" = true ]; }
# GNOME Shell starts the action as its dash's menu does.
launch_action() {
  shell "(function () { const Shell = imports.gi.Shell;
    const app = Shell.AppSystem.get_default().lookup_app('$app');
    app.launch_action('$1', global.get_current_time(), -1); return true; })()" >/dev/null
}
nubrio_windows() { session-windows | awk -F '\t' -v p="$pid" '$6 == p'; }
has_window() { [ -n "$(nubrio_windows)" ]; }
no_window() { [ -z "$(nubrio_windows)" ]; }
nubrio_pid() { pgrep -f -x "$exe( .*)?" -o 2>/dev/null | head -n 1 || true; }
# Closes the program's windows as their close button would.
close_windows() {
  shell "global.get_window_actors().map(a => a.get_meta_window()).filter(w => w.get_pid() === $(nubrio_pid))
    .forEach(w => w.delete(global.get_current_time()))" >/dev/null
}
record_is() { [ -f "$work/files.record" ] && [ "$(cat "$work/files.record")" = "$1" ]; }

# Installed as `cmake --install` does it: the bundle in ~/Applications, the entry and icon written,
# nothing started. A recorder stands in for the file manager.
mkdir -p "$HOME/Applications"
cp -a "$bundle" "$HOME/Applications/"
"$register" "$exe"
mkdir -p "$XDG_DATA_HOME/applications"
printf '#!/bin/sh\nprintf "%%s\\n" "$@" > %q.tmp && mv %q.tmp %q\n' "$work/files.record" "$work/files.record" \
  "$work/files.record" >"$work/file-manager"
chmod +x "$work/file-manager"
printf '[Desktop Entry]\nType=Application\nName=Archivos\nExec=%s %%U\nMimeType=inode/directory;\n' \
  "$work/file-manager" >"$XDG_DATA_HOME/applications/recording-files.desktop"
printf '[Default Applications]\ninode/directory=recording-files.desktop\n' >"$XDG_CONFIG_HOME/mimeapps.list"

# GNOME's view of the entry: its actions, in order, with their names.
eventually 20 shell_true "imports.gi.Shell.AppSystem.get_default().lookup_app('$app') !== null" || fail "GNOME does not know the entry"
actions=$(shell "(function () { const info = imports.gi.Shell.AppSystem.get_default().lookup_app('$app').get_app_info();
  return info.list_actions().map(a => a + '=' + info.get_action_name(a)).join('|'); })()")
say "GNOME lists the entry's actions: $actions"
expected='"openfiles=Ver archivos de esta computadora|openlogs=Ver registros|restart=Reiniciar procesamiento…|loginon=Abrir al iniciar sesión: activar|loginoff=Abrir al iniciar sesión: desactivar|about=Acerca de Nubrio|uninstall=Desinstalar Nubrio…|quit=Salir de Nubrio…"'
[ "$actions" = "$expected" ] || fail "the actions are not the menu's commands in its order"

# No copy running: "Ver registros" starts Nubrio in the background and opens the logs folder.
start=$(date +%s%N)
launch_action openlogs
eventually 20 record_is "$data/logs" || fail "the logs folder did not open: $(cat "$work/files.record" 2>/dev/null)"
say "logs folder opened, $(( ($(date +%s%N) - start) / 1000000 )) ms after the action (program started by it)"
pid=$(nubrio_pid)
[ -n "$pid" ] || fail "no program runs after the action"
session-shot "$shots/01-started-by-action.png"

# No tray in stock GNOME: one notification says so, a few seconds after the start.
notifications() {
  shell "[].concat(...imports.ui.main.messageTray.getSources().map(s => s.notifications.map(n =>
    s.title + ' | ' + n.title + ' | ' + n.bannerBodyText)))"
}
notified() { notifications | grep -qF "$1"; }
eventually 15 notified 'Nubrio sigue procesando' || fail "no notification: $(notifications)"
say "notification: $(notifications)"
session-shot "$shots/02-notification.png"
# Once per login session: the marker lives in the session's runtime folder.
[ -e "$XDG_RUNTIME_DIR/app.nubrio.desktop.no-tray-notice" ] || fail "no marker of the notice in the runtime folder"
# The session has no journal, so the program's line goes to its standard error, which GNOME Shell's log
# holds for what it launched; no log file of the program's own is written.
grep -q "nubrio: .*no tray shows the status item" "$work/shell.log" || fail "no line on the program's standard error"
[ ! -e "$data/logs/nubrio.log" ] || fail "a log file of the program's own was written"

# "Ver archivos de esta computadora": the running copy opens the data folder.
rm -f "$work/files.record"
launch_action openfiles
eventually 20 record_is "$data" || fail "the data folder did not open"
say "data folder opened by the running copy ($(nubrio_pid))"

# "Acerca de Nubrio": an alert whose window GNOME matches to the entry.
launch_action about
eventually 20 has_window || fail "no about alert: $(session-windows)"
say "about alert: $(nubrio_windows)"
[ "$(nubrio_windows | cut -f1)" = "$app" ] || fail "the alert's app id is not $app"
session-shot "$shots/03-about.png"
close_windows
eventually 10 no_window || fail "the alert did not close"

# Start at login: the entry offers both changes whatever the state, and is not rewritten by one; with
# no tray to show the check mark, a notification says the state, replacing the one before. GNOME's
# app grid shows the entry's menu with both.
autostart="$XDG_CONFIG_HOME/autostart/$app"
entry_before=$(stat -c '%i %Y' "$XDG_DATA_HOME/applications/$app")
app_grid_menu() {  # app_grid_menu SHOT: GNOME's app grid with the entry's menu open
  shell "imports.ui.main.overview.showApps(); true" >/dev/null
  eventually 10 shell_true "(function () { const d = imports.ui.main.overview._overview.controls._appDisplay;
    const icon = d._items.get('$app'); if (!icon) return false;
    try { d.goToPage(d._grid.getItemPage(icon)[0], false); } catch (e) { /* one page only */ } return true; })()" \
    || fail "the app grid has no icon of the entry"
  sleep 1
  shell "imports.ui.main.overview._overview.controls._appDisplay._items.get('$app').popupMenu(); true" >/dev/null
  sleep 1
  session-shot "$1"
  shell "imports.ui.main.overview.hide(); true" >/dev/null
  sleep 1
}
login_notice() {  # login_notice TEXT: the notification of start at login says TEXT, and there is one
  eventually 15 notified "$1" || fail "no notification says \"$1\": $(notifications)"
  [ "$(notifications | grep -c 'iniciar sesión')" = 1 ] || fail "the notifications of start at login piled up: $(notifications)"
}
for step in "loginon:present:| Se abrirá al iniciar sesión." "loginon:present:| Se abrirá al iniciar sesión." \
            "loginoff:absent:| No se abrirá al iniciar sesión." "loginoff:absent:| No se abrirá al iniciar sesión."; do
  IFS=: read -r action state text <<<"$step"
  launch_action "$action"
  if [ "$state" = present ]; then eventually 20 test -f "$autostart" || fail "$action: start at login is not on"
  else eventually 20 test ! -e "$autostart" || fail "$action: start at login is not off"; fi
  login_notice "$text"
  say "$action: start at login $state; notified: $text"
  # After each change (not after a repeat), the grid's menu as the user next sees it.
  [ -e "$shots/06-app-grid-login-$state.png" ] || app_grid_menu "$shots/06-app-grid-login-$state.png"
done
sleep 1
[ "$(notifications | grep -c 'iniciar sesión')" = 1 ] || fail "the notifications of start at login piled up: $(notifications)"
# The banner of the first notice stays while the session is idle: the message list shows them all.
shell "imports.ui.main.panel.statusArea.dateMenu.menu.open(); true" >/dev/null
sleep 1
session-shot "$shots/05-login-notification.png"
shell "imports.ui.main.panel.statusArea.dateMenu.menu.close(); true" >/dev/null
[ "$(stat -c '%i %Y' "$XDG_DATA_HOME/applications/$app")" = "$entry_before" ] || fail "the entry was rewritten"
say "GNOME's app grid offers: $(shell "(function () { const info = imports.gi.Shell.AppSystem.get_default().lookup_app('$app').get_app_info();
  return info.list_actions().filter(a => a.startsWith('login')).map(a => info.get_action_name(a)).join(' | '); })()")"

# The commands that ask first (uninstall: this bundle is not in an Applications folder of the
# user's, so it says so): each shows its alert, matched to the entry.
for action in restart uninstall quit; do
  launch_action "$action"
  eventually 20 has_window || fail "no alert for $action: $(session-windows)"
  line=$(nubrio_windows | head -n 1)
  say "$action: $line"
  [ "$(printf '%s' "$line" | cut -f1)" = "$app" ] || fail "the $action alert's app id is not $app"
  session-shot "$shots/04-$action.png"
  close_windows
  eventually 10 no_window || fail "the $action alert did not close"
done
[ "$(nubrio_pid)" = "$pid" ] || fail "the program did not keep running after the alerts were closed"

# The notification came once.
count=$(notifications | grep -o 'Nubrio sigue procesando' | wc -l)
[ "$count" = 1 ] || fail "$count notifications"
say "done, $failures failures"
[ "$failures" = 0 ]

#!/usr/bin/env bash
# Inside a stock GNOME Wayland session (wayland_session.sh gnome-stock): a command that waits behind an
# open alert brings that alert to the front. The about alert is open and another window has taken the
# focus since; a launcher's command handed to the running copy waits for the alert, and the alert
# comes back above that window, focused. Once it is closed, the command runs.
#
#   alert_front.sh BUNDLE
set -euo pipefail
bundle=$1
work=$WAYLAND_SESSION_WORK
shots=${NUBRIO_SHOTS:-$work}
exe="$bundle/Contents/MacOS/Nubrio"
data="$XDG_DATA_HOME/Nubrio"
failures=0

say() { printf '%s\n' "$*"; }
fail() { say "FAIL: $*"; failures=$((failures + 1)); session-shot "$shots/alert-front-failure-$failures.png" 2>/dev/null || true; }
eventually() {  # eventually SECONDS COMMAND...: until COMMAND succeeds
  local end=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do [ "$SECONDS" -lt "$end" ] || return 1; sleep 0.2; done
}
# The focused window's title, and whether the alert is stacked above the other window.
focused() { session-eval "(function () { const f = global.display.focus_window; return f ? f.get_title() : ''; })()"; }
focused_is() { [ "$(focused)" = "\"$1\"" ]; }
alert_above() {
  [ "$(session-eval "(function () {
    const ws = global.display.list_all_windows(), alert = ws.find(w => w.get_title() === 'Nubrio'),
          other = ws.find(w => w.get_title() === 'Otra ventana');
    return !!alert && !!other && global.display.sort_windows_by_stacking([alert, other])[1] === alert; })()")" = true ]
}
record_is() { [ -f "$work/files.record" ] && [ "$(cat "$work/files.record")" = "$1" ]; }

# A recorder stands in for the file manager.
printf '#!/bin/sh\nprintf "%%s\\n" "$@" > %q.tmp && mv %q.tmp %q\n' "$work/files.record" "$work/files.record" \
  "$work/files.record" >"$work/file-manager"
chmod +x "$work/file-manager"
mkdir -p "$XDG_DATA_HOME/applications"
printf '[Desktop Entry]\nType=Application\nName=Archivos\nExec=%s %%U\nMimeType=inode/directory;\n' \
  "$work/file-manager" >"$XDG_DATA_HOME/applications/recording-files.desktop"
printf '[Default Applications]\ninode/directory=recording-files.desktop\n' >"$XDG_CONFIG_HOME/mimeapps.list"

"$exe" --background >"$work/alert-front.log" 2>&1 &
eventually 20 test -S "$XDG_RUNTIME_DIR/app.nubrio.desktop" || fail "the program did not start"
"$exe" --about || fail "the about command was not handed over"
eventually 20 focused_is Nubrio || fail "the about alert did not open focused: $(focused)"

# Another window takes the focus, above the alert (an X11 client through Xwayland will do).
xmessage -geometry 1000x700+0+0 -title "Otra ventana" "Otra ventana" &
eventually 20 focused_is "Otra ventana" || fail "the other window did not take the focus: $(focused)"
if alert_above; then fail "the alert is still above the other window"; fi
session-shot "$shots/alert-front-1-behind.png"

"$exe" --open-logs || fail "the logs command was not handed over"
eventually 20 focused_is Nubrio || fail "the alert did not come to the front: $(focused)"
alert_above || fail "the alert is not above the other window"
say "a waiting command brought the alert to the front: $(session-windows | grep -F -e Nubrio -e 'Otra ventana' | tr '\t' ' ' | paste -sd ';')"
session-shot "$shots/alert-front-2-in-front.png"
[ ! -e "$work/files.record" ] || fail "the command ran while the alert was open"

# Closed as its close button would: the command that waited runs.
session-eval "global.display.list_all_windows().filter(w => w.get_title() === 'Nubrio')
  .forEach(w => w.delete(global.get_current_time()))" >/dev/null
eventually 20 record_is "$data/logs" || fail "the waiting command did not run after the alert: $(cat "$work/files.record" 2>/dev/null)"
say "done, $failures failures"
[ "$failures" = 0 ]

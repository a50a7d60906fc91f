#!/usr/bin/env bash
# Inside a Wayland session of a small screen (wayland_session.sh kde|gnome-stock --size 1280x800): the
# editor's app window, opened by the program in the real Chromium, has its whole frame on screen, title
# bar and close button included, and belongs to Nubrio where the desktop groups windows: its app id
# names the program's hidden entry for it (Nubrio's name and icon), not Chromium or nothing. Prints
# the arguments Chromium got, the window's frame and app id; NUBRIO_SHOTS gets a screenshot.
#
#   editor_window.sh BUNDLE WxH REGISTER_HELPER     (the session's screen size; the install's helper)
set -euo pipefail
bundle=$1 screen=$2 register=$3
[ -x /usr/bin/chromium ] || { echo "editor_window: /usr/bin/chromium is missing; skipped" >&2; exit 77; }
work=$(mktemp -d "${WAYLAND_SESSION_WORK:-${TMPDIR:-/tmp}}/editor-window.XXXXXX")
# The session's own home (a temporary one), which the desktop reads too: the program writes its entries
# there, Chromium its profile. Elsewhere, a home of its own.
if [ -z "${WAYLAND_SESSION_WORK:-}" ]; then
  export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"
  export XDG_CACHE_HOME="$work/home/.cache" XDG_STATE_HOME="$work/home/.local/state"
fi
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME/applications" "$XDG_CACHE_HOME" "$XDG_STATE_HOME"
t0=$(date +%s%N)
say() { printf '%6d ms  %s\n' $(( ($(date +%s%N) - t0) / 1000000 )) "$*"; }
eventually() {  # eventually SECONDS COMMAND...: until COMMAND succeeds
  local end=$((SECONDS + $1)); shift
  until "$@" >/dev/null 2>&1; do [ "$SECONDS" -lt "$end" ] || return 1; sleep 0.2; done
}

# Chromium as the default browser: the entry's Exec notes its pid and arguments, then becomes Chromium
# with a throw-away profile (as root it needs --no-sandbox; Plasma would ask for a wallet otherwise).
cat >"$work/chromium" <<SCRIPT
#!/bin/sh
echo \$\$ > "$work/chromium.pid"
printf '%s\n' "\$@" > "$work/chromium.args"
exec /usr/bin/chromium --no-sandbox --user-data-dir="$work/profile" --password-store=basic --no-first-run \
  --no-default-browser-check --disable-background-networking --disable-component-update --disable-sync \
  --no-proxy-server '--host-resolver-rules=MAP * ~NOTFOUND' "\$@"
SCRIPT
chmod +x "$work/chromium"
printf '[Desktop Entry]\nType=Application\nName=Chromium\nExec=%s %%U\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\n' \
  "$work/chromium" >"$XDG_DATA_HOME/applications/chromium.desktop"
printf '[Default Applications]\nx-scheme-handler/https=chromium.desktop\nx-scheme-handler/http=chromium.desktop\n' \
  >>"$XDG_CONFIG_HOME/mimeapps.list"

# Installed as `cmake --install` does it; the program opens the editor once its worker is ready.
mkdir -p "$HOME/Applications"
cp -a "$bundle" "$HOME/Applications/"
exe="$HOME/Applications/Nubrio.app/Contents/MacOS/Nubrio"
"$register" "$exe"
"$exe" >"$work/program.log" 2>&1 &
program=$!
end() {
  kill "$program" 2>/dev/null || true
  [ -s "$work/chromium.pid" ] && kill "$(cat "$work/chromium.pid")" 2>/dev/null || true
  wait "$program" 2>/dev/null || true
}
trap end EXIT

screen_w=${screen%x*} screen_h=${screen#*x}
eventually 60 test -s "$work/chromium.pid" || { say "FAIL: Chromium was not started; the program said:"; cat "$work/program.log"; exit 1; }
browser=$(cat "$work/chromium.pid")
say "Chromium ($browser) got: $(tr '\n' ' ' <"$work/chromium.args")"
window() { session-windows | awk -F '\t' -v p="$browser" '$6 == p && $4 == "normal" {print $3; exit}'; }
app_id() { session-windows | awk -F '\t' -v p="$browser" '$6 == p && $4 == "normal" {print $1; exit}'; }
eventually 60 eval '[ -n "$(window)" ] && [ "$(window)" != "0,0 0x0" ]' ||
  { say "FAIL: Chromium showed no window"; session-windows >&2; exit 1; }
# Settled: the same frame twice, a second apart.
frame='' previous=''
for _ in $(seq 20); do
  frame=$(window); [ "$frame" = "$previous" ] && break
  previous=$frame; sleep 1
done
say "the editor's frame: $frame on a ${screen_w}x${screen_h} screen"
# GNOME names the entry it matched (window:N for none), KDE the window's own app id, which its task
# manager looks up as an entry's name. The desktop may take a moment to read entries just installed.
ours() { case "$(app_id)" in chrome-nubrio.app__-Default|chrome-nubrio.app__-Default.desktop) ;; *) return 1 ;; esac; }
start=$SECONDS
eventually 30 ours || { say "FAIL: the window does not belong to Nubrio's entry for it: $(app_id)"; exit 1; }
app=$(app_id)
entry="$XDG_DATA_HOME/applications/${app%.desktop}.desktop"
say "the editor window's app id: $app ($((SECONDS - start)) s after its frame settled)"
sleep 1
[ -n "${NUBRIO_SHOTS:-}" ] && session-shot "$NUBRIO_SHOTS/editor-window-$WAYLAND_SESSION.png"
grep -qx 'Name=Nubrio' "$entry" && grep -qx 'Icon=app.nubrio.desktop' "$entry" ||
  { say "FAIL: $entry does not give Nubrio's name and icon"; exit 1; }
read -r at size <<<"$frame"
x=${at%,*} y=${at#*,} w=${size%x*} h=${size#*x}
if [ "$x" -ge 0 ] && [ "$y" -ge 0 ] && [ $((x + w)) -le "$screen_w" ] && [ $((y + h)) -le "$screen_h" ]; then
  say "PASS: the whole frame, title bar included, is on screen"
else
  say "FAIL: the frame reaches off screen"
  [ -n "${NUBRIO_SHOTS:-}" ] && session-shot "$NUBRIO_SHOTS/editor-window.png" || true
  exit 1
fi

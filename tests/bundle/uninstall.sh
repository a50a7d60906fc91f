#!/usr/bin/env bash
# Install, then uninstall from the tray menu, as a user would: `cmake --install` into ~/Applications
# writes the application entry (menu, nubrio: links) and the icon, and refuses a folder the desktop
# could not start it from; "Desinstalar Nubrio…" → "Desinstalar" moves the bundle to the Trash, ends
# the program and its worker, removes the entry and the icon, and keeps the data folder.
set -euo pipefail
build=${1:?usage: uninstall.sh <build folder>}
for tool in Xvfb trayer xdotool xwininfo; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/nubrio-uninstall.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
failures=0 passes=0
check() { if eval "$2"; then echo "ok: $1"; passes=$((passes + 1)); else echo "FAIL: $1"; failures=$((failures + 1)); fi; }

export HOME="$work/home"
mkdir -p "$HOME/run" "$HOME/dirs" && chmod 700 "$HOME/run"
export XDG_RUNTIME_DIR="$HOME/run" XDG_DATA_HOME="$HOME/.local/share" XDG_CONFIG_HOME="$HOME/.config" \
       XDG_CACHE_HOME="$HOME/.cache" XDG_DATA_DIRS="$HOME/dirs" XDG_CONFIG_DIRS="$HOME/dirs"
unset QT_QPA_PLATFORM WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS

exec {fd}>"$work/display"
Xvfb -displayfd "$fd" -screen 0 1024x700x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
exec {fd}>&-
for _ in $(seq 600); do [ -s "$work/display" ] && break; sleep 0.05; done
export DISPLAY=":$(head -n1 "$work/display")"
trayer --edge top --align right --widthtype request --height 32 >"$work/trayer.log" 2>&1 &
pids+=($!)
for _ in $(seq 600); do xwininfo -name panel >/dev/null 2>&1 && break; sleep 0.05; done

refused="$HOME/100% Apps"
if cmake --install "$build" --prefix "$refused" >"$work/refused.log" 2>&1; then install_status=0; else install_status=$?; fi
check "install into a folder with % fails" "[ '$install_status' != 0 ]"
check "and says why" "grep -q 'el escritorio no puede abrir un programa' '$work/refused.log'"
check "and copies nothing there" "[ ! -e '$refused/Nubrio.app' ]"

cmake --install "$build" --prefix "$HOME/Applications" >"$work/install.log"
app="$HOME/Applications/Nubrio.app"
handler="$XDG_DATA_HOME/applications/app.nubrio.desktop.desktop"
icon="$XDG_DATA_HOME/icons/hicolor/scalable/apps/app.nubrio.desktop.svg"
# The worker's stand-in needs no port; it records its pid and ends on SIGTERM like the real one.
worker="$app/Contents/Resources/service/NubrioService/NubrioService"
printf '#!/bin/sh\necho $$ > worker.pid\nexec sleep 600\n' >"$worker"
check "install registers the link handler" "grep -q 'Exec=.*$app/Contents/MacOS/Nubrio' '$handler'"
check "install puts the icon in the user's theme" "[ -s '$icon' ]"
# What the desktop portal's OpenURI asks for a link from a browser: one recommended handler, ours.
if command -v gio >/dev/null; then
  check "install makes it GIO's one recommended handler of nubrio: links" \
    "[ \"\$(LC_ALL=C gio mime x-scheme-handler/nubrio | sed -n '/^Recommended/,\$p' | grep -c '\.desktop')\" = 1 ] &&
     LC_ALL=C gio mime x-scheme-handler/nubrio | sed -n '/^Recommended/,\$p' | grep -q app.nubrio.desktop.desktop"
fi
check "install starts nothing" "! pgrep -f '$app/Contents/MacOS/Nubrio' >/dev/null"

"$app/Contents/MacOS/Nubrio" --background >"$work/program.log" 2>&1 &
program=$!
pids+=($program)
data="$XDG_DATA_HOME/Nubrio"
# A generous deadline: beside the package tests on two cores the start can take several seconds.
for _ in $(seq 1200); do [ -s "$data/worker.pid" ] && wid=$(xdotool search --classname '^Nubrio$' 2>/dev/null | head -1) && [ -n "$wid" ] && break; sleep 0.05; done
check "the tray icon is shown" "[ -n '${wid:-}' ]"
# Without the icon there is no menu to drive: say what the program said, rather than click blindly.
[ -n "${wid:-}" ] || { cat "$work/program.log"; exit 1; }
worker_pid=$(cat "$data/worker.pid")

eval "$(xwininfo -id "$wid" | awk '/Absolute upper-left X/{print "x="$4} /Absolute upper-left Y/{print "y="$4}')"
xdotool mousemove $((x + 8)) $((y + 8)) click 3
sleep 1
xdotool key Up Up Return           # the last entry is "Salir de Nubrio…", the one above "Desinstalar Nubrio…"
sleep 1
xdotool key Tab space              # the second button, "Desinstalar"
for _ in $(seq 600); do kill -0 "$program" 2>/dev/null || break; sleep 0.05; done
status=0
kill -0 "$program" 2>/dev/null && { import -window root "$work/stuck.png" 2>/dev/null || true; status=stuck; } || wait "$program" || status=$?

check "the program ended with status 0 (was: $status)" "[ '$status' = 0 ]"
check "its worker is gone" "! kill -0 $worker_pid 2>/dev/null"
check "the bundle left ~/Applications" "[ ! -e '$app' ]"
check "the bundle is in the Trash" "[ -d '$XDG_DATA_HOME/Trash/files/Nubrio.app' ]"
check "the Trash knows where it came from" "grep -qx 'Path=$app' '$XDG_DATA_HOME/Trash/info/Nubrio.app.trashinfo'"
check "the application entry is gone" "[ ! -e '$handler' ]"
check "the icon is gone" "[ ! -e '$icon' ]"
check "no default handler names it" "! grep -q 'app.nubrio.desktop.desktop' '$XDG_CONFIG_HOME/mimeapps.list'"
check "the data and logs folders stay" "[ -d '$data' ]"

echo "$passes passed, $failures failed"
if [ "$failures" -ne 0 ]; then cat "$work/program.log"; exit 1; fi

#!/usr/bin/env bash
# Runs a command in a throw-away Wayland desktop session: GNOME Shell 43 or 48 (headless, one virtual
# monitor), as GNOME ships it or with its AppIndicator extension, or KDE Plasma 5.27 or 6 (kwin_wayland,
# kded5 or kded6, plasmashell); Xwayland in each. The session has a bus of its own, and HOME, the XDG
# folders and XDG_RUNTIME_DIR in a temporary folder, so neither the desktop nor the command touches the
# real home. When the command returns, every process of the session ends.
#
#   wayland_session.sh gnome|gnome-stock|kde [--size WxH] -- COMMAND [ARGS...]
#
# COMMAND starts once the shell is up (GNOME: started, overview hidden, and with AppIndicator its tray
# watcher up; KDE: the panel shown and its tray host registered). It gets WAYLAND_DISPLAY, DISPLAY and
# XAUTHORITY (Xwayland), DBUS_SESSION_BUS_ADDRESS, XDG_CURRENT_DESKTOP, XDG_SESSION_TYPE=wayland and the
# variables a login sets, WAYLAND_SESSION (gnome, gnome-stock or kde) and WAYLAND_SESSION_WORK (a folder
# that lives as long as the session). On PATH:
#   session-shot FILE.png             a screenshot of the whole screen
#   session-click X Y [left|right]    a pointer click at screen coordinates
#   session-windows                   one line per window, tab-separated: APP, TITLE, "X,Y WxH", KIND, CLIENT, PID;
#                                     APP is GNOME's app id (`foo.desktop`, `window:N` when no entry
#                                     matched) or KDE's desktopFileName (empty when none)
#   session-eval JS                   GNOME only: evaluates JS in GNOME Shell, prints the value as JSON
# GNOME needs root (a mount namespace hides the machine's systemd and system bus from the shell). Exits 77
# (skipped) when the desktop cannot run here: a missing program, or GNOME without root.
set -euo pipefail
here=$(cd "$(dirname "$(readlink -f "$0")")" && pwd)
me=$here/$(basename "$0")
helpers=$here/session.d

skip() { echo "wayland_session: $*; skipped" >&2; exit 77; }

session_pids() {  # every process of the session: it carries the session's private XDG_RUNTIME_DIR
  local f p
  for f in $(grep -l -z -x -F "XDG_RUNTIME_DIR=$1" /proc/[0-9]*/environ 2>/dev/null); do
    p=${f#/proc/}; p=${p%/environ}
    case " $2 " in *" $p "*) ;; *) echo "$p" ;; esac
  done
}

end_session() {  # ends what the session left running (all but the pids in $2), then removes its folder
  local run=$1 keep=$2 pids
  pids=$(session_pids "$run" "$keep")
  [ -n "$pids" ] && kill $pids 2>/dev/null
  for _ in $(seq 30); do
    pids=$(session_pids "$run" "$keep"); [ -z "$pids" ] && break; sleep 0.1
  done
  [ -n "$pids" ] && kill -9 $pids 2>/dev/null
  # the document portal mounts a FUSE file system in XDG_RUNTIME_DIR
  awk -v w="${run%/runtime}/" 'index($5, w) == 1 { print $5 }' /proc/self/mountinfo | sort -r |
    while read -r m; do umount -l "$m" 2>/dev/null || true; done
  rm -rf "${run%/runtime}"
}

wait_for() {  # wait_for SECONDS PID COMMAND...: until COMMAND succeeds; fails when PID ends or time is up
  local end=$((SECONDS + $1)) pid=$2; shift 2
  while [ "$SECONDS" -lt "$end" ]; do
    "$@" >/dev/null 2>&1 && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

log_tail() { echo "wayland_session: $1; the end of its log:" >&2; tail -n 15 "$2" >&2; }

shell_ready() {  # the helper extension says so once the shell has started and hidden the overview
  gdbus call --session -d org.gnome.Shell -o /invalid/nubrio/DesktopSession \
    -m invalid.nubrio.DesktopSession.Ready 2>/dev/null | grep -q true
}
tray_host_ready() {
  gdbus call --session -d org.kde.StatusNotifierWatcher -o /StatusNotifierWatcher \
    -m org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher IsStatusNotifierHostRegistered \
    2>/dev/null | grep -q true
}
plasma_panel_shown() { session-windows --all 2>/dev/null | awk -F '\t' '$4 == "dock" { f = 1 } END { exit !f }'; }

xwayland_env() {  # DISPLAY and XAUTHORITY from the Xwayland child of the compositor $1
  local p arg prev='' args
  for p in /proc/[0-9]*; do
    [ "$(cat "$p/comm" 2>/dev/null)" = Xwayland ] && grep -q "^PPid:[[:space:]]*$1\$" "$p/status" 2>/dev/null || continue
    mapfile -d '' args <"$p/cmdline"
    for arg in "${args[@]}"; do
      case "$arg" in :[0-9]*) [ -z "${xw_display:-}" ] && xw_display=$arg ;; esac
      [ "$prev" = -auth ] && xw_auth=$arg
      prev=$arg
    done
    return 0
  done
  return 1
}

kwin_x_display() {  # KWin 6 starts Xwayland for the first X client: until then, its X socket names the display
  xwayland_env "$1" && return 0
  local ino path
  for ino in $(ls -l "/proc/$1/fd" 2>/dev/null | sed -n 's/.*socket:\[\([0-9]*\)\]$/\1/p'); do
    path=$(awk -v i="$ino" '$7 == i && $8 ~ /X11-unix\/X[0-9]+$/ { print $8; exit }' /proc/net/unix)
    [ -n "$path" ] && { xw_display=":${path##*X}"; return 0; }
  done
  return 1
}

stop_pids() {  # TERM, then KILL after 5 s
  kill "$@" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$@" 2>/dev/null || return 0; sleep 0.1; done
  kill -9 "$@" 2>/dev/null || true
}

# The session's inner part, on its bus: start the compositor and shell, wait for them, run the command.
inside() {
  local desktop=$1 size=$2 work=$3; shift 4
  local w=${size%x*} h=${size#*x} comp='' others=() status=0 xw_display='' xw_auth=''
  export XDG_SESSION_TYPE=wayland WAYLAND_SESSION=$desktop WAYLAND_SESSION_WORK=$work
  case "$desktop" in
    kde) export XDG_CURRENT_DESKTOP=KDE XDG_SESSION_DESKTOP=KDE DESKTOP_SESSION=plasmawayland \
                KDE_FULL_SESSION=true KDE_SESSION_VERSION=$kde_version ;;
    *) export XDG_CURRENT_DESKTOP=GNOME XDG_SESSION_DESKTOP=gnome DESKTOP_SESSION=gnome ;;
  esac
  # what the bus starts from now on (portals pick their backend by XDG_CURRENT_DESKTOP) sees the session
  dbus-update-activation-environment DBUS_SESSION_BUS_ADDRESS XDG_RUNTIME_DIR WAYLAND_DISPLAY=wayland-0 HOME \
    XDG_CONFIG_HOME XDG_DATA_HOME XDG_CACHE_HOME XDG_STATE_HOME XDG_CURRENT_DESKTOP XDG_SESSION_TYPE \
    XDG_SESSION_DESKTOP DESKTOP_SESSION ${KDE_FULL_SESSION:+KDE_FULL_SESSION KDE_SESSION_VERSION}
  case "$desktop" in
    gnome|gnome-stock)
      local ext=desktop-session-helper@nubrio.invalid exts
      exts="'$ext'"; [ "$desktop" = gnome ] && exts="$exts, 'ubuntu-appindicators@ubuntu.com'"
      mkdir -p "$work/shell-data/gnome-shell/extensions"
      # GNOME Shell 45 and later load extensions as modules
      local folder=gnome-extension
      [ "$(gnome-shell --version | grep -o '[0-9]*' | head -n 1)" -ge 45 ] && folder=gnome-extension-45
      cp -r "$helpers/$folder/$ext" "$work/shell-data/gnome-shell/extensions/"
      gsettings set org.gnome.shell disable-user-extensions false
      gsettings set org.gnome.shell enabled-extensions "[$exts]"
      gsettings set org.gnome.shell welcome-dialog-last-shown-version '999'
      XDG_DATA_DIRS="$work/shell-data:${XDG_DATA_DIRS:-/usr/local/share:/usr/share}" \
        gnome-shell --wayland --headless --virtual-monitor "$size" --wayland-display wayland-0 \
        >"$work/shell.log" 2>&1 &
      comp=$!; disown "$comp"  # no job report for it: GNOME Shell 43 crashes when it is ended
      wait_for 120 "$comp" shell_ready ||
        { log_tail "GNOME Shell did not come up, or its helper extension did not load" "$work/shell.log"; exit 1; }
      if [ "$desktop" = gnome ]; then
        wait_for 30 "$comp" tray_host_ready || { log_tail "the AppIndicator extension did not start" "$work/shell.log"; exit 1; }
      fi
      xw_display=$(sed -n 's/.*Using public X11 display \(:[0-9]*\),.*/\1/p' "$work/shell.log" | head -n 1)
      xwayland_env "$comp" || true
      [ -z "$xw_auth" ] && xw_auth=$(ls "$XDG_RUNTIME_DIR"/.mutter-Xwaylandauth.* 2>/dev/null | head -n 1)
      export WAYLAND_DISPLAY=wayland-0 ;;
    kde)
      cp /usr/bin/kwin_wayland "$work/kwin_wayland"  # a plain copy drops the file capability
      local backend=(--virtual)
      if [ "$kde_version" = 6 ]; then
        # KWin 6 composites with QPainter where there is no DRM device, and then offers no screenshots:
        # it runs as a window of a virtual X display instead, which session-shot takes.
        exec {fd}>"$work/host-display"
        Xvfb -displayfd "$fd" -screen 0 "${w}x${h}x24" -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
        others+=($!)
        exec {fd}>&-
        wait_for 10 "${others[0]}" test -s "$work/host-display" || { log_tail "Xvfb did not start" "$work/xvfb.log"; exit 1; }
        export WAYLAND_SESSION_HOST_DISPLAY=":$(head -n 1 "$work/host-display")"
        backend=(--x11-display "$WAYLAND_SESSION_HOST_DISPLAY")
      fi
      KWIN_WAYLAND_NO_PERMISSION_CHECKS=1 KWIN_SCREENSHOT_NO_PERMISSION_CHECKS=1 \
        "$work/kwin_wayland" "${backend[@]}" --width "$w" --height "$h" --xwayland --no-lockscreen --socket wayland-0 \
        >"$work/kwin.log" 2>&1 &
      comp=$!; disown "$comp"
      wait_for 60 "$comp" test -S "$XDG_RUNTIME_DIR/wayland-0" || { log_tail "KWin did not come up" "$work/kwin.log"; exit 1; }
      wait_for 30 "$comp" kwin_x_display "$comp" || { log_tail "KWin started no Xwayland" "$work/kwin.log"; exit 1; }
      export WAYLAND_DISPLAY=wayland-0 DISPLAY=$xw_display
      [ -n "$xw_auth" ] && export XAUTHORITY=$xw_auth
      dbus-update-activation-environment DISPLAY ${XAUTHORITY:+XAUTHORITY}
      "kded$kde_version" >"$work/kded.log" 2>&1 &
      others+=($!)
      plasmashell --no-respawn >"$work/plasmashell.log" 2>&1 &
      others+=($!); disown -a
      wait_for 120 "${others[-1]}" plasma_panel_shown || { log_tail "Plasma showed no panel" "$work/plasmashell.log"; exit 1; }
      wait_for 60 "${others[-1]}" tray_host_ready || { log_tail "Plasma's tray did not start" "$work/plasmashell.log"; exit 1; }
      sleep 1 ;;  # the panel's first frames
  esac
  [ -n "$xw_display" ] && export DISPLAY=$xw_display
  [ -n "$xw_auth" ] && export XAUTHORITY=$xw_auth
  [ -n "${DISPLAY:-}" ] && dbus-update-activation-environment DISPLAY ${XAUTHORITY:+XAUTHORITY}
  "$@" || status=$?
  [ ${#others[@]} -gt 0 ] && stop_pids "${others[@]}"
  stop_pids "$comp"
  exit "$status"
}

# Plasma 6 (Debian 13) runs kded6 and KWin 6; Plasma 5 (Debian 12) kded5 and KWin 5.
kde_version=5
command -v kded6 >/dev/null && kde_version=6

if [ "${1:-}" = --inside ]; then shift; inside "$@"; fi

desktop=${1:-}; shift || true
size=1024x700
[ "${1:-}" = --size ] && { size=$2; shift 2; }
[ "${1:-}" = -- ] && [ $# -gt 1 ] || { sed -n '2,22p' "$me" >&2; exit 64; }
shift
[[ "$size" =~ ^[1-9][0-9]*x[1-9][0-9]*$ ]] || { echo "wayland_session: --size is WxH, as 1280x800" >&2; exit 64; }
case "$desktop" in
  gnome) need="gnome-shell gsettings unshare" ;;
  gnome-stock) need="gnome-shell gsettings unshare" ;;
  kde) need="kwin_wayland plasmashell kded$kde_version"; [ "$kde_version" = 6 ] && need="$need Xvfb import" ;;
  *) echo "wayland_session: the desktop is gnome, gnome-stock or kde" >&2; exit 64 ;;
esac
for tool in Xwayland dbus-daemon dbus-update-activation-environment gdbus gsettings $need; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/setup.sh installs it)"
done
/usr/bin/python3 -c 'import gi' 2>/dev/null || skip "python3-gi is missing"
[ "$desktop" != gnome ] || [ -d /usr/share/gnome-shell/extensions/ubuntu-appindicators@ubuntu.com ] ||
  skip "the AppIndicator extension is missing"

if [ "$desktop" != kde ] && [ -z "${WAYLAND_SESSION_NS:-}" ]; then
  [ "$(id -u)" = 0 ] || skip "GNOME Shell needs root here (a mount namespace)"
  exec env WAYLAND_SESSION_NS=1 unshare --mount "$me" "$desktop" --size "$size" -- "$@"
fi

sysbus_pid=''
if [ "$desktop" != kde ]; then
  # GNOME Shell asks logind when it sees systemd: hide it, and give the shell a system bus of its own.
  [ -d /run/systemd ] && mount -t tmpfs tmpfs /run/systemd
  mkdir -p /run/dbus && mount -t tmpfs tmpfs /run/dbus
  sysbus_pid=$(dbus-daemon --system --fork --print-pid)
  # Xwayland's sockets: a folder of this session's own, as the shell wants it (other sessions on the
  # machine may have made the shared one with another mode).
  mkdir -p /tmp/.X11-unix && mount -t tmpfs -o mode=1777 tmpfs /tmp/.X11-unix
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/wayland-session.XXXXXX")
mkdir -m 700 "$work/runtime"
mkdir "$work/bin" "$work/keep"
for verb in shot click windows; do
  printf '#!/bin/sh\nexec /usr/bin/python3 %q %s "$@"\n' "$helpers/session-act" "$verb" >"$work/bin/session-$verb"
done
printf '#!/bin/sh\nexec /usr/bin/python3 %q "$@"\n' "$helpers/session-eval" >"$work/bin/session-eval"
chmod +x "$work"/bin/*
export PATH="$work/bin:$PATH"
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"
export XDG_CACHE_HOME="$work/home/.cache" XDG_STATE_HOME="$work/home/.local/state" XDG_RUNTIME_DIR="$work/runtime"
# As in a used home, the user's applications folder exists before the desktop starts watching it.
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME/applications" "$XDG_CACHE_HOME" "$XDG_STATE_HOME"
unset DISPLAY WAYLAND_DISPLAY XAUTHORITY SESSION_MANAGER GNOME_DESKTOP_SESSION_ID QT_QPA_PLATFORM \
      QT_QPA_PLATFORMTHEME QT_STYLE_OVERRIDE DBUS_SESSION_BUS_ADDRESS KDE_FULL_SESSION KDE_SESSION_VERSION

# If this script is killed (even with SIGKILL), a watchdog in a session of its own ends the rest.
self=$$
setsid bash -c "$(declare -f session_pids end_session)"'
  while kill -0 "$1" 2>/dev/null; do sleep 1; done
  end_session "$2" "$$"; [ -n "$3" ] && kill "$3" 2>/dev/null' _ "$self" "$work/runtime" "$sysbus_pid" \
  </dev/null >/dev/null 2>&1 &
watchdog=$!
trap 'exit 143' TERM; trap 'exit 130' INT; trap 'exit 129' HUP
trap 'kill "$watchdog" 2>/dev/null; end_session "$work/runtime" "$self $watchdog"
      [ -n "$sysbus_pid" ] && kill "$sysbus_pid" 2>/dev/null || true' EXIT
# The session bus at $XDG_RUNTIME_DIR/bus, as systemd's user bus; what it starts logs to $work/bus.log.
dbus-daemon --session --nofork --nopidfile --address="unix:path=$XDG_RUNTIME_DIR/bus" >"$work/bus.log" 2>&1 &
for _ in $(seq 200); do [ -S "$XDG_RUNTIME_DIR/bus" ] && break; sleep 0.025; done
export DBUS_SESSION_BUS_ADDRESS="unix:path=$XDG_RUNTIME_DIR/bus"
status=0
"$me" --inside "$desktop" "$size" "$work/keep" -- "$@" <&0 || status=$?
exit "$status"

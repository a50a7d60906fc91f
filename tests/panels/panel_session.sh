#!/usr/bin/env bash
# Runs a command in a throw-away desktop session with a real panel: a virtual X display (Xvfb), a
# session bus of its own that activates the machine's services (xfconfd, kded), and HOME, the XDG
# folders and XDG_RUNTIME_DIR in a temporary folder, so neither the panel nor the command touches
# the real home. XDG_CURRENT_DESKTOP is what that desktop's own session starter sets.
#
#   panel_session.sh trayer|xfce|lxqt|plasma|gnome -- COMMAND [ARGS...]
#
# trayer is a bare XEmbed tray (light grey); xfce, lxqt and plasma start the desktop's panel, which
# hosts StatusNotifierItems; gnome starts GNOME Shell (X11, software GL) with its AppIndicator
# extension, in a mount namespace of its own that hides the machine's systemd and system bus (root only).
# The command starts once the panel hosts items and has drawn itself. Exits 77 (skipped) when the
# panel cannot run here: a missing program, or gnome without root.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")

skip() { echo "panel_session: $*; skipped" >&2; exit 77; }

# Inside the session bus: start the panel, wait for it, run the command, end the panel.
if [ "${1:-}" = --inside-bus ]; then
  panel=$2; shift 3
  case "$panel" in
    trayer)
      trayer --edge top --align right --widthtype request --height 32 --iconspacing 4 \
              --tint 0xdddddd --transparent true --alpha 0 >"$PANEL_WORK/panel.log" 2>&1 & ;;
    xfce) xfce4-panel --disable-wm-check >"$PANEL_WORK/panel.log" 2>&1 & ;;
    lxqt) lxqt-panel >"$PANEL_WORK/panel.log" 2>&1 & ;;
    plasma)
      "$KDED" >"$PANEL_WORK/kded.log" 2>&1 &
      kded_pid=$!
      QT_QUICK_BACKEND=software plasmashell --no-respawn >"$PANEL_WORK/panel.log" 2>&1 & ;;
    gnome)
      gsettings set org.gnome.shell disable-user-extensions false
      gsettings set org.gnome.shell enabled-extensions "['ubuntu-appindicators@ubuntu.com']"
      XDG_SESSION_TYPE=x11 LIBGL_ALWAYS_SOFTWARE=1 \
        gnome-shell --x11 --replace --sm-disable >"$PANEL_WORK/panel.log" 2>&1 & ;;
  esac
  panel_pid=$!
  end_panel() {
    kill "$panel_pid" ${kded_pid:-} 2>/dev/null || true
    wait "$panel_pid" ${kded_pid:-} 2>/dev/null || true
  }
  trap end_panel EXIT
  ready=0
  for _ in $(seq 1200); do  # 60 s
    kill -0 "$panel_pid" 2>/dev/null || break
    if [ "$panel" = trayer ]; then
      xwininfo -name panel >/dev/null 2>&1 && { ready=1; break; }
    elif gdbus call --session -d org.kde.StatusNotifierWatcher -o /StatusNotifierWatcher \
           -m org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher IsStatusNotifierHostRegistered \
           2>/dev/null | grep -q true; then
      ready=1; break
    fi
    sleep 0.05
  done
  if [ "$ready" != 1 ]; then
    { echo "panel_session: the $panel panel did not come up; its log:"; cat "$PANEL_WORK/panel.log"; } >&"$PANEL_ERR"
    exit 1
  fi
  # Plasma's panel window appears well after its tray host: wait for a dock-sized window of the shell.
  if [ "$panel" = plasma ]; then
    for _ in $(seq 600); do  # 60 s
      xwininfo -root -tree 2>/dev/null | grep '"Plasma": ("plasmashell"' | grep -Eq ' [0-9]+x[2-7][0-9]\+0\+' && break
      sleep 0.1
    done
  fi
  status=0
  "$@" >&"$PANEL_OUT" 2>&"$PANEL_ERR" || status=$?
  exit "$status"
fi

[ "${1:-}" ] && [ "${2:-}" = -- ] && [ $# -gt 2 ] || { sed -n '2,13p' "$0" >&2; exit 64; }
panel=$1; shift 2
case "$panel" in
  trayer) need="trayer" desktop='' ;;
  xfce) need="xfce4-panel xfconf-query" desktop=XFCE ;;
  lxqt) need="lxqt-panel" desktop=LXQt ;;
  plasma) need="plasmashell plasma-apply-colorscheme plasma-apply-desktoptheme" desktop=KDE ;;
  gnome) need="gnome-shell gsettings unshare" desktop=GNOME ;;
  *) echo "panel_session: the panel is trayer, xfce, lxqt, plasma or gnome" >&2; exit 64 ;;
esac
for tool in Xvfb dbus-run-session gdbus xwininfo import $need; do
  command -v "$tool" >/dev/null || skip "$tool is missing (scripts/setup.sh installs it)"
done
[ "$panel" != gnome ] || [ -d /usr/share/gnome-shell/extensions/ubuntu-appindicators@ubuntu.com ] ||
  skip "the AppIndicator extension is missing"
# Plasma 6 (Debian 13) keeps its tray watcher in kded6; Plasma 5 (Debian 12) in kded5.
if [ "$panel" = plasma ]; then
  kde_version=5
  command -v kded6 >/dev/null && kde_version=6
  command -v "kded$kde_version" >/dev/null || skip "kded$kde_version is missing (scripts/setup.sh installs it)"
fi

# As root, the session runs in a process namespace of its own: whatever it started, the services the
# bus activated included, ends with it. Its /proc is its own, so programs see only its processes.
if [ -z "${PANEL_SESSION_NS:-}" ] && [ "$(id -u)" = 0 ]; then
  exec env PANEL_SESSION_NS=1 unshare --mount --propagation private --pid --fork --kill-child --mount-proc \
    "$here" "$panel" -- "$@"
fi
[ "$panel" != gnome ] || [ -n "${PANEL_SESSION_NS:-}" ] || skip "GNOME Shell needs root here (a mount namespace)"
sysbus_pid=''
if [ "$panel" = gnome ]; then
  # GNOME Shell talks to logind when it sees systemd: hide it, and give it a system bus of its own.
  [ -d /run/systemd ] && mount -t tmpfs tmpfs /run/systemd
  mkdir -p /run/dbus && mount -t tmpfs tmpfs /run/dbus
  sysbus_pid=$(dbus-daemon --system --fork --print-pid)
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/panel-session.XXXXXX")
xvfb_pid=''
cleanup() {
  [ -n "$sysbus_pid" ] && kill "$sysbus_pid" 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null && wait "$xvfb_pid" 2>/dev/null || true
  # the document portal (Debian 13's, started by the session's bus) mounts a FUSE file system in XDG_RUNTIME_DIR
  awk -v w="$work/" 'index($5, w) == 1 { print $5 }' /proc/self/mountinfo | sort -r |
    while read -r m; do umount -l "$m" 2>/dev/null || true; done
  rm -rf "$work" || true
}
trap cleanup EXIT

exec {fd}>"$work/display"
Xvfb -displayfd "$fd" -screen 0 1024x700x24 +extension GLX -nolisten tcp -noreset >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
exec {fd}>&-
for _ in $(seq 400); do [ -s "$work/display" ] && break; sleep 0.025; done
[ -s "$work/display" ] || { cat "$work/xvfb.log" >&2; exit 1; }

export DISPLAY=":$(head -n1 "$work/display")" PANEL_WORK="$work" NUBRIO_PANEL="$panel"
export HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_DATA_HOME="$work/home/.local/share"
export XDG_CACHE_HOME="$work/home/.cache" XDG_STATE_HOME="$work/home/.local/state" XDG_RUNTIME_DIR="$work/runtime"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_STATE_HOME"
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset WAYLAND_DISPLAY XAUTHORITY SESSION_MANAGER DESKTOP_SESSION XDG_SESSION_DESKTOP KDE_FULL_SESSION \
      KDE_SESSION_VERSION GNOME_DESKTOP_SESSION_ID QT_QPA_PLATFORMTHEME QT_STYLE_OVERRIDE DBUS_SESSION_BUS_ADDRESS
export XDG_SESSION_TYPE=x11
if [ -n "$desktop" ]; then export XDG_CURRENT_DESKTOP=$desktop; else unset XDG_CURRENT_DESKTOP; fi
case "$panel" in
  lxqt) export XDG_CONFIG_DIRS=/etc/xdg:/usr/share ;;  # as startlxqt does: LXQt's defaults live there
  plasma) export KDE_FULL_SESSION=true KDE_SESSION_VERSION=$kde_version KDED=kded$kde_version ;;
esac

# The bus and the services it starts write to a log; the command keeps this script's output.
status=0
exec {out}>&1 {err}>&2
PANEL_OUT=$out PANEL_ERR=$err dbus-run-session -- "$here" --inside-bus "$panel" -- "$@" \
  >"$work/bus.log" 2>&1 || status=$?
exit "$status"

# Shared by faults.sh and scripts/benchmark.sh: a throw-away home for a copy of the bundle, starting
# and watching that copy, and looking at processes only through /proc. Nothing here signals a process
# that the script did not start itself, except the last-resort cleanup of pids that our own fault
# workers recorded (they descend from the program the script started).
#
# Needs: NUBRIO_BUNDLE (the assembled Nubrio.app) and FAULT_TOOLS (the built fault workers and tools).

: "${NUBRIO_BUNDLE:?NUBRIO_BUNDLE must name the assembled Nubrio.app}"
: "${FAULT_TOOLS:?FAULT_TOOLS must name the folder of the built fault tools}"

SANDBOX='' APP='' PROGRAM_PID='' PROGRAM_STATUS=''
STARTED_PIDS=()   # helpers this script started (servers, Xvfb, bus, watcher), ended at exit
PROGRAM_ENV=()

log() { printf '%s %s\n' "$(date +%H:%M:%S.%3N)" "$*" >&2; }
outcome() { printf 'OUTCOME %s\n' "$*"; }

now_ms() { local t=${EPOCHREALTIME/./}; echo $((t / 1000)); }

# The data folder the program gives its worker.
data_dir() { printf '%s\n' "$SANDBOX/data/Nubrio"; }

sandbox_new() {
  SANDBOX=$(mktemp -d "${TMPDIR:-/tmp}/nubrio-faults.XXXXXX")
  mkdir -p "$SANDBOX"/{home,config,data,cache,datadirs,logs}
  mkdir -m 700 "$SANDBOX/runtime"
  PROGRAM_ENV=(PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8
    HOME="$SANDBOX/home" XDG_CONFIG_HOME="$SANDBOX/config" XDG_DATA_HOME="$SANDBOX/data"
    XDG_CACHE_HOME="$SANDBOX/cache" XDG_DATA_DIRS="$SANDBOX/datadirs" XDG_CONFIG_DIRS="$SANDBOX/config"
    XDG_RUNTIME_DIR="$SANDBOX/runtime" QT_QPA_PLATFORM=offscreen)
}

# Copies the bundle; with an argument, the copy's worker is replaced by that program.
bundle_copy() {
  cp -a "$NUBRIO_BUNDLE" "$SANDBOX/Nubrio.app"
  APP="$SANDBOX/Nubrio.app/Contents/MacOS/Nubrio"
  if [ $# -gt 0 ]; then
    cp "$1" "$SANDBOX/Nubrio.app/Contents/Resources/service/NubrioService/NubrioService"
  fi
}

bundle_version() {
  grep -A1 '<key>CFBundleShortVersionString</key>' "$NUBRIO_BUNDLE/Contents/Info.plist" |
    sed -n 's:.*<string>\(.*\)</string>.*:\1:p'
}

# A stand-in browser: google-chrome.desktop as the default for https, whose Exec only records.
browser_recorder() {
  mkdir -p "$SANDBOX/bin" "$SANDBOX/browser-launches" "$SANDBOX/data/applications"
  cat >"$SANDBOX/bin/browser-recorder" <<EOF
#!/bin/sh
printf '%s\n' "\$@" > "$SANDBOX/browser-launches/\$\$.args"
EOF
  chmod 755 "$SANDBOX/bin/browser-recorder"
  cat >"$SANDBOX/data/applications/google-chrome.desktop" <<EOF
[Desktop Entry]
Type=Application
Name=Google Chrome
Exec=$SANDBOX/bin/browser-recorder %U
Terminal=false
MimeType=text/html;x-scheme-handler/http;x-scheme-handler/https;
EOF
  printf '[Default Applications]\nx-scheme-handler/https=google-chrome.desktop\nx-scheme-handler/http=google-chrome.desktop\n' \
    >"$SANDBOX/config/mimeapps.list"
}

# Starts the copy in the background with the throw-away environment plus any NAME=VALUE given first.
program_start() {
  local extra=()
  while [ $# -gt 0 ] && [[ $1 == *=* ]]; do extra+=("$1"); shift; done
  env -i "${PROGRAM_ENV[@]}" "${extra[@]}" "$APP" "$@" >>"$SANDBOX/logs/program.out" 2>>"$SANDBOX/logs/program.err" &
  PROGRAM_PID=$!
  PROGRAM_STATUS=''
  log "started Nubrio $* as $PROGRAM_PID"
}

# Runs the copy in the foreground; sets PROGRAM_STATUS and RUN_MS. Gives up (status 124) after $1 s.
program_run() {
  local bound=$1; shift
  local start; start=$(now_ms)
  program_start "$@"
  if program_wait_exit "$bound"; then :; else PROGRAM_STATUS=124; fi
  RUN_MS=$(($(now_ms) - start))
}

alive() { # a zombie counts as gone
  local pid=$1 stat
  [ -r "/proc/$pid/stat" ] || return 1
  stat=$(cat "/proc/$pid/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  [[ ${stat:0:1} != [ZX] ]]
}

# Waits up to $1 s for the program to end; sets PROGRAM_STATUS. False when it still runs.
program_wait_exit() {
  local bound=$1 deadline=$(($(now_ms) + $1 * 1000))
  while alive "$PROGRAM_PID"; do
    [ "$(now_ms)" -lt "$deadline" ] || return 1
    sleep 0.05
  done
  wait "$PROGRAM_PID" 2>/dev/null
  PROGRAM_STATUS=$?
  log "Nubrio $PROGRAM_PID ended with status $PROGRAM_STATUS"
}

# Polls a command every 0.1 s for up to $1 s.
wait_until() {
  local deadline=$(($(now_ms) + $1 * 1000)); shift
  until "$@"; do
    [ "$(now_ms)" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}

# Fields of /proc/<pid>/stat after the command name: state is 1, ppid 2, pgrp 3.
stat_field() {
  local stat
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  stat=${stat##*) }
  local fields=($stat)
  echo "${fields[$(($2 - 1))]}"
}

# Live processes whose process group is $1.
group_members() {
  local dir pid
  for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    [ "$(stat_field "$pid" 3 2>/dev/null)" = "$1" ] && alive "$pid" && echo "$pid"
  done
  return 0
}

# Live processes whose executable lies in the sandbox (workers of our copies, left over or not).
sandbox_processes() {
  local dir exe
  [ -n "$SANDBOX" ] || return 0
  for dir in /proc/[0-9]*; do
    exe=$(readlink "$dir/exe" 2>/dev/null) || continue
    [[ $exe == "$SANDBOX"/* ]] && alive "${dir#/proc/}" && echo "${dir#/proc/}"
  done
  return 0
}

# Live children of $1 whose executable is the copy's worker.
worker_of() {
  local dir pid exe
  for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    [ "$(stat_field "$pid" 2 2>/dev/null)" = "$1" ] || continue
    exe=$(readlink "$dir/exe" 2>/dev/null) || continue
    [[ $exe == */NubrioService/NubrioService* ]] && alive "$pid" && echo "$pid"
  done
  return 0
}

fd_count() { ls "/proc/$1/fd" 2>/dev/null | wc -l; }
rss_kb() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status" 2>/dev/null; }

# 127.0.0.1:4173 or 0.0.0.0:4173 in LISTEN state.
port_listening() { awk '$2 ~ /^(0100007F|00000000):104D$/ && $4 == "0A" {found=1} END {exit !found}' /proc/net/tcp; }
port_free() { ! port_listening; }

# The challenge answer of whoever holds the port, or nothing.
challenge() {
  timeout 3 bash -c 'exec 3<>/dev/tcp/127.0.0.1/4173 || exit 1
    printf "GET /api/desktop/challenge HTTP/1.0\r\nHost: 127.0.0.1:4173\r\n\r\n" >&3
    sed -n "/^\r\{0,1\}$/,\$p" <&3 | tail -n +2' 2>/dev/null
}
json_pid() { sed -n 's/.*"pid"[[:space:]]*:[[:space:]]*\([0-9][0-9]*\).*/\1/p'; }

# The program's worker has started and answers the challenge itself; the case fails otherwise.
program_worker_answers() {
  wait_until 20 eval '[ -n "$(worker_of "$PROGRAM_PID")" ]' || fail "no worker started"
  wait_until 20 eval '[ "$(challenge | json_pid)" = "$(worker_of "$PROGRAM_PID")" ]' || fail "the worker never answered"
}
fault_file() { printf '%s\n' "$(data_dir)/$1"; }
fault_pids() { awk '$1 != "pgid" {print $2}' "$(fault_file fault-pids)" 2>/dev/null; }
fault_pid() { awk -v role="$1" '$1 == role {print $2; exit}' "$(fault_file fault-pids)" 2>/dev/null; }
launch_count() { [ -f "$(fault_file fault-launches)" ] && wc -l <"$(fault_file fault-launches)" || echo 0; }
has_event() { grep -q "^$1 " "$(fault_file fault-events)" 2>/dev/null; }

# Starts one of our helpers in the background and remembers it for the cleanup.
helper_start() {
  "$@" >>"$SANDBOX/logs/helpers.out" 2>&1 &
  STARTED_PIDS+=($!)
  HELPER_PID=$!
}

# A foreign server on the port: fault_server MODE, in its own folder.
server_start() {
  mkdir -p "$SANDBOX/server"
  helper_start "$FAULT_TOOLS/fault_server" "$1" "$SANDBOX/server"
  SERVER_PID=$HELPER_PID
  wait_until 65 test -f "$SANDBOX/server/listening" || fail "the foreign server could not bind 127.0.0.1:4173"
}
server_count() { grep -c "^$1 " "$SANDBOX/server/events" 2>/dev/null || true; }

FAILURES=()
check() { # check "what" command...: records a failure instead of stopping, so a case reports all of it
  local what=$1; shift
  if "$@"; then log "ok: $what"; else log "FAILED: $what"; FAILURES+=("$what"); fi
}
fail() {
  log "FAILED: $*"
  FAILURES+=("$*")
  exit 1
}

dump_logs() {
  local file
  for file in "$SANDBOX"/logs/* "$(data_dir)"/logs/* "$(data_dir)"/fault-*; do
    [ -s "$file" ] || continue
    echo "----- ${file#"$SANDBOX"/}" >&2
    tail -n 40 "$file" >&2
  done
}

# Ends what this script started; anything of the sandbox still alive afterwards is a leftover, killed
# through the pids our fault workers recorded (or that the real worker announced) as a last resort.
cleanup() {
  local status=$? pid left
  if [ -n "$PROGRAM_PID" ] && alive "$PROGRAM_PID"; then
    log "Nubrio $PROGRAM_PID still runs at the end: SIGTERM"
    kill -TERM "$PROGRAM_PID" 2>/dev/null
    wait_until 15 eval '! alive "$PROGRAM_PID"' || kill -KILL "$PROGRAM_PID" 2>/dev/null
  fi
  left=$(sandbox_processes | tr '\n' ' ')
  if [ -n "$left" ]; then
    log "left over at the end: $left"
    for pid in $(fault_pids) ${ANNOUNCED_PIDS:-}; do
      alive "$pid" && kill -KILL "$pid" 2>/dev/null
    done
  fi
  for pid in "${STARTED_PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${STARTED_PIDS[@]}"; do wait "$pid" 2>/dev/null; done
  if [ ${#FAILURES[@]} -gt 0 ]; then
    printf "FAILED: %s\n" "${FAILURES[@]}" >&2
    status=1
  fi
  if [ "$status" -ne 0 ] && [ "$status" -ne 77 ]; then dump_logs; fi
  if [ -n "$SANDBOX" ] && [ -z "${KEEP_SANDBOX:-}" ]; then rm -rf "$SANDBOX"; fi
  exit "$status"
}

# A desktop session of our own for the program: a virtual display, a private session bus and a tray
# watcher (tray_driver) that records when items register; with "watch-never-fetching" a tray that never
# asks for an item's icon. False when a tool is missing.
desktop_start() {
  local watch=${1:-watch}
  local tool
  for tool in Xvfb dbus-daemon xdotool; do
    command -v "$tool" >/dev/null || { log "missing $tool: no desktop session"; return 1; }
  done
  local fd
  exec {fd}>"$SANDBOX/display"
  Xvfb -displayfd "$fd" -screen 0 1024x700x24 -nolisten tcp -noreset >"$SANDBOX/logs/xvfb.log" 2>&1 &
  XVFB_PID=$!
  STARTED_PIDS+=($!)
  exec {fd}>&-
  wait_until 10 test -s "$SANDBOX/display" || { log "Xvfb did not start"; return 1; }
  DESKTOP_DISPLAY=":$(head -n1 "$SANDBOX/display")"
  DESKTOP_BUS="unix:path=$SANDBOX/runtime/bus"
  dbus-daemon --session --nofork --nopidfile --address="$DESKTOP_BUS" >"$SANDBOX/logs/dbus.log" 2>&1 &
  STARTED_PIDS+=($!)
  wait_until 10 test -S "$SANDBOX/runtime/bus" || { log "the session bus did not start"; return 1; }
  : >"$SANDBOX/tray-items"
  DBUS_SESSION_BUS_ADDRESS=$DESKTOP_BUS QT_QPA_PLATFORM=offscreen \
    "$FAULT_TOOLS/tray_driver" "$watch" "$SANDBOX/tray-items" >"$SANDBOX/logs/watcher.out" 2>&1 &
  STARTED_PIDS+=($!)
  wait_until 10 grep -q watching "$SANDBOX/logs/watcher.out" || { log "the tray watcher did not start"; return 1; }
  PROGRAM_ENV+=(DISPLAY="$DESKTOP_DISPLAY" DBUS_SESSION_BUS_ADDRESS="$DESKTOP_BUS" QT_QPA_PLATFORM=xcb)
}

tray() { DBUS_SESSION_BUS_ADDRESS=$DESKTOP_BUS QT_QPA_PLATFORM=offscreen "$FAULT_TOOLS/tray_driver" "$@"; }
tray_service() { awk 'NR == 1 {print $1}' "$SANDBOX/tray-items"; }
tray_registered_ns() { awk 'NR == 1 {print $3}' "$SANDBOX/tray-items"; }
status_line() { tray menu "$(tray_service)" auto 2>/dev/null | awk -F'\t' 'NR == 1 {print $2}'; }
READY_TEXT='Lista para conectar · Nubrio en segundo plano'
is_ready() { [ "$(status_line)" = "$READY_TEXT" ]; }

# The program's visible alert window, if one is open.
alert_window() { DISPLAY=$DESKTOP_DISPLAY xdotool search --onlyvisible --pid "$PROGRAM_PID" 2>/dev/null | tail -n 1; }

# $1 cycles of "Reiniciar procesamiento…" → "Reiniciar" through the tray menu and the alert, each one
# waited out until the new worker is ready. Writes "cycle fds rss_kb ms" lines to $2. Needs
# desktop_start and a running program whose tray item has registered.
restart_cycles() {
  local cycles=$1 out=$2 i old new window started
  : >"$out"
  for ((i = 1; i <= cycles; i++)); do
    started=$(now_ms)
    old=$(worker_of "$PROGRAM_PID")
    tray click "$(tray_service)" auto 'Reiniciar procesamiento…' || { log "cycle $i: cannot click"; return 1; }
    wait_until 10 eval 'window=$(alert_window); [ -n "$window" ]' || { log "cycle $i: no alert"; return 1; }
    DISPLAY=$DESKTOP_DISPLAY xdotool windowfocus --sync "$window" key --delay 20 Tab space ||
      { log "cycle $i: xdotool failed"; return 1; }
    wait_until 15 eval 'new=$(worker_of "$PROGRAM_PID"); [ -n "$new" ] && [ "$new" != "$old" ]' ||
      { log "cycle $i: no new worker (old $old)"; return 1; }
    alive "$old" && { log "cycle $i: the old worker $old still runs"; return 1; }
    wait_until 15 is_ready || { log "cycle $i: the new worker $new never became ready"; return 1; }
    echo "$i $(fd_count "$PROGRAM_PID") $(rss_kb "$PROGRAM_PID") $(($(now_ms) - started))" >>"$out"
  done
}

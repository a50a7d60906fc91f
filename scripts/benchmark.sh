#!/usr/bin/env bash
# Measures the assembled program and prints a table of medians against its targets. Not a test: it
# asserts nothing and always runs everything it can.
#
#   scripts/benchmark.sh [--runs N] [--idle SECONDS] [--restarts N] [--build DIR] [--worker PROGRAM]
#                        [--only verify,quit,idle,desktop,port]
#
# Every run uses a copy of the bundle in a throw-away home (tests/faults/lib.sh) with the real worker.
# Methods, in the order of the table:
#   verify-startup   wall time of `Nubrio --verify-startup` from exec to exit, in the foreground
#   quit             SIGTERM to the program after readiness; pidfds on the program and its worker give
#                    the time to the worker's end and to the program's end (tools/quit_timer)
#   icon             exec to the tray item's registration with a StatusNotifierWatcher on a private
#                    session bus, and to the first painted pixmap that a host fetching the icon gets
#                    (tools/tray_driver watch), under Xvfb; in each run a first start (no entry, icons,
#                    mimeapps.list or data folder), a bare Qt tray that paints a similar icon
#                    (tools/bare_tray) and a later start, one after the other
#   idle             after readiness, utime+stime (/proc/PID/stat) and voluntary+involuntary context
#                    switches of all the program's threads (/proc/PID/task/*/status) over the idle
#                    period, and VmRSS at its end; offscreen (no tray) and in the desktop session
#   restarts         "Reiniciar procesamiento…" → "Reiniciar" through the tray menu and the alert,
#                    each cycle waited out until the new worker is ready; fds and VmRSS after each
#   port abuse       the worker alone (the bundle's, or --worker PROGRAM to compare another build),
#                    a fresh one per run, against hostile clients of its port (tools/http_abuse):
#                    its peak VmRSS (VmHWM, or the highest VmRSS sampled every 20 ms if it died)
#                    under a POST of ~1 MB of gzip that inflates to 1 GB, and under a POST that
#                    announces 3 GB and streams zeros until the worker stops taking them; the
#                    challenge's answer time, 200 ms apart, while 8 clients each drip one byte of a
#                    request every 0.5 s (a request not answered within 10 s counts as failed); and
#                    SIGTERM to exit while those 8 clients drip (tools/quit_timer)
# Needs for the desktop rows: Xvfb, dbus-daemon, xdotool (scripts/setup.sh installs them).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=7 idle=60 restarts=200 build="$root/build" port_worker='' only=''
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) runs=$2; shift 2 ;;
    --idle) idle=$2; shift 2 ;;
    --restarts) restarts=$2; shift 2 ;;
    --build) build=$2; shift 2 ;;
    --worker) port_worker=$(realpath "$2"); shift 2 ;;
    --only) only=$2; shift 2 ;;
    *) sed -n '2,9p' "$0" >&2; exit 64 ;;
  esac
done

cmake --build "$build" --target fault_tools >/dev/null || { echo "benchmark: build failed" >&2; exit 1; }
export NUBRIO_BUNDLE="$build/Nubrio.app" FAULT_TOOLS="$build/tests/faults/bin"
source "$root/tests/faults/lib.sh"
trap cleanup EXIT
sandbox_new
bundle_copy

# The sections asked for (all without --only): verify, quit, idle (offscreen), desktop (icon, idle with a
# tray, restarts), port.
want() { [ -z "$only" ] || [[ ",$only," == *",$1,"* ]]; }

median() { sort -n | awk '{v[NR] = $1} END {if (NR == 0) print "n/a"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
range() { sort -n | awk 'NR == 1 {lo = $1} {hi = $1} END {if (NR) printf "%s–%s", lo, hi}'; }
ROWS=()
row() { ROWS+=("$(printf '%-44s %14s %14s   %s' "$1" "$2" "$3" "$4")"); }

# The program is ready once its worker answers it; the probe runs once a second, so a little more.
start_ready() {
  program_start "$@"
  wait_until 20 eval '[ -n "$(worker_of "$PROGRAM_PID")" ]' || return 1
  local worker; worker=$(worker_of "$PROGRAM_PID")
  wait_until 20 eval '[ "$(challenge | json_pid)" = "$worker" ]' || return 1
  sleep 1.2
}

stop_program() {
  [ -n "$PROGRAM_PID" ] && alive "$PROGRAM_PID" && kill -TERM "$PROGRAM_PID"
  program_wait_exit 20 >/dev/null 2>&1
  wait_until 20 port_free
}

cpu_ms() { # utime + stime of the whole process, in ms
  local stat; stat=$(cat "/proc/$1/stat") || return 1
  stat=${stat##*) }
  local f=($stat)
  echo $(((f[11] + f[12]) * 1000 / $(getconf CLK_TCK)))
}
switches() { # voluntary + involuntary over every thread
  cat /proc/"$1"/task/*/status 2>/dev/null | awk '/^(voluntary|nonvoluntary)_ctxt_switches:/ {n += $2} END {print n + 0}'
}
thread_switches() { # per thread name: "name:count" for the threads that switched during the period
  local task name
  for task in /proc/"$1"/task/*; do
    name=$(cat "$task/comm" 2>/dev/null | tr ' ' '_')
    awk -v name="$name" -v tid="${task##*/}" '/^(voluntary|nonvoluntary)_ctxt_switches:/ {n += $2} END {print tid, name, n + 0}' "$task/status"
  done
}

# ---- verify-startup
if want verify; then
log "verify-startup × $runs"
: >"$SANDBOX/verify"
for ((i = 0; i < runs; i++)); do
  wait_until 20 port_free
  t0=$EPOCHREALTIME
  env -i "${PROGRAM_ENV[@]}" "$APP" --verify-startup >>"$SANDBOX/logs/program.out" 2>>"$SANDBOX/logs/program.err"
  status=$?
  t1=$EPOCHREALTIME
  echo "$(((${t1/./} - ${t0/./}) / 1000)) $status" >>"$SANDBOX/verify"
done
row "verify-startup, exec to exit (ms)" "$(cut -d' ' -f1 "$SANDBOX/verify" | median)" "≤ 1050" \
  "range $(cut -d' ' -f1 "$SANDBOX/verify" | range); statuses $(cut -d' ' -f2 "$SANDBOX/verify" | sort | uniq -c | awk '{printf "%s×%s ", $1, $2}')"
fi

# ---- quit with a cooperative worker
if want quit; then
log "quit × $runs"
: >"$SANDBOX/quit"
for ((i = 0; i < runs; i++)); do
  start_ready --background || { log "not ready"; stop_program; continue; }
  worker=$(worker_of "$PROGRAM_PID")
  worker_ms='' program_ms=''
  while read -r pid ms; do
    [ "$pid" = "$worker" ] && worker_ms=$ms
    [ "$pid" = "$PROGRAM_PID" ] && program_ms=$ms
  done < <("$FAULT_TOOLS/quit_timer" 20 "$PROGRAM_PID" "$worker")
  stop_program
  [ -n "$worker_ms" ] && [ -n "$program_ms" ] &&
    echo "$worker_ms $program_ms $(awk -v a="$program_ms" -v b="$worker_ms" 'BEGIN {printf "%.3f", a - b}')" >>"$SANDBOX/quit"
done
row "quit: SIGTERM to worker gone (ms)" "$(cut -d' ' -f1 "$SANDBOX/quit" | median)" "—" "range $(cut -d' ' -f1 "$SANDBOX/quit" | range)"
row "quit: worker gone to program exit (ms)" "$(cut -d' ' -f3 "$SANDBOX/quit" | median)" "≤ 20" "range $(cut -d' ' -f3 "$SANDBOX/quit" | range)"
row "quit: SIGTERM to program exit (ms)" "$(cut -d' ' -f2 "$SANDBOX/quit" | median)" "—" "range $(cut -d' ' -f2 "$SANDBOX/quit" | range)"
fi

# ---- idle, offscreen (no tray)
idle_row() {
  local label=$1 cpu0 sw0 cpu1 sw1
  sleep 2  # past the last probe answer and the first paint
  cpu0=$(cpu_ms "$PROGRAM_PID"); sw0=$(switches "$PROGRAM_PID"); thread_switches "$PROGRAM_PID" | sort >"$SANDBOX/threads0"
  sleep "$idle"
  cpu1=$(cpu_ms "$PROGRAM_PID"); sw1=$(switches "$PROGRAM_PID"); thread_switches "$PROGRAM_PID" | sort >"$SANDBOX/threads1"
  local busy; busy=$(join "$SANDBOX/threads0" "$SANDBOX/threads1" | awk '$5 - $3 > 0 {printf "%s:%d ", $2, $5 - $3}')
  row "idle $label: CPU over ${idle} s (ms)" "$((cpu1 - cpu0))" "≈ 0" ""
  row "idle $label: context switches over ${idle} s" "$((sw1 - sw0))" "≈ 0" "${busy:-no thread woke}"
  row "idle $label: VmRSS (MB)" "$(awk '{printf "%.1f", $1 / 1024}' <<<"$(rss_kb "$PROGRAM_PID")")" "≤ 30" \
    "$(awk '/^(RssAnon|RssFile|RssShmem):/ {printf "%s %.1f ", $1, $2 / 1024}' "/proc/$PROGRAM_PID/status")"
}
if want idle; then
log "idle offscreen, ${idle} s"
if start_ready --background; then idle_row offscreen; fi
stop_program
fi

# ---- desktop session: icon, idle with a tray, restarts
if ! want desktop; then :
elif desktop_start; then
  log "icon × $runs: the program's first start, a bare Qt tray, the program's later start"
  : >"$SANDBOX/icon"
  # Starts "$@" and waits for its tray item's line; appends "<label> <registered ms> <icon ms>" after exec.
  icon_time() {
    local label=$1 before t0 line; shift
    before=$(wc -l <"$SANDBOX/tray-items")
    t0=$EPOCHREALTIME
    "$@"
    wait_until 20 eval '[ "$(wc -l <"$SANDBOX/tray-items")" -gt "$before" ]' || { log "$label: no tray item"; return 1; }
    line=$(tail -n 1 "$SANDBOX/tray-items")
    awk -v label="$label" -v t0="${t0/./}000" '$4 != "-" {printf "%s %.1f %.1f\n", label, ($3 - t0) / 1e6, ($4 - t0) / 1e6}' \
      <<<"$line" >>"$SANDBOX/icon"
  }
  bare_start() {
    env -i "${PROGRAM_ENV[@]}" "$FAULT_TOOLS/bare_tray" >>"$SANDBOX/logs/helpers.out" 2>&1 &
    BARE_PID=$!
  }
  for ((i = 0; i < runs; i++)); do
    # A first start: none of the desktop files and no data folder yet.
    rm -rf "$SANDBOX/data/applications" "$SANDBOX/data/icons" "$SANDBOX/config/mimeapps.list" "$SANDBOX/data/Nubrio"
    icon_time first program_start --background; stop_program
    icon_time bare bare_start; kill "$BARE_PID"; wait "$BARE_PID" 2>/dev/null
    icon_time later program_start --background
    if [ "$i" -lt $((runs - 1)) ]; then stop_program; fi
  done
  icon_row() { # label, field (2 registered, 3 icon), what
    row "icon: exec to $3, $1 (ms)" "$(awk -v l="$1" -v f="$2" '$1 == l {print $f}' "$SANDBOX/icon" | median)" "${4:-}" \
      "range $(awk -v l="$1" -v f="$2" '$1 == l {print $f}' "$SANDBOX/icon" | range)"
  }
  # Each run's start of the program less the bare tray's in the same run.
  icon_lead() {
    awk -v l="$1" '$1 == l {p[++n] = $3} $1 == "bare" {b[++m] = $3} END {for (i = 1; i <= n && i <= m; i++) printf "%.1f\n", p[i] - b[i]}' \
      "$SANDBOX/icon"
  }
  icon_row first 2 "item registered" "≤ 100"
  icon_row bare 2 "item registered"
  icon_row later 2 "item registered" "≤ 100"
  icon_row first 3 "icon fetched"
  icon_row bare 3 "icon fetched"
  icon_row later 3 "icon fetched"
  row "icon: first start less the bare tray (ms)" "$(icon_lead first | median)" "≤ 10" "range $(icon_lead first | range), per run"
  row "icon: later start less the bare tray (ms)" "$(icon_lead later | median)" "≤ 10" "range $(icon_lead later | range), per run"

  # The last run above keeps going: its tray item is the one the watcher lists last.
  tail -n 1 "$SANDBOX/tray-items" >"$SANDBOX/tray-items.last" && mv "$SANDBOX/tray-items.last" "$SANDBOX/tray-items"
  log "idle with a tray, ${idle} s"
  if wait_until 20 is_ready; then idle_row "with tray"; fi

  log "restarts × $restarts"
  if restart_cycles "$restarts" "$SANDBOX/restarts"; then :; else log "restart cycles stopped early"; fi
  if [ -s "$SANDBOX/restarts" ]; then
    first=$(awk 'NR == 3' "$SANDBOX/restarts"); last=$(tail -n 1 "$SANDBOX/restarts")
    done_cycles=$(wc -l <"$SANDBOX/restarts")
    row "restarts: cycles done" "$done_cycles" "$restarts" "median $(cut -d' ' -f4 "$SANDBOX/restarts" | median) ms per cycle"
    row "restarts: fds after cycle 3 → $done_cycles" "$(cut -d' ' -f2 <<<"$first") → $(cut -d' ' -f2 <<<"$last")" "flat" \
      "min–max $(cut -d' ' -f2 "$SANDBOX/restarts" | range)"
    row "restarts: VmRSS MB after cycle 3 → $done_cycles" \
      "$(awk '{printf "%.1f", $3 / 1024}' <<<"$first") → $(awk '{printf "%.1f", $3 / 1024}' <<<"$last")" "flat" ""
  fi
  stop_program
else
  row "icon, idle with a tray, restarts" "skipped" "" "no desktop session (Xvfb, dbus-daemon, xdotool)"
fi

# ---- port abuse, against the worker alone
if want port; then
port_worker=${port_worker:-$SANDBOX/Nubrio.app/Contents/Resources/service/NubrioService/NubrioService}
WORKER_PID=''
# A fresh worker in a folder of its own. The address-space cap only keeps a worker that reads bodies
# whole from taking the machine down; a sound one stays far below it.
worker_start() {
  local folder; folder=$(mktemp -d "$SANDBOX/worker.XXXXXX")
  (cd "$folder" && exec prlimit --as=8589934592 "$port_worker") >>"$SANDBOX/logs/worker.out" 2>&1 &
  WORKER_PID=$!
  wait_until 20 eval '[ "$(challenge | json_pid)" = "$WORKER_PID" ]'
}
worker_end() {
  alive "$WORKER_PID" && kill -TERM "$WORKER_PID"
  wait_until 20 eval '! alive "$WORKER_PID"' || kill -KILL "$WORKER_PID"
  wait "$WORKER_PID" 2>/dev/null
  wait_until 20 port_free
}
hwm_kb() { awk '/^VmHWM:/ {print $2}' "/proc/$1/status" 2>/dev/null; }
# Peak VmRSS in kB of the worker over one `http_abuse` run; prints "peak status".
peak_during() {
  local sampled="$SANDBOX/rss-sampled" answer peak
  echo 0 >"$sampled"
  (max=0; while alive "$WORKER_PID"; do
     rss=$(rss_kb "$WORKER_PID"); [ -n "$rss" ] && [ "$rss" -gt "$max" ] && max=$rss && echo "$max" >"$sampled"
     sleep 0.02
   done) &
  local sampler=$!
  answer=$("$FAULT_TOOLS/http_abuse" "$@" | awk '{print $2}')
  peak=$(hwm_kb "$WORKER_PID")
  kill "$sampler" 2>/dev/null; wait "$sampler" 2>/dev/null
  [ -n "$peak" ] || peak=$(cat "$sampled")
  echo "$peak ${answer:-none}"
}
abuse_row() { # label, file of "peak status" lines
  row "$1" "$(cut -d' ' -f1 "$2" | median | awk '{printf "%.1f", $1 / 1024}')" "flat" \
    "idle $(median <"$SANDBOX/rss-idle" | awk '{printf "%.1f", $1 / 1024}'); range $(cut -d' ' -f1 "$2" | range | awk -F'–' '{printf "%.1f–%.1f", $1 / 1024, $2 / 1024}'); statuses $(cut -d' ' -f2 "$2" | sort | uniq -c | awk '{printf "%s×%s ", $1, $2}')"
}
log "port abuse × $runs against $port_worker"
head -c 1000000000 /dev/zero | gzip -9 >"$SANDBOX/zeros.gz"
: >"$SANDBOX/rss-idle"; : >"$SANDBOX/rss-gzip"; : >"$SANDBOX/rss-big"
for ((i = 0; i < runs; i++)); do
  worker_start || { log "the worker did not answer"; worker_end; continue; }
  hwm_kb "$WORKER_PID" >>"$SANDBOX/rss-idle"
  peak_during post "$SANDBOX/zeros.gz" "Content-Encoding: gzip" >>"$SANDBOX/rss-gzip"
  worker_end
  worker_start || { log "the worker did not answer"; worker_end; continue; }
  peak_during endless 3000000000 >>"$SANDBOX/rss-big"
  worker_end
done
abuse_row "port: peak VmRSS, 1 MB gzip POST (MB)" "$SANDBOX/rss-gzip"
abuse_row "port: peak VmRSS, 3 GB POST (MB)" "$SANDBOX/rss-big"

: >"$SANDBOX/drip-challenge"; : >"$SANDBOX/drip-quit"
if worker_start; then
  "$FAULT_TOOLS/http_abuse" drip 8 $((runs * 11 + 5)) >>"$SANDBOX/logs/helpers.out" &
  dripper=$!
  sleep 1
  "$FAULT_TOOLS/http_abuse" challenge "$runs" >"$SANDBOX/drip-challenge"
  kill "$dripper"; wait "$dripper" 2>/dev/null
fi
worker_end
for ((i = 0; i < runs; i++)); do
  worker_start || { log "the worker did not answer"; worker_end; continue; }
  "$FAULT_TOOLS/http_abuse" drip 8 30 >>"$SANDBOX/logs/helpers.out" &
  dripper=$!
  sleep 2
  "$FAULT_TOOLS/quit_timer" 20 "$WORKER_PID" | awk '{print $2}' >>"$SANDBOX/drip-quit"
  kill "$dripper"; wait "$dripper" 2>/dev/null
  worker_end
done
row "port: challenge answer, 8 drippers (ms)" "$(grep -v failed "$SANDBOX/drip-challenge" | median)" "< 2000" \
  "range $(grep -v failed "$SANDBOX/drip-challenge" | range); failed $(grep -c failed "$SANDBOX/drip-challenge") of $(wc -l <"$SANDBOX/drip-challenge")"
row "port: SIGTERM to exit, 8 drippers (ms)" "$(grep -v timeout "$SANDBOX/drip-quit" | median)" "< 3000" \
  "range $(grep -v timeout "$SANDBOX/drip-quit" | range); still running after 20 s: $(grep -c timeout "$SANDBOX/drip-quit")"
fi

printf '\n%-44s %14s %14s   %s\n' "measure (median of $runs where repeated)" "value" "target" "notes"
printf '%s\n' "${ROWS[@]}"

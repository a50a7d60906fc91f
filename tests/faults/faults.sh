#!/usr/bin/env bash
# Fault cases for the assembled program: faults.sh CASE
# Each case runs a copy of the bundle in a throw-away home (see lib.sh), meets it with one fault, and
# checks the outcome through the filesystem, /proc and the port. Lines starting with OUTCOME are the
# measured facts, for the log. Exit status 0 passes, 1 fails, 77 skips.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"
trap cleanup EXIT

# Generous bounds: the program waits 3 s between SIGTERM and SIGKILL, the rest is slack for slow CI.
QUIT_BOUND_S=15
FAULT_WORKER="$FAULT_TOOLS/fault_worker"

start_case() {
  sandbox_new
  wait_until 60 port_free || fail "127.0.0.1:4173 is still held by another process"
}

# The first line of the worker's start-up explanation, shortened, if it wrote one.
startup_error() {
  local file line
  file=$(fault_file logs/startup-error.txt)
  [ -f "$file" ] || return 0
  line=$(head -n 1 "$file")
  [ ${#line} -gt 90 ] && line="${line:0:90}…"
  printf '%s\n' "$line"
}

no_sandbox_process_left() { [ -z "$(sandbox_processes)" ]; }
all_gone() { local pid; for pid in "$@"; do alive "$pid" && return 1; done; return 0; }
all_alive() { local pid; for pid in "$@"; do alive "$pid" || return 1; done; return 0; }
group_empty() { [ -z "$(group_members "$1")" ]; }
less_than() { [ "$1" -lt "$2" ]; }
equals() { [ "$1" = "$2" ]; }

# Runs a link start that the running copy takes over the single-instance socket (a link it ignores):
# prints how long it took in ms; its status is the start's.
hand_over_ms() {
  local started status
  started=$(now_ms)
  env -i "${PROGRAM_ENV[@]}" timeout -s KILL 20 "$APP" nubrio://other >>"$SANDBOX/logs/links.out" 2>&1
  status=$?
  echo $(($(now_ms) - started))
  return $status
}

# Quits the program with SIGTERM and times it: QUIT_MS (program ended) and WORKER_GONE_MS.
quit_timed() {
  local worker=$1 line
  QUIT_MS='' WORKER_GONE_MS=''
  while read -r pid ms; do
    [ "$pid" = "$PROGRAM_PID" ] && QUIT_MS=${ms%.*}
    [ "$pid" = "$worker" ] && WORKER_GONE_MS=${ms%.*}
  done < <("$FAULT_TOOLS/quit_timer" "$((QUIT_BOUND_S + 15))" "$PROGRAM_PID" $worker)
  program_wait_exit 5 || true
  [ -n "$QUIT_MS" ] || QUIT_MS=999999
  [ -n "$WORKER_GONE_MS" ] || WORKER_GONE_MS=999999
}

# A fault worker that serves the challenge, started in the background; waits until it was asked.
start_serving_worker() {
  bundle_copy "$FAULT_WORKER"
  program_start FAULT_WORKER_MODE="$1" --background
  wait_until 20 eval "has_event served || has_event bind-failed"
  has_event bind-failed && fail "the $1 worker could not bind 127.0.0.1:4173: another process took it"
  has_event served || fail "the program never asked the $1 worker for the challenge"
  WORKER_PID=$(fault_pid worker)
}

# a. A worker that exits 1 at once: three automatic restarts, then the program stops restarting.
case_crash_loop() {
  start_case
  bundle_copy "$FAULT_WORKER"
  program_start FAULT_WORKER_MODE=crash --background
  wait_until 30 eval '[ "$(launch_count)" -ge 4 ]' || fail "only $(launch_count) worker launches in 30 s"
  sleep 5  # a fifth launch would come at once after the fourth exit
  local launches; launches=$(launch_count)
  outcome "crash_loop: $launches worker launches; program alive: $(alive "$PROGRAM_PID" && echo yes || echo no)"
  check "exactly 4 launches (1 + 3 restarts), got $launches" equals "$launches" 4
  check "the program keeps running after it stops restarting" alive "$PROGRAM_PID"
  quit_timed ''
  outcome "crash_loop: quit took ${QUIT_MS} ms, status $PROGRAM_STATUS"
  check "exit status 0 after SIGTERM (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
  check "no launched worker left" all_gone $(fault_pids)
  check "nothing of the bundle left" no_sandbox_process_left
}

# b. A worker that answers the challenge and ignores SIGTERM: SIGKILL after the polls.
case_stubborn_worker() {
  start_case
  start_serving_worker stubborn
  quit_timed "$WORKER_PID"
  local term_ns kill_gap=''
  term_ns=$(awk -v pid="$WORKER_PID" '$1 == "sigterm" && $2 == pid {print $3; exit}' "$(fault_file fault-events)")
  outcome "stubborn_worker: worker gone after ${WORKER_GONE_MS} ms, program ended after ${QUIT_MS} ms, status $PROGRAM_STATUS, SIGTERM seen by worker: ${term_ns:+yes}"
  check "the worker was sent SIGTERM first" test -n "$term_ns"
  check "quit within ${QUIT_BOUND_S} s (took ${QUIT_MS} ms)" less_than "$QUIT_MS" $((QUIT_BOUND_S * 1000))
  check "exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
  check "the worker is gone" all_gone "$WORKER_PID"
  check "the worker's group is empty" group_empty "$WORKER_PID"
  check "nothing of the bundle left" no_sandbox_process_left
}

# c. A child that shares the worker's group: it goes with the worker, whether the worker itself ends
#    on SIGTERM or has to be killed, and also when it ignores SIGTERM while the worker obeys it (what
#    is left of the group gets the stop sequence once the worker has ended).
case_group_child() {
  local mode
  for mode in group-child group-child-stubborn group-child-lingering; do
    start_case
    start_serving_worker "$mode"
    local child; child=$(fault_pid child)
    check "$mode: the child shares the worker's group" equals "$(stat_field "$child" 3)" "$WORKER_PID"
    quit_timed "$WORKER_PID"
    wait_until 5 all_gone "$child" || true
    outcome "group_child/$mode: worker gone after ${WORKER_GONE_MS} ms, program ended after ${QUIT_MS} ms, status $PROGRAM_STATUS, child $(alive "$child" && echo "LEFT RUNNING (parent $(stat_field "$child" 2))" || echo gone)"
    check "$mode: quit within ${QUIT_BOUND_S} s (took ${QUIT_MS} ms)" less_than "$QUIT_MS" $((QUIT_BOUND_S * 1000))
    check "$mode: exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
    check "$mode: the worker is gone" all_gone "$WORKER_PID"
    check "$mode: the child is gone" all_gone "$child"
    check "$mode: the worker's group is empty" group_empty "$WORKER_PID"
    check "$mode: nothing of the bundle left" no_sandbox_process_left
    cleanup_between
  done
}

# Between two rounds of one case: a fresh sandbox, the old one gone (leftovers were failures already).
cleanup_between() {
  local pid
  for pid in $(fault_pids); do alive "$pid" && kill -KILL "$pid" 2>/dev/null; done
  for pid in "${STARTED_PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
  STARTED_PIDS=()
  [ -z "${KEEP_SANDBOX:-}" ] && rm -rf "$SANDBOX"
  PROGRAM_PID=''
}

# d. A worker that moved to another process group and ignores SIGTERM: the group signals miss it.
case_leave_group() {
  start_case
  start_serving_worker leave-group
  local helper pgid
  helper=$(fault_pid helper)
  pgid=$(stat_field "$WORKER_PID" 3)
  check "the worker left its own group (pgid $pgid, pid $WORKER_PID)" test "$pgid" != "$WORKER_PID"
  check "the worker's own group is empty" group_empty "$WORKER_PID"
  quit_timed "$WORKER_PID"
  wait_until 5 all_gone "$helper" || true
  outcome "leave_group: worker gone after ${WORKER_GONE_MS} ms, program ended after ${QUIT_MS} ms, status $PROGRAM_STATUS"
  check "quit within ${QUIT_BOUND_S} s (took ${QUIT_MS} ms)" less_than "$QUIT_MS" $((QUIT_BOUND_S * 1000))
  check "exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
  check "the worker is gone" all_gone "$WORKER_PID"
  check "nothing of the bundle left (the worker's helper ends with it)" no_sandbox_process_left
}

# e. Another program on the port answering with another pid; the real worker cannot bind and exits 3.
case_foreign_server_real_worker() {
  start_case
  server_start wrong-pid
  bundle_copy
  program_run 60 --verify-startup
  local error=''
  error=$(startup_error)
  outcome "foreign_server_real_worker: status $PROGRAM_STATUS after ${RUN_MS} ms; requests answered by the foreign server: $(server_count request); worker's startup error: ${error:-none}"
  check "--verify-startup ends with status 2 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 2
  check "the worker reported that it could not start" test -n "$error"
  check "nothing of the bundle left" no_sandbox_process_left
}

# e. A worker that binds nothing while a foreign server answers with another pid: the probe gives up.
#    Run as a caller that captures the output does (out=$(Nubrio --verify-startup)): the capture ends
#    only once every process holding the output has, the worker included.
case_foreign_server_probe_gives_up() {
  start_case
  server_start wrong-pid
  bundle_copy "$FAULT_WORKER"
  local started; started=$(now_ms)
  ( out=$(env -i "${PROGRAM_ENV[@]}" FAULT_WORKER_MODE=silent "$APP" --verify-startup 2>&1)
    echo "$? $(($(now_ms) - started))" >"$SANDBOX/captured-status"
    printf '%s\n' "$out" >"$SANDBOX/captured-output" ) &
  STARTED_PIDS+=($!)
  wait_until 160 test -s "$SANDBOX/captured-status" || fail "the captured check did not end within 160 s"
  local status ms requests worker line
  read -r status ms <"$SANDBOX/captured-status"
  requests=$(server_count request)
  worker=$(fault_pid worker)
  line=$(grep -c -x 'Native readiness probe failed' "$SANDBOX/captured-output")
  outcome "foreign_server_probe_gives_up: captured output ended with status $status after ${ms} ms, $requests requests, failure line: $line, worker afterwards: $(alive "$worker" && echo 'STILL RUNNING' || echo gone)"
  check "status 2 (got $status)" equals "$status" 2
  check "\"Native readiness probe failed\" in the output once" equals "$line" 1
  check "nothing else in the output" equals "$(wc -l <"$SANDBOX/captured-output")" 1
  check "61 attempts (got $requests)" equals "$requests" 61
  check "the worker was stopped before the exit" all_gone "$worker"
  check "nothing of the bundle left" no_sandbox_process_left
}

# e. The check while a copy runs: nothing to check, nothing opened, a line and status 2.
case_check_with_copy_running() {
  start_case
  bundle_copy
  browser_recorder
  program_start --background
  wait_until 20 eval '[ -n "$(worker_of "$PROGRAM_PID")" ]' || fail "no worker started"
  local worker running=$PROGRAM_PID
  worker=$(worker_of "$PROGRAM_PID")
  program_run 30 --verify-startup
  local lines
  lines=$(grep -c -x 'Another copy of Nubrio is running' "$SANDBOX/logs/program.err")
  outcome "check_with_copy_running: status $PROGRAM_STATUS after ${RUN_MS} ms, \"Another copy of Nubrio is running\" $lines time(s) on stderr, browser launches $(ls "$SANDBOX/browser-launches" | wc -l)"
  check "status 2 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 2
  check "one line saying another copy runs" equals "$lines" 1
  check "nothing opened" equals "$(ls "$SANDBOX/browser-launches" | wc -l)" 0
  check "the running copy and its worker go on" all_alive "$running" "$worker"
  PROGRAM_PID=$running
  quit_timed "$worker"
  check "exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
}

# e. A worker that crashes and leaves a child holding the port: the child gets the stop sequence
#    before the restart, so the next worker can bind and becomes ready. The child ignores SIGTERM, so
#    that takes 3 s, during which the program still answers: a link start handed over to it (which
#    the main thread takes and acknowledges) ends as quickly as at rest.
case_crash_leaving_child() {
  start_case
  bundle_copy "$FAULT_WORKER"
  program_start FAULT_WORKER_MODE=crash-leaving-child --background
  wait_until 20 eval '[ -S "$SANDBOX/runtime/app.nubrio.desktop" ]' || fail "no single-instance socket"
  local link_ms link_during_ms launches_then link_status
  link_ms=$(hand_over_ms)
  wait_until 20 eval 'has_event crashing' || fail "the worker never crashed"
  link_during_ms=$(hand_over_ms); link_status=$?
  launches_then=$(launch_count)
  local child crashed_ns served_ns
  child=$(fault_pid child)
  wait_until 30 eval 'has_event served || has_event bind-failed' || fail "no second worker served or failed"
  crashed_ns=$(awk '$1 == "crashing" {print $3; exit}' "$(fault_file fault-events)")
  served_ns=$(awk '$1 == "served" {print $3; exit}' "$(fault_file fault-events)")
  outcome "crash_leaving_child: child $(alive "$child" && echo 'STILL RUNNING' || echo gone), $(launch_count) launches, the next worker served $(( (served_ns - crashed_ns) / 1000000 )) ms after the crash, bind failures: $(has_event bind-failed && echo yes || echo none)"
  outcome "crash_leaving_child: a link start handed over to the program took ${link_ms} ms at rest and ${link_during_ms} ms during the clean-up (launches then: $launches_then)"
  check "the child left by the crash is gone" all_gone "$child"
  check "the next worker could bind the port" eval '! has_event bind-failed'
  check "two launches (got $(launch_count))" equals "$(launch_count)" 2
  check "the hand-over during the clean-up ended with 0" equals "$link_status" 0
  check "the hand-over came while the group was being stopped" equals "$launches_then" 1
  check "the program answered during the clean-up (${link_during_ms} ms, at rest ${link_ms} ms)" less_than "$link_during_ms" $((link_ms + 1000))
  quit_timed "$(worker_of "$PROGRAM_PID")"
  check "exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
  check "nothing of the bundle left" no_sandbox_process_left
}

# e. Requests after the probe gave up only park: a connect link opens nothing and shows nothing, and
#    the restart, which starts the worker without an editor request, drops the parked one.
case_parked_link_after_give_up() {
  start_case
  desktop_start || { log "skipped: no desktop session"; exit 77; }
  bundle_copy "$FAULT_WORKER"
  browser_recorder
  program_start FAULT_WORKER_MODE=silent-first --background
  wait_until 20 test -s "$SANDBOX/tray-items" || fail "the tray item never registered"
  local started; started=$(now_ms)
  local gave_up='No se pudo preparar la conexión · Ver registros' window
  wait_until 90 eval '[ "$(status_line)" = "$gave_up" ]' || fail "the probe never gave up: \"$(status_line)\""
  wait_until 10 eval 'window=$(alert_window); [ -n "$window" ]' || fail "no give-up alert"
  outcome "parked_link_after_give_up: the probe gave up $(( $(now_ms) - started )) ms after the tray item registered; its alert is shown"
  DISPLAY=$DESKTOP_DISPLAY xdotool windowfocus --sync "$window" key Escape
  wait_until 10 eval '[ -z "$(alert_window)" ]' || fail "the give-up alert did not close"

  env -i "${PROGRAM_ENV[@]}" "$APP" nubrio://connect >>"$SANDBOX/logs/link.out" 2>&1
  local link_status=$?
  sleep 3
  outcome "parked_link_after_give_up: link start ended with $link_status; then alert windows: $(alert_window | wc -l), browser launches: $(ls "$SANDBOX/browser-launches" | wc -l), status line \"$(status_line)\""
  check "the link start hands over and ends with 0 (got $link_status)" equals "$link_status" 0
  check "no alert after the link" test -z "$(alert_window)"
  check "nothing opened for the link" equals "$(ls "$SANDBOX/browser-launches" | wc -l)" 0
  check "the status line still says the probe gave up" equals "$(status_line)" "$gave_up"

  tray click "$(tray_service)" auto 'Reiniciar procesamiento…' || fail "cannot click the restart entry"
  wait_until 10 eval 'window=$(alert_window); [ -n "$window" ]' || fail "no restart question"
  DISPLAY=$DESKTOP_DISPLAY xdotool windowfocus --sync "$window" key --delay 20 Tab space
  wait_until 20 is_ready || fail "the restarted worker never became ready: \"$(status_line)\""
  sleep 2
  local after_restart; after_restart=$(ls "$SANDBOX/browser-launches" | wc -l)
  outcome "parked_link_after_give_up: after the restart the worker is ready; browser launches: $after_restart (the restart asks for no editor, so the parked link is dropped)"
  check "the restart dropped the parked link" equals "$after_restart" 0
  check "no alert after the restart" test -z "$(alert_window)"

  env -i "${PROGRAM_ENV[@]}" "$APP" nubrio://connect >>"$SANDBOX/logs/link.out" 2>&1
  wait_until 10 eval '[ "$(ls "$SANDBOX/browser-launches" | wc -l)" -eq 1 ]' || true
  outcome "parked_link_after_give_up: a link once ready: browser launches $(ls "$SANDBOX/browser-launches" | wc -l)"
  check "a link once ready opens the editor at once" equals "$(ls "$SANDBOX/browser-launches" | wc -l)" 1
  quit_timed "$(worker_of "$PROGRAM_PID")"
  check "exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
  check "nothing of the bundle left" no_sandbox_process_left
}

# f. A server that accepts and never answers: each attempt ends at its deadline, so attempts go on.
case_silent_server() {
  start_case
  server_start silent
  bundle_copy "$FAULT_WORKER"
  program_start FAULT_WORKER_MODE=silent --background
  local fds_before; sleep 1; fds_before=$(fd_count "$PROGRAM_PID")
  sleep 12
  local accepts closed fds_after
  accepts=$(server_count accept); closed=$(server_count closed); fds_after=$(fd_count "$PROGRAM_PID")
  local held longest
  held=$(awk '$1 == "accept" {a[$2] = $3} $1 == "closed" {printf "%s%d", sep, $4 - a[$2]; sep = ","}' "$SANDBOX/server/events")
  longest=$(tr , '\n' <<<"$held" | sort -n | tail -n 1)
  outcome "silent_server: in ~13 s $accepts connections, $closed closed again by the program; program fds $fds_before -> $fds_after"
  outcome "silent_server: ms each connection stayed open before the program gave up on it: ${held:-none}"
  check "at least 3 attempts within ~13 s (got $accepts)" less_than 2 "$accepts"
  check "timed-out attempts close their connection ($closed of $accepts)" less_than $((accepts - 2)) "$closed"
  check "no attempt hangs on (longest ${longest:-0} ms)" less_than "${longest:-0}" 10000
  check "fds stay bounded ($fds_before -> $fds_after)" less_than "$fds_after" $((fds_before + 5))
  quit_timed "$(fault_pid worker)"
  check "exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
  check "nothing of the bundle left" no_sandbox_process_left
}

# g. A 100 MB answer to every request: the program reads a bounded part and its memory stays flat.
case_huge_answer() {
  start_case
  server_start huge
  bundle_copy "$FAULT_WORKER"
  program_start FAULT_WORKER_MODE=silent --background
  local max=0 rss end=$(($(now_ms) + 15000))
  while [ "$(now_ms)" -lt "$end" ]; do
    rss=$(rss_kb "$PROGRAM_PID"); [ -n "$rss" ] && [ "$rss" -gt "$max" ] && max=$rss
    sleep 0.2
  done
  local requests sent
  requests=$(server_count request)
  sent=$(awk '$1 == "closed" {printf "%s%d", sep, $3 / 1024; sep=","}' "$SANDBOX/server/events")
  outcome "huge_answer: $requests requests in 15 s, peak VmRSS $((max / 1024)) MB, KiB sent per connection before the program hung up: ${sent:-none}"
  check "several attempts (got $requests)" less_than 2 "$requests"
  check "peak VmRSS under 150 MB (got $((max / 1024)) MB)" less_than "$max" $((150 * 1024))
  quit_timed "$(fault_pid worker)"
  check "exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
  check "nothing of the bundle left" no_sandbox_process_left
}

# A copy in a desktop session of its own, its tray item registered and its worker ready.
start_ready_in_desktop() {
  start_case
  desktop_start || { log "skipped: no desktop session"; exit 77; }
  bundle_copy
  program_start --background
  wait_until 20 test -s "$SANDBOX/tray-items" || fail "the tray item never registered"
  wait_until 20 is_ready || fail "never ready: status line \"$(status_line)\""
}

# h. Restart cycles through the tray menu on a private session bus and display: the program's fds and
#    memory stay flat. FAULT_RESTART_CYCLES sets the count (20 here; the benchmark runs 200).
case_restart_cycles() {
  start_ready_in_desktop
  local cycles=${FAULT_RESTART_CYCLES:-20} samples="$SANDBOX/restart-samples"
  restart_cycles "$cycles" "$samples" || fail "restart cycle failed after $(wc -l <"$samples") cycles"
  local first last
  first=$(awk 'NR == 3' "$samples"); last=$(tail -n 1 "$samples")
  outcome "restart_cycles: $(wc -l <"$samples") cycles, median $(sort -n -k4 "$samples" | awk '{a[NR]=$4} END {print a[int((NR+1)/2)]}') ms each; after cycle 3: fds $(cut -d' ' -f2 <<<"$first"), RSS $(($(cut -d' ' -f3 <<<"$first") / 1024)) MB; after cycle $cycles: fds $(cut -d' ' -f2 <<<"$last"), RSS $(($(cut -d' ' -f3 <<<"$last") / 1024)) MB"
  check "fds flat across restarts" less_than "$(cut -d' ' -f2 <<<"$last")" $(($(cut -d' ' -f2 <<<"$first") + 3))
  check "RSS flat across restarts (under 8 MB growth)" less_than "$(cut -d' ' -f3 <<<"$last")" $(($(cut -d' ' -f3 <<<"$first") + 8192))
  quit_timed "$(worker_of "$PROGRAM_PID")"
  check "exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
  check "nothing of the bundle left" no_sandbox_process_left
}

# i. A flood of connect links and of malformed messages on the single-instance socket.
case_link_flood() {
  start_case
  bundle_copy
  browser_recorder
  program_start --background
  program_worker_answers
  sleep 1.5  # the program's own probe runs once a second
  local socket="$SANDBOX/runtime/app.nubrio.desktop" fds_before max_fds
  fds_before=$(fd_count "$PROGRAM_PID")
  check "the single-instance socket exists" test -S "$socket"

  # Sampled all along; the floods run beside the links.
  (while alive "$PROGRAM_PID"; do fd_count "$PROGRAM_PID"; sleep 0.1; done >"$SANDBOX/fd-samples") &
  local sampler=$!
  # Two streams: malformed messages, and silent clients that keep every hand-over slot taken for a
  # while (a link start then finds no slot and opens the editor itself, which still ends with 0).
  (
    for _ in 1 2 3; do
      "$FAULT_TOOLS/socket_flood" "$socket" garbage 100
      "$FAULT_TOOLS/socket_flood" "$socket" oversized 10
      "$FAULT_TOOLS/socket_flood" "$socket" trailing 10
      "$FAULT_TOOLS/socket_flood" "$socket" partial 1
    done
  ) >"$SANDBOX/logs/flood.out" 2>&1 &
  local flood=$!
  (for _ in 1 2 3; do "$FAULT_TOOLS/socket_flood" "$socket" hold 20 3; sleep 1; done) >"$SANDBOX/logs/hold.out" 2>&1 &
  local hold=$!

  local i status failures=0 slowest=0 started
  : >"$SANDBOX/link-statuses"
  for ((i = 0; i < 200; i += 4)); do
    local batch=()
    for _ in 1 2 3 4; do
      ( started=$(now_ms)
        env -i "${PROGRAM_ENV[@]}" timeout -s KILL 40 "$APP" nubrio://connect >>"$SANDBOX/logs/links.out" 2>&1
        echo "$? $(($(now_ms) - started))" >>"$SANDBOX/link-statuses" ) &
      batch+=($!)
    done
    wait "${batch[@]}"
  done
  wait "$flood" "$hold"
  sleep 3  # held and partial clients are dropped at their 2 s deadline
  local fds_after launches
  fds_after=$(fd_count "$PROGRAM_PID")
  kill "$sampler" 2>/dev/null; wait "$sampler" 2>/dev/null
  max_fds=$(sort -n "$SANDBOX/fd-samples" | tail -n 1)
  failures=$(awk '$1 != 0' "$SANDBOX/link-statuses" | wc -l)
  slowest=$(awk '$2 > max {max = $2} END {print max + 0}' "$SANDBOX/link-statuses")
  launches=$(ls "$SANDBOX/browser-launches" | wc -l)
  outcome "link_flood: $(wc -l <"$SANDBOX/link-statuses") link starts, $failures with a status other than 0, slowest ${slowest} ms; editor opened $launches times; program fds $fds_before -> peak $max_fds -> $fds_after"
  sed 's/^/OUTCOME link_flood: /' "$SANDBOX/logs/flood.out" "$SANDBOX/logs/hold.out"
  check "the program still runs" alive "$PROGRAM_PID"
  check "200 link starts recorded" equals "$(wc -l <"$SANDBOX/link-statuses")" 200
  check "every link start exits 0 ($failures did not)" equals "$failures" 0
  check "no malformed message was acknowledged" eval '! grep -E "^socket_flood (garbage|oversized|partial).* [1-9][0-9]* answered" "$SANDBOX/logs/flood.out"'
  check "the links reached the program (editor opened $launches times)" less_than 0 "$launches"
  check "fds back near the start ($fds_before -> $fds_after)" less_than "$fds_after" $((fds_before + 4))
  check "fds bounded during the flood (peak $max_fds)" less_than "$max_fds" $((fds_before + 40))
  quit_timed "$(worker_of "$PROGRAM_PID")"
  check "exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
  check "nothing of the bundle left" no_sandbox_process_left
}

# o. Connect links in bursts to a ready copy: 200 hand-overs of one link, 200 of different links, and
#    20 link starts at once. Identical ones together open one editor; of different ones a handful open,
#    then the rest are coalesced (one more editor window per 3 s at most).
case_connect_burst() {
  start_case
  bundle_copy
  browser_recorder
  program_start --background
  program_worker_answers
  sleep 1.5  # the program's own probe runs once a second: ready by now
  local socket="$SANDBOX/runtime/app.nubrio.desktop" kind before opened started
  for kind in link links starts; do
    before=$(ls "$SANDBOX/browser-launches" | wc -l)
    started=$(now_ms)
    if [ "$kind" = starts ]; then
      local pids=() i
      for ((i = 0; i < 20; i++)); do
        env -i "${PROGRAM_ENV[@]}" timeout -s KILL 40 "$APP" nubrio://connect >>"$SANDBOX/logs/links.out" 2>&1 &
        pids+=($!)
      done
      wait "${pids[@]}"
    else
      "$FAULT_TOOLS/socket_flood" "$socket" "$kind" 200 >"$SANDBOX/logs/flood.out" 2>&1
    fi
    local took=$(($(now_ms) - started))
    sleep 8  # what was coalesced opens within a refill; then the burst is over
    opened=$(($(ls "$SANDBOX/browser-launches" | wc -l) - before))
    outcome "connect_burst: $kind: $( [ "$kind" = starts ] && echo "20 link starts" || cat "$SANDBOX/logs/flood.out") in ${took} ms: $opened editor window(s)"
    case "$kind" in
      link | starts) check "$kind: identical links together open one editor (got $opened)" equals "$opened" 1 ;;
      links) check "links: a handful of editors, then coalesced (got $opened, at most 4 + 1 per 3 s)" \
        less_than "$opened" $((4 + took / 3000 + 2)) ;;
    esac
  done
  check "the program still runs" alive "$PROGRAM_PID"
  quit_timed "$(worker_of "$PROGRAM_PID")"
  check "exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
  check "nothing of the bundle left" no_sandbox_process_left
}

# p. Launcher actions that the running copy did not take, and a runtime folder we may not write.
#    - idle: eight idle clients hold every hand-over slot; `--about` is told the copy is busy, asks
#      again once their deadline frees a slot, and the about box shows.
#    - occupied: the slots are kept taken for 12 s; `--about` gives up after its bound with status 1
#      and a line that says why (or, should a slot come free meanwhile, the about box shows).
#    - datagram: a datagram socket planted at the socket's path; `--quit` cannot tell whether a copy
#      runs and says so with status 1, instead of ending 0 while the copy keeps running.
#    - runtime-0500: XDG_RUNTIME_DIR not writable; the socket goes to the next private folder, and a
#      link start hands its link over instead of becoming a second copy fighting for the port.
run_timed() { # run_timed NAME bound args...: the copy in the foreground; sets RUN_STATUS, RUN_MS, RUN_ERR
  local name=$1 bound=$2 started; shift 2
  started=$(now_ms)
  env -i "${PROGRAM_ENV[@]}" timeout -s KILL "$bound" "$APP" "$@" >"$SANDBOX/logs/$name.out" 2>"$SANDBOX/logs/$name.err"
  RUN_STATUS=$?
  RUN_MS=$(($(now_ms) - started))
  RUN_ERR=$(grep -v '^nubrio: single instance off' "$SANDBOX/logs/$name.err" | head -c 400)
}
case_handover_failures() {
  local round socket
  for round in ${FAULT_HANDOVER_ROUNDS:-idle occupied datagram runtime-0500}; do
    start_case
    socket="$SANDBOX/runtime/app.nubrio.desktop"
    if [ "$round" = runtime-0500 ]; then
      bundle_copy
      chmod 500 "$SANDBOX/runtime"
      if [ "$(id -u)" = 0 ]; then  # root writes anywhere: the copy runs without that power
        local real=$APP
        APP="$SANDBOX/as-user"
        printf '#!/bin/sh\nexec setpriv --inh-caps=-all --bounding-set=-dac_override,-dac_read_search,-fowner -- %q "$@"\n' \
          "$real" >"$APP"
        chmod 755 "$APP"
      fi
      program_start --background
      wait_until 20 eval '[ -n "$(worker_of "$PROGRAM_PID")" ]' || fail "$round: no worker started"
      local worker; worker=$(worker_of "$PROGRAM_PID")
      wait_until 20 eval '[ "$(challenge | json_pid)" = "$worker" ]' || fail "$round: the worker never answered"
      run_timed link 40 nubrio://connect
      # Copies of the program: its worker's watcher, a fork of the program, is not one.
      local copies; copies=$(sandbox_processes | while read -r pid; do
        [[ $(readlink "/proc/$pid/exe") == */MacOS/Nubrio ]] || continue
        [[ $(readlink "/proc/$(stat_field "$pid" 2)/exe") == */MacOS/Nubrio ]] || echo "$pid"
      done | wc -l)
      local where; where=$(find "$SANDBOX" -name app.nubrio.desktop -type s 2>/dev/null | sed "s|$SANDBOX/||" | tr '\n' ' ')
      outcome "handover_failures/$round: the link start ended with $RUN_STATUS after ${RUN_MS} ms; copies of the program running then: $copies; socket at: ${where:-none}; its stderr: ${RUN_ERR:-nothing}"
      check "$round: the link start hands over and ends with 0 (got $RUN_STATUS)" equals "$RUN_STATUS" 0
      check "$round: one copy runs (got $copies)" equals "$copies" 1
      check "$round: the socket is in a private folder of ours" test -S "$SANDBOX/cache/nubrio/app.nubrio.desktop"
      check "$round: the worker still runs" alive "$worker"
      quit_timed "$worker"
      check "$round: exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
      chmod 700 "$SANDBOX/runtime"
      cleanup_between
      continue
    fi
    desktop_start || { log "skipped: no desktop session"; exit 77; }
    bundle_copy
    program_start --background
    wait_until 20 test -s "$SANDBOX/tray-items" || fail "$round: the tray item never registered"
    wait_until 20 test -S "$socket" || fail "$round: no single-instance socket"
    case "$round" in
      idle | occupied)
        if [ "$round" = idle ]; then
          helper_start "$FAULT_TOOLS/socket_flood" "$socket" hold 8 3
        else
          helper_start "$FAULT_TOOLS/socket_flood" "$socket" occupy 8 12
        fi
        sleep 0.5
        run_timed about 40 --about
        local shown=no
        wait_until 10 eval '[ -n "$(alert_window)" ]' && shown=yes
        outcome "handover_failures/$round: --about ended with $RUN_STATUS after ${RUN_MS} ms; about box shown: $shown; its stderr: ${RUN_ERR:-nothing}"
        if [ "$round" = idle ]; then
          check "$round: --about ends with 0 (got $RUN_STATUS)" equals "$RUN_STATUS" 0
          check "$round: the about box shows" equals "$shown" yes
        else
          check "$round: --about either shows the box or fails saying the copy was busy (status $RUN_STATUS, shown $shown)" \
            eval '{ [ "$RUN_STATUS" = 0 ] && [ "$shown" = yes ]; } || { [ "$RUN_STATUS" = 1 ] && [[ $RUN_ERR == *ocupada* ]]; }'
          check "$round: gave up within its bound (${RUN_MS} ms)" less_than "$RUN_MS" 15000
        fi
        ;;
      datagram)
        rm -f "$socket"
        helper_start "$FAULT_TOOLS/socket_flood" "$socket" datagram 1 60
        wait_until 10 test -S "$socket" || fail "$round: the datagram socket was not planted"
        run_timed quit 40 --quit
        sleep 1
        outcome "handover_failures/$round: --quit ended with $RUN_STATUS after ${RUN_MS} ms; the running copy $(alive "$PROGRAM_PID" && echo 'still runs' || echo ended); its stderr: ${RUN_ERR:-nothing}"
        check "$round: --quit fails (got $RUN_STATUS)" equals "$RUN_STATUS" 1
        check "$round: with a line saying what is at the socket's path" eval '[[ $RUN_ERR == *"no es el socket de Nubrio"* ]]'
        check "$round: the datagram socket is left where it was" test -S "$socket"
        ;;
    esac
    check "$round: the running copy goes on" alive "$PROGRAM_PID"
    quit_timed "$(worker_of "$PROGRAM_PID")"
    check "$round: exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
    cleanup_between
  done
}

# q. Standard error a full pipe that nobody reads (no journal here, so the program's lines go there):
#    lines the program writes meanwhile (the launcher's "Ver registros" with nothing to open folders,
#    each a line) are dropped rather than waited for, and it goes on answering hand-overs and quits.
case_stderr_full() {
  start_case
  bundle_copy
  local pipe="$SANDBOX/stderr-pipe" keep
  mkfifo "$pipe"
  exec {keep}<>"$pipe"  # a reader that never reads
  dd if=/dev/zero of="$pipe" bs=4096 count=64 oflag=nonblock 2>/dev/null
  env -i "${PROGRAM_ENV[@]}" "$APP" --background >>"$SANDBOX/logs/program.out" 2>"$pipe" &
  PROGRAM_PID=$!
  log "started Nubrio --background as $PROGRAM_PID, its standard error a full pipe"
  wait_until 20 test -S "$SANDBOX/runtime/app.nubrio.desktop" || fail "no single-instance socket"
  wait_until 20 eval '[ -n "$(worker_of "$PROGRAM_PID")" ]' || fail "no worker started"
  local i statuses=''
  for ((i = 0; i < 30; i++)); do
    env -i "${PROGRAM_ENV[@]}" timeout -s KILL 20 "$APP" --open-logs >>"$SANDBOX/logs/actions.out" 2>&1
    statuses+="$? "
    [[ $statuses == *"0 " ]] || break  # a program that stopped answering will not start again
  done
  sleep 4  # what the limit coalesced runs too, each a line
  local link_ms link_status
  link_ms=$(hand_over_ms); link_status=$?
  quit_timed "$(worker_of "$PROGRAM_PID")"
  outcome "stderr_full: 30 \"Ver registros\" hand-overs ended with: $(tr ' ' '\n' <<<"$statuses" | grep . | sort | uniq -c | awk '{printf "%s×%s ", $1, $2}'); a link hand-over then took ${link_ms} ms (status $link_status); quit ${QUIT_MS} ms, status $PROGRAM_STATUS"
  check "the hand-overs were taken" equals "$(tr ' ' '\n' <<<"$statuses" | grep -c '^0$')" 30
  check "a hand-over afterwards is answered (status $link_status, ${link_ms} ms)" equals "$link_status" 0
  check "quit within ${QUIT_BOUND_S} s (took ${QUIT_MS} ms)" less_than "$QUIT_MS" $((QUIT_BOUND_S * 1000))
  check "exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
  exec {keep}<&-
  check "nothing of the bundle left" no_sandbox_process_left
}

# m. FIFOs where the user's settings files belong (mimeapps.list, the autostart entry, the application
#    entry): nothing waits on them; the program reaches the ready status line and leaves them as they are.
case_fifo_settings() {
  start_case
  desktop_start || { log "skipped: no desktop session"; exit 77; }
  bundle_copy
  mkdir -p "$SANDBOX/config/autostart" "$SANDBOX/data/applications"
  local fifo fifos=("$SANDBOX/config/mimeapps.list" "$SANDBOX/config/autostart/app.nubrio.desktop.desktop"
    "$SANDBOX/data/applications/app.nubrio.desktop.desktop")
  for fifo in "${fifos[@]}"; do mkfifo "$fifo"; done
  local started; started=$(now_ms)
  program_start --background
  wait_until 20 test -s "$SANDBOX/tray-items" || fail "the tray item never registered"
  if wait_until 30 is_ready; then
    outcome "fifo_settings: ready status line after $(($(now_ms) - started)) ms with FIFOs at ${fifos[*]##*/}"
  else
    outcome "fifo_settings: status line \"$(status_line)\" after 30 s"
  fi
  check "the status line reads ready" is_ready
  for fifo in "${fifos[@]}"; do check "${fifo##*/} is still a FIFO" test -p "$fifo"; done
  quit_timed "$(worker_of "$PROGRAM_PID")"
  check "exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
  check "nothing of the bundle left" no_sandbox_process_left
}

# n. Files that GIO reads by itself when the editor opens (a plain start): a FIFO or 100 MB at the
#    user's mimeapps.list or at the default browser's entry, and a FIFO at an entry only associated with
#    https, which GIO reads without our looking first. Each start becomes ready and answers: the lookups
#    say "none" (the core's alert asks for a browser), the main thread answers hand-overs all along
#    (sampled every 0.2 s: the longest is its longest pause), memory stays flat, and SIGTERM quits.
plant_gio_fault() {
  local round=$1 apps="$SANDBOX/data/applications"
  case "$round" in
    fifo-list) rm -f "$SANDBOX/config/mimeapps.list"; mkfifo "$SANDBOX/config/mimeapps.list" ;;
    huge-list) truncate -s 100M "$SANDBOX/config/mimeapps.list" ;;
    fifo-entry) rm -f "$apps/google-chrome.desktop"; mkfifo "$apps/google-chrome.desktop" ;;
    huge-entry) truncate -s 100M "$apps/google-chrome.desktop" ;;
    fifo-association)
      printf '[Added Associations]\nx-scheme-handler/https=hung-browser.desktop;\n' >"$SANDBOX/config/mimeapps.list"
      mkfifo "$apps/hung-browser.desktop" ;;
  esac
}
case_gio_lookups() {
  local round
  for round in ${FAULT_GIO_ROUNDS:-fifo-list huge-list fifo-entry huge-entry fifo-association}; do
    start_case
    desktop_start || { log "skipped: no desktop session"; exit 77; }
    bundle_copy
    browser_recorder
    plant_gio_fault "$round"
    : >"$SANDBOX/handover-ms"
    program_start
    wait_until 20 test -S "$SANDBOX/runtime/app.nubrio.desktop" || fail "$round: no single-instance socket"
    local started; started=$(now_ms)
    # Hand-overs all along the start, the worker's readiness and the editor's lookups.
    while [ $(($(now_ms) - started)) -lt 12000 ]; do
      hand_over_ms >>"$SANDBOX/handover-ms" || echo "failed" >>"$SANDBOX/handover-ms"
      sleep 0.2
    done
    local ready=no alerts launches longest failed hwm
    wait_until 10 is_ready && ready=yes
    alerts=$(alert_count); launches=$(ls "$SANDBOX/browser-launches" | wc -l)
    longest=$(grep -v failed "$SANDBOX/handover-ms" | sort -n | tail -n 1)
    failed=$(grep -c failed "$SANDBOX/handover-ms")
    hwm=$(hwm_kb "$PROGRAM_PID")
    quit_timed "$(worker_of "$PROGRAM_PID")"
    outcome "gio_lookups/$round: ready $ready; alerts $alerts, browser launches $launches; $(wc -l <"$SANDBOX/handover-ms") hand-overs in 12 s, $failed failed, the slowest ${longest:-none} ms; peak memory $((${hwm:-0} / 1024)) MB; quit ${QUIT_MS} ms, status $PROGRAM_STATUS"
    check "$round: the status line reads ready" equals "$ready" yes
    check "$round: the editor's lookups ended in the core's alert for a browser (alerts $alerts, launches $launches)" equals "$alerts $launches" "1 0"
    check "$round: every hand-over answered ($failed failed)" equals "$failed" 0
    check "$round: no hand-over waited 5 s (slowest ${longest:-none} ms)" less_than "${longest:-99999}" 5000
    check "$round: peak memory under 120 MB (got $((${hwm:-0} / 1024)) MB)" less_than "${hwm:-999999}" $((120 * 1024))
    check "$round: quit within ${QUIT_BOUND_S} s (took ${QUIT_MS} ms)" less_than "$QUIT_MS" $((QUIT_BOUND_S * 1000))
    check "$round: exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
    check "$round: nothing of the bundle left" no_sandbox_process_left
    # A program that never answered SIGTERM is killed, so that the next round finds the port free.
    if alive "$PROGRAM_PID"; then kill -KILL "$PROGRAM_PID"; program_wait_exit 5; wait_until 15 port_free; fi
    cleanup_between
  done
}

# l. Floods of valid hand-overs: thousands of the launcher's restart, then of links with no browser
#    installed. Each ends with one alert, never one opened inside another, and a flat memory figure;
#    the restart answered once restarts once, and the links remembered meanwhile ask once more.
alert_count() { DISPLAY=$DESKTOP_DISPLAY xdotool search --onlyvisible --pid "$PROGRAM_PID" 2>/dev/null | wc -l; }
hwm_kb() { awk '/^VmHWM:/ {print $2}' "/proc/$1/status" 2>/dev/null; }
# Clicks the alert's last button ("Reiniciar", "Cerrar"): keys may reach it before it has the focus.
answer_alert() {
  local window WIDTH HEIGHT
  window=$(alert_window)
  [ -n "$window" ] || return 1
  eval "$(DISPLAY=$DESKTOP_DISPLAY xdotool getwindowgeometry --shell "$window" | grep -E '^(WIDTH|HEIGHT)=')"
  DISPLAY=$DESKTOP_DISPLAY xdotool mousemove --window "$window" $((WIDTH - 25)) $((HEIGHT - 24)) click 1
}
# Floods the socket $2 with $3 hand-overs of kind $1 (restart, link): one alert must be open after
# it, and the peak memory within 30 MB of $4 (KiB).
flood_once() {
  local kind=$1 socket=$2 count=$3 rss_before=$4 alerts hwm
  "$FAULT_TOOLS/socket_flood" "$socket" "$kind" "$count" >"$SANDBOX/logs/flood.out" 2>&1
  sleep 2
  alive "$PROGRAM_PID" || fail "the program died in the flood of $count $kind hand-overs"
  alerts=$(alert_count); hwm=$(hwm_kb "$PROGRAM_PID")
  outcome "handover_flood: $count $kind hand-overs ($(cat "$SANDBOX/logs/flood.out")): $alerts alert(s) open; RSS $((rss_before / 1024)) MB at the start, peak $((hwm / 1024)) MB"
  check "$kind: one alert open (got $alerts)" equals "$alerts" 1
  check "$kind: peak memory within 30 MB of the start ($((hwm / 1024)) MB)" less_than "$hwm" $((rss_before + 30 * 1024))
}
case_handover_flood() {
  start_ready_in_desktop
  local socket="$SANDBOX/runtime/app.nubrio.desktop" count=${FAULT_FLOOD_COUNT:-3000}
  local rss_before alerts old new
  rss_before=$(rss_kb "$PROGRAM_PID")
  old=$(worker_of "$PROGRAM_PID")

  flood_once restart "$socket" "$count" "$rss_before"
  answer_alert || fail "cannot answer the confirmation"
  wait_until 15 eval 'new=$(worker_of "$PROGRAM_PID"); [ -n "$new" ] && [ "$new" != "$old" ]' || fail "no restart"
  wait_until 15 is_ready || fail "the new worker never became ready"
  sleep 3
  alerts=$(alert_count)
  outcome "handover_flood: after \"Reiniciar\": worker $old -> $new, then $(worker_of "$PROGRAM_PID") 3 s later; $alerts alert(s) open"
  check "restarted once: the new worker still runs" equals "$(worker_of "$PROGRAM_PID")" "$new"
  check "no confirmation left" equals "$alerts" 0

  # No browser is installed in the sandbox: each link asks to install one.
  flood_once link "$socket" "$count" "$rss_before"
  local more=0
  answer_alert || fail "cannot close the alert"
  sleep 2
  while [ "$(alert_count)" -gt 0 ] && [ "$more" -lt 5 ]; do
    more=$((more + 1)); answer_alert; sleep 2
  done
  outcome "handover_flood: after closing it, $more more alert(s) for the links remembered meanwhile"
  check "the remembered links ask once more at most (got $more)" less_than "$more" 2
  quit_timed "$(worker_of "$PROGRAM_PID")"
  check "exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
  check "nothing of the bundle left" no_sandbox_process_left
}

# How long after the program's end ($1, ms) the worker $2, its group and the port are gone: sets GONE_MS.
measure_gone() {
  local ended=$1 worker=$2
  wait_until 15 eval 'all_gone "$worker" && group_empty "$worker" && port_free' || true
  GONE_MS=$(($(now_ms) - ended))
  # The watcher that did it ends right after.
  wait_until 5 no_sandbox_process_left || true
}

# j. The program killed with SIGKILL: its worker, and what is left of its group, end too, and the next
#    start finds the port free. With the real worker, and with a worker and child that ignore SIGTERM.
case_program_killed() {
  local mode worker ended
  for mode in real group-child-stubborn; do
    start_case
    if [ "$mode" = real ]; then
      bundle_copy
      program_start --background
      wait_until 20 eval '[ -n "$(worker_of "$PROGRAM_PID")" ]' || fail "no worker started"
      worker=$(worker_of "$PROGRAM_PID")
      wait_until 20 eval '[ "$(challenge | json_pid)" = "$worker" ]' || fail "the worker never answered"
    else
      start_serving_worker "$mode"
      worker=$WORKER_PID
    fi
    ANNOUNCED_PIDS=$worker  # announced by its own challenge answer: ours to clear away at the end
    kill -KILL "$PROGRAM_PID"
    ended=$(now_ms)
    program_wait_exit 10
    measure_gone "$ended" "$worker"
    outcome "program_killed/$mode: after SIGKILL to the program, worker, group and port gone within ${GONE_MS} ms; left: $(group_members "$worker" | tr '\n' ' ')"
    check "$mode: the worker is gone" all_gone "$worker"
    check "$mode: its group is empty" group_empty "$worker"
    check "$mode: the port is free" port_free
    # A stubborn member has the stop sequence's 3 s before SIGKILL, and a loaded machine adds to that:
    # the bound only catches what lingers on, the figure is the outcome's.
    check "$mode: all of it within 15 s of the program's end (took ${GONE_MS} ms)" less_than "$GONE_MS" 15000
    check "$mode: nothing of the bundle left" no_sandbox_process_left
    if [ "$mode" = real ]; then
      program_run 30 --verify-startup
      outcome "program_killed: the next --verify-startup: status $PROGRAM_STATUS after ${RUN_MS} ms"
      check "the next start is ready (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
    fi
    cleanup_between
  done
}

# n. The stop sequence as the worker's group sees it, whoever stops the group: SIGTERM to every member
#    first, SIGKILL only after the 30 polls 0.1 s apart. The program's quit stops it through the core;
#    the watcher of a killed program and the clean-up of what a crashed worker left use the sequence
#    main.cpp hands the backend. Members that ignore SIGTERM note when it came; the script notes when
#    they were gone.
STOP_POLLS_MS=3000
first_sigterm_ns() { awk -v pid="$1" '$1 == "sigterm" && $2 == pid {print $3; exit}' "$(fault_file fault-events)"; }
# Polls the pids every 20 ms for up to 20 s; sets GONE_NS[pid] to the realtime in ns when each was gone.
declare -A GONE_NS
note_gone_times() {
  local pid now deadline=$(($(now_ms) + 20000)) left=("$@")
  GONE_NS=()
  while [ ${#left[@]} -gt 0 ] && [ "$(now_ms)" -lt "$deadline" ]; do
    now=${EPOCHREALTIME/./}000
    local still=()
    for pid in "${left[@]}"; do
      if alive "$pid"; then still+=("$pid"); else GONE_NS[$pid]=$now; fi
    done
    left=("${still[@]}")
    sleep 0.02
  done
}
# Each member (role:pid) got SIGTERM, and was gone no sooner than the polls after it and within the bound.
check_stop_sequence() {
  local round=$1 member role pid term gone gap; shift
  for member in "$@"; do
    role=${member%%:*} pid=${member#*:}
    term=$(first_sigterm_ns "$pid") gone=${GONE_NS[$pid]:-}
    if [ -n "$term" ] && [ -n "$gone" ]; then gap=$(((gone - term) / 1000000)); else gap=''; fi
    outcome "stop_sequence/$round: the $role saw SIGTERM: $([ -n "$term" ] && echo yes || echo NO); gone ${gap:-?} ms after it"
    check "$round: the $role was sent SIGTERM" test -n "$term"
    check "$round: the $role is gone" test -n "$gone"
    [ -n "$gap" ] || continue
    check "$round: the $role was killed only after the polls (${gap} ms after SIGTERM, the polls take ${STOP_POLLS_MS})" \
      less_than $((STOP_POLLS_MS - 500)) "$gap"
    check "$round: the $role was gone within ${QUIT_BOUND_S} s of SIGTERM (${gap} ms)" less_than "$gap" $((QUIT_BOUND_S * 1000))
  done
}
case_stop_sequence() {
  local round worker child
  for round in quit program-killed; do
    start_case
    start_serving_worker group-stubborn
    worker=$WORKER_PID child=$(fault_pid child)
    check "$round: the child shares the worker's group" equals "$(stat_field "$child" 3)" "$WORKER_PID"
    if [ "$round" = quit ]; then kill -TERM "$PROGRAM_PID"; else kill -KILL "$PROGRAM_PID"; fi
    note_gone_times "$worker" "$child"
    program_wait_exit 10 || fail "the program still runs"
    check_stop_sequence "$round" "worker:$worker" "child:$child"
    [ "$round" = quit ] && check "quit: exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
    check "$round: nothing of the bundle left" no_sandbox_process_left
    cleanup_between
  done

  start_case
  bundle_copy "$FAULT_WORKER"
  program_start FAULT_WORKER_MODE=crash-leaving-child --background
  wait_until 20 eval 'has_event crashing' || fail "the worker never crashed"
  child=$(fault_pid child)
  note_gone_times "$child"
  check_stop_sequence crashed "child left by the crash:$child"
  quit_timed "$(worker_of "$PROGRAM_PID")"
  check "crashed: exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
  check "crashed: nothing of the bundle left" no_sandbox_process_left
}

# o. A tray that takes the item but never asks for its icon: the launch, which lets the tray fetch the
#    icon first, waits for that 200 ms at most, and the worker starts right after.
case_tray_never_fetches() {
  start_case
  desktop_start watch-never-fetching || { log "skipped: no desktop session"; exit 77; }
  bundle_copy "$FAULT_WORKER"
  program_start FAULT_WORKER_MODE=silent --background
  wait_until 20 test -s "$SANDBOX/tray-items" || fail "the tray item never registered"
  wait_until 20 eval 'has_event start-silent' || fail "the worker never started"
  local registered started gap
  registered=$(tray_registered_ns)
  started=$(awk '$1 == "start-silent" {print $3; exit}' "$(fault_file fault-events)")
  gap=$(((started - registered) / 1000000))
  outcome "tray_never_fetches: the worker started ${gap} ms after the tray item registered"
  check "the launch went on within 1 s of the item's registration (${gap} ms)" less_than "$gap" 1000
  quit_timed "$(fault_pid worker)"
  check "exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
  check "nothing of the bundle left" no_sandbox_process_left
}

# k. The program's display goes away (its X server killed, as at log-out): Qt ends the program, which
#    takes its worker along.
case_display_lost() {
  start_case
  desktop_start || { log "skipped: no desktop session"; exit 77; }
  bundle_copy
  program_start --background
  wait_until 20 eval '[ -n "$(worker_of "$PROGRAM_PID")" ]' || fail "no worker started"
  local worker ended; worker=$(worker_of "$PROGRAM_PID")
  wait_until 20 eval '[ "$(challenge | json_pid)" = "$worker" ]' || fail "the worker never answered"
  kill -KILL "$XVFB_PID"
  program_wait_exit 15 || fail "the program still runs 15 s after its display went away"
  ended=$(now_ms)
  measure_gone "$ended" "$worker"
  outcome "display_lost: the program ended with status $PROGRAM_STATUS; worker, group and port gone within ${GONE_MS} ms after"
  check "the worker is gone" all_gone "$worker"
  check "its group is empty" group_empty "$worker"
  check "the port is free" port_free
  check "nothing of the bundle left" no_sandbox_process_left
}

# An upgrade in place as dpkg makes it under the running program: each new file is written beside
# the old one, then renamed over it. Info.plist names the next version, the program is a new file (of
# the same build), and the worker is the next version's.
upgrade_in_place() {
  local contents="$SANDBOX/Nubrio.app/Contents" version
  local worker="$contents/Resources/service/NubrioService/NubrioService"
  version=$(bundle_version)
  sed "s|<string>$version</string>|<string>$FAULT_NEXT_VERSION</string>|" "$contents/Info.plist" >"$contents/Info.plist.dpkg-new"
  cp "$NUBRIO_BUNDLE/Contents/MacOS/Nubrio" "$APP.dpkg-new"
  cp "$FAULT_TOOLS/next_version_worker" "$worker.dpkg-new"
  mv -f "$contents/Info.plist.dpkg-new" "$contents/Info.plist"
  mv -f "$APP.dpkg-new" "$APP"
  mv -f "$worker.dpkg-new" "$worker"
  log "upgraded the copy in place to $FAULT_NEXT_VERSION"
}
file_id() { stat -L -c '%d:%i' "$1" 2>/dev/null; }
# The program file the process runs, which an upgrade leaves deleted until the process starts anew.
running_file() { file_id "/proc/$1/exe"; }
runs_new_program() { [ "$(running_file "$PROGRAM_PID")" = "$(file_id "$APP")" ]; }
challenge_version() { challenge | sed -n 's/.*"version"[[:space:]]*:[[:space:]]*"\([^"]*\)".*/\1/p'; }
# The status line of the item that registered last: a program started anew registers its own.
latest_status_line() {
  tray menu "$(awk 'END {print $1}' "$SANDBOX/tray-items")" auto 2>/dev/null | awk -F'\t' 'NR == 1 {print $2}'
}
upgraded_and_ready() {
  runs_new_program && [ "$(challenge_version)" = "$FAULT_NEXT_VERSION" ] &&
    [ "$(challenge | json_pid)" = "$(worker_of "$PROGRAM_PID")" ] && [ "$(latest_status_line)" = "$READY_TEXT" ]
}
# Processes running the copy's program file, the old one or the new, but for the program's own
# watcher of its worker (a fork of it).
program_copies() {
  local dir exe pid
  for dir in /proc/[0-9]*; do
    pid=${dir#/proc/}
    exe=$(readlink "$dir/exe" 2>/dev/null) || continue
    [[ $exe == "$APP" || $exe == "$APP (deleted)" ]] || continue
    [ "$(stat_field "$pid" 2)" = "$PROGRAM_PID" ] && continue
    alive "$pid" && echo "$pid"
  done
  return 0
}
browser_launches() { ls "$SANDBOX/browser-launches" | wc -l; }

start_in_desktop_with_browser() {
  start_case
  [ -n "${FAULT_NEXT_VERSION:-}" ] || fail "FAULT_NEXT_VERSION must name the next version"
  desktop_start || { log "skipped: no desktop session"; exit 77; }
  bundle_copy
  browser_recorder
  program_start --background
  wait_until 20 test -s "$SANDBOX/tray-items" || fail "the tray item never registered"
  wait_until 20 is_ready || fail "never ready: status line \"$(status_line)\""
}

# n. An upgrade in place under the running program: it starts anew from the new files (the same pid
#    and single instance, the new program file, the next version's worker answering, the tray's status
#    line ready again), in the background as before, after stopping the old worker. Link starts all
#    along hand over to it: none becomes a second copy, none opens the editor itself.
case_upgrade_in_place() {
  start_in_desktop_with_browser
  local old_worker old_file started links=0
  old_worker=$(worker_of "$PROGRAM_PID")
  old_file=$(running_file "$PROGRAM_PID")
  # A link the program takes and ignores, again and again while it upgrades.
  : >"$SANDBOX/link-statuses"
  (
    while [ ! -e "$SANDBOX/stop-links" ]; do
      env -i "${PROGRAM_ENV[@]}" timeout -s KILL 40 "$APP" nubrio://other >>"$SANDBOX/logs/links.out" 2>&1
      echo $? >>"$SANDBOX/link-statuses"
      sleep 0.05
    done
  ) &
  local linker=$!
  sleep 1
  started=$(now_ms)
  upgrade_in_place
  wait_until 60 upgraded_and_ready || fail "not upgraded and ready within 60 s: program file $(running_file "$PROGRAM_PID") (new $(file_id "$APP")), worker version \"$(challenge_version)\", status line \"$(latest_status_line)\""
  local took=$(($(now_ms) - started))
  sleep 2
  touch "$SANDBOX/stop-links"
  wait "$linker"
  links=$(wc -l <"$SANDBOX/link-statuses")
  local failed copies
  failed=$(grep -cv '^0$' "$SANDBOX/link-statuses" || true)
  copies=$(program_copies | tr '\n' ' ')
  outcome "upgrade_in_place: $FAULT_NEXT_VERSION ready ${took} ms after the renames, pid $PROGRAM_PID kept, program file $old_file -> $(running_file "$PROGRAM_PID"), worker $old_worker -> $(worker_of "$PROGRAM_PID"); $links link starts meanwhile, $failed not ending with 0; browser launches $(browser_launches); running copies: $copies"
  check "the same process runs on" alive "$PROGRAM_PID"
  check "it runs the new program file" runs_new_program
  check "the old worker is gone" all_gone "$old_worker"
  check "still in the background: $(tr '\0' ' ' <"/proc/$PROGRAM_PID/cmdline")" grep -qz -- '^--background$' "/proc/$PROGRAM_PID/cmdline"
  check "link starts were made during the upgrade ($links)" less_than 3 "$links"
  check "every link start handed over and ended with 0 ($failed did not)" equals "$failed" 0
  check "no link start opened the editor itself" equals "$(browser_launches)" 0
  check "one copy runs (got: $copies)" equals "$copies" "$PROGRAM_PID "
  quit_timed "$(worker_of "$PROGRAM_PID")"
  check "exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
  check "the port is free" port_free
  check "nothing of the bundle left" no_sandbox_process_left
}

# o. An alert holds the restart (nothing is started anew while the user is asked something), and a
#    connect link that came meanwhile goes along: the new version opens the editor once it is ready.
case_upgrade_waits_for_alert() {
  start_in_desktop_with_browser
  local old_worker old_file window link_status
  old_worker=$(worker_of "$PROGRAM_PID")
  old_file=$(running_file "$PROGRAM_PID")
  tray click "$(tray_service)" auto 'Acerca de Nubrio' || fail "cannot click the about entry"
  wait_until 10 eval 'window=$(alert_window); [ -n "$window" ]' || fail "no about box"
  upgrade_in_place
  sleep 4  # well past the moment the change is noticed
  check "not started anew while the alert is open" equals "$(running_file "$PROGRAM_PID")" "$old_file"
  check "the old worker still runs while the alert is open" alive "$old_worker"
  env -i "${PROGRAM_ENV[@]}" timeout -s KILL 40 "$APP" nubrio://connect >>"$SANDBOX/logs/links.out" 2>&1
  link_status=$?
  check "the link start handed over and ended with 0 (got $link_status)" equals "$link_status" 0
  check "nothing opened while the alert is open" equals "$(browser_launches)" 0
  DISPLAY=$DESKTOP_DISPLAY xdotool windowfocus --sync "$window" key Escape
  wait_until 60 upgraded_and_ready || fail "not upgraded and ready within 60 s of the alert's closing"
  wait_until 10 eval '[ "$(browser_launches)" -ge 1 ]' || true
  local cmdline; cmdline=$(tr '\0' ' ' <"/proc/$PROGRAM_PID/cmdline")
  outcome "upgrade_waits_for_alert: started anew once the about box closed, as \"$cmdline\"; browser launches $(browser_launches)"
  check "the waiting link went along on the command line" grep -qz -- '^nubrio://connect$' "/proc/$PROGRAM_PID/cmdline"
  check "the editor opened once for it, from the new version" equals "$(browser_launches)" 1
  check "the old worker is gone" all_gone "$old_worker"
  check "one copy runs" equals "$(program_copies | tr '\n' ' ')" "$PROGRAM_PID "
  quit_timed "$(worker_of "$PROGRAM_PID")"
  check "exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
  check "nothing of the bundle left" no_sandbox_process_left
}

# p. A removal in place, as apt remove makes it: the program stops its worker and ends, and nothing
#    answers on the port from deleted files.
case_removal_in_place() {
  start_case
  bundle_copy
  program_start --background
  local worker removed
  wait_until 20 eval '[ -n "$(worker_of "$PROGRAM_PID")" ]' || fail "no worker started"
  worker=$(worker_of "$PROGRAM_PID")
  wait_until 20 eval '[ "$(challenge | json_pid)" = "$worker" ]' || fail "the worker never answered"
  rm -rf "$SANDBOX/Nubrio.app"
  removed=$(now_ms)
  program_wait_exit 40 || fail "the program still runs 40 s after its bundle was removed"
  outcome "removal_in_place: the program ended with status $PROGRAM_STATUS $(($(now_ms) - removed)) ms after the removal"
  check "exit status 0 (got $PROGRAM_STATUS)" equals "$PROGRAM_STATUS" 0
  check "the worker is gone" all_gone "$worker"
  check "the port is free" port_free
  check "nothing of the bundle left" no_sandbox_process_left
}

[ $# -eq 1 ] && declare -F "case_$1" >/dev/null || {
  echo "usage: faults.sh CASE; cases: $(declare -F | sed -n 's/^declare -f case_//p' | tr '\n' ' ')" >&2
  exit 64
}
[ -x "$NUBRIO_BUNDLE/Contents/MacOS/Nubrio" ] || fail "no program at $NUBRIO_BUNDLE (build first)"
"case_$1"

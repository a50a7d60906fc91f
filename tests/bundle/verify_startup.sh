#!/usr/bin/env bash
# The assembled bundle's unattended check, run as a user would: a real worker answers (0, and no worker
# is left), also with no display and an empty environment (ssh, CI, a package's script); a missing
# worker cannot be launched (2, with the reason), a worker whose data folder cannot be made cannot
# either (2, with that reason: permission denied), a crashing worker fails the check (2), and so does a
# FIFO in place of the network module (saying why). Without /proc the program refuses to start rather
# than take its bundle from the working folder. With a display and no session bus (ssh -X) the check
# starts no bus, and no check leaves any process behind. A launcher's action or a link beside the check
# changes none of that: the check still waits for its worker, and beside a running copy it still fails
# (2) instead of handing anything over. An ordinary start with no display says why in one line and ends
# with 1; --help, --version and an unknown option answer without starting anything.
set -euo pipefail
bundle=${1:?usage: verify_startup.sh <Nubrio.app>}

work=$(mktemp -d "${TMPDIR:-/tmp}/nubrio-verify.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A private user: home, XDG folders, and no browsers of the machine's.
use_home() {
  export HOME="$work/$1"
  mkdir -p "$HOME/run" "$HOME/dirs" && chmod 700 "$HOME/run"
  export XDG_RUNTIME_DIR="$HOME/run" XDG_DATA_HOME="$HOME/.local/share" XDG_CONFIG_HOME="$HOME/.config" \
         XDG_CACHE_HOME="$HOME/.cache" XDG_DATA_DIRS="$HOME/dirs" XDG_CONFIG_DIRS="$HOME/dirs"
}
export QT_QPA_PLATFORM=offscreen
unset DISPLAY WAYLAND_DISPLAY

port_free() { ! (exec 3<>/dev/tcp/127.0.0.1/4173) 2>/dev/null; }
wait_port_free() { for _ in $(seq 300); do port_free && return 0; sleep 0.1; done; return 1; }

# A copy of the bundle whose worker is replaced (or removed).
bundle_with_worker() {
  local copy="$work/$1/Nubrio.app" worker
  mkdir -p "$work/$1" && cp -a "$bundle" "$copy"
  worker="$copy/Contents/Resources/service/NubrioService/NubrioService"
  rm -f "$worker"
  if [ -n "$2" ]; then printf '%s\n' '#!/bin/sh' "$2" >"$worker" && chmod +x "$worker"; fi
  echo "$copy"
}

run_check() {  # bundle [more arguments] → sets status, err, seconds
  local start end program=$1/Contents/MacOS/Nubrio
  shift
  start=$(date +%s.%N)
  set +e
  "$program" --verify-startup "$@" 2>"$work/stderr" >/dev/null
  status=$?
  set -e
  end=$(date +%s.%N)
  err=$(cat "$work/stderr")
  seconds=$(echo "$end - $start" | bc)
}

wait_port_free || { echo "port 4173 stays busy"; exit 1; }

echo "--- a real worker"
use_home real
run_check "$bundle"
[ "$status" = 0 ] || fail "real worker: status $status, stderr: $err"
[ -d "$XDG_DATA_HOME/Nubrio/logs" ] || fail "the worker wrote no logs in the data folder"
port_free || fail "a worker is still listening after the check"
echo "status $status in ${seconds}s"

echo "--- no worker in the bundle"
use_home missing
run_check "$(bundle_with_worker missing '')"
[ "$status" = 2 ] || fail "missing worker: status $status"
case "$err" in "Could not launch worker: "*) ;; *) fail "missing worker: stderr was: $err" ;; esac
echo "status $status: $err"

# Run as a user is: root writes anywhere, so it goes without that power here.
as_user() {
  if [ "$(id -u)" = 0 ]; then
    setpriv --inh-caps=-all --bounding-set=-dac_override,-dac_read_search,-fowner -- "$@"
  else
    "$@"
  fi
}

for where in home parent; do
  echo "--- the data folder cannot be made: a $where we may not write"
  use_home "locked-$where"
  if [ "$where" = parent ]; then
    mkdir -m 500 "$work/locked-parent/closed"
    export HOME="$work/locked-parent/closed/home"  # missing, under a folder we may not write
    export XDG_DATA_HOME="$HOME/.local/share"  # where the data folder goes
  else
    chmod 500 "$HOME"
  fi
  set +e
  LC_ALL=C as_user "$bundle/Contents/MacOS/Nubrio" --verify-startup 2>"$work/stderr" >/dev/null
  status=$?
  set -e
  err=$(cat "$work/stderr")
  [ "$status" = 2 ] || fail "$where not writable: status $status"
  case "$err" in *"Could not launch worker: "*"Code=13 "*"Permission denied"*) ;; *) fail "$where not writable: stderr was: $err" ;; esac
  echo "status $status: $err"
  chmod 700 "$work/locked-$where" "$work/locked-parent/closed" 2>/dev/null || true
done

echo "--- a worker that crashes at once"
use_home crash
run_check "$(bundle_with_worker crash 'exit 1')"
[ "$status" = 2 ] || fail "crashing worker: status $status"
[ -z "$err" ] || fail "crashing worker wrote to stderr: $err"
echo "status $status"

echo "--- a worker that reports it cannot start"
use_home startup
run_check "$(bundle_with_worker startup 'mkdir -p logs; echo "No." > logs/startup-error.txt; exit 3')"
[ "$status" = 2 ] || fail "start-up failure: status $status"
echo "status $status"

echo "--- a FIFO in place of the network module"
# A reader of it would wait for a writer for good; the check is refused the module and says why.
mkdir -p "$work/fifo" && cp -a "$bundle" "$work/fifo/Nubrio.app"
module=$(realpath "$work/fifo/Nubrio.app")/Contents/PlugIns/nubrio-network.so
rm -f "$module" && mkfifo "$module"
use_home fifo
run_check "$work/fifo/Nubrio.app"
[ "$status" = 2 ] || fail "FIFO module: status $status"
[ "$err" = "Native readiness probe failed: cannot load $module: a FIFO, not a regular file" ] ||
  fail "FIFO module: stderr was: $err"
port_free || fail "FIFO module: a worker is still listening after the check"
echo "status $status in ${seconds}s: $err"

echo "--- /proc hidden, a bundle's Contents in the working folder"
# Without /proc the program cannot know where it is; the working folder's worker must not run.
decoy=$work/decoy
mkdir -p "$decoy/Contents/Resources/service/NubrioService"
printf '#!/bin/sh\ntouch "%s/ran"\nexec sleep 5\n' "$decoy" >"$decoy/Contents/Resources/service/NubrioService/NubrioService"
chmod +x "$decoy/Contents/Resources/service/NubrioService/NubrioService"
hide_proc() { (cd "$decoy" && unshare "$@" sh -c 'mount -t tmpfs none /proc && exec "$0" "$@"' true); }
namespace=''
for option in -m -rm; do hide_proc "$option" 2>/dev/null && namespace=$option && break; done
if [ -z "$namespace" ]; then
  echo "skipped: no mount namespace to hide /proc in"
else
  use_home hidden
  program=$(realpath "$bundle")/Contents/MacOS/Nubrio
  for mode in --verify-startup --background; do
    set +e
    (cd "$decoy" && exec unshare $namespace sh -c 'mount -t tmpfs none /proc && exec "$0" "$@"' \
      "$program" "$mode") 2>"$work/stderr" >/dev/null
    status=$?
    set -e
    err=$(cat "$work/stderr")
    case "$mode" in
      --verify-startup) expected=2 line="Could not start: cannot tell where the program is: /proc/self/exe: *" ;;
      *) expected=1 line="Nubrio no puede saber desde dónde se ejecuta (/proc/self/exe: *); hace falta /proc." ;;
    esac
    [ "$status" = "$expected" ] || fail "/proc hidden, $mode: status $status, stderr: $err"
    # shellcheck disable=SC2053
    [[ $err == $line ]] || fail "/proc hidden, $mode: stderr was: $err"
    echo "$mode: status $status: $err"
  done
  [ ! -e "$decoy/ran" ] || fail "/proc hidden: the working folder's worker ran"
fi

for extra in --quit --restart nubrio://connect; do
  echo "--- the check with $extra, no other copy"
  use_home "alone${extra//[^a-z]/}"
  run_check "$bundle" "$extra"
  [ "$status" = 0 ] || fail "check with $extra: status $status, stderr: $err"
  [ -d "$XDG_DATA_HOME/Nubrio/logs" ] || fail "check with $extra: ended without starting a worker"
  port_free || fail "check with $extra: a worker is still listening"
  echo "status $status in ${seconds}s"
done

echo "--- the check beside a running copy, with a launcher's action or a link"
use_home beside
"$bundle/Contents/MacOS/Nubrio" --background >"$work/running.log" 2>&1 &
running=$!
for _ in $(seq 300); do [ -S "$XDG_RUNTIME_DIR/app.nubrio.desktop" ] && break; sleep 0.1; done
[ -S "$XDG_RUNTIME_DIR/app.nubrio.desktop" ] || fail "the running copy never claimed its socket"
for extra in "" --quit --restart nubrio://connect; do
  run_check "$bundle" $extra
  [ "$status" = 2 ] || fail "check${extra:+ with $extra} beside a running copy: status $status"
  [ "$err" = "Another copy of Nubrio is running" ] || fail "check${extra:+ with $extra}: stderr was: $err"
  echo "${extra:-(alone)}: status $status: $err"
done
echo "--- --help, --version and an unknown option beside it"
for option in --help --version --bogus; do
  set +e
  timeout 30 "$bundle/Contents/MacOS/Nubrio" "$option" >"$work/stdout" 2>"$work/stderr"
  status=$?
  set -e
  case "$option" in
    --help) [ "$status" = 0 ] && grep -q '^Uso: nubrio' "$work/stdout" || fail "--help: status $status" ;;
    --version) [ "$status" = 0 ] && grep -qx 'Nubrio [0-9.]*' "$work/stdout" || fail "--version: status $status, $(cat "$work/stdout")" ;;
    --bogus) [ "$status" = 2 ] && [ "$(wc -l <"$work/stderr")" = 1 ] || fail "--bogus: status $status, $(cat "$work/stderr")" ;;
  esac
  echo "$option: status $status"
done
kill -0 "$running" 2>/dev/null || fail "the running copy did not survive the checks beside it"
kill -TERM "$running"
wait "$running" || fail "the running copy ended with $?"
wait_port_free || fail "the running copy's worker stays"

# Processes that carry the environment variable $1 (every process a check starts inherits it, and so
# does a bus daemon started for it and what that bus starts in turn), besides the shell's own.
carrying() {
  local dir
  for dir in /proc/[0-9]*; do
    [ "${dir#/proc/}" = "$$" ] && continue
    tr '\0' '\n' <"$dir/environ" 2>/dev/null | grep -qx "$1=1" && echo "${dir#/proc/}"
  done
  return 0
}
# What is left of a check run with the mark $1 once it has ended; a leftover is ended after it is named.
no_leftovers() {
  local mark=$1 left pid
  sleep 1  # a daemon that forks away does so at once
  left=$(carrying "$mark")
  [ -z "$left" ] && return 0
  for pid in $left; do echo "left over: $pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)"; done
  for pid in $left; do kill -TERM "$pid" 2>/dev/null || true; done
  return 1
}

echo "--- no display and an empty environment"
use_home bare
mkdir -p "$HOME"
set +e
env -i PATH=/usr/bin:/bin HOME="$HOME" NUBRIO_CHECK_BARE=1 "$bundle/Contents/MacOS/Nubrio" --verify-startup 2>"$work/stderr" >/dev/null
status=$?
set -e
[ "$status" = 0 ] || fail "without a display: status $status, stderr: $(cat "$work/stderr")"
[ -s "$work/stderr" ] && fail "without a display the check wrote: $(cat "$work/stderr")"
port_free || fail "a worker is still listening after the check"
no_leftovers NUBRIO_CHECK_BARE || fail "without a display the check left processes behind"
echo "status $status"

# As over ssh -X: a display and no session bus. A bus client would have one started for it (through
# dbus-launch's X11 autolaunch) and leave it running; the check talks to no bus.
echo "--- a display and no session bus"
if command -v Xvfb >/dev/null; then
  use_home xdisplay
  exec {displayfd}>"$work/display"
  Xvfb -displayfd "$displayfd" -screen 0 800x600x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
  xvfb=$!
  exec {displayfd}>&-
  for _ in $(seq 200); do [ -s "$work/display" ] && break; sleep 0.05; done
  set +e
  env -i PATH=/usr/bin:/bin HOME="$HOME" XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" DISPLAY=":$(head -n1 "$work/display")" \
    NUBRIO_CHECK_X11=1 "$bundle/Contents/MacOS/Nubrio" --verify-startup 2>"$work/stderr" >/dev/null
  status=$?
  set -e
  [ "$status" = 0 ] || fail "with a display and no bus: status $status, stderr: $(cat "$work/stderr")"
  [ -s "$work/stderr" ] && fail "with a display and no bus the check wrote: $(cat "$work/stderr")"
  port_free || fail "a worker is still listening after the check"
  no_leftovers NUBRIO_CHECK_X11 || fail "with a display and no bus the check left processes behind"
  [ -e "$XDG_RUNTIME_DIR/at-spi" ] && fail "the check started an accessibility bus"
  kill -TERM "$xvfb"
  wait "$xvfb" 2>/dev/null || true
  echo "status $status"
else
  echo "skipped: no Xvfb"
fi

echo "--- an ordinary start with no display"
set +e
env -i PATH=/usr/bin:/bin HOME="$HOME" timeout 30 "$bundle/Contents/MacOS/Nubrio" 2>"$work/stderr" >/dev/null
status=$?
set -e
lines=$(wc -l <"$work/stderr")
[ "$status" = 1 ] || fail "an ordinary start without a display: status $status (134 is an abort)"
[ "$lines" = 1 ] && grep -q 'sesión gráfica' "$work/stderr" || fail "not one clear line: $(cat "$work/stderr")"
port_free || fail "an ordinary start without a display started a worker"
echo "status $status: $(cat "$work/stderr")"

echo "--- --help, --version and an unknown option with no display and an empty environment"
use_home answers
before=$(find "$HOME" | sort)
for option in --help --version --bogus; do
  set +e
  env -i PATH=/usr/bin:/bin HOME="$HOME" timeout 30 "$bundle/Contents/MacOS/Nubrio" "$option" >"$work/stdout" 2>"$work/stderr"
  status=$?
  set -e
  expected=0; [ "$option" = --bogus ] && expected=2
  [ "$status" = "$expected" ] || fail "$option without a display: status $status, stderr: $(cat "$work/stderr")"
  echo "$option: status $status"
done
[ "$(find "$HOME" | sort)" = "$before" ] || fail "--help, --version or --bogus wrote into the home folder: $(find "$HOME")"
port_free || fail "--help, --version or --bogus started a worker"

if [ "$failures" -eq 0 ]; then echo "passed"; else echo "$failures failed"; exit 1; fi

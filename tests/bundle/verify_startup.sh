#!/usr/bin/env bash
# The assembled bundle's unattended check, run as a user would: a real worker answers (0, and no worker
# is left), also with no display and an empty environment (ssh, CI, a package's script); a missing
# worker cannot be launched (2, with the reason), nor can one whose data folder cannot be made (2, with
# that reason: permission denied), and a crashing worker fails the check (2). A launcher's
# action or a link beside the check changes none of that: the check still waits for its worker, and
# beside a running copy it still fails (2) instead of handing anything over. An ordinary start with no
# display says why in one line and ends with 1; --help, --version and an unknown option answer
# without starting anything.
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
[ -d "$HOME/Library/Application Support/Nubrio/logs" ] || fail "the worker wrote no logs in the data folder"
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

for extra in --quit --restart nubrio://connect; do
  echo "--- the check with $extra, no other copy"
  use_home "alone${extra//[^a-z]/}"
  run_check "$bundle" "$extra"
  [ "$status" = 0 ] || fail "check with $extra: status $status, stderr: $err"
  [ -d "$HOME/Library/Application Support/Nubrio/logs" ] || fail "check with $extra: ended without starting a worker"
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

echo "--- no display and an empty environment"
use_home bare
mkdir -p "$HOME"
set +e
env -i PATH=/usr/bin:/bin HOME="$HOME" "$bundle/Contents/MacOS/Nubrio" --verify-startup 2>"$work/stderr" >/dev/null
status=$?
set -e
[ "$status" = 0 ] || fail "without a display: status $status, stderr: $(cat "$work/stderr")"
[ -s "$work/stderr" ] && fail "without a display the check wrote: $(cat "$work/stderr")"
port_free || fail "a worker is still listening after the check"
echo "status $status"

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

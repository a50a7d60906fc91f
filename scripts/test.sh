#!/usr/bin/env bash
# Sets up, builds and runs every test: core (fake backend), linux (real backend), e2e (the assembled
# bundle in a virtual desktop session), and a short fuzzing run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
cd "$root/build"
ctest --output-on-failure -j "$(nproc)" "$@"

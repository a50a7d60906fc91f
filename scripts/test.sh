#!/usr/bin/env bash
# Sets up the test bench too, builds everything and runs every test: core (fake backend), linux (real
# backend), e2e (the assembled bundle in a virtual desktop session), bundle, faults, panels, package,
# and a short fuzzing run. Extra arguments go to ctest (for example -L core).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh" --tests
"$root/scripts/build.sh" --tests
cd "$root/build"
ctest --output-on-failure -j "$(nproc)" "$@"

#!/usr/bin/env bash
# Builds into build/ (the bundle lands in build/Nubrio.app).
#
#   scripts/build.sh           the program: the bundle and the install step's helper
#   scripts/build.sh --tests   everything, tests included
#
# A build folder configured before is reused as it is (Ninja reruns CMake when a CMakeLists.txt
# changed), so a second run with nothing changed does nothing. The first configuration without
# --tests leaves the tests out, and with them GTest; --tests turns them on.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
configure() { cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null; }
case "${1:-}" in
  --tests)
    configure -DBUILD_TESTING=ON
    cmake --build "$build" -j "$(nproc)" ;;
  '')
    [ -f "$build/build.ninja" ] || configure -DBUILD_TESTING=OFF
    cmake --build "$build" -j "$(nproc)" --target program ;;
  *) sed -n '2,5p' "$0" >&2; exit 64 ;;
esac

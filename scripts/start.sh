#!/usr/bin/env bash
# Sets up what building and running need, builds the program and starts Nubrio from its bundle.
# Extra arguments go to the program (for example --background or --verify-startup).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
exec "$root/build/Nubrio.app/Contents/MacOS/Nubrio" "$@"

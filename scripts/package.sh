#!/usr/bin/env bash
# Builds the Debian package with Debian's own tools (debhelper, from debian/) and puts it in
# build/package/: nubrio_<version>_<arch>.deb, its -dbgsym debug package and the .changes file.
# Installs the build dependencies that debian/control names, when missing. The working tree is
# copied first (what git tracks or would track), so the build leaves nothing in it.
#
#   scripts/package.sh [OUTPUT FOLDER]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(realpath -m "${1:-$root/build/package}")

sudo=''
[ "$(id -u)" -eq 0 ] || sudo='sudo'
if ! command -v dpkg-buildpackage >/dev/null || ! command -v dh >/dev/null || ! (cd "$root" && dpkg-checkbuilddeps 2>/dev/null); then
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends dpkg-dev debhelper
  DEBIAN_FRONTEND=noninteractive $sudo apt-get build-dep -y -qq "$root"
fi

# One fixed place, so that a compiler cache (CMAKE_CXX_COMPILER_LAUNCHER=ccache) sees the same paths.
work="${TMPDIR:-/tmp}/nubrio-package-$(id -u)"
rm -rf "$work"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/nubrio"
(cd "$root" && git ls-files -z --cached --others --exclude-standard | xargs -0 cp --parents -t "$work/nubrio")
(cd "$work/nubrio" && dpkg-buildpackage -us -uc -b)
mkdir -p "$out"
rm -f "$out"/nubrio*
mv "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out/"
ls -1 "$out"

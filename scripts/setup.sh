#!/usr/bin/env bash
# Installs from Debian's packages, when missing, what building and running Nubrio needs; with --tests
# also the test bench (test libraries, virtual desktops, browsers, panels, fuzzing, the package tools).
#
#   scripts/setup.sh [--tests]
set -euo pipefail

# Building and running the program: the compiler and the libraries it links.
run_packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-translations-l10n
  libglib2.0-dev libplist-dev nlohmann-json3-dev libmicrohttpd-dev libxcb1-dev libsystemd-dev
)

# Testing it, and building and checking its Debian package. "a|b" names the package that Debian 12 calls
# a and a later release folded into b: whichever this release has.
test_packages=(
  libgtest-dev libgmock-dev zlib1g-dev bc procps xdg-utils desktop-file-utils
  # desktop-session tests: a virtual display, a tray, a session bus, screenshots
  xvfb trayer x11-utils xdotool imagemagick dbus dbus-x11 fonts-dejavu-core
  # the editor's app window in a real browser
  chromium
  # a Wayland desktop for the end-to-end tests
  weston qt6-wayland
  # the desktops' real panels for the tray icon's test (tests/panels)
  libglib2.0-bin xfce4-panel xfconf lxqt-panel plasma-desktop
  gnome-shell gnome-shell-extension-appindicator libgl1-mesa-dri
  # Wayland sessions of GNOME (its notifications run under gjs) and Plasma (tests/wayland)
  xwayland gjs python3-gi xdg-desktop-portal xdg-desktop-portal-gnome kwin-wayland 'plasma-workspace-wayland|plasma-workspace' kded5
  qml-module-org-kde-kitemmodels xdg-desktop-portal-kde
  # fuzzing with libFuzzer
  clang libclang-rt-dev
  # the Debian package: its build and its checks (tests/package)
  debhelper dpkg-dev fakeroot lintian appstream mmdebstrap piuparts
)

packages=("${run_packages[@]}")
case "${1:-}" in
  --tests) packages+=("${test_packages[@]}") ;;
  '') ;;
  *) sed -n '2,5p' "$0" >&2; exit 64 ;;
esac

# Whole outputs, not pipes into grep -q: with pipefail its early exit would fail the command.
installed() { [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = 'install ok installed' ]; }
known() { [ -n "$(apt-cache policy "$1" 2>/dev/null | sed -n 's/^ *Candidate: \([^(]\)/\1/p')" ]; }

sudo=''
[ "$(id -u)" -eq 0 ] || sudo='sudo'
updated=0
update() { [ "$updated" = 1 ] || $sudo apt-get update -qq; updated=1; }

missing=()
for package in "${packages[@]}"; do
  IFS='|' read -r -a choices <<<"$package"
  found=''
  for choice in "${choices[@]}"; do installed "$choice" && found=$choice && break; done
  [ -n "$found" ] && continue
  if [ ${#choices[@]} -gt 1 ]; then
    update
    for choice in "${choices[@]}"; do known "$choice" && found=$choice && break; done
  fi
  missing+=("${found:-${choices[0]}}")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

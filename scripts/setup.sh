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

# Testing it, and building and checking its Debian package.
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
  xwayland gjs python3-gi xdg-desktop-portal xdg-desktop-portal-gnome kwin-wayland plasma-workspace-wayland kded5
  qml-module-org-kde-kitemmodels xdg-desktop-portal-kde
  # fuzzing with libFuzzer
  clang libclang-rt-14-dev
  # the Debian package: its build and its checks (tests/package)
  debhelper dpkg-dev fakeroot lintian appstream mmdebstrap piuparts
)

packages=("${run_packages[@]}")
case "${1:-}" in
  --tests) packages+=("${test_packages[@]}") ;;
  '') ;;
  *) sed -n '2,5p' "$0" >&2; exit 64 ;;
esac

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=''
[ "$(id -u)" -eq 0 ] || sudo='sudo'
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

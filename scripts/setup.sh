#!/usr/bin/env bash
# Installs what building, running and testing Nubrio needs, from Debian's packages, when missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-translations-l10n
  libglib2.0-dev libplist-dev nlohmann-json3-dev libcpp-httplib-dev zlib1g-dev libxcb1-dev libsystemd-dev
  libgtest-dev libgmock-dev
  desktop-file-utils xdg-utils bc procps
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
)

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

#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need; skips what is present.
#   install-deps.sh [run]     "run": only what building and starting the launcher needs
set -euo pipefail

# What building and starting the launcher needs...
packages=(
  cmake g++ make pkg-config
  qtbase5-dev qtbase5-dev-tools # Qt 5 Core, Gui, Widgets, Network (the single-instance socket), Test
  libx11-dev libxcb1-dev libxcb-xtest0-dev libxcb-xkb-dev libxkbcommon-x11-dev x11proto-dev
)
# ...and what the tests, the Windows cross-build and the benchmarks add.
if [ "${1:-all}" != "run" ]; then
  packages+=(
    imagemagick
    xvfb xauth trayer x11-utils x11-xserver-utils x11-xkb-utils xdotool # setxkbmap, xkbcomp
    gcc-mingw-w64-x86-64 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
    wine wine64 nsis # the Windows installer, tried under Wine
    openbox # a window manager for the Wine tests: Wine waits for one before it hides a window
    python3 procps
    python3-pygame # an SDL2 window: a receiver that reads keys by position
    python3-pefile # the Windows launcher's headers and resources, checked
    locales # the double-byte locales (Shift_JIS, GBK) the log scan is tried under
    dpkg-dev file lintian desktop-file-utils
    man-db mandoc appstream # the manual pages and the AppStream metadata, checked
    # The desktops users run: a StatusNotifierItem tray and a notification daemon on a private
    # session bus, Wayland, and a screen reader's view over AT-SPI.
    dbus dbus-x11 xfce4-panel dunst weston qtwayland5 at-spi2-core python3-pyatspi python3-gi
  )
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when they are missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ ccache pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  libasound2-dev
  # the web view's HTTP server
  libmicrohttpd-dev
  # the application: JUCE's GUI modules, their X11, font and image libraries, and Xvfb
  # for the GUI tests
  juce-modules-source patch libx11-dev libxext-dev libxinerama-dev libxrandr-dev libxcursor-dev
  libfreetype-dev libfontconfig-dev libpng-dev libjpeg-dev
  xvfb xauth fonts-dejavu-core
  # the program as a user meets it: a window manager, and pointer and keys sent to it
  openbox xdotool
  # the web view's test in a real browser, headless
  chromium
  # the Debian package and its check (scripts/check-package.sh)
  dpkg-dev file lintian desktop-file-utils x11-utils devscripts
  # the test guest (tools/guest/run-in-guest)
  qemu-system-x86 linux-image-amd64 busybox-static alsa-utils cpio kmod xz-utils
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

#!/bin/sh
# Installs the Debian packages that building and testing Vandrel need.
# Usage: scripts/install-deps.sh [--tests]
set -eu

BUILD_PACKAGES="cmake ninja-build g++ pkg-config libasio-dev libx11-dev libxtst-dev libwxgtk3.2-dev libqrcodegencpp-dev libsystemd-dev libddcutil-dev libpng-dev libglib2.0-dev libxfixes-dev libxext-dev nlohmann-json3-dev libcurl4-openssl-dev libwayland-dev libxkbcommon-dev"
TEST_PACKAGES="iproute2 dpkg-dev util-linux googletest libgtest-dev g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine wine64 xvfb x11-utils python3-zeroconf zbar-tools openbox trayer imagemagick dbus-daemon python3-dbusmock python3-dbus python3-gi xclip x11-apps xterm openssl sway wev wl-clipboard grim libwayland-bin"

packages="$BUILD_PACKAGES"
if [ "${1:-}" = "--tests" ]; then
  packages="$packages $TEST_PACKAGES"
fi

missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "Installing:$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null

#!/usr/bin/env bash
# Installs the Debian 12 packages Zephlink needs to build, run and test.
# Does nothing when everything is already there.
set -euo pipefail

packages=(
    # build
    build-essential cmake ninja-build pkg-config clang-format
    # core
    libssl-dev nlohmann-json3-dev liburiparser-dev libcurl4-openssl-dev libsecret-1-dev
    libicu-dev
    # local network
    libavahi-client-dev
    # relay server
    libboost-dev libhiredis-dev
    # desktop application
    qt6-base-dev qt6-base-private-dev qt6-declarative-dev qt6-declarative-private-dev qt6-tools-dev-tools libqt6svg6 libqt6dbus6
    qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-window
    qml6-module-qtquick-layouts qml6-module-qtquick-templates qml6-module-qtqml-workerscript
    qml6-module-qtquick-shapes fonts-lato fonts-comic-neue librsvg2-bin libxcb1-dev libx11-dev
    # Wayland sessions: the data-control client and native windows
    libwayland-dev libwayland-bin qt6-wayland
    # tests
    libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev clang-14 libclang-rt-14-dev
    xvfb xauth xclip imagemagick dbus dbus-x11 gnome-keyring libsecret-tools
    iproute2 avahi-daemon avahi-utils procps
    x11-utils xdotool curl at-spi2-core python3-pyatspi
    sway wl-clipboard weston wtype
    # README pictures (scripts/screenshots.sh)
    xcompmgr
    python3 python3-cryptography
    redis-server
    # packages and their checks (scripts/build-deb.sh, the package test)
    dpkg-dev lintian desktop-file-utils appstream man-db libglib2.0-bin
)

missing=()
for package in "${packages[@]}"; do
    if [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" != "install ok installed" ]; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# Installs what building, running and testing Hourwarden needs on Debian 12:
# the mingw-w64 cross compiler, CMake, GoogleTest's sources, Wine, Xvfb, NSIS, tools and the
# two host fonts that stand in for Segoe UI in the label tests.
set -euo pipefail

packages=(
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 cmake make
    googletest
    wine wine64 xvfb x11-utils xdotool imagemagick fonts-dejavu-core fonts-open-sans
    nsis
    python3
)

missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done

if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -q
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi

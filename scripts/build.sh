#!/usr/bin/env bash
# Configures and builds Hourwarden.exe, its tests and benchmark with the mingw-w64 toolchain.
# The build directory is build/ unless HOURWARDEN_BUILD_DIR says otherwise.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${HOURWARDEN_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw64-gcc.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j "$(nproc)"

#!/usr/bin/env bash
# Runs end-to-end tests in a Wine prefix of their own whose Segoe UI is drawn
# with the host font named by the first argument, thrown away afterwards. Only
# this prefix's wineserver is ended. Uses the X display in DISPLAY, or a
# private Xvfb as hw_own_prefix decides.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/wine-env.sh"
face=$1
shift

trap hw_drop_own_prefix EXIT
hw_own_prefix hourwarden-stand-in-prefix "$face" || exit 1
# The tests check that Wine draws Segoe UI with this font.
export HOURWARDEN_UI_STAND_IN=$face
bash "$root/tests/e2e/run-e2e.sh" "$@"

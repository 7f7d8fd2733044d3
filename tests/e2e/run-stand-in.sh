#!/usr/bin/env bash
# Runs end-to-end tests in a Wine prefix of their own whose Segoe UI is drawn
# with the host font named by the first argument, thrown away afterwards. Only
# this prefix's wineserver is ended. Uses the X display in DISPLAY, or a
# private Xvfb when there is none or HOURWARDEN_OWN_DISPLAY is set (tests that
# run alongside others must not see their windows on the screen).
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/wine-env.sh"
face=$1
shift

prefix=$(mktemp -d /tmp/hourwarden-stand-in-prefix.XXXXXX)
own_xvfb=""
cleanup() {
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1
    WINEPREFIX="$prefix" wineserver -w >/dev/null 2>&1
    rm -rf "$prefix"
    if [ -n "$own_xvfb" ]; then
        kill "$own_xvfb" 2>/dev/null
    fi
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ] || [ -n "${HOURWARDEN_OWN_DISPLAY:-}" ]; then
    hw_start_xvfb || exit 1
    own_xvfb=$HW_XVFB_PID
fi
hw_make_prefix "$prefix" "$face"
# The tests check that Wine draws Segoe UI with this font.
export HOURWARDEN_UI_STAND_IN=$face
bash "$root/tests/e2e/run-e2e.sh" "$@"

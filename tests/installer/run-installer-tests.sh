#!/usr/bin/env bash
# Runs the installer tests in a Wine prefix of their own, thrown away afterwards:
# the installer registers the program to start at logon, and that must not reach
# the prefix the other tests share. Only this prefix's wineserver is ended.
# Uses the X display in DISPLAY, or a private Xvfb when there is none or
# HOURWARDEN_OWN_DISPLAY is set (tests that run alongside others must not see
# their windows on the screen).
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/wine-env.sh"
exe=$1
shift

prefix=$(mktemp -d /tmp/hourwarden-installer-prefix.XXXXXX)
out=$(mktemp /tmp/hourwarden-installer-output.XXXXXX)
own_xvfb=""
cleanup() {
    WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1
    WINEPREFIX="$prefix" wineserver -w >/dev/null 2>&1
    rm -rf "$prefix" "$out"
    if [ -n "$own_xvfb" ]; then
        kill "$own_xvfb" 2>/dev/null
    fi
}
trap cleanup EXIT

if [ -z "${DISPLAY:-}" ] || [ -n "${HOURWARDEN_OWN_DISPLAY:-}" ]; then
    hw_start_xvfb || exit 1
    own_xvfb=$HW_XVFB_PID
fi
hw_make_prefix "$prefix"
# Shortcuts stay inside the prefix: no menu entries for the Linux desktop.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winemenubuilder.exe=d"

# Output through a file: Wine's background services inherit it and outlive the run.
# Windows in English whatever this machine's locale, as setup's default language follows it.
env LC_ALL=en_US.UTF-8 wine "$exe" "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
exit $rc

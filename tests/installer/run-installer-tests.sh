#!/usr/bin/env bash
# Runs the installer tests in a Wine prefix of their own, thrown away afterwards:
# the installer registers the program to start at logon, and that must not reach
# the prefix the other tests share. Only this prefix's wineserver is ended.
# Uses the X display in DISPLAY, or a private Xvfb as hw_own_prefix decides.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/wine-env.sh"
exe=$1
shift

out=$(mktemp /tmp/hourwarden-installer-output.XXXXXX)
trap 'hw_drop_own_prefix; rm -f "$out"' EXIT
hw_own_prefix hourwarden-installer-prefix || exit 1
# Shortcuts stay inside the prefix: no menu entries for the Linux desktop.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winemenubuilder.exe=d"

# Output through a file: Wine's background services inherit it and outlive the run.
# Windows in English whatever this machine's locale, as setup's default language follows it.
env LC_ALL=en_US.UTF-8 wine "$exe" "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
exit $rc

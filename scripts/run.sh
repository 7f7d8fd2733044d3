#!/usr/bin/env bash
# Sets up everything, builds, and runs Hourwarden under Wine in a directory of
# its own (~/.hourwarden/run, where it keeps config.json and data.json).
# Uses the current X display; without one it starts a headless Xvfb and says
# how to look at it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${HOURWARDEN_BUILD_DIR:-$root/build}

"$root/scripts/setup.sh"
"$root/scripts/build.sh"

source "$root/scripts/wine-env.sh"
home_dir=${HOURWARDEN_HOME:-$HOME/.hourwarden}
run_dir=$home_dir/run
mkdir -p "$run_dir"
cp "$build/Hourwarden.exe" "$run_dir/"

if [ -z "${DISPLAY:-}" ] || ! xdpyinfo >/dev/null 2>&1; then
    hw_start_xvfb
    trap 'hw_cleanup' EXIT
    echo "No X display: Hourwarden runs on the headless display $DISPLAY."
    echo "Look at it with:   import -display $DISPLAY -window root /tmp/hourwarden.png"
    echo "Right-click its icon (top left of the screen):   DISPLAY=$DISPLAY xdotool mousemove 12 32 click 3"
fi
hw_make_prefix "$home_dir/wineprefix"
echo "Hourwarden runs from $run_dir (config.json and data.json are kept there). Stop it with Ctrl+C or its Exit menu item."
cd "$run_dir"
wine ./Hourwarden.exe

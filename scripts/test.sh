#!/usr/bin/env bash
# Sets up everything, builds, and runs every test headless: unit tests and
# end-to-end tests of the real program under Wine on a private Xvfb.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${HOURWARDEN_BUILD_DIR:-$root/build}

"$root/scripts/setup.sh"
"$root/scripts/build.sh"

source "$root/scripts/wine-env.sh"
prefix=$(mktemp -d /tmp/hourwarden-test-prefix.XXXXXX)
trap 'hw_cleanup; rm -rf "$prefix"' EXIT
hw_start_xvfb
hw_make_prefix "$prefix"
# Keep one wineserver for the whole run, so each test start is quick.
wineserver -p

# Screenshots go to the build directory; point this at docs/screenshots to refresh the README's.
export HOURWARDEN_SCREENSHOT_DIR=${HOURWARDEN_SCREENSHOT_DIR:-$build/screenshots}
mkdir -p "$HOURWARDEN_SCREENSHOT_DIR"

status=0
# Two at a time: the leak tests run on a display of their own beside the rest.
(cd "$build" && ctest --output-on-failure -j2) || status=$?

# Screenshots come out of the tests as BMP; the docs keep PNG.
for bmp in "$HOURWARDEN_SCREENSHOT_DIR"/*.bmp; do
    [ -e "$bmp" ] || continue
    convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done
exit $status

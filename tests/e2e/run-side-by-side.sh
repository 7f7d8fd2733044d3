#!/usr/bin/env bash
# Runs sets of end-to-end tests at the same time, in one Wine prefix of their
# own on a display of their own, thrown away afterwards: for tests that mostly
# wait (a minute for the program's own check, a spent day's minute), so their
# waits overlap. Arguments: the test executable, the gtest filters of the sets
# separated by "|", then further gtest arguments for each set.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/wine-env.sh"
exe=$1
IFS='|' read -r -a filters <<<"$2"
shift 2

trap hw_drop_own_prefix EXIT
hw_own_prefix hourwarden-side-by-side-prefix "DejaVu Sans" || exit 1
export HOURWARDEN_UI_STAND_IN="DejaVu Sans"
outputs=()
pids=()
for filter in "${filters[@]}"; do
    out=$(mktemp /tmp/hourwarden-side-by-side.XXXXXX)
    outputs+=("$out")
    bash "$root/tests/e2e/run-e2e.sh" "$exe" "$@" "--gtest_filter=$filter" >"$out" 2>&1 &
    pids+=($!)
done
status=0
for pid in "${pids[@]}"; do
    wait "$pid" || status=1
done
cat "${outputs[@]}"
rm -f "${outputs[@]}"
exit $status

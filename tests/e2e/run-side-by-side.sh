#!/usr/bin/env bash
# Runs two sets of end-to-end tests at the same time, in one Wine prefix of
# their own on a display of their own, thrown away afterwards: for tests that
# mostly wait (a minute for the program's own check, a spent day's minute),
# so their waits overlap. Arguments: the test executable, the two gtest
# filters, then further gtest arguments for both.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/wine-env.sh"
exe=$1
first=$2
second=$3
shift 3

trap hw_drop_own_prefix EXIT
hw_own_prefix hourwarden-side-by-side-prefix "DejaVu Sans" || exit 1
export HOURWARDEN_UI_STAND_IN="DejaVu Sans"
firstOut=$(mktemp /tmp/hourwarden-side-a.XXXXXX)
secondOut=$(mktemp /tmp/hourwarden-side-b.XXXXXX)
bash "$root/tests/e2e/run-e2e.sh" "$exe" "$@" "--gtest_filter=$first" >"$firstOut" 2>&1 &
firstPid=$!
bash "$root/tests/e2e/run-e2e.sh" "$exe" "$@" "--gtest_filter=$second" >"$secondOut" 2>&1 &
secondPid=$!
wait "$firstPid"
firstRc=$?
wait "$secondPid"
secondRc=$?
cat "$firstOut" "$secondOut"
rm -f "$firstOut" "$secondOut"
[ "$firstRc" -eq 0 ] && [ "$secondRc" -eq 0 ]

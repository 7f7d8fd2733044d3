#!/usr/bin/env bash
# Runs the end-to-end test executable under Wine. The programs it starts write
# Wine's relay trace to the inherited standard error, so that goes to a file
# whose path the tests read from HOURWARDEN_RELAY_LOG. Standard output goes
# through a file too: Wine's background services inherit it and outlive the
# run, and CTest would wait for them on a pipe.
set -u
exe=$1
shift
log=$(mktemp /tmp/hourwarden-relay.XXXXXX)
out=$(mktemp /tmp/hourwarden-e2e-output.XXXXXX)
export HOURWARDEN_RELAY_LOG=$log
WINEDEBUG=-all wine "$exe" "$@" >"$out" 2>"$log" </dev/null
rc=$?
cat "$out"
rm -f "$log" "$out"
exit $rc

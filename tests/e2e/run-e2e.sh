#!/usr/bin/env bash
# Runs the end-to-end test executable under Wine. The programs it starts write
# Wine's relay trace to the inherited standard error, so that goes to a file
# whose path the tests read from HOURWARDEN_RELAY_LOG.
set -u
exe=$1
shift
log=$(mktemp /tmp/hourwarden-relay.XXXXXX)
export HOURWARDEN_RELAY_LOG=$log
WINEDEBUG=-all wine "$exe" "$@" 2>"$log"
rc=$?
rm -f "$log"
exit $rc

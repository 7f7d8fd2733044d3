#!/usr/bin/env bash
# Runs a test executable under Wine for CTest. The first Wine program of a
# session starts Wine's own background services, which inherit its output
# handles and outlive it; writing through a file instead of CTest's pipe keeps
# CTest from waiting for them.
set -u
exe=$1
shift
out=$(mktemp /tmp/hourwarden-test-output.XXXXXX)
WINEDEBUG=${WINEDEBUG:--all} wine "$exe" "$@" >"$out" 2>&1 </dev/null
rc=$?
cat "$out"
rm -f "$out"
exit $rc

#!/usr/bin/env bash
# Runs scripts/test.sh N times in a row (default 5), each time on a fresh clone
# of this checkout's HEAD, while another process keeps one core busy: the way
# to see that the suite stays green on a loaded machine.
#   scripts/repeat-tests.sh [N]     logs go to /tmp/hourwarden-repeat-<run>.log
set -u
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5}
commit=$(git -C "$root" rev-parse HEAD)
echo "commit $commit, $runs runs"
( while :; do :; done ) &
busy=$!
trap 'kill $busy 2>/dev/null' EXIT
failed=0
for run in $(seq 1 "$runs"); do
    clone=$(mktemp -d /tmp/hourwarden-repeat.XXXXXX)
    git clone -q "$root" "$clone" && git -C "$clone" checkout -q "$commit"
    log=/tmp/hourwarden-repeat-$run.log
    start=$(date +%s)
    (cd "$clone" && bash scripts/test.sh) >"$log" 2>&1
    status=$?
    echo "run $run: exit $status after $(($(date +%s) - start)) s; $(grep -E '^[0-9]+/[0-9]+ Test' "$log" | tr -s ' ' | tr '\n' ';')"
    [ $status -eq 0 ] || failed=$((failed + 1))
    rm -rf "$clone"
done
echo "$((runs - failed)) passed, $failed failed"
[ $failed -eq 0 ]

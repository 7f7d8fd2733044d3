#!/usr/bin/env bash
# check-list.sh SCRIPT EXE...
# The tests only real Windows can show end their names in _WindowsOnly; SCRIPT
# (scripts/windows-checks.cmd) names each of them in its list. This fails with
# the names missing on either side: it lists the tests of each EXE
# (--gtest_list_tests), runs SCRIPT /list under Wine's cmd, and compares the two
# sets. It also runs the marked tests under Wine and checks that each one skips
# with the message that says it needs real Windows.
# Uses the prefix in WINEPREFIX when it is ready, or a throwaway one.
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/wine-env.sh"
script=$1
shift

work=$(mktemp -d /tmp/hourwarden-check-list.XXXXXX)
cleanup() {
    rm -rf "$work"
    hw_drop_own_prefix
}
trap cleanup EXIT
if [ -z "${WINEPREFIX:-}" ] || [ ! -f "$WINEPREFIX/.hourwarden-ready" ]; then
    hw_own_prefix hourwarden-check-list-prefix || exit 1
fi
export WINEDEBUG=-all

# Output through files: Wine's background services inherit it and outlive the run.
status=0
: >"$work/marked"
for exe in "$@"; do
    name=$(basename "$exe")
    if ! wine "$exe" --gtest_list_tests >"$work/list" 2>/dev/null </dev/null; then
        echo "cannot list the tests of $name"
        exit 1
    fi
    # "Suite." then "  Test" lines; a parameterised test's "/N" and comment are left out.
    tr -d '\r' <"$work/list" | awk '/^[^ ]/ {suite=$1} /^  [^ ]/ {sub(/\/[0-9]+$/, "", $1); print suite $1}' |
        grep -E '_WindowsOnly$' | sort -u >"$work/$name.marked"
    cat "$work/$name.marked" >>"$work/marked"

    # Each marked test skips under Wine, saying why.
    count=$(wc -l <"$work/$name.marked")
    [ "$count" -gt 0 ] || continue
    filter=$(paste -sd: "$work/$name.marked")
    # The installer fixture asks for a setup file before the test's own skip; any file will do.
    HOURWARDEN_SETUP="$script" HOURWARDEN_EXE="$script" \
        wine "$exe" --gtest_filter="$filter" >"$work/run" 2>&1 </dev/null
    tr -d '\r' <"$work/run" >"$work/run.txt"
    while read -r test; do
        if ! grep -qE "^\[  SKIPPED \] ${test//./\\.}( |$)" "$work/run.txt"; then
            echo "does not skip under Wine: $test"
            status=1
        fi
    done <"$work/$name.marked"
    said=$(grep -c 'needs real Windows (scripts/windows-checks.cmd runs it): ' "$work/run.txt")
    if [ "$said" -lt "$count" ]; then
        echo "$name: $count marked tests, but only $said skip messages say they need real Windows"
        status=1
    fi
    if [ "$status" -ne 0 ]; then
        cat "$work/run.txt"
    fi
done
sort -u -o "$work/marked" "$work/marked"

# The script's listing: one test or step a line, run by Wine's cmd.
script_windows="Z:$(echo "$script" | tr / '\\')"
if ! wine cmd /c "$script_windows" /list >"$work/listing" 2>&1 </dev/null; then
    echo "windows-checks.cmd /list failed:"
    cat "$work/listing"
    exit 1
fi
tr -d '\r' <"$work/listing" | grep -oE '[A-Za-z0-9_]+\.[A-Za-z0-9_]+_WindowsOnly' | sort -u >"$work/listed"

missing=$(comm -23 "$work/marked" "$work/listed")
unknown=$(comm -13 "$work/marked" "$work/listed")
if [ -n "$missing" ]; then
    echo "marked _WindowsOnly but not in windows-checks.cmd:"
    echo "$missing" | sed 's/^/  /'
    status=1
fi
if [ -n "$unknown" ]; then
    echo "in windows-checks.cmd but no such test:"
    echo "$unknown" | sed 's/^/  /'
    status=1
fi
echo "$(wc -l <"$work/marked") tests marked _WindowsOnly, $(wc -l <"$work/listed") in the script's list"
if [ "$status" -eq 0 ]; then
    tr -d '\r' <"$work/listing"
fi
exit $status

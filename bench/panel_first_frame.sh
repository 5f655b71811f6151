#!/usr/bin/env bash
# How soon the clipboard panel shows its first frame after D-Bus ShowPopover
# (what a tray click calls): ROUNDS times on a cold start of the views (no
# QML engine: the first show after start, or after the hidden views were
# released), then ROUNDS times while they are kept (a show soon after a
# hide). "From the call" runs from just before dbus-send starts until the
# program's frameSwapped, both on the wall clock; "in the program" from the
# call's arrival. The program runs with ZEPHLINK_TRACE, in a network
# namespace with a private LAN and on a private Xvfb display. Needs root.
# Not run by ctest.
# Usage: bench/panel_first_frame.sh [PROGRAM] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
ZEPHLINK=$(realpath "${1:-$root/build/src/zephlink}")
rounds=${2:-10}
[ -x "$ZEPHLINK" ] || { echo "no program at $ZEPHLINK; build first" >&2; exit 1; }
# shellcheck source=tests/e2e/lib.sh
. "$root/tests/e2e/lib.sh"
E2E_EXTRA_VARS+=(ZEPHLINK_TRACE=1)
# Hidden this long, the views are released (QtViews::kReleaseAfterMs).
released_after=6

e2e_ns ns
e2e_link "$ns" 10.231.91.1/24
e2e_xvfb display
e2e_desktop zl "$ns" "$display"
# First run: the welcome window opens, the panel has never been made.
e2e_settings zl "device=$(e2e_id)"

e2e_start zl
log=$(echo "${E2E_DIR[zl]}"/zephlink.*.log)
e2e_window "$display" Zephlink >/dev/null || e2e_fail "no welcome window"

panel_shown() {
    local id
    for id in $(e2e_windows "$display" "Zephlink Clipboard"); do
        ! e2e_hidden "$display" "$id" && return 0
    done
    return 1
}

# Shows the panel; appends "FROM_CALL IN_PROGRAM" (ms) to file; hides it.
measure() {
    local file=$1 before frames called deadline frame request
    before=$(grep -c ' panel-frame$' "$log" || true)
    called=$EPOCHREALTIME
    e2e_call zl ShowPopover
    deadline=$((SECONDS + E2E_LIMIT))
    until [ "$(grep -c ' panel-frame$' "$log" || true)" -gt "$before" ]; do
        [ "$SECONDS" -lt "$deadline" ] || e2e_fail "the panel never drew a frame"
        sleep 0.01
    done
    frame=$(grep ' panel-frame$' "$log" | tail -n 1 | awk '{ print $2 }')
    request=$(grep ' show-request$' "$log" | tail -n 1 | awk '{ print $2 }')
    awk -v c="$called" -v f="$frame" -v r="$request" \
        'BEGIN { printf "%.1f %.1f\n", f / 1000 - c * 1000, (f - r) / 1000 }' >>"$file"
    panel_shown || e2e_fail "a frame but no panel"
    e2e_call zl ShowPopover
    deadline=$((SECONDS + E2E_LIMIT))
    while panel_shown; do
        [ "$SECONDS" -lt "$deadline" ] || e2e_fail "the panel did not hide"
        sleep 0.05
    done
}

# $rounds first shows of the panel, the views made afresh
cold=$E2E_TMP/cold.txt
: >"$cold"
# The panel replaces the welcome window, then hides: with both hidden the
# views are released.
e2e_call zl ShowPopover
e2e_call zl ShowPopover
for ((i = 1; i <= rounds; i++)); do
    sleep "$released_after"
    measure "$cold"
done

# $rounds later shows, the views kept
warm=$E2E_TMP/warm.txt
: >"$warm"
for ((i = 1; i <= rounds; i++)); do
    sleep 0.5
    measure "$warm"
done

# Quit ends the program
e2e_quit zl

summary() { # column of file: p50 and max
    sort -n -k"$2" "$1" | awk -v k="$2" '{ v[NR] = $k } END {
        r = int(0.5 * NR); if (r < 0.5 * NR) r++; printf "%8.1f %8.1f", v[r], v[NR] }'
}
echo
printf 'The panel'"'"'s first frame after ShowPopover, %d shows each (ms)\n' "$rounds"
printf '  %-28s %17s %17s\n' "" "from the call" "in the program"
printf '  %-28s %8s %8s %8s %8s\n' "" p50 max p50 max
printf '  %-28s %s %s\n' "first show (views made)" "$(summary "$cold" 1)" "$(summary "$cold" 2)"
printf '  %-28s %s %s\n' "later show (views kept)" "$(summary "$warm" 1)" "$(summary "$warm" 2)"

#!/usr/bin/env bash
# Zephlink and CopyQ idling side by side on one Xvfb display: Zephlink starts
# as on a later run (its panel opens), the panel is hidden again through
# D-Bus, CopyQ starts beside it; SETTLE seconds after the start both
# programs' resident (RSS) and proportional (PSS) memory are read, then their
# CPU time over IDLE seconds. A program counts with its child processes
# (CopyQ monitors the clipboard in one). Zephlink runs in a network
# namespace with a private LAN, as in the end-to-end tests, so its nearby
# host and discovery run as usual. Installs copyq when it is missing. Needs
# root. Not run by ctest.
# Usage: bench/idle_beside_copyq.sh [PROGRAM] [IDLE] [SETTLE]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
ZEPHLINK=$(realpath "${1:-$root/build/src/zephlink}")
idle=${2:-60}
settle=${3:-10}
[ -x "$ZEPHLINK" ] || { echo "no program at $ZEPHLINK; build first" >&2; exit 1; }
if ! command -v copyq >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends copyq >/dev/null
fi
# shellcheck source=tests/e2e/lib.sh
. "$root/tests/e2e/lib.sh"

e2e_ns ns
e2e_link "$ns" 10.231.90.1/24
e2e_xvfb display
e2e_desktop zl "$ns" "$display"
e2e_desktop cq "$ns" "$display"
e2e_settings zl "device=$(e2e_id)" flowWelcomed=true

# Zephlink starts with its panel, which then hides
started=$SECONDS
e2e_start zl
e2e_window "$display" "Zephlink Clipboard" >/dev/null || e2e_fail "the panel never showed"
e2e_call zl ShowPopover
deadline=$((SECONDS + E2E_LIMIT))
while [ -n "$(for id in $(e2e_windows "$display" "Zephlink Clipboard"); do
    ! e2e_hidden "$display" "$id" && echo "$id"
done)" ]; do
    [ "$SECONDS" -lt "$deadline" ] || e2e_fail "the panel did not hide"
    sleep 0.1
done

# CopyQ starts beside it
e2e_in cq copyq >"${E2E_DIR[cq]}/copyq.log" 2>&1 &
copyq_pid=$!
e2e_track "$copyq_pid"
deadline=$((SECONDS + E2E_LIMIT))
until [ -n "$(pgrep -P "$copyq_pid" || true)" ]; do
    e2e_alive "$copyq_pid" || e2e_fail "CopyQ ended: $(tail -n 3 "${E2E_DIR[cq]}/copyq.log")"
    [ "$SECONDS" -lt "$deadline" ] || e2e_fail "CopyQ never started its clipboard monitor"
    sleep 0.1
done

# A process and all its descendants.
tree() {
    local pid=$1 child
    echo "$pid"
    for child in $(pgrep -P "$pid" || true); do tree "$child"; done
}
# Sums a smaps_rollup field (kB) over a process tree.
memory_kib() {
    local field=$1 pid total=0 value
    for pid in $(tree "$2"); do
        value=$(awk -v f="$field:" '$1 == f { print $2 }' "/proc/$pid/smaps_rollup" 2>/dev/null)
        total=$((total + ${value:-0}))
    done
    echo "$total"
}
cpu_ticks() {
    local pid total=0 value
    for pid in $(tree "$1"); do
        value=$(awk '{ print $14 + $15 }' "/proc/$pid/stat" 2>/dev/null)
        total=$((total + ${value:-0}))
    done
    echo "$total"
}

# both idle
sleep $((settle - (SECONDS - started) > 0 ? settle - (SECONDS - started) : 0))
declare -A rss=() pss=() before=() cpu=() pids=([Zephlink]=${E2E_PID[zl]} [CopyQ]=$copyq_pid)
for program in Zephlink CopyQ; do
    rss[$program]=$(memory_kib Rss "${pids[$program]}")
    pss[$program]=$(memory_kib Pss "${pids[$program]}")
    before[$program]=$(cpu_ticks "${pids[$program]}")
done
sleep "$idle"
for program in Zephlink CopyQ; do
    cpu[$program]=$(($(cpu_ticks "${pids[$program]}") - before[$program]))
    e2e_alive "${pids[$program]}" || e2e_fail "$program ended while idle"
done

# Quit ends Zephlink
e2e_quit zl

ticks=$(getconf CLK_TCK)
echo
printf 'Idle with the panel hidden: memory %d s after the start, CPU over %d s\n' "$settle" "$idle"
printf '  %-10s %-10s %-10s %-10s\n' program RSS PSS CPU
for program in Zephlink CopyQ; do
    printf '  %-10s %-10s %-10s %-10s\n' "$program" \
        "$(awk -v k="${rss[$program]}" 'BEGIN { printf "%.1f MiB", k / 1024 }')" \
        "$(awk -v k="${pss[$program]}" 'BEGIN { printf "%.1f MiB", k / 1024 }')" \
        "$(awk -v t="${cpu[$program]}" -v hz="$ticks" -v s="$idle" \
            'BEGIN { printf "%.2f %%", 100 * t / hz / s }')"
done

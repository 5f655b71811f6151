#!/usr/bin/env bash
# Two desktops as in tests/e2e/two_desktops.sh (network namespaces joined by
# a veth pair, a display, session bus and settings each; B runs the host):
# the copy-to-paste latency from the xclip write on A until B's clipboard
# reads the same text, over COPIES copies, then the CPU time and resident
# memory of each instance while idle for IDLE seconds. Needs root. Not run
# by ctest.
# Usage: bench/two_desktops_latency.sh [PROGRAM] [COPIES] [IDLE]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
ZEPHLINK=$(realpath "${1:-$root/build/src/zephlink}")
copies=${2:-100}
idle=${3:-60}
[ -x "$ZEPHLINK" ] || { echo "no program at $ZEPHLINK; build first" >&2; exit 1; }
# shellcheck source=tests/e2e/lib.sh
. "$root/tests/e2e/lib.sh"
e2e_init

e2e_two_desktops 60
e2e_settings a "device=$device_a" flowWelcomed=true
e2e_settings b "device=$device_b" flowWelcomed=true

e2e_start a
e2e_start b
e2e_wait_program a
e2e_wait_program b
e2e_check "both desktops join B's host"
e2e_expect a Status "Connected · trusted local network"
e2e_expect b Status "Connected · trusted local network"
e2e_wait_connected "$ns_a" "$address_b" 8788 || e2e_fail "A does not poll B's host"
e2e_ok

# Milliseconds between two $EPOCHREALTIME readings.
elapsed_ms() {
    awk -v from="$1" -v to="$2" 'BEGIN { printf "%.1f\n", (to - from) * 1000 }'
}

e2e_check "$copies copies from A to B"
samples=$E2E_TMP/latency.txt
: >"$samples"
for ((i = 1; i <= copies; i++)); do
    text="bench copy $i $(e2e_identifier)"
    # Lets the previous post's answer in: a copy during a post is refused.
    sleep 0.2
    started=$EPOCHREALTIME
    printf '%s' "$text" | xclip -display "$display_a" -selection clipboard -quiet -i \
        >/dev/null 2>&1 &
    e2e_track $!
    # Reads back to back: each read takes a few milliseconds, which bounds
    # the resolution.
    deadline=$((SECONDS + 10))
    until e2e_clip_is "$display_b" "$text"; do
        [ "$SECONDS" -lt "$deadline" ] || e2e_fail "copy $i never reached B"
    done
    elapsed_ms "$started" "$EPOCHREALTIME" >>"$samples"
done
# The median time of one read of B's clipboard: the resolution of the
# figures above.
reads=$E2E_TMP/reads.txt
: >"$reads"
for ((i = 1; i <= 21; i++)); do
    started=$EPOCHREALTIME
    e2e_clip_is "$display_b" "$text" || e2e_fail "B's clipboard changed"
    elapsed_ms "$started" "$EPOCHREALTIME" >>"$reads"
done
resolution=$(sort -n "$reads" | sed -n 11p)
e2e_ok

# CPU ticks (user + system) and resident memory of a process.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

e2e_check "both instances idle for $idle seconds"
declare -A cpu=() rss=() before=()
sleep 2
for side in a b; do
    before[$side]=$(cpu_ticks "${E2E_PID[$side]}")
done
sleep "$idle"
for side in a b; do
    cpu[$side]=$(($(cpu_ticks "${E2E_PID[$side]}") - before[$side]))
    rss[$side]=$(rss_kib "${E2E_PID[$side]}")
done
e2e_ok

e2e_check "Quit ends both programs"
e2e_quit a
e2e_quit b
e2e_ok

ticks=$(getconf CLK_TCK)
percentile() { # nearest rank
    sort -n "$samples" | awk -v p="$1" '{ v[NR] = $1 } END {
        r = int(p * NR / 100); if (r < p * NR / 100) r++; if (r < 1) r = 1; print v[r] }'
}
declare -A role=([a]="A (uses B's host)" [b]="B (the host)")
echo
printf 'Copy on A until pasteable on B, %d copies (one read of B takes %s ms)\n' "$copies" \
    "$resolution"
printf '  %-8s %-8s %-8s\n' p50 p95 max
printf '  %-8s %-8s %-8s\n' "$(percentile 50) ms" "$(percentile 95) ms" "$(percentile 100) ms"
echo
printf 'Idle for %d s\n' "$idle"
printf '  %-20s %-10s %-10s\n' instance "CPU time" RSS
for side in a b; do
    printf '  %-20s %-10s %-10s\n' "${role[$side]}" \
        "$(awk -v t="${cpu[$side]}" -v hz="$ticks" 'BEGIN { printf "%.2f s", t / hz }')" \
        "$(awk -v k="${rss[$side]}" 'BEGIN { printf "%.1f MiB", k / 1024 }')"
done

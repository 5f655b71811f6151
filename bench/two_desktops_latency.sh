#!/usr/bin/env bash
# Two desktops as in tests/e2e/two_desktops.sh (network namespaces joined by
# a veth pair, a display, session bus and settings each; B runs the host):
# the copy-to-paste latency from taking A's clipboard until B's clipboard
# reads the same text, over COPIES copies, then the CPU time and resident
# memory of each instance while idle for IDLE seconds. Needs root. Not run
# by ctest.
# With --trace both programs time-stamp each step of every copy (the
# ZEPHLINK_TRACE environment variable) and the script prints when, after the
# copy, each step happened: the figures of a traced run are not those of a
# normal one.
# Usage: bench/two_desktops_latency.sh [--trace] [PROGRAM] [COPIES] [IDLE]
set -euo pipefail
traced=""
if [ "${1:-}" = --trace ]; then
    traced=1
    shift
fi
root=$(cd "$(dirname "$0")/.." && pwd)
ZEPHLINK=$(realpath "${1:-$root/build/src/zephlink}")
copies=${2:-100}
idle=${3:-60}
[ -x "$ZEPHLINK" ] || { echo "no program at $ZEPHLINK; build first" >&2; exit 1; }
build=$(dirname "$(dirname "$ZEPHLINK")")
cmake --build "$build" --target zephlink_clip_latency >/dev/null
timer=$build/bench/zephlink_clip_latency
# shellcheck source=tests/e2e/lib.sh
. "$root/tests/e2e/lib.sh"
[ -z "$traced" ] || E2E_EXTRA_VARS+=(ZEPHLINK_TRACE=1)

# B has the lower identifier, so that both use B's host.
e2e_two_desktops 60

e2e_start a
e2e_start b
# both desktops join B's host
e2e_expect a Status="Connected · trusted local network"
e2e_expect b Status="Connected · trusted local network"
polls() { [ -n "$(ip netns exec "$ns_a" ss -Htn state established dst "10.231.60.2:8788")" ]; }
e2e_until polls || e2e_fail "A does not poll B's host"

# $copies copies from A to B
samples=$E2E_TMP/latency.txt
copies_at=$E2E_TMP/copies.txt
# One process holds both displays: it owns A's clipboard with each new text
# and reads B's as soon as B's owner changes, so no process start or
# polling adds to the figures.
DISPLAY=$da "$timer" "$da" "$db" "$copies" >"$copies_at" ||
    e2e_fail "a copy never reached B"
awk '{ printf "%.1f\n", ($2 - $1) * 1000 }' "$copies_at" >"$samples"

# CPU ticks (user + system) and resident memory of a process.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
rss_kib() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

# both instances idle for $idle seconds
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

# Quit ends both programs
e2e_quit a
e2e_quit b

if [ -n "$traced" ]; then
    trace_log() { grep -h '^zephlink-trace ' "${E2E_DIR[$1]}"/zephlink.*.log || true; }
    trace_log a >"$E2E_TMP/trace.a"
    trace_log b >"$E2E_TMP/trace.b"
    echo
    echo "When each step happened after the copy on A, over $copies copies (ms)"
    python3 - "$copies_at" "$E2E_TMP/trace.a" "$E2E_TMP/trace.b" <<'REPORT'
import sys

copies = [tuple(float(v) * 1e6 for v in line.split()) for line in open(sys.argv[1])]
logs = {}
for side, path in (("A", sys.argv[2]), ("B", sys.argv[3])):
    logs[side] = sorted((int(t), step) for _, t, step in (l.split() for l in open(path)))
# The path of one copy, in order: which program takes each step.
steps = [("A", "change", "A's clipboard change signal"), ("A", "read", "A read the clipboard"),
         ("A", "sealed", "A sealed the clip"), ("A", "post", "A's post starts"),
         ("B", "stored", "B's host stored it"), ("B", "wake", "B's host woke the poll"),
         ("B", "answer", "B read the poll answer"),
         ("B", "main", "B's main thread has it"), ("B", "opened", "B opened it"),
         ("B", "written", "B wrote its clipboard"),
         ("A", "posted", "A's post answered (off the path)")]
offsets = {step: [] for _, step, _ in steps}
gaps = {step: [] for _, step, _ in steps}
ends = []
for i, (start, end) in enumerate(copies):
    limit = copies[i + 1][0] if i + 1 < len(copies) else float("inf")
    ends.append((end - start) / 1000)
    previous = start
    for side, step, _ in steps:
        hit = next((t for t, s in logs[side] if s == step and start <= t < limit), None)
        if hit is not None:
            offsets[step].append((hit - start) / 1000)
            gaps[step].append((hit - previous) / 1000)
            previous = hit

def rank(values, p):
    values = sorted(values)
    if not values:
        return float("nan")
    r = max(1, -(-p * len(values) // 100))
    return values[int(r) - 1]

print(f"  {'':32} {'after the copy':>17} {'after the step before':>22}")
print(f"  {'step':32} {'p50':>8} {'p95':>8} {'p50':>10} {'p95':>10} {'n':>4}")
for side, step, label in steps:
    v, g = offsets[step], gaps[step]
    print(f"  {label:32} {rank(v, 50):8.1f} {rank(v, 95):8.1f} {rank(g, 50):10.1f} "
          f"{rank(g, 95):10.1f} {len(v):4}")
print(f"  {'pasteable on B (read by the timer)':32} {rank(ends, 50):8.1f} {rank(ends, 95):8.1f}")
REPORT
fi

ticks=$(getconf CLK_TCK)
percentile() { # nearest rank
    sort -n "$samples" | awk -v p="$1" '{ v[NR] = $1 } END {
        r = int(p * NR / 100); if (r < p * NR / 100) r++; if (r < 1) r = 1; print v[r] }'
}
declare -A role=([a]="A (uses B's host)" [b]="B (the host)")
echo
printf 'Copy on A until pasteable on B, %d copies\n' "$copies"
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

#!/usr/bin/env bash
# Resident memory of the nearby host (the program's --local-host-check mode)
# while READERS connections that never read hold answers for the whole room
# of FRAMES stored clips of the largest size; the host must still answer one
# more client meanwhile. Everything runs in a network namespace of its own,
# over its loopback. Needs root. Not run by ctest.
# Usage: bench/host_memory.sh [PROGRAM] [READERS] [FRAMES]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
ZEPHLINK=$(realpath "${1:-$root/build/src/zephlink}")
readers=${2:-31}
frames=${3:-100}
[ -x "$ZEPHLINK" ] || { echo "no program at $ZEPHLINK; build first" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespace)" >&2; exit 1; }

exec unshare -n bash -s "$ZEPHLINK" "$readers" "$frames" "$root" <<'INSIDE'
set -euo pipefail
program=$1 readers=$2 frames=$3 root=$4
ip link set lo up
log=$(mktemp)
"$program" --local-host-check 120 >"$log" 2>&1 &
host=$!
trap 'kill "$host" 2>/dev/null; wait "$host" 2>/dev/null || true; rm -f "$log"' EXIT
for _ in $(seq 100); do
    grep -q READY "$log" && break
    sleep 0.1
done
grep -q READY "$log" || { cat "$log"; echo "the host did not start" >&2; exit 1; }
python3 "$root/bench/host_memory.py" "$host" "$readers" "$frames"
INSIDE

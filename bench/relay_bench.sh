#!/usr/bin/env bash
# zephlink-relay under load, on loopback only: the resident memory each of
# POLLS idle held polls costs and how fast posts are answered meanwhile (one
# relay, rooms in memory); then the time from a post to each held poll's
# answer with 1, 100 and 1000 waiters in one room: in one process (memory),
# in one process on Redis, and across two processes on one Redis (waiters on
# one relay, posts through the other). Raises the open-files limit and the
# relay's per-address limits with its own flags. Not run by ctest.
# Usage: bench/relay_bench.sh [BUILD_DIR] [POLLS] [ROUNDS]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$root/build}")
polls=${2:-10000}
rounds=${3:-30}
cmake --build "$build" --target zephlink-relay zephlink_relay_load >/dev/null
relay=$build/src/relay/zephlink-relay
load=$build/bench/zephlink_relay_load
# Each side needs a descriptor per poll: raise the soft limit as far as allowed.
ulimit -n 65536 2>/dev/null || ulimit -n "$(ulimit -Hn)"
if [ "$(ulimit -n)" -lt $((polls + 500)) ]; then
    echo "open-files limit $(ulimit -n) is too low for $polls polls" >&2
    exit 1
fi

tmp=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT

free_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Starts a relay; sets $port, $metrics and $pid.
start_relay() {
    local log=$tmp/relay$((${#pids[@]})).log
    "$relay" --listen 127.0.0.1:0 --metrics 127.0.0.1:0 --threads 2 \
        --polls-per-address $((polls + 100)) --max-polls $((polls + 100)) \
        --connections-per-address $((polls + 100)) --requests-per-minute 100000000 \
        --rooms-per-hour 1000 "$@" 2>"$log" &
    pid=$!
    pids+=("$pid")
    for _ in $(seq 100); do grep -q listening "$log" && break; sleep 0.05; done
    port=$(grep -o 'listening on 127.0.0.1:[0-9]*' "$log" | cut -d: -f2)
    metrics=$(grep -o 'metrics on 127.0.0.1:[0-9]*' "$log" | cut -d: -f2)
}

echo "zephlink-relay benchmark, $(date -u '+%Y-%m-%d %H:%M UTC')"
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)," \
    "$(free -g | awk '/Mem:/ { print $2 }') GiB, load average $(cut -d' ' -f1-3 /proc/loadavg)"

echo "== one relay, rooms in memory"
start_relay
memory_port=$port memory_metrics=$metrics
"$load" idle "$port" "$metrics" "$pid" "$polls"
for waiters in 1 100 1000; do
    "$load" wake "$memory_port" "$memory_port" "$memory_metrics" "$waiters" "$rounds"
done

echo "== Redis (append-only file on)"
redis_port=$(free_port)
redis-server --port "$redis_port" --bind 127.0.0.1 --dir "$tmp" --appendonly yes --save "" \
    >"$tmp/redis.log" &
pids+=("$!")
for _ in $(seq 100); do [ "$(redis-cli -p "$redis_port" ping 2>/dev/null)" = PONG ] && break; sleep 0.05; done
start_relay --redis "redis://127.0.0.1:$redis_port"
a_port=$port
start_relay --redis "redis://127.0.0.1:$redis_port"
b_port=$port b_metrics=$metrics
for waiters in 1 100 1000; do
    echo "-- one process: waiters and posts on the same relay"
    "$load" wake "$b_port" "$b_port" "$b_metrics" "$waiters" "$rounds"
    echo "-- two processes: waiters on one relay, posts through the other"
    "$load" wake "$b_port" "$a_port" "$b_metrics" "$waiters" "$rounds"
done
redis-cli -p "$redis_port" shutdown nosave >/dev/null 2>&1 || true

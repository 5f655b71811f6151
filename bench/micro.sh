#!/usr/bin/env bash
# Builds and runs the micro-benchmarks inside a network namespace of their
# own (the nearby host binds its fixed ports). Needs root. Not run by ctest.
# Extra arguments go to the benchmark binary (--benchmark_filter=…).
# Usage: bench/micro.sh [BUILD_DIR] [ARGS...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
shift || true
cmake -S "$root" -B "$build" -DZEPHLINK_BUILD_BENCH=ON >/dev/null
cmake --build "$build" --target zephlink_micro_bench >/dev/null
[ "$(id -u)" -eq 0 ] || { echo "needs root (network namespace)" >&2; exit 1; }
exec unshare -n sh -c 'ip link set lo up && exec "$0" "$@"' \
    "$build/bench/zephlink_micro_bench" "$@"

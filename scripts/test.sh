#!/usr/bin/env bash
# Installs what is missing, builds Zephlink twice (warnings as errors; then
# with AddressSanitizer and UndefinedBehaviorSanitizer) and runs every test
# in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)

echo "== build (warnings as errors)"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZEPHLINK_WERROR=ON >/dev/null
cmake --build build
echo "== tests"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== build (sanitizers)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DZEPHLINK_WERROR=ON \
    -DZEPHLINK_SANITIZE=ON >/dev/null
cmake --build build-asan
echo "== tests (sanitizers)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs"
echo "== all tests passed"

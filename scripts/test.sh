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
    LSAN_OPTIONS="suppressions=$PWD/tests/support/lsan.supp:print_suppressions=0" \
    ctest --test-dir build-asan --output-on-failure -j"$jobs"

echo "== fuzz targets (bounded run)"
CC=clang-14 CXX=clang++-14 cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DZEPHLINK_FUZZ=ON -DZEPHLINK_BUILD_APP=OFF -DZEPHLINK_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz --target zephlink_fuzz_request zephlink_fuzz_datagram zephlink_fuzz_host
for target in request datagram host; do
    # New inputs go to the build directory; the committed seeds stay as they are.
    mkdir -p "build-fuzz/corpus-$target"
    log="build-fuzz/fuzz-$target.log"
    if ! "build-fuzz/fuzz/zephlink_fuzz_$target" "build-fuzz/corpus-$target" \
        "fuzz/corpus/$target" -max_total_time=20 -max_len=16384 -timeout=10 -malloc_limit_mb=64 \
        >"$log" 2>&1; then
        cat "$log"
        echo "fuzz target $target failed"
        exit 1
    fi
    tail -n 1 "$log"
done
echo "== all tests passed"

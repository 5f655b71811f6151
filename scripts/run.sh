#!/usr/bin/env bash
# Installs what is missing, builds Zephlink and starts it. Arguments are
# passed to the program (for example --ui-preview).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target zephlink
exec build/src/zephlink "$@"

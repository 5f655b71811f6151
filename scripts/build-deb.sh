#!/usr/bin/env bash
# Builds the Debian packages with Debian's hardening flags, in their own build
# directory (build-deb, or the first argument), and checks them with lintian.
# The packages end up in <build>/packaging/deb/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
build=${1:-build-deb}

# dpkg-buildflags gives what Debian's own packages are built with (fortify,
# stack protector, full RELRO); CMake reads them from the environment.
eval "$(dpkg-buildflags --export=sh)"
export CXXFLAGS="$CPPFLAGS $CXXFLAGS"
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
    -DZEPHLINK_BUILD_TESTS=OFF "${launcher[@]}" >/dev/null
cmake --build "$build"
rm -f "$build"/packaging/deb/*.deb
(cd "$build" && cpack)
lintian --fail-on error --tag-display-limit 0 "$build"/packaging/deb/*.deb
ls -l "$build"/packaging/deb/*.deb

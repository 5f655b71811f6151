#!/usr/bin/env bash
# package_test.sh BUILD_DIR SOURCE_DIR CRYPTO_FIXTURE: the Debian packages of
# this build as dpkg, lintian and a user meet them.
set -euo pipefail
build=$(realpath "$1") source=$(realpath "$2") fixture=$(realpath "$3")
work=$(mktemp -d /tmp/zephlink-package.XXXXXX) && root=$work/root
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
(cd "$build" && cpack -B "$work/deb" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail cpack; }
version=$(sed -n '1s/^zephlink (\(.*\)) .*/\1/p' "$source/packaging/debian/changelog")
deb=$work/deb/zephlink_${version}_$(dpkg --print-architecture).deb relay_deb=${deb/zephlink_/zephlink-relay_}
depends=$(dpkg-deb -f "$deb" Depends) relay_depends=$(dpkg-deb -f "$relay_deb" Depends)
for p in libqt6quick6 libavahi-client3 libsecret-1-0 qml6-module-qtquick-controls qml6-module-qtquick-shapes \
    libqt6svg6 qt6-wayland; do
    grep -Eq "(^|, )$p( |,|$)" <<<"$depends" || fail "Depends lacks $p"
done
! grep -Eq 'qt6|qml6' <<<"$relay_depends" || fail "the relay depends on Qt: $relay_depends"
lintian --fail-on error --tag-display-limit 0 "$deb" "$relay_deb" || fail lintian
for d in "$deb" "$relay_deb"; do dpkg-deb -x "$d" "$root" && dpkg-deb -e "$d" "$work/${d##*/}.control"; done
[ "$(cat "$work"/zephlink_*.control/conffiles)" = /etc/ufw/applications.d/zephlink ] || fail conffiles
[ "$(cat "$work"/zephlink-relay_*.control/conffiles)" = /etc/default/zephlink-relay ] || fail "relay conffiles"
for f in share/zephlink/Zephlink_Zephlink.bundle/{Lato-Regular.ttf,ComicNeue-Regular.otf,icons/paperclip.svg} \
    share/metainfo/app.zephlink.Zephlink.metainfo.xml lib/firewalld/services/zephlink.xml; do
    [ -f "$root/usr/$f" ] && [ ! -L "$root/usr/$f" ] || fail "$f is not in the package as a file"
done
desktop-file-validate "$root/usr/share/applications/app.zephlink.Zephlink.desktop" || fail "desktop entry"
[ "$("$root/usr/bin/zephlink" --crypto-check "$fixture")" = \
    "PASS: macOS CryptoKit shared fixture and metadata authentication" ] || fail "the crypto check"
# Each --help names the switches its manual page does.
switches() { grep -oE -- '(^|[^a-z-])--?[a-z][a-z-]*' | grep -oE -- '--?[a-z][a-z-]*' | sort -u; }
manual() { MANWIDTH=80 man -l "$root/usr/share/man/man1/$1.1.gz"; }
diff <("$root/usr/bin/zephlink" --help | switches) \
    <(manual zephlink | sed '/^NETWORK AND FIREWALLS/,/^[A-Z]/d' | switches) || fail "zephlink(1)"
diff <("$root/usr/bin/zephlink-relay" --help | switches) \
    <(manual zephlink-relay | sed -n '/^OPTIONS/,/^[A-Z]/p' | switches) || fail "zephlink-relay(1)"
# Installed, the program finds its bundle under its prefix.
status=0
unshare -n env QT_QPA_PLATFORM=offscreen HOME="$work" XDG_RUNTIME_DIR="$work" \
    timeout 8 "$root/usr/bin/zephlink" --ui-preview >"$work/run.log" 2>&1 || status=$?
[ "$status" -eq 124 ] && ! grep -q 'could not load resource bundle' "$work/run.log" || fail "$(cat "$work/run.log")"
echo "PASS the packages"

#!/usr/bin/env bash
# package_test.sh BUILD_DIR SOURCE_DIR CRYPTO_FIXTURE
#
# Makes the Debian packages of this build with cpack, in a directory of its
# own, and checks the zephlink package as dpkg, lintian and a user meet it:
# control fields and dependencies, the file list, conffiles, links that
# resolve, lintian without errors, and the unpacked program (its verification
# mode, its help against its manual page, its bundle found where installed).
# Then the zephlink-relay package: no Qt, its unit naming the installed
# program and options file, its conffile, its help against its manual page.
set -euo pipefail
build=$(realpath "$1")
source=$(realpath "$2")
fixture=$(realpath "$3")
work=$(mktemp -d /tmp/zephlink-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "FAIL: $*"
    exit 1
}

(cd "$build" && cpack -B "$work/deb" >"$work/cpack.log" 2>&1) || {
    cat "$work/cpack.log"
    fail "cpack"
}
version=$(sed -n '1s/^zephlink (\(.*\)) .*/\1/p' "$source/packaging/debian/changelog")
deb="$work/deb/zephlink_${version}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $deb among: $(ls "$work/deb")"

# --- control fields ------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = zephlink ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Section)" = utils ] || fail "Section: $(field Section)"
[[ "$(field Maintainer)" =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "Maintainer: $(field Maintainer)"
depends=$(field Depends)
# From dpkg-shlibdeps, and what only the program's run time loads.
for package in libc6 libqt6core6 libqt6quick6 libavahi-client3 libsecret-1-0 libssl3 \
    qml6-module-qtquick-controls qml6-module-qtquick-layouts qml6-module-qtquick-shapes \
    qml6-module-qtquick-window libqt6svg6 qt6-wayland; do
    grep -Eq "(^|, )$package( |,|$)" <<<"$depends" || fail "Depends lacks $package: $depends"
done
echo "PASS control fields and dependencies"

# --- files ---------------------------------------------------------------------
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/files"
for file in /usr/bin/zephlink /usr/share/applications/app.zephlink.Zephlink.desktop \
    /usr/share/icons/hicolor/scalable/apps/app.zephlink.Zephlink.svg \
    /usr/share/metainfo/app.zephlink.Zephlink.metainfo.xml /usr/share/man/man1/zephlink.1.gz \
    /usr/share/doc/zephlink/copyright /usr/share/doc/zephlink/changelog.Debian.gz \
    /usr/lib/firewalld/services/zephlink.xml /etc/ufw/applications.d/zephlink \
    /usr/share/zephlink/Zephlink_Zephlink.bundle/flow_mascot.png \
    /usr/share/zephlink/Zephlink_Zephlink.bundle/icons/paperclip.svg \
    /usr/share/zephlink/Zephlink_Zephlink.bundle/Lato-Regular.ttf \
    /usr/share/zephlink/Zephlink_Zephlink.bundle/ComicNeue-Regular.otf \
    /usr/share/zephlink/Zephlink_Zephlink.bundle/Lato-OFL.txt; do
    grep -qxF "$file" "$work/files" || fail "$file is not in the package"
done
grep -E '^/usr/local|/lintian/overrides/' "$work/files" && fail "files that do not belong"
mkdir "$work/control"
dpkg-deb -e "$deb" "$work/control"
[ "$(cat "$work/control/conffiles")" = /etc/ufw/applications.d/zephlink ] ||
    fail "conffiles: $(cat "$work/control/conffiles")"
dpkg-deb -x "$deb" "$work/root"
bundle="$work/root/usr/share/zephlink/Zephlink_Zephlink.bundle"
# The typefaces travel as copies, so the views keep them without the font packages.
for font in "$bundle"/*.ttf "$bundle"/*.otf; do
    [ -f "$font" ] && [ ! -L "$font" ] || fail "$font is not a copy"
done
echo "PASS file list, conffiles and bundled fonts"

# --- lintian and the metadata validators ----------------------------------------
relay_deb="$work/deb/zephlink-relay_${version}_$(dpkg --print-architecture).deb"
[ -f "$relay_deb" ] || fail "no $relay_deb among: $(ls "$work/deb")"
lintian --fail-on error --tag-display-limit 0 "$deb" "$relay_deb" >"$work/lintian" 2>&1 || {
    cat "$work/lintian"
    fail "lintian"
}
cat "$work/lintian"
desktop-file-validate "$work/root/usr/share/applications/app.zephlink.Zephlink.desktop" ||
    fail "desktop entry"
appstreamcli validate --no-net "$work/root/usr/share/metainfo/app.zephlink.Zephlink.metainfo.xml" \
    >"$work/appstream" 2>&1 || {
    cat "$work/appstream"
    fail "AppStream metadata"
}
echo "PASS lintian without errors; desktop entry and AppStream metadata valid"

# --- the unpacked program -------------------------------------------------------
program="$work/root/usr/bin/zephlink"
[ "$("$program" --crypto-check "$fixture")" = \
    "PASS: macOS CryptoKit shared fixture and metadata authentication" ] ||
    fail "the packaged program's crypto check"
switches() { grep -oE -- '(^|[^a-z-])--?[a-z][a-z-]*' | grep -oE -- '--?[a-z][a-z-]*' | sort -u; }
# manual NAME ROOT: the manual page's text; warnings fail.
manual() {
    MANWIDTH=80 man --warnings -l "$2/usr/share/man/man1/$1.1.gz" 2>"$work/man-warnings"
    [ ! -s "$work/man-warnings" ] || fail "$1(1) warnings: $(cat "$work/man-warnings")"
}
"$program" --help | switches >"$work/help"
man_page=$(manual zephlink "$work/root")
# The manual also names other programs' switches (firewall-cmd, ufw) under NETWORK.
sed '/^NETWORK AND FIREWALLS/,/^[A-Z]/d' <<<"$man_page" | switches >"$work/man"
diff "$work/help" "$work/man" || fail "--help and zephlink(1) list different switches"
# Installed, the program finds its bundle in <prefix>/share/zephlink.
status=0
unshare -n env QT_QPA_PLATFORM=offscreen HOME="$work" XDG_RUNTIME_DIR="$work" \
    timeout 8 "$program" --ui-preview >"$work/run.log" 2>&1 || status=$?
[ "$status" -eq 124 ] || fail "the packaged program ended with $status: $(cat "$work/run.log")"
grep -q 'could not load resource bundle' "$work/run.log" && fail "$(cat "$work/run.log")"
echo "PASS the packaged program checks, helps as its manual says, and finds its bundle"

# --- zephlink-relay ----------------------------------------------------------------
relay_depends=$(dpkg-deb -f "$relay_deb" Depends)
for package in libc6 libhiredis0.14 libssl3; do
    grep -Eq "(^|, )$package( |,|$)" <<<"$relay_depends" || fail "relay Depends lacks $package"
done
grep -Eq 'qt6|qml6|fonts-' <<<"$relay_depends" && fail "the relay depends on the desktop's: $relay_depends"
dpkg-deb -c "$relay_deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/relay-files"
for file in /usr/bin/zephlink-relay /usr/lib/systemd/system/zephlink-relay.service \
    /etc/default/zephlink-relay /usr/share/man/man1/zephlink-relay.1.gz \
    /usr/share/doc/zephlink-relay/copyright /usr/share/doc/zephlink-relay/changelog.Debian.gz; do
    grep -qxF "$file" "$work/relay-files" || fail "$file is not in the relay package"
done
grep -E '^/usr/local|^/usr/etc' "$work/relay-files" && fail "relay files that do not belong"
mkdir "$work/relay-control"
dpkg-deb -e "$relay_deb" "$work/relay-control"
[ "$(cat "$work/relay-control/conffiles")" = /etc/default/zephlink-relay ] ||
    fail "relay conffiles: $(cat "$work/relay-control/conffiles")"
dpkg-deb -x "$relay_deb" "$work/relay-root"
unit="$work/relay-root/usr/lib/systemd/system/zephlink-relay.service"
grep -qx 'ExecStart=/usr/bin/zephlink-relay $ZEPHLINK_RELAY_OPTIONS' "$unit" || fail "ExecStart: $(grep Exec "$unit")"
grep -qx 'EnvironmentFile=-/etc/default/zephlink-relay' "$unit" || fail "the unit reads no /etc/default"
"$work/relay-root/usr/bin/zephlink-relay" --help | switches >"$work/relay-help"
manual zephlink-relay "$work/relay-root" | sed -n '/^OPTIONS/,/^[A-Z]/p' | switches >"$work/relay-man"
diff "$work/relay-help" "$work/relay-man" || fail "--help and zephlink-relay(1) list different switches"
echo "PASS the relay package: no Qt, its unit, its conffile, help as its manual says"

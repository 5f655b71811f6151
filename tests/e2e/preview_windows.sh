#!/usr/bin/env bash
# The design-preview windows of the real program under Xvfb: which window
# opens for which switches, with screenshots into the output directory. The
# system's fonts are hidden but DejaVu, so the text in Lato comes from the
# program's own bundle, registered at launch.
# Usage: preview_windows.sh PROGRAM RELAY_SERVER OUTPUT_DIR
set -euo pipefail
ZEPHLINK=$1
ZEPHLINK_RELAY_SERVER=$2
output=$3
# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"
e2e_init
mkdir -p "$output"

e2e_netns_new ns
e2e_netns_lan "$ns" 10.231.10.1/24
e2e_xvfb display
e2e_desktop preview "$ns" "$display"
cat >"$E2E_TMP/fonts.conf" <<EOF
<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "fonts.dtd">
<fontconfig><dir>/usr/share/fonts/truetype/dejavu</dir><cachedir>$E2E_TMP/fonts</cachedir></fontconfig>
EOF
# Qt says which faces it found for each family asked for.
E2E_EXTRA_VARS=(FONTCONFIG_FILE="$E2E_TMP/fonts.conf" QT_LOGGING_RULES=qt.text.font.match.debug=true)

# Each run opens exactly one of the two windows: open names the one that
# must be viewable, closed the one that must not be.
cases=(
    "--ui-preview --preview-popover --preview-clips|Zephlink Design Preview|Zephlink|preview-popover.png"
    "--ui-preview|Zephlink|Zephlink Design Preview|preview-welcome.png"
)
for entry in "${cases[@]}"; do
    IFS='|' read -r switches open closed picture <<<"$entry"
    e2e_check "zephlink $switches shows a window titled \"$open\" and no \"$closed\""
    # shellcheck disable=SC2086 # the switches are words
    e2e_start preview $switches
    e2e_wait_window "$display" "$open" >/dev/null ||
        e2e_fail "no viewable window titled \"$open\""
    for id in $(e2e_windows "$display" "$closed"); do
        if e2e_viewable "$display" "$id"; then
            e2e_fail "the window \"$closed\" is viewable as well"
        fi
    done
    # Let Qt Quick finish its first frames before the picture.
    sleep 1
    e2e_screenshot "$display" "$output/$picture"
    e2e_ok "screenshot $output/$picture"

    e2e_check "its text is drawn in Lato, which fontconfig does not offer"
    e2e_in preview fc-list >"$E2E_TMP/faces"
    ! grep -qi lato "$E2E_TMP/faces" || e2e_fail "fontconfig offers Lato"
    log=${E2E_LOGS[preview]##* }
    grep -q "foundry for family 'Lato' \\[[1-9]" "$log" || e2e_fail "no face of Lato was found"
    e2e_ok

    e2e_check "a design preview never takes the program's name on the session bus"
    ! e2e_has_name preview "$E2E_DBUS_NAME" || e2e_fail "the preview owns $E2E_DBUS_NAME"
    e2e_ok

    e2e_stop "${E2E_PID[preview]}"
done

e2e_log "all preview checks passed"

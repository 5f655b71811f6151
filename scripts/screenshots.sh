#!/usr/bin/env bash
# Takes the README's pictures from the built program: the welcome window and
# the clipboard panel (paused) with clips, a clip's detail and its settings, in the design
# preview, on a private Xvfb display with a compositor (so that the panel
# casts its shadow) and a plain desktop colour behind it. The program runs in
# a network namespace of its own, as in the end-to-end tests. Needs root.
#
# Usage: scripts/screenshots.sh [PROGRAM] [OUTPUT_DIR]
#   (defaults: build/src/zephlink and docs)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
ZEPHLINK=$(realpath "${1:-$root/build/src/zephlink}")
output=${2:-$root/docs}
# shellcheck source=tests/e2e/lib.sh
. "$root/tests/e2e/lib.sh"
mkdir -p "$output"
for tool in xcompmgr xdotool import display; do
    command -v "$tool" >/dev/null || e2e_fail "$tool is missing (scripts/install-deps.sh installs it)"
done

e2e_ns ns
e2e_xvfb display
DISPLAY=$display xcompmgr >/dev/null 2>&1 &
e2e_track $!
e2e_desktop shots "$ns" "$display"

# Saves the window's part of the screen, the panel's shadow included, once
# Qt Quick (and the compositor) have drawn it: a blank window has few colours.
picture() {
    local id=$1 file=$2 geometry try
    for try in 1 2 3 4 5 6 7 8 9 10; do
        sleep 1
        geometry=$(xwininfo -display "$display" -id "$id" | awk '
            /Absolute upper-left X/ { x = $NF } /Absolute upper-left Y/ { y = $NF }
            /Width:/ { w = $NF } /Height:/ { h = $NF }
            END { printf "%dx%d+%d+%d", w, h, x, y }')
        timeout 10 import -display "$display" -window root -crop "$geometry" \
            +repage -strip "$file" || e2e_fail "cannot take $file"
        [ "$(identify -format %k "$file")" -lt 200 ] || break
    done
    echo "$file ($geometry, after $try s)"
}

# the welcome window
E2E_NOWAIT=1 e2e_start shots --ui-preview
id=$(e2e_window "$display" Zephlink) || e2e_fail "no welcome window"
picture "$id" "$output/welcome.png"
e2e_stop "${E2E_PID[shots]}" || true

# the panel with clips, then a clip's detail
# A plain desktop behind the panel's shadow (the compositor paints the bare
# root grey): a full-screen backdrop window, mapped before the panel so that
# the panel lies above it.
convert -size 1x1 'xc:#d5dbe1' "$E2E_TMP/desktop.png"
DISPLAY=$display display -backdrop -background '#d5dbe1' "$E2E_TMP/desktop.png" &
e2e_track $!
sleep 1
E2E_NOWAIT=1 e2e_start shots --ui-preview --preview-popover --preview-clips
id=$(e2e_window "$display" "Zephlink Design Preview") || e2e_fail "no panel"
picture "$id" "$output/panel-clips.png"
# The header button sits at the card's top right, 25 in from its edges; the
# card is the window less the shadow's 16 on every side.
place() {
    eval "$(xwininfo -display "$display" -id "$id" | awk '
        /Absolute upper-left X/ { print "x=" $NF } /Absolute upper-left Y/ { print "y=" $NF }
        /Width:/ { print "w=" $NF }')"
}
place
# The first clip's text, 160 down the card: its detail page.
DISPLAY=$display xdotool mousemove $((x + w / 2)) $((y + 16 + 160)) click 1
DISPLAY=$display xdotool mousemove 0 0
picture "$id" "$output/panel-detail.png"
e2e_stop "${E2E_PID[shots]}" || true

# the panel's settings
E2E_NOWAIT=1 e2e_start shots --ui-preview --preview-popover --preview-clips
id=$(e2e_window "$display" "Zephlink Design Preview") || e2e_fail "no panel"
picture "$id" "$E2E_TMP/clips-again.png"
place
# The settings page is shorter: the panel shrinks when it opens.
height() { xwininfo -display "$display" -id "$id" | awk '/Height:/ { print $NF }'; }
clips_height=$(height)
DISPLAY=$display xdotool mousemove $((x + w - 16 - 25 - 40)) $((y + 16 + 25 + 19)) click 1
DISPLAY=$display xdotool mousemove 0 0
deadline=$((SECONDS + E2E_LIMIT))
until [ "$(height)" != "$clips_height" ]; do
    [ "$SECONDS" -lt "$deadline" ] || e2e_fail "the settings page did not open"
    sleep 0.1
done
picture "$id" "$output/panel-settings.png"
e2e_stop "${E2E_PID[shots]}" || true

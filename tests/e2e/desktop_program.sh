#!/usr/bin/env bash
# One desktop with a keyring and zephlink-relay: the identifier across starts,
# one instance per session, links handed to the running instance, previews.
# Usage: desktop_program.sh PROGRAM RELAY OUTPUT_DIR
set -euo pipefail
ZEPHLINK=$1 RELAY_PROGRAM=$2 output=$3
. "$(dirname "$0")/lib.sh"
mkdir -p "$output"
e2e_ns ns
e2e_link "$ns" 10.231.20.1/24
e2e_relay "$ns" 10.231.20.1:8790
e2e_xvfb display
e2e_desktop desk "$ns" "$display"
e2e_keyring desk
settings=${E2E_DIR[desk]}/config/Zephlink/Zephlink.conf

# A first start stores an identifier, syncs with its own host and welcomes.
e2e_start desk
e2e_until grep -q '^device=' "$settings" 2>/dev/null || e2e_fail "no identifier stored"
device=$(sed -n 's/^device=//p' "$settings")
[[ $device =~ ^[0-9a-f]{32}$ ]] || e2e_fail "stored device \"$device\""
e2e_expect desk Device="$device" Server=http://10.231.20.1:8787 Running=true \
    Status="Ready · waiting for nearby devices" Paired=true
e2e_window "$display" Zephlink >/dev/null || e2e_fail "no welcome window"
e2e_quit desk
e2e_start desk
e2e_expect desk Device="$device"

# A second start on the session bus ends at once and opens the first's panel.
! e2e_shown "$display" "Zephlink Clipboard" || e2e_fail "the panel is open before"
started=$SECONDS
e2e_run desk || e2e_fail "the second start failed"
[ $((SECONDS - started)) -le 15 ] && e2e_alive "${E2E_PID[desk]}" || e2e_fail "the hand-over took too long"
e2e_window "$display" "Zephlink Clipboard" >/dev/null || e2e_fail "the panel never opened"

created=$(ip netns exec "$ns" curl -sf -X POST --data '{}' "$RELAY/v1/rooms") || e2e_fail "no room"
room=$(e2e_json "$created" room) token=$(e2e_json "$created" token) key=$(e2e_key)
link="zephlink://pair?server=$RELAY&room=$room&token=$token&key=$key"
state() { echo "$(e2e_metric answers) $(md5sum <"$settings") $(e2e_secret desk) $(e2e_get desk Running) $(e2e_get desk Paired)"; }

# A refused link shows its message (sync's rounds rewrite it) and changes nothing.
other() { ! e2e_is desk Status "$1"; }
refuse() {
    local before
    e2e_call desk SendClipboard # a status no link produces
    E2E_LIMIT=5 e2e_until other "$2" || e2e_fail "SendClipboard changed no status"
    before=$(state)
    e2e_run desk "$1" || e2e_fail "the start with $1 failed"
    [ "$(e2e_get desk Running)" = true ] || e2e_expect desk Status="$2"
    [ "$(state)" = "$before" ] || e2e_fail "$1 changed \"$before\" to \"$(state)\""
}
refuse "zephlink://pair?server=$RELAY&room=$room&token=$token" "Invalid Zephlink invitation"

# A good link asks first: nothing happens before Join, nor on Escape.
before=$(state)
dialog=$(e2e_dialog_after "$display" e2e_run desk "$link") || e2e_fail "no dialog"
sleep 1
[ "$(state)" = "$before" ] || e2e_fail "while asking: \"$before\" became \"$(state)\""
e2e_keys "$display" "$dialog" Escape
e2e_until e2e_hidden "$display" "$dialog" || e2e_fail "the dialog stayed open"
sleep 0.5
[ "$(state)" = "$before" ] || e2e_fail "after Escape: \"$before\" became \"$(state)\""

# Joined with a token the relay refuses: sync runs on, nothing stored.
dialog=$(e2e_dialog_after "$display" e2e_run desk "${link/token=$token/token=$(e2e_key)}") || e2e_fail "no dialog"
e2e_keys "$display" "$dialog" Tab Return # Cancel is the default; Tab moves to Join
e2e_until eval "[ \"\$(e2e_metric 'answers.*\"401\"')\" = 1 ]" || e2e_fail "the relay was not asked"
sleep 0.5
e2e_expect desk Running=true Paired=true
[ -z "$(e2e_secret desk)" ] || e2e_fail "a refused group was stored"

# Joined with the good link: its room, paused, in the keyring.
dialog=$(e2e_dialog_after "$display" e2e_run desk "$link") || e2e_fail "no dialog"
e2e_keys "$display" "$dialog" Tab Return
e2e_expect desk Status="Paired · paused. Resume sync on both devices." Paired=true Running=false Server="$RELAY"
secret=$(e2e_secret desk)
[ "$(e2e_json "$secret" room)" = "$room" ] && [ "$(e2e_json "$secret" key)" = "$key" ] || e2e_fail "stored $secret"
refuse "$link" "Leave the current group before joining another."
refuse "zephlink://pair?server=$RELAY&room=$room&token=$token" "Invalid Zephlink invitation"
refuse "zephlink://pair?server=http://203.0.113.5:8787&room=$room&token=$token&key=$key" \
    "Public servers require HTTPS; HTTP is only for a trusted private LAN"
e2e_quit desk

# A first start with a link starts an instance, without the link on its command line.
before=$(e2e_windows "$display" Zephlink | tr '\n' ' ')
E2E_NOWAIT=1 e2e_start desk "$link"
e2e_until e2e_gone "${E2E_PID[desk]}" && wait "${E2E_PID[desk]}" || e2e_fail "the start with the link failed"
dialog=$(e2e_window "$display" Zephlink "$before") || e2e_fail "no dialog"
! grep -qF "$key" /proc/[0-9]*/cmdline 2>/dev/null || e2e_fail "a command line holds the key"
e2e_keys "$display" "$dialog" Escape
e2e_until e2e_hidden "$display" "$dialog" || e2e_fail "the dialog stayed open"
e2e_expect desk Paired=false
e2e_call desk Quit
e2e_until eval '! e2e_has desk $E2E_NAME' || e2e_fail "the instance did not quit"

# Each preview shows one window, in the bundled Lato, without the bus name.
cat >"$E2E_TMP/fonts.conf" <<EOF
<fontconfig><dir>/usr/share/fonts/truetype/dejavu</dir><cachedir>$E2E_TMP/fonts</cachedir></fontconfig>
EOF
E2E_EXTRA_VARS=(FONTCONFIG_FILE="$E2E_TMP/fonts.conf" QT_LOGGING_RULES=qt.text.font.match.debug=true)
! e2e_in desk fc-list | grep -qi lato || e2e_fail "fontconfig offers Lato"
for entry in "--preview-popover --preview-clips|Zephlink Design Preview|Zephlink|popover" \
    "|Zephlink|Zephlink Design Preview|welcome"; do
    IFS='|' read -r switches open closed picture <<<"$entry"
    E2E_NOWAIT=1 e2e_start desk --ui-preview $switches
    e2e_window "$display" "$open" >/dev/null || e2e_fail "no window \"$open\" for $switches"
    ! e2e_shown "$display" "$closed" || e2e_fail "\"$closed\" is shown as well for $switches"
    sleep 1
    DISPLAY=$display import -window root "$output/preview-$picture.png" || true
    grep -q "foundry for family 'Lato' \\[[1-9]" "${E2E_DIR[desk]}"/zephlink.*.log || e2e_fail "no Lato face"
    ! e2e_has desk "$E2E_NAME" || e2e_fail "a preview took the bus name"
    e2e_stop "${E2E_PID[desk]}" || true
    rm "${E2E_DIR[desk]}"/zephlink.*.log
done
e2e_stop "$E2E_RELAY_PID" || e2e_fail "the relay did not stop cleanly"

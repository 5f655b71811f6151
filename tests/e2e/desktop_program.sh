#!/usr/bin/env bash
# The real program on one desktop (its own network namespace, display,
# session bus and keyring): the device identifier across starts, one
# instance per session, and invitation links handed to the running instance.
# Usage: desktop_program.sh PROGRAM RELAY_SERVER OUTPUT_DIR
set -euo pipefail
ZEPHLINK=$1
ZEPHLINK_RELAY_SERVER=$2
output=$3
# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"
e2e_init
mkdir -p "$output"

address=10.231.20.1
e2e_netns_new ns
e2e_netns_lan "$ns" "$address/24"
e2e_xvfb display
e2e_relay relay "$ns" "$address"
e2e_desktop desk "$ns" "$display"
e2e_keyring desk
settings="${E2E_DIR[desk]}/config/Zephlink/Zephlink.conf"

stored_device() {
    sed -n 's/^device=//p' "$settings" 2>/dev/null || true
}

# ------------------------------------------------------------ identifier

e2e_check "a first start with no settings stores a fresh device identifier"
[ ! -e "$settings" ] || e2e_fail "the settings file exists before the first start"
e2e_start desk
e2e_wait_program desk
device=$(stored_device)
[[ $device =~ ^[0-9a-f]{32}$ ]] ||
    e2e_fail "\"device\" in $settings is \"$device\", not 32 lower-case hex characters"
e2e_expect_now desk Device "$device"
e2e_ok "$device"

e2e_check "the program sees only its namespace: its default relay is on the namespace's address"
e2e_expect_now desk Server "http://$address:8787"
e2e_ok

e2e_check "the first start runs sync and opens the welcome window"
e2e_expect_now desk Running true
# Alone on its network, it joins the nearby host it runs itself, about one
# discovery cycle after the start.
e2e_expect desk Status "Ready · waiting for nearby devices"
e2e_expect_now desk Paired true
e2e_wait_window "$display" Zephlink >/dev/null || e2e_fail "no viewable window titled \"Zephlink\""
e2e_ok

e2e_check "Quit ends the program with status 0"
e2e_quit desk
e2e_ok

e2e_check "the next start keeps the stored identifier"
e2e_start desk
e2e_wait_program desk
[ "$(stored_device)" = "$device" ] || e2e_fail "\"device\" changed to \"$(stored_device)\""
e2e_expect_now desk Device "$device"
e2e_ok

# ------------------------------------------------------------ one instance

first=${E2E_PID[desk]}
e2e_check "a second start on the same session bus ends at once with status 0"
for id in $(e2e_windows "$display" "Zephlink Clipboard"); do
    ! e2e_viewable "$display" "$id" || e2e_fail "the panel is open before the second start"
done
started=$SECONDS
status=0
e2e_run desk || status=$?
[ "$status" -eq 0 ] || e2e_fail "the second start ended with status $status"
[ $((SECONDS - started)) -le 15 ] || e2e_fail "the second start took $((SECONDS - started)) s"
e2e_alive "$first" || e2e_fail "the first instance ended"
e2e_ok "$((SECONDS - started)) s"

e2e_check "the second start opens the first instance's panel"
e2e_wait_window "$display" "Zephlink Clipboard" >/dev/null ||
    e2e_fail "the window \"Zephlink Clipboard\" never became viewable"
e2e_ok

# ------------------------------------------------------------ links

good_room=$(e2e_relay_room "$ns" "$relay")
room=$(e2e_json_member "$good_room" room)
token=$(e2e_json_member "$good_room" token)
key=$(e2e_random64)
link="zephlink://pair?server=$relay&room=$room&token=$token&key=$key"
invalid="Invalid Zephlink invitation"

# Links that a paired instance refuses before any request or question (the
# parser's whole table is the unit tests'):
# what is hostile | link | message
refused=(
    "a second good link while it holds a group|$link|Leave the current group before joining another."
    "a link without a key|zephlink://pair?server=$relay&room=$room&token=$token|$invalid"
    "a link with plain HTTP to a public server|zephlink://pair?server=http://203.0.113.5:8787&room=$room&token=$token&key=$key|Public servers require HTTPS; HTTP is only for a trusted private LAN"
)

# Hands a refused link to the running instance: its message is shown, the
# relay is not asked, and Running and Paired stay as they were.
refuse_link() {
    local what=$1 bad=$2 message=$3 running paired reads status
    e2e_check "the running instance refuses $what"
    running=$(e2e_get desk Running)
    paired=$(e2e_get desk Paired)
    reads=$(e2e_relay_count '^GET ')
    status=0
    e2e_run desk "$bad" || status=$?
    [ "$status" -eq 0 ] || e2e_fail "the start with the link ended with status $status"
    # While sync runs, each discovery cycle rewrites the status: not read then.
    [ "$running" = true ] || e2e_expect desk Status "$message"
    e2e_expect_now desk Running "$running"
    e2e_expect_now desk Paired "$paired"
    [ "$(e2e_relay_count '^GET ')" = "$reads" ] || e2e_fail "the relay was asked"
    e2e_ok "Running $running, Paired $paired"
}

# Sets a status that no link produces, so that the next one is seen to act.
other_status() {
    local deadline=$((SECONDS + E2E_WAIT_LIMIT))
    e2e_call desk SendClipboard
    until [ "$(e2e_get desk Status)" = "Resume sync before sending." ] ||
        [ "$(e2e_get desk Status)" = "No shareable text; sensitive content and invitations are skipped." ]; do
        [ "$SECONDS" -lt "$deadline" ] || e2e_fail "SendClipboard changed no status"
        sleep 0.1
    done
}

e2e_check "the running instance joins its own nearby host first"
e2e_expect desk Paired true
e2e_ok

refuse_link "a link without a key while sync runs" \
    "zephlink://pair?server=$relay&room=$room&token=$token" "$invalid"

# A start with a link hands it to the running instance, which asks first;
# prints the dialog's window.
link_dialog() {
    e2e_dialog_after "$display" e2e_run desk "$1"
}

# What "nothing happened" means: the relay's log, the settings file, the
# keyring, and Running and Paired.
state() {
    printf '%s|%s|%s|%s|%s' "$(e2e_relay_count .)" "$(md5sum <"$settings")" "$(e2e_secret desk)" \
        "$(e2e_get desk Running)" "$(e2e_get desk Paired)"
}

e2e_check "a good link asks first; nothing happens before Join, nor on Escape"
before=$(state)
dialog=$(link_dialog "$link") || e2e_fail "no dialog appeared"
e2e_screenshot "$display" "$output/link-dialog.png"
sleep 1
[ "$(state)" = "$before" ] || e2e_fail "while asking: \"$before\" became \"$(state)\""
e2e_keys "$display" "$dialog" Escape
e2e_wait_hidden "$display" "$dialog" || e2e_fail "the dialog stayed open"
sleep 0.5
[ "$(state)" = "$before" ] || e2e_fail "after Escape: \"$before\" became \"$(state)\""
e2e_ok "$before"

e2e_check "a joined link whose token the relay refuses leaves sync running with its group"
wrong="zephlink://pair?server=$relay&room=$room&token=$(e2e_random64)&key=$key"
dialog=$(link_dialog "$wrong") || e2e_fail "no dialog appeared"
# Cancel is the default button; Tab moves to Join, Return presses it.
e2e_keys "$display" "$dialog" Tab Return
deadline=$((SECONDS + E2E_WAIT_LIMIT))
until [ "$(e2e_relay_count "^GET /v1/rooms/$room/clips\\?after=0 401\$")" = 1 ]; do
    [ "$SECONDS" -lt "$deadline" ] || e2e_fail "the relay was not asked"
    sleep 0.1
done
sleep 0.5
e2e_expect_now desk Running true
e2e_expect_now desk Paired true
[ -z "$(e2e_secret desk)" ] || e2e_fail "a group was stored"
e2e_ok

e2e_check "a good link, once joined, takes its room over, paused"
dialog=$(link_dialog "$link") || e2e_fail "no dialog appeared"
e2e_keys "$display" "$dialog" Tab Return
e2e_expect desk Status "Paired · paused. Resume sync on both devices."
e2e_expect_now desk Paired true
e2e_expect_now desk Running false
e2e_expect_now desk Server "$relay"
[ "$(e2e_relay_count "^GET /v1/rooms/$room/clips\\?after=0 200\$")" -ge 1 ] ||
    e2e_fail "the relay never confirmed the room"
secret=$(e2e_secret desk)
[ "$(e2e_json_member "$secret" room)" = "$room" ] &&
    [ "$(e2e_json_member "$secret" key)" = "$key" ] ||
    e2e_fail "the stored group is \"$secret\""
e2e_ok

for entry in "${refused[@]}"; do
    IFS='|' read -r what bad message <<<"$entry"
    other_status
    refuse_link "$what" "$bad" "$message"
done

e2e_check "Quit ends the program with status 0"
e2e_quit desk
e2e_ok

e2e_check "a first start with a link starts an instance without it, which asks"
printf '%s' "$key" >"$E2E_TMP/key"
before=$(e2e_windows "$display" Zephlink | tr '\n' ' ')
e2e_start desk "$link"
e2e_wait_exit desk "$E2E_START_LIMIT" || e2e_fail "the start with the link did not end"
e2e_wait_name desk "$E2E_DBUS_NAME" || e2e_fail "no instance took the bus name"
dialog=$(e2e_wait_window "$display" Zephlink "$before") || e2e_fail "no dialog appeared"
! grep -lFf "$E2E_TMP/key" /proc/[0-9]*/cmdline 2>/dev/null || e2e_fail "a command line holds the key"
e2e_keys "$display" "$dialog" Escape
e2e_wait_hidden "$display" "$dialog" || e2e_fail "the dialog stayed open"
e2e_expect_now desk Paired false
e2e_call desk Quit
deadline=$((SECONDS + E2E_WAIT_LIMIT))
while e2e_has_name desk "$E2E_DBUS_NAME"; do
    [ "$SECONDS" -lt "$deadline" ] || e2e_fail "the instance did not quit"
    sleep 0.1
done
e2e_ok

e2e_check "the relay stops cleanly"
e2e_relay_stop
e2e_ok

e2e_log "all desktop program checks passed"

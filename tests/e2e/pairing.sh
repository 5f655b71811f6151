#!/usr/bin/env bash
# Pairing two desktops through a real relay process, over D-Bus, each with
# its own network namespace (joined by a veth pair), display, session bus and
# gnome-keyring: create, copy the invitation, join, leave, and reset with the
# confirmation dialog answered from the keyboard.
# Usage: pairing.sh PROGRAM RELAY_SERVER OUTPUT_DIR
set -euo pipefail
ZEPHLINK=$1
ZEPHLINK_RELAY_SERVER=$2
output=$3
# shellcheck source=tests/e2e/lib.sh
. "$(dirname "$0")/lib.sh"
e2e_init
mkdir -p "$output"

address_a=10.231.30.1
address_b=10.231.30.2
e2e_netns_new ns_a
e2e_netns_new ns_b
e2e_netns_link "$ns_a" "$address_a/24" "$ns_b" "$address_b/24"
# The relay listens on A's private address; B reaches it over the veth pair.
e2e_relay relay "$ns_a" "$address_a"
e2e_xvfb display_a
e2e_xvfb display_b
e2e_desktop a "$ns_a" "$display_a"
e2e_desktop b "$ns_b" "$display_b"
e2e_keyring a
e2e_keyring b

paired="Paired · paused. Resume sync on both devices."
left="Left locally. Other devices retain access to their group."

# B was paused and welcomed on an earlier run.
mkdir -p "${E2E_DIR[b]}/config/Zephlink"
printf '[General]\nlocalPaused=true\nflowWelcomed=true\n' >"${E2E_DIR[b]}/config/Zephlink/Zephlink.conf"

e2e_start a
e2e_start b
e2e_wait_program a
e2e_wait_program b

e2e_check "B starts paused and opens its panel"
e2e_expect b Status "Paused · Resume to discover nearby devices"
e2e_expect_now b Running false
e2e_expect_now b Server "http://$address_b:8787"
e2e_wait_window "$display_b" "Zephlink Clipboard" >/dev/null ||
    e2e_fail "B's panel never became viewable"
e2e_ok

e2e_check "Leave on A pauses sync and drops any group; no item was stored"
e2e_call a Leave
e2e_expect a Status "$left"
e2e_expect_now a Running false
e2e_expect_now a Paired false
[ -z "$(e2e_secret a)" ] || e2e_fail "A's keyring holds a group"
e2e_ok

# ------------------------------------------------------------ create

e2e_check "Create on A makes a room on the relay and holds it paused"
e2e_call a SetServer "string:$relay"
e2e_expect_now a Server "$relay"
e2e_call a Create
e2e_expect a Status "$paired"
e2e_expect_now a Paired true
e2e_expect_now a Running false
[ "$(e2e_relay_count '^POST /v1/rooms 200$')" = 1 ] || e2e_fail "the relay made no room"
secret_a=$(e2e_secret a)
room=$(e2e_json_member "$secret_a" room)
token=$(e2e_json_member "$secret_a" token)
key=$(e2e_json_member "$secret_a" key)
[[ $room =~ ^[0-9a-f]{32}$ ]] || e2e_fail "A's keyring holds \"$secret_a\""
[ "$(e2e_json_member "$secret_a" server)" = "$relay" ] || e2e_fail "A stored \"$secret_a\""
[ "$(e2e_http "$ns_a" GET "$relay/v1/rooms/$room/clips?after=0" "$token")" = 200 ] ||
    e2e_fail "the relay does not know A's room"
e2e_ok "room $room"

e2e_check "a second Create on A is refused while it holds the group"
e2e_call a Create
e2e_expect a Status "Leave the current group before creating another."
e2e_expect_now a Paired true
[ "$(e2e_relay_count '^POST /v1/rooms ')" = 1 ] || e2e_fail "the relay was asked again"
e2e_ok

# ------------------------------------------------------------ invitation

e2e_check "an invitation for a loopback address is refused and the clipboard kept"
e2e_clip_write "$display_a" "copied before"
e2e_call a CopyInviteFor "string:http://127.0.0.1:${relay##*:}"
e2e_expect a Status "That address points to the receiving device itself. Use your Mac’s LAN address from the relay terminal."
[ "$(e2e_clip_read "$display_a")" = "copied before" ] || e2e_fail "A's clipboard changed"
e2e_ok

e2e_check "CopyInviteFor puts A's invitation on A's clipboard, concealed"
e2e_call a CopyInviteFor "string:$relay"
e2e_expect a Status "Invitation copied with address $relay"
link=$(e2e_clip_read "$display_a") || e2e_fail "A's clipboard cannot be read"
[ "$link" = "zephlink://pair?server=$relay&room=$room&token=$token&key=$key" ] ||
    e2e_fail "A's clipboard holds \"$link\""
types=$(e2e_clip_read "$display_a" TARGETS) || e2e_fail "A's clipboard types cannot be read"
grep -qx 'org.nspasteboard.ConcealedType' <<<"$types" || e2e_fail "no concealed type in: $types"
[ "$(e2e_clip_read "$display_a" x-kde-passwordManagerHint)" = secret ] ||
    e2e_fail "the password-manager hint is not \"secret\""
e2e_ok

# ------------------------------------------------------------ join

e2e_check "Join on B with a token the relay refuses adopts nothing"
e2e_call b SetInvitation "string:zephlink://pair?server=$relay&room=$room&token=$(e2e_random64)&key=$key"
e2e_call b Join
e2e_expect b Status "Re-pair required (401)"
e2e_expect_now b Paired false
[ -z "$(e2e_secret b)" ] || e2e_fail "B's keyring holds a group"
e2e_ok

e2e_check "the invitation cannot be read back over D-Bus"
e2e_call b SetInvitation "string:$link"
! e2e_get b Invitation >/dev/null 2>&1 || e2e_fail "the Invitation property answers"
e2e_ok

e2e_check "Join on B with A's invitation pairs B to the same room"
e2e_call b Join
e2e_expect b Status "$paired"
e2e_expect_now b Paired true
e2e_expect_now b Running false
e2e_expect_now b Server "$relay"
[ "$(e2e_relay_count "^GET /v1/rooms/$room/clips\\?after=0 200\$")" -ge 1 ] ||
    e2e_fail "B never read the room"
e2e_ok

e2e_check "B's Secret Service holds the same group under app.zephlink.dazar / group"
secret_b=$(e2e_secret b)
for member in server room token key; do
    [ "$(e2e_json_member "$secret_b" "$member")" = "$(e2e_json_member "$secret_a" "$member")" ] ||
        e2e_fail "$member differs: A \"$secret_a\", B \"$secret_b\""
done
e2e_ok

e2e_check "a second Join on B is refused while it holds the group"
e2e_call b Join
e2e_expect b Status "Leave the current group before joining another."
e2e_expect_now b Paired true
e2e_ok

e2e_check "Leave on B deletes its item and leaves the room on the relay"
e2e_call b Leave
e2e_expect b Status "$left"
e2e_expect_now b Paired false
[ -z "$(e2e_secret b)" ] || e2e_fail "B's keyring still holds \"$(e2e_secret b)\""
[ "$(e2e_http "$ns_b" GET "$relay/v1/rooms/$room/clips?after=0" "$token")" = 200 ] ||
    e2e_fail "the room is gone from the relay"
[ "$(e2e_relay_count '^DELETE ')" = 0 ] || e2e_fail "Leave revoked the room"
e2e_ok

# ------------------------------------------------------------ reset

e2e_check "Escape in A's reset dialog cancels it and changes nothing"
dialog=$(e2e_dialog_after "$display_a" e2e_call a Reset) || e2e_fail "no reset dialog appeared"
e2e_screenshot "$display_a" "$output/pairing-reset-dialog.png"
e2e_keys "$display_a" "$dialog" Escape
e2e_wait_hidden "$display_a" "$dialog" || e2e_fail "the dialog stayed open"
e2e_expect_now a Paired true
e2e_expect_now a Status "Invitation copied with address $relay"
[ "$(e2e_relay_count '^DELETE ')" = 0 ] || e2e_fail "the room was revoked"
[ -n "$(e2e_secret a)" ] || e2e_fail "A's item is gone"
e2e_ok

e2e_check "Continue in A's reset dialog revokes the room and leaves"
dialog=$(e2e_dialog_after "$display_a" e2e_call a Reset) || e2e_fail "no reset dialog appeared"
# Cancel is the default button; Tab moves to Continue, space presses it.
e2e_keys "$display_a" "$dialog" Tab space
e2e_expect a Status "$left"
e2e_expect_now a Paired false
e2e_expect_now a Running false
[ "$(e2e_relay_count "^DELETE /v1/rooms/$room 204\$")" = 1 ] || e2e_fail "the relay saw no revoke"
[ "$(e2e_http "$ns_b" GET "$relay/v1/rooms/$room/clips?after=0" "$token")" = 401 ] ||
    e2e_fail "the room still answers"
[ -z "$(e2e_secret a)" ] || e2e_fail "A's keyring still holds a group"
e2e_ok

e2e_check "Quit ends both programs with status 0"
e2e_quit a
e2e_quit b
e2e_ok

e2e_check "the relay stops cleanly"
e2e_relay_stop
e2e_ok

e2e_log "all pairing checks passed"

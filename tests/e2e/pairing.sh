#!/usr/bin/env bash
# Two desktops with keyrings pair through zephlink-relay, over D-Bus.
# Usage: pairing.sh PROGRAM RELAY OUTPUT_DIR
set -euo pipefail
ZEPHLINK=$1 RELAY_PROGRAM=$2 output=$3
. "$(dirname "$0")/lib.sh"
mkdir -p "$output"
e2e_ns ns_a
e2e_ns ns_b
e2e_link "$ns_a" 10.231.30.1/24 "$ns_b" 10.231.30.2/24
e2e_relay "$ns_a" 10.231.30.1:8787
e2e_xvfb da
e2e_xvfb db
e2e_desktop a "$ns_a" "$da"
e2e_desktop b "$ns_b" "$db"
e2e_keyring a
e2e_keyring b
paired="Paired · paused. Resume sync on both devices."
left="Left locally. Other devices retain access to their group."
e2e_settings b localPaused=true flowWelcomed=true
e2e_start a
e2e_start b
e2e_expect b Status="Paused · Resume to discover nearby devices" Running=false
e2e_window "$db" "Zephlink Clipboard" >/dev/null || e2e_fail "B's panel never opened"
e2e_call a Leave
e2e_expect a Status="$left" Running=false Paired=false
[ -z "$(e2e_secret a)" ] || e2e_fail "A's keyring holds a group"

# Create: a room on the relay, held paused; a second Create is refused.
e2e_call a SetServer "string:$RELAY"
e2e_call a Create
e2e_expect a Status="$paired" Paired=true Running=false Server="$RELAY"
secret=$(e2e_secret a)
room=$(e2e_json "$secret" room) token=$(e2e_json "$secret" token) key=$(e2e_json "$secret" key)
[[ $room =~ ^[0-9a-f]{32}$ ]] && [ "$(e2e_json "$secret" server)" = "$RELAY" ] || e2e_fail "A stored $secret"
room_is() { [ "$(ip netns exec "$1" curl -s -o /dev/null -w '%{http_code}' -H "Authorization: Bearer $token" "$RELAY/v1/rooms/$room/clips?after=0")" = "$2" ]; }
room_is "$ns_a" 200 || e2e_fail "no room $room"
e2e_call a Create
e2e_expect a Status="Leave the current group before creating another." Paired=true
[ "$(e2e_metric rooms_created)" = 1 ] || e2e_fail "the relay made $(e2e_metric rooms_created) rooms"

# Invitations: never for a loopback address; on the clipboard, concealed.
e2e_copy "$da" "copied before"
e2e_call a CopyInviteFor "string:http://127.0.0.1:8787"
e2e_expect a Status="That address points to the receiving device itself. Use your Mac’s LAN address from the relay terminal."
e2e_clip_is "$da" "copied before" || e2e_fail "A's clipboard changed"
e2e_call a CopyInviteFor "string:$RELAY"
e2e_expect a Status="Invitation copied with address $RELAY"
link="zephlink://pair?server=$RELAY&room=$room&token=$token&key=$key"
e2e_clip_is "$da" "$link" || e2e_fail "A's clipboard holds $(e2e_clip "$da")"
e2e_clip "$da" TARGETS | grep -qx org.nspasteboard.ConcealedType || e2e_fail "not concealed"
[ "$(e2e_clip "$da" x-kde-passwordManagerHint)" = secret ] || e2e_fail "no password-manager hint"

# Join: a refused token adopts nothing; A's link pairs B to the same group.
e2e_call b SetInvitation "string:zephlink://pair?server=$RELAY&room=$room&token=$(e2e_key)&key=$key"
e2e_call b Join
e2e_expect b Status="Re-pair required (401)" Paired=false
[ -z "$(e2e_secret b)" ] || e2e_fail "B stored a refused group"
e2e_call b SetInvitation "string:$link"
! e2e_get b Invitation >/dev/null 2>&1 || e2e_fail "the invitation can be read over D-Bus"
e2e_call b Join
e2e_expect b Status="$paired" Paired=true Running=false Server="$RELAY"
[ "$(e2e_secret b)" = "$secret" ] || e2e_fail "B stored $(e2e_secret b), A $secret"
e2e_call b Join
e2e_expect b Status="Leave the current group before joining another." Paired=true

# Leave on B forgets the group but leaves the room to the others.
e2e_call b Leave
e2e_expect b Status="$left" Paired=false
[ -z "$(e2e_secret b)" ] || e2e_fail "B's keyring still holds a group"
room_is "$ns_b" 200 || e2e_fail "Leave revoked the room"

# Reset asks first: Escape changes nothing; Continue revokes the room.
dialog=$(e2e_dialog_after "$da" e2e_call a Reset) || e2e_fail "no reset dialog"
DISPLAY=$da import -window root "$output/pairing-reset-dialog.png" || true
e2e_keys "$da" "$dialog" Escape
e2e_until e2e_hidden "$da" "$dialog" || e2e_fail "the dialog stayed open"
e2e_expect a Paired=true Status="Invitation copied with address $RELAY"
[ "$(e2e_metric 'answers.*"204"')" = 0 ] && [ -n "$(e2e_secret a)" ] || e2e_fail "Escape reset"
dialog=$(e2e_dialog_after "$da" e2e_call a Reset) || e2e_fail "no reset dialog"
e2e_keys "$da" "$dialog" Tab space # Cancel is the default; Tab moves to Continue
e2e_expect a Status="$left" Paired=false Running=false
[ "$(e2e_metric 'answers.*"204"')" = 1 ] || e2e_fail "the relay saw no revoke"
room_is "$ns_b" 401 || e2e_fail "the room still answers"
[ -z "$(e2e_secret a)" ] || e2e_fail "A's keyring still holds a group"
e2e_quit a
e2e_quit b
e2e_stop "$E2E_RELAY_PID" || e2e_fail "the relay did not stop cleanly"

#!/usr/bin/env bash
# Two desktops share a clipboard through B's nearby host; xclip plays the
# user, and an observer device on B's host sees what was sent.
# Usage: two_desktops.sh PROGRAM CLIPBOARD_OFFER
set -euo pipefail
ZEPHLINK=$1 OFFER=$2
. "$(dirname "$0")/lib.sh"
connected="Connected · trusted local network"
# B has the lower identifier, so B's host stays up while A pauses.
e2e_two_desktops 40
e2e_start a
e2e_start b
e2e_expect a Device="$dev_a" Status="$connected" Paired=true
e2e_expect b Device="$dev_b" Status="$connected" Paired=true
long_poll() { [ -n "$(ip netns exec "$1" ss -Htn state established dst "$2:8788")" ]; }
e2e_until long_poll "$ns_a" 10.231.40.2 && e2e_until long_poll "$ns_b" 127.0.0.1 || e2e_fail "no long poll to B's host"
FOREIGN_NS=$ns_b GROUP=$E2E_TMP/observer.json
session=$(foreign session http://127.0.0.1:8788 "$GROUP") || e2e_fail "B's host gave no session"
[ "$(e2e_json "$session" hostId)" = "$dev_b" ] || e2e_fail "the host is not B's: $session"

# travels FROM TO TEXT
travels() {
    sleep 0.2 # a copy during the previous post would be refused as busy
    e2e_copy "${E2E_DISPLAY[$1]}" "$3"
    e2e_until e2e_clip_is "${E2E_DISPLAY[$2]}" "$3" || e2e_fail "$(printf %q "${3:0:80}") never reached $2"
}
texts=($'two\nlines\n' $'\ttab\r\nCR LF\r\n' $'ünï 日本語 𝄞 😀 e\xcc\x81' "   ")
for text in "${texts[@]}"; do
    travels a b "$text"
    travels b a "B: $text"
done
for text in "${texts[@]}"; do
    kept_is "$text" 1 "$dev_a" && kept_is "B: $text" 1 "$dev_b" || e2e_fail "$(printf %q "$text") not kept once"
done
e2e_expect a HistoryCount=8
e2e_expect b HistoryCount=8

# 32,768 bytes travel, one more is refused (retried: a discovery round rewrites the status).
long=$(head -c 32768 /dev/zero | tr '\0' z)
travels a b "$long"
refused() { e2e_copy "$da" "$long$1" && E2E_LIMIT=6 e2e_until e2e_is a Status "Text must be between 1 and 32,768 UTF-8 bytes"; }
refused z || refused y || refused x || e2e_fail "the size rule's message never showed"
travels a b "after the longest"
for x in z y x; do kept_is "$long$x" 0 || e2e_fail "an overlong text left"; done

# No echo: it would end the xclip still owning A's clipboard.
travels a b "echo check"
sleep 2
e2e_alive "$E2E_CLIP_PID" && kept_is "echo check" 1 || e2e_fail "the received clip was sent back"
e2e_expect b HistoryCount=11

# Password-manager copies and invitations never leave A.
for marks in x-kde-passwordManagerHint=secret org.nspasteboard.ConcealedType= com.agilebits.onepassword=1; do
    e2e_in a "$OFFER" "secret $marks" "$marks" >"$E2E_TMP/offer.log" 2>&1 &
    e2e_track $!
    e2e_until e2e_clip_is "$da" "secret $marks" || e2e_fail "the offer never came"
    sleep 1.5
    travels a b "after $marks"
    kept_is "secret $marks" 0 || e2e_fail "a secret marked $marks left A"
done
link="zephlink://pair?server=http://10.231.40.1:8787&room=$(e2e_id)&token=$(e2e_key)&key=$(e2e_key)"
e2e_copy "$da" " $link"
e2e_expect a Status="Invitations cannot be sent as clips."
travels a b "after an invitation"
kept_is " $link" 0 || e2e_fail "an invitation left A"

# Paused A sends and receives nothing, across a restart, nor older clips on resuming.
e2e_call a ToggleSync
e2e_expect a Running=false Status=Paused Paired=false
e2e_copy "$da" "copied while paused"
paused=$E2E_CLIP_PID
e2e_copy "$db" "copied on B"
e2e_until kept_is "copied on B" 1 "$dev_b" || e2e_fail "B never sent"
e2e_quit a
grep -qx localPaused=true "${E2E_DIR[a]}/config/Zephlink/Zephlink.conf" || e2e_fail "the pause was not stored"
e2e_start a
e2e_expect a Status="Paused · Resume to discover nearby devices" Running=false Paired=false
e2e_call a ToggleSync
e2e_expect a Running=true Status="$connected"
grep -qx localPaused=false "${E2E_DIR[a]}/config/Zephlink/Zephlink.conf" || e2e_fail "the resume was not stored"
sleep 1.5
e2e_alive "$paused" && kept_is "copied while paused" 0 || e2e_fail "a clip crossed while A was paused"
travels a b "after resuming"
travels b a "B after A resumed"
e2e_quit a
e2e_quit b

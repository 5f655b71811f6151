#!/usr/bin/env bash
# The program against foreign_host.py, another host in a namespace of its
# own whose identifier 000…0 sorts first, so that the desktop must choose it.
# It answers each post 200 ms late: copies made meanwhile wait for it.
# Usage: foreign_host.sh PROGRAM
set -euo pipefail
ZEPHLINK=$1
. "$(dirname "$0")/lib.sh"
e2e_ns ns_f
e2e_ns ns_d
e2e_link "$ns_f" 10.231.50.1/24 "$ns_d" 10.231.50.2/24
e2e_foreign "$ns_f" --post-delay=200
e2e_xvfb display
e2e_desktop desk "$ns_d" "$display"
device=$(e2e_id)
e2e_settings desk "device=$device" flowWelcomed=true
e2e_start desk
e2e_expect desk Status="Connected · trusted local network" Paired=true
log() { grep -qxE "$1" "$E2E_TMP/foreign.log" || e2e_fail "the host never logged $1"; }
log "device $device mac .+"
log "POST /v1/local-session 200"
# The desktop's discovery came by multicast and by broadcast.
log "discover 10.231.50.2 239.255.77.77"
log "discover 10.231.50.2 10.231.50.255"

# Sealed clips from the host reach the clipboard exactly, and are not sent back.
posted=($'from the host:  ünï 😀\n\tindented\n' "  spaced  ")
for text in "${posted[@]}"; do
    foreign post "$GROUP" "$text" || e2e_fail "the host refused its own clip"
    e2e_until e2e_clip_is "$display" "$text" || e2e_fail "$(printf %q "$text") never arrived"
done
room=$(e2e_json "$(cat "$GROUP")" room)
log "GET /v1/rooms/$room/clips\?after=0&wait=20 200"
sleep 1.5
for text in "${posted[@]}"; do kept_is "$text" 1 || e2e_fail "$(printf %q "$text") was sent back"; done

# Desktop copies arrive sealed by the desktop, opening to the same text.
for text in $'copied on the desktop\nwith two lines\n' " 日本語 𝄞 "; do
    sleep 0.3
    e2e_copy "$display" "$text"
    e2e_until kept_is "$text" 1 "$device" || e2e_fail "$(printf %q "$text") never arrived"
done

# Another program taking the clipboard over with the same text sends nothing more.
e2e_copy "$display" "taken over"
e2e_until kept_is "taken over" 1 || e2e_fail "the copy never arrived"
first=$E2E_CLIP_PID
e2e_copy "$display" "taken over"
e2e_until e2e_gone "$first" || e2e_fail "the first owner kept the clipboard"
sleep 1.5
kept_is "taken over" 1 || e2e_fail "the same text was sent again"

# Of copies A, B, C 50 ms apart during 200 ms posts, A and then the latest, C, leave.
for text in "quick A" "quick B" "quick C"; do
    printf '%s' "$text" | xclip -display "$display" -selection clipboard -quiet -i >/dev/null 2>&1 &
    e2e_track $!
    sleep 0.05
done
sentinel=$!
e2e_until kept_is "quick C" 1 || e2e_fail "the latest copy never left"
sleep 1
kept_is "quick A" 1 && kept_is "quick B" 0 || e2e_fail "A or B was not sent as it should"

# Clips older than the start, or sealed with another key, are not written;
# later ones are.
foreign post "$GROUP" --age=300000 "five minutes old" || e2e_fail "the host refused an old clip"
foreign post "$GROUP" --key="$(e2e_key)" "forged" || e2e_fail "the host refused a forged clip"
sleep 1.5
e2e_alive "$sentinel" || e2e_fail "an old or forged clip was written"
foreign post "$GROUP" "after the forged one"
e2e_until e2e_clip_is "$display" "after the forged one" || e2e_fail "later clips no longer arrive"
e2e_quit desk
e2e_stop "$FOREIGN_PID" || e2e_fail "the foreign host did not stop cleanly"

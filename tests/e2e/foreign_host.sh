#!/usr/bin/env bash
# The program against another host that honours the nearby-host protocol:
# foreign_host.py (Python, sharing no code with the program) runs in its own
# network namespace, joined to the desktop's by a veth pair. Its identifier,
# 000…0, sorts first, so the desktop must choose it over its own host. Clips
# travel both ways and are sealed and opened on the Python side with the
# group key it invented. The host answers each post 200 ms late, so that
# copies made during a post are seen to wait for it.
# Usage: foreign_host.sh PROGRAM
set -euo pipefail
ZEPHLINK=$1
here=$(cd "$(dirname "$0")" && pwd)
FOREIGN=$here/foreign_host.py
# shellcheck source=tests/e2e/lib.sh
. "$here/lib.sh"
e2e_init

connected="Connected · trusted local network"
foreign_id=00000000000000000000000000000000
address_f=10.231.50.1
address_d=10.231.50.2
e2e_netns_new ns_f
e2e_netns_new ns_d
e2e_netns_link "$ns_f" "$address_f/24" "$ns_d" "$address_d/24"
e2e_xvfb display
e2e_desktop desk "$ns_d" "$display"
device=$(e2e_identifier)
e2e_settings desk "device=$device" flowWelcomed=true

shown() { printf '%q' "$1"; }

# ------------------------------------------------------------ the foreign host

group=$E2E_TMP/foreign.json
host_log=$E2E_TMP/foreign.log
ip netns exec "$ns_f" python3 "$FOREIGN" serve --post-delay 200 "$group" >"$host_log" 2>"$E2E_TMP/foreign.err" &
host_pid=$!
e2e_track "$host_pid"
E2E_LOGS[foreign]="$host_log $E2E_TMP/foreign.err"
deadline=$((SECONDS + E2E_START_LIMIT))
until [ -s "$group" ]; do
    e2e_alive "$host_pid" || e2e_fail "the foreign host ended: $(cat "$E2E_TMP/foreign.err")"
    [ "$SECONDS" -lt "$deadline" ] || e2e_fail "the foreign host did not start"
    sleep 0.05
done
room=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["room"])' "$group")

foreign() {
    ip netns exec "$ns_f" python3 "$FOREIGN" "$@"
}

e2e_check "the foreign host answers discovery by unicast, broadcast and multicast"
for target in "$address_f" 10.231.50.255 239.255.77.77; do
    answers=$(ip netns exec "$ns_d" python3 "$FOREIGN" discover "$target")
    grep -qx "$foreign_id $address_f" <<<"$answers" ||
        e2e_fail "no answer from $address_f to a request sent to $target: $answers"
done
e2e_ok

# ------------------------------------------------------------ joining

# What the host logs from here on comes from the program.
probes=$(wc -l <"$host_log")
from_program() {
    tail -n +$((probes + 1)) "$host_log"
}
e2e_start desk
e2e_wait_program desk

e2e_check "the desktop joins the foreign host, whose identifier sorts first"
e2e_expect desk Status "$connected"
e2e_expect_now desk Paired true
e2e_expect_now desk Device "$device"
from_program | grep -qE "^device $device mac .+" ||
    e2e_fail "the foreign host never registered the desktop as a mac device"
e2e_wait_connected "$ns_d" "$address_f" 8788 || e2e_fail "no long poll to $address_f:8788"
from_program | grep -qx "POST /v1/local-session 200" || e2e_fail "no session was asked for"
e2e_ok

e2e_check "the desktop's discovery datagrams reached the foreign host by multicast and broadcast"
for destination in 239.255.77.77 10.231.50.255; do
    from_program | grep -qx "discover $address_d $destination" ||
        e2e_fail "none sent to $destination: $(from_program | grep '^discover' | sort -u)"
done
e2e_ok

# ------------------------------------------------------------ clips

e2e_check "clips sealed and posted by the foreign host become pasteable on the desktop"
posted=($'from the foreign host:  ünïcödé 😀\n\tindented\n' "  spaced  " "plain")
for text in "${posted[@]}"; do
    foreign post "$group" -- "$text" >/dev/null || e2e_fail "the foreign host refused its own clip"
    e2e_wait_clip "$display" "$text" ||
        e2e_fail "$(shown "$text") never reached the desktop's clipboard"
done
# The first long poll of the group starts at cursor 0; the post answered it.
from_program | grep -qxF "GET /v1/rooms/$room/clips?after=0&wait=20 200" ||
    e2e_fail "no long poll from cursor 0: $(from_program | grep '^GET /v1/rooms' | head -n 3)"
e2e_ok

e2e_check "the desktop does not send a received clip back"
sleep 1.5
for text in "${posted[@]}"; do
    [ "$(foreign count "$group" -- "$text")" = 1 ] ||
        e2e_fail "the host keeps $(shown "$text") more than once: $(foreign clips "$group")"
done
e2e_ok

e2e_check "a desktop copy arrives as an envelope that opens with the group key to the same text"
for text in $'copied on the desktop\nwith two lines\n' " 日本語 𝄞 "; do
    sleep 0.2
    e2e_clip_write "$display" "$text"
    deadline=$((SECONDS + E2E_WAIT_LIMIT))
    until [ "$(foreign count --origin "$device" "$group" -- "$text")" = 1 ]; do
        [ "$SECONDS" -lt "$deadline" ] ||
            e2e_fail "$(shown "$text") never arrived; the host keeps: $(foreign clips "$group")"
        sleep 0.1
    done
done
e2e_ok

# Waits until the host keeps text from the desktop count times.
wait_count() {
    local text=$1 want=$2 deadline=$((SECONDS + E2E_WAIT_LIMIT))
    until [ "$(foreign count --origin "$device" "$group" -- "$text")" = "$want" ]; do
        [ "$SECONDS" -lt "$deadline" ] ||
            e2e_fail "$(shown "$text") is not there $want times: $(foreign clips "$group")"
        sleep 0.1
    done
}

e2e_check "another program taking the clipboard over with the same text sends nothing more"
e2e_clip_write "$display" "taken over"
wait_count "taken over" 1
first=$E2E_CLIP_PID
e2e_clip_write "$display" "taken over"
e2e_wait_gone "$first" "$E2E_WAIT_LIMIT" || e2e_fail "the first owner kept the clipboard"
sleep 1.5
wait_count "taken over" 1
e2e_ok

e2e_check "of copies A, B, C made 50 ms apart during 200 ms posts, A then C arrive"
for text in "quick A" "quick B" "quick C"; do
    printf '%s' "$text" | xclip -display "$display" -selection clipboard -quiet -i \
        >/dev/null 2>&1 &
    E2E_CLIP_PID=$!
    e2e_track $!
    sleep 0.05
done
wait_count "quick C" 1
sleep 1
arrived=$(foreign clips "$group" | python3 -c '
import json, sys
print(" / ".join(c["text"] for c in map(json.loads, sys.stdin) if c["text"].startswith("quick")))')
[ "$arrived" = "quick A / quick C" ] || e2e_fail "the host keeps: $arrived"
e2e_ok

e2e_check "a clip older than the desktop's start is not written to its clipboard"
sentinel=$E2E_CLIP_PID
foreign post --age 300000 "$group" -- "five minutes old" >/dev/null ||
    e2e_fail "the foreign host refused its own clip"
sleep 1.5
e2e_alive "$sentinel" || e2e_fail "the desktop wrote an old clip to its clipboard"
e2e_ok

# The rejection's status text is replaced by the poll's own at once, so the
# clipboard and the clips after it tell what happened.
e2e_check "a clip sealed with another key is not written to the clipboard; later ones are"
foreign post --key="$(e2e_random64)" "$group" -- "forged" >/dev/null ||
    e2e_fail "the foreign host refused the forged clip"
sleep 1.5
e2e_alive "$sentinel" || e2e_fail "the desktop wrote a forged clip to its clipboard"
e2e_expect_now desk Status "$connected"
foreign post "$group" -- "after the forged one" >/dev/null
e2e_wait_clip "$display" "after the forged one" || e2e_fail "later clips no longer arrive"
e2e_ok

e2e_check "Quit ends the program with status 0; the foreign host stops cleanly"
e2e_quit desk
kill -TERM "$host_pid"
e2e_wait_gone "$host_pid" "$E2E_STOP_GRACE" || e2e_fail "the foreign host did not stop"
status=0
wait "$host_pid" || status=$?
e2e_untrack "$host_pid"
[ "$status" -eq 0 ] || e2e_fail "the foreign host ended with status $status"
e2e_ok

e2e_log "all foreign-host checks passed"

#!/usr/bin/env bash
# Two desktops share a clipboard through the nearby host one of them runs.
# Each desktop has its own network namespace (the two joined by a veth pair
# on a private /24), Xvfb display, session bus and settings; xclip plays the
# user on both. A third party that asks B's host for a session like any
# device reads the host's clip store, so that what was sent (and what never
# was) can be seen on the wire, not only on the clipboards.
# Usage: two_desktops.sh PROGRAM CLIPBOARD_OFFER
set -euo pipefail
ZEPHLINK=$1
OFFER=$2
here=$(cd "$(dirname "$0")" && pwd)
FOREIGN=$here/foreign_host.py
# shellcheck source=tests/e2e/lib.sh
. "$here/lib.sh"
e2e_init

connected="Connected · trusted local network"
# Longer than the capture timer's period, so that a copy has been looked at.
capture_window=1.5

# B gets the lower identifier, so B's host stays up while A pauses and restarts.
e2e_two_desktops 40
e2e_settings a "device=$device_a" flowWelcomed=true
e2e_settings b "device=$device_b" flowWelcomed=true
settings_a="${E2E_DIR[a]}/config/Zephlink/Zephlink.conf"

# A text as a failure message shows it: quoted, and cut when long.
shown() {
    local quoted
    quoted=$(printf '%q' "$1")
    if [ "${#quoted}" -le 90 ]; then
        printf '%s' "$quoted"
    else
        printf '%s… (%d characters)' "${quoted:0:60}" "${#1}"
    fi
}

# Copies text on one desktop and waits until the other can paste it exactly.
travels() {
    local from=$1 to=$2 text=$3 got
    # The previous post's answer is in by now; a copy during a post would be
    # refused as busy.
    sleep 0.2
    e2e_clip_write "${E2E_DISPLAY[$from]}" "$text"
    if ! e2e_wait_clip "${E2E_DISPLAY[$to]}" "$text"; then
        got=$(e2e_clip_read "${E2E_DISPLAY[$to]}" 2>/dev/null) || got="(nothing)"
        e2e_fail "$(shown "$text") copied on $from never became pasteable on $to," \
            "which holds $(shown "$got"); status of $from: $(e2e_get "$from" Status)"
    fi
}

# The clip store of B's host, read by an observer inside B's namespace.
observer=${E2E_DIR[b]}/observer.json
store() {
    ip netns exec "$ns_b" python3 "$FOREIGN" "$@"
}

# How many kept clips open to exactly text (sent by origin, when given).
# Fails when any kept clip does not open with the group key.
kept() {
    local text=$1 origin=${2:-}
    store count ${origin:+--origin "$origin"} "$observer" -- "$text" ||
        e2e_fail "B's host keeps a clip that does not open with its group key"
}

expect_kept() {
    local text=$1 origin=$2 count=$3 seen
    seen=$(kept "$text")
    [ "$seen" = "$count" ] || e2e_fail "B's host keeps $seen clips of $(shown "$text"), not $count"
    [ "$count" = 0 ] || [ "$(kept "$text" "$origin")" = "$count" ] ||
        e2e_fail "$(shown "$text") was not sent by $origin"
}

# ------------------------------------------------------------ start

e2e_start a
e2e_start b
e2e_wait_program a
e2e_wait_program b

e2e_check "both desktops come up with their stored identifiers and join one host"
e2e_expect_now a Device "$device_a"
e2e_expect_now b Device "$device_b"
e2e_expect a Status "$connected"
e2e_expect b Status "$connected"
e2e_expect_now a Running true
e2e_expect_now a Paired true
e2e_expect_now b Paired true
e2e_ok

e2e_check "the host is B's (the lower identifier): A long-polls B's address, B its own"
e2e_wait_connected "$ns_a" "$address_b" 8788 || e2e_fail "A holds no connection to $address_b:8788"
e2e_wait_connected "$ns_b" 127.0.0.1 8788 || e2e_fail "B holds no connection to its own host"
e2e_connected "$ns_b" "$address_a" 8788 && e2e_fail "B talks to A's host"
session=$(store session http://127.0.0.1:8788 "$observer") || e2e_fail "B's host gave no session"
devices=$(python3 -c 'import json, sys
print(" ".join(sorted(d["device"] for d in json.loads(sys.argv[1])["devices"])))' "$session")
for device in "$device_a" "$device_b"; do
    [[ " $devices " == *" $device "* ]] || e2e_fail "B's host does not list $device: $devices"
done
[ "$(e2e_json_member "$session" hostId)" = "$device_b" ] ||
    e2e_fail "the host on B's address is not B's: $session"
e2e_ok "host $device_b"

# ------------------------------------------------------------ texts

# Exact bytes: surrounding spaces, line breaks (a trailing one included),
# tabs, CR LF, unicode beyond the BMP and combining marks.
texts=(
    "plain words"
    "  leading and trailing spaces  "
    $'two\nlines\n'
    $'\n\nblank lines around\n\n'
    $'tab\tseparated\r\nCR LF line\r\n'
    'ünïcödé — “quotes” · 日本語 · עברית · 𝄞 😀'
    $'e\xcc\x81 (e and a combining acute)'
    "   "
)
e2e_check "texts copied on A are pasteable on B exactly, and the other way round"
for text in "${texts[@]}"; do
    travels a b "$text"
    travels b a "from B: $text"
done
e2e_ok "${#texts[@]} texts each way"

e2e_check "the host keeps each of them once, sent by the desktop it was copied on"
for text in "${texts[@]}"; do
    expect_kept "$text" "$device_a" 1
    expect_kept "from B: $text" "$device_b" 1
done
e2e_ok

e2e_check "the longest text a clip holds (32,768 bytes) arrives whole; one byte more is refused"
longest=$(head -c 32768 /dev/zero | tr '\0' z)
travels a b "$longest"
refused=false
for extra in z y x; do
    e2e_clip_write "$display_a" "${longest}$extra"
    e2e_seen a Status "Text must be between 1 and 32,768 UTF-8 bytes" 6 && refused=true && break
done
$refused || e2e_fail "the size rule's message never showed"
travels a b "after the longest"
for extra in z y x; do expect_kept "${longest}$extra" "$device_a" 0; done
e2e_ok

# ------------------------------------------------------------ no echo

e2e_check "a clip B received and wrote to its clipboard is not sent back"
text="echo check $(e2e_identifier)"
travels a b "$text"
sentinel=$E2E_CLIP_PID
# An echo would be posted by B and written over A's clipboard, ending the
# xclip that still owns it.
sleep 2
expect_kept "$text" "$device_a" 1
e2e_alive "$sentinel" || e2e_fail "A's clipboard was rewritten after B received $(shown "$text")"
later="copied on A after the echo check"
travels a b "$later"
sleep 1
e2e_clip_is "$display_a" "$later" || e2e_fail "A's clipboard no longer holds $(shown "$later")"
expect_kept "$text" "$device_a" 1
e2e_ok

# ------------------------------------------------------------ never sent

# Each case copies something on A that must stay there. After the capture
# window an ordinary copy follows; once it is on B, the host's store shows
# whether the first was ever sent.
e2e_check "copies a password manager marks as secret never leave A"
for marks in "x-kde-passwordManagerHint=secret" "org.nspasteboard.ConcealedType=" \
    "com.agilebits.onepassword=1"; do
    secret="password $(e2e_identifier)"
    log="${E2E_DIR[a]}/offer.$RANDOM.log"
    E2E_LOGS[a]+=" $log"
    e2e_vars a
    ip netns exec "$ns_a" env -i "${E2E_VARS[@]}" "$OFFER" "$secret" "$marks" >"$log" 2>&1 &
    e2e_track $!
    e2e_wait_clip "$display_a" "$secret" || e2e_fail "the offering program never offered its text"
    sleep "$capture_window"
    travels a b "after a secret marked $marks"
    expect_kept "$secret" "$device_a" 0
done
e2e_ok

e2e_check "a copied invitation link never leaves A, not even behind a space"
link="zephlink://pair?server=http://$address_a:8787&room=$(e2e_identifier)&token=$(e2e_random64)&key=$(e2e_random64)"
e2e_clip_write "$display_a" "$link"
sleep "$capture_window"
travels a b "after an invitation"
e2e_clip_write "$display_a" " $link"
e2e_expect a Status "Invitations cannot be sent as clips."
travels a b "after an invitation behind a space"
expect_kept "$link" "$device_a" 0
expect_kept " $link" "$device_a" 0
e2e_ok

# ------------------------------------------------------------ pause

e2e_check "ToggleSync pauses A"
e2e_call a ToggleSync
e2e_expect a Running false
e2e_expect_now a Status "Paused"
e2e_expect_now a Paired false
e2e_ok

e2e_check "paused A sends nothing and receives nothing"
paused_text="copied on A while paused"
e2e_clip_write "$display_a" "$paused_text"
sentinel=$E2E_CLIP_PID
from_b="copied on B while A is paused"
e2e_clip_write "$display_b" "$from_b"
deadline=$((SECONDS + E2E_WAIT_LIMIT))
until [ "$(kept "$from_b" "$device_b")" = 1 ]; do
    [ "$SECONDS" -lt "$deadline" ] || e2e_fail "B never sent $(shown "$from_b")"
    sleep 0.2
done
sleep "$capture_window"
expect_kept "$paused_text" "$device_a" 0
e2e_alive "$sentinel" || e2e_fail "paused A wrote to its clipboard"
e2e_expect_now a Status "Paused"
e2e_ok

e2e_check "A remembers the pause across a restart"
e2e_quit a
grep -qx 'localPaused=true' "$settings_a" || e2e_fail "$settings_a: $(cat "$settings_a")"
e2e_start a
e2e_wait_program a
e2e_expect a Status "Paused · Resume to discover nearby devices"
e2e_expect_now a Running false
e2e_expect_now a Paired false
sleep "$capture_window"
expect_kept "$paused_text" "$device_a" 0
e2e_ok

e2e_check "resuming A joins B's host again; what was copied while paused stays"
e2e_call a ToggleSync
e2e_expect a Running true
e2e_expect a Status "$connected"
e2e_wait_connected "$ns_a" "$address_b" 8788 || e2e_fail "A holds no connection to $address_b:8788"
grep -qx 'localPaused=false' "$settings_a" || e2e_fail "$settings_a: $(cat "$settings_a")"
# A read the whole store on joining; clips made before it resumed are old.
sleep "$capture_window"
e2e_alive "$sentinel" || e2e_fail "A wrote a clip from before it resumed to its clipboard"
travels a b "copied on A after resuming"
travels b a "copied on B after A resumed"
expect_kept "$paused_text" "$device_a" 0
e2e_ok

e2e_check "Quit ends both programs with status 0"
e2e_quit a
e2e_quit b
e2e_ok

e2e_log "all two-desktop checks passed"

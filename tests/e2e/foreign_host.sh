#!/usr/bin/env bash
# The program on X11, sway and Weston against foreign_host.py, a host in a
# namespace of its own whose identifier 000…0 sorts first. It answers each
# post a second late: copies made meanwhile wait for it.
# Usage: foreign_host.sh PROGRAM WAYLAND_OFFER
set -euo pipefail
ZEPHLINK=$1 OFFER=$2
. "$(dirname "$0")/lib.sh"
e2e_ns ns_f
e2e_ns ns_d
e2e_link "$ns_f" 10.231.50.1/24 "$ns_d" 10.231.50.2/24
e2e_foreign "$ns_f" --post-delay=1000
e2e_xvfb display
e2e_desktop desk "$ns_d" "$display"
device=$(e2e_id)
e2e_settings desk "device=$device" flowWelcomed=true
e2e_start desk
e2e_expect desk Status="Connected · trusted local network" Paired=true
log() { grep -qxE "$1" "$E2E_TMP/foreign.log" || e2e_fail "the host never logged $1"; }
log "device $device mac .+"
log "POST /v1/local-session 200"
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

# Of copies made while the first one's post lasts, only the latest leaves after it.
for text in "quick A" "quick B" "quick C"; do e2e_copy "$display" "$text"; done
sentinel=$E2E_CLIP_PID
e2e_until kept_is "quick C" 1 || e2e_fail "the latest copy never left"
sleep 1
kept_is "quick A" 1 && kept_is "quick B" 0 || e2e_fail "quick A, B kept $(kept "quick A") and $(kept "quick B") times"

# Clips older than the start, or sealed with another key, are not written.
foreign post "$GROUP" --age=300000 "five minutes old" || e2e_fail "the host refused an old clip"
foreign post "$GROUP" --key="$(e2e_key)" "forged" || e2e_fail "the host refused a forged clip"
sleep 1.5
e2e_alive "$sentinel" || e2e_fail "an old or forged clip was written"
foreign post "$GROUP" "after the forged one"
e2e_until e2e_clip_is "$display" "after the forged one" || e2e_fail "later clips no longer arrive"
e2e_quit desk

pastes() { [ "$(wl-paste -n 2>/dev/null)" = "$1" ]; }
copy() { wl-copy --foreground "$@" & e2e_track $!; }

# As nobody (sway refuses root), with a /tmp/.X11-unix of its own.
compositor() {
    local run=$E2E_TMP/$1 command=(sway -c "$E2E_TMP/$1/sway.conf")
    [ "$1" = sway ] || command=(weston --backend=headless-backend.so --use-pixman --socket=wayland-1)
    mkdir -p "$run"
    chmod 711 "$E2E_TMP"
    chmod 700 "$run"
    chown 65534:65534 "$run"
    echo "xwayland disable" >"$run/sway.conf"
    env -i PATH="$PATH" HOME="$run" XDG_RUNTIME_DIR="$run" WLR_BACKENDS=headless WLR_RENDERER=pixman \
        WLR_LIBINPUT_NO_DEVICES=1 unshare --mount --propagation private -- sh -c \
        'mount -t tmpfs -o mode=1777 x11 /tmp/.X11-unix && exec "$@"' compositor \
        setpriv --reuid=65534 --regid=65534 --clear-groups "${command[@]}" >"$run.log" 2>&1 &
    e2e_track $!
    e2e_until test -S "$run/wayland-1" || e2e_fail "$1 did not start"
    e2e_desktop "$1" "$ns_d" "$run/wayland-1"
    e2e_settings "$1" "device=$(e2e_id)" flowWelcomed=true
    e2e_start "$1"
}

[ -d /tmp/.X11-unix ] || install -d -m 1777 /tmp/.X11-unix
compositor sway
export WAYLAND_DISPLAY=$E2E_TMP/sway/wayland-1 SWAYSOCK
SWAYSOCK=$(echo "$E2E_TMP"/sway/sway-ipc.*.sock)
e2e_expect sway Status="Connected · trusted local network"

# The panel is a centred window with focus; losing focus or Escape hides it.
panel_is() {
    [ "$(swaymsg -t get_tree | python3 -c 'import json, sys
def walk(n, s):
    s = n["rect"] if n.get("type") == "output" else s
    r = n["rect"]
    if n.get("name") == "Zephlink Clipboard":
        print(n["focused"], abs(2 * r["x"] + r["width"] - 2 * s["x"] - s["width"]) <= 2
              and abs(2 * r["y"] + r["height"] - 2 * s["y"] - s["height"]) <= 2)
    for c in n.get("nodes", []) + n.get("floating_nodes", []): walk(c, s)
walk(json.load(sys.stdin), None)')" = "$1" ]
}
e2e_until panel_is "True True" || e2e_fail "the panel is not centred with focus"
swaymsg workspace 2 >/dev/null
e2e_until panel_is "" || e2e_fail "the panel stays after losing focus"
swaymsg workspace 1 >/dev/null
e2e_call sway ShowPopover
e2e_until panel_is "True True" || e2e_fail "the panel did not come back"
# A fresh virtual keyboard may lose its first key while its keymap settles.
escape_hides() { wtype -k Escape && sleep 0.3 && panel_is ""; }
e2e_until escape_hides || e2e_fail "Escape did not hide the panel"

copy -- "copied in sway"
e2e_until kept_is "copied in sway" 1 || e2e_fail "the copy never reached the peer"
foreign post "$GROUP" "from the peer"
e2e_until pastes "from the peer" || e2e_fail "wl-paste never printed the clip"
sleep 1.5
kept_is "copied in sway" 1 && kept_is "from the peer" 1 || e2e_fail "a clip was sent twice"

# Primary-selection and hinted copies never leave; 1 MiB is refused.
copy --primary -- "primary only"
"$OFFER" "hinted secret" "x-kde-passwordManagerHint=secret" &
e2e_track $!
e2e_until pastes "hinted secret" || e2e_fail "the password manager never offered its text"
big() {
    head -c 1048576 /dev/zero | tr '\0' "$1" | wl-copy --foreground &
    e2e_track $!
    E2E_LIMIT=6 e2e_until e2e_is sway Status "Text must be between 1 and 32,768 UTF-8 bytes"
}
big z || big y || big x || e2e_fail "the size rule's message never showed"
copy -- "after the secrets"
e2e_until kept_is "after the secrets" 1 || e2e_fail "the next copy never reached the peer"
kept_is "primary only" 0 && kept_is "hinted secret" 0 || e2e_fail "a secret left"
e2e_quit sway

# Weston has no background clipboard; clips still reach the history.
compositor weston
e2e_expect weston Status="This desktop does not let background apps read the clipboard"
foreign post "$GROUP" "to the history"
e2e_expect weston HistoryCount=1
e2e_quit weston
e2e_stop "$FOREIGN_PID" || e2e_fail "the foreign host did not stop cleanly"

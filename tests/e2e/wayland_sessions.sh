#!/usr/bin/env bash
# The program on headless sway (data-control: wl-copy, wl-paste and wtype
# play the user) and on Weston (no background clipboard), with
# foreign_host.py as the peer in a namespace of its own.
# Usage: wayland_sessions.sh PROGRAM WAYLAND_OFFER
set -euo pipefail
ZEPHLINK=$1 OFFER=$2
. "$(dirname "$0")/lib.sh"
e2e_ns ns_f
e2e_ns ns_d
e2e_link "$ns_f" 10.231.60.1/24 "$ns_d" 10.231.60.2/24
e2e_foreign "$ns_f"
pastes() { [ "$(wl-paste -n 2>/dev/null)" = "$1" ]; }
copy() { wl-copy --foreground "$@" & e2e_track $!; }

# A compositor as nobody (sway refuses root) in a runtime directory and a
# /tmp/.X11-unix of its own, then the program on it.
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

# A copy reaches the peer once; a clip from the peer is pasteable and not
# sent back.
copy -- "copied in sway"
e2e_until kept_is "copied in sway" 1 || e2e_fail "the copy never reached the peer"
foreign post "$GROUP" "from the peer"
e2e_until pastes "from the peer" || e2e_fail "wl-paste never printed the clip"
sleep 1.5
kept_is "copied in sway" 1 && kept_is "from the peer" 1 || e2e_fail "a clip was sent twice"

# Primary-selection and hinted copies never leave; 1 MiB is refused by the
# size rule; the next copy still leaves.
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

# Weston: the status says so, and clips from the peer still reach the history.
compositor weston
e2e_expect weston Status="This desktop does not let background apps read the clipboard"
foreign post "$GROUP" "to the history"
e2e_expect weston HistoryCount=1
e2e_quit weston

#!/usr/bin/env bash
# The program on two headless Wayland desktops, with a foreign host (another
# implementation of the nearby host) as the peer in a network namespace of
# its own. Sway offers data-control: wl-copy, wl-paste and wtype play the
# user. Weston offers no background clipboard at all.
# Usage: wayland_sessions.sh PROGRAM WAYLAND_OFFER
set -euo pipefail
ZEPHLINK=$1
OFFER=$2
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/e2e/lib.sh
. "$here/lib.sh"
e2e_init

e2e_netns_new ns_f
e2e_netns_new ns_d
e2e_netns_link "$ns_f" 10.231.60.1/24 "$ns_d" 10.231.60.2/24
group=$E2E_TMP/foreign.json
ip netns exec "$ns_f" python3 "$here/foreign_host.py" serve "$group" >"$E2E_TMP/peer.log" 2>&1 &
e2e_track $!
E2E_LOGS[peer]=$E2E_TMP/peer.log
foreign() { ip netns exec "$ns_f" python3 "$here/foreign_host.py" "$@"; }

# Waits until a command succeeds; fails with a message otherwise.
within() {
    local message=$1 deadline=$((SECONDS + E2E_WAIT_LIMIT))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || e2e_fail "$message"
        sleep 0.1
    done
}
kept() { [ "$(foreign count "$group" -- "$1")" = "$2" ]; }
pastes() { [ "$(wl-paste -n 2>/dev/null)" = "$1" ]; }
copy() { wl-copy --foreground "$@" & e2e_track $!; }

# A compositor as nobody (sway refuses root), in a runtime directory of its
# own; the desktop is made on its socket.
compositor() {
    local kind=$1 run=$E2E_TMP/$1
    mkdir -p "$run"
    chmod 711 "$E2E_TMP"
    chmod 700 "$run"
    chown 65534:65534 "$run"
    printf 'xwayland disable\n' >"$run/sway.conf"
    local command=(sway -c "$run/sway.conf")
    [ "$kind" = sway ] ||
        command=(weston --backend=headless-backend.so --use-pixman --socket=wayland-1)
    # No XWayland (sway's config; Weston starts none unless asked), and a
    # /tmp/.X11-unix of its own: the X11 desktops of tests running beside
    # this one keep their sockets whatever the compositor does.
    [ -d /tmp/.X11-unix ] || install -d -m 1777 /tmp/.X11-unix
    env -i PATH="$PATH" HOME="$run" XDG_RUNTIME_DIR="$run" WLR_BACKENDS=headless \
        WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
        unshare --mount --propagation private -- sh -c \
        'mount -t tmpfs -o mode=1777 x11 /tmp/.X11-unix && exec "$@"' compositor \
        setpriv --reuid=65534 --regid=65534 --clear-groups "${command[@]}" >"$run.log" 2>&1 &
    e2e_track $!
    E2E_LOGS[$kind-compositor]=$run.log
    within "$kind did not start" test -S "$run/wayland-1"
    e2e_desktop "$kind" "$ns_d" "$run/wayland-1"
    e2e_settings "$kind" "device=$(e2e_identifier)" flowWelcomed=true
    e2e_start "$kind"
    e2e_wait_program "$kind"
}

# ------------------------------------------------------------ sway

compositor sway
export WAYLAND_DISPLAY=$E2E_TMP/sway/wayland-1 SWAYSOCK
SWAYSOCK=$(echo "$E2E_TMP"/sway/sway-ipc.*.sock)
e2e_expect sway Status "Connected · trusted local network"

# "focused centred" while the panel is shown, from sway's tree.
panel_is() {
    [ "$(swaymsg -t get_tree | python3 -c 'import json, sys
def middle(r): return (r["x"] + r["width"] / 2, r["y"] + r["height"] / 2)
def walk(n, screen):
    screen = n["rect"] if n.get("type") == "output" else screen
    if n.get("name") == "Zephlink Clipboard":
        (x, y), (sx, sy) = middle(n["rect"]), middle(screen)
        print("focused" if n["focused"] else "unfocused",
              "centred" if abs(x - sx) <= 1 and abs(y - sy) <= 1 else "elsewhere")
    for c in n.get("nodes", []) + n.get("floating_nodes", []): walk(c, screen)
walk(json.load(sys.stdin), None)')" = "$1" ]
}
e2e_check "the panel is a centred window with focus; losing focus or Escape hides it"
within "the panel is not shown centred with focus" panel_is "focused centred"
swaymsg workspace 2 >/dev/null
within "the panel stays after losing focus" panel_is ""
swaymsg workspace 1 >/dev/null
e2e_call sway ShowPopover
within "the panel did not come back" panel_is "focused centred"
# A fresh virtual keyboard may lose its first key while its keymap settles.
escape_hides() { wtype -k Escape && sleep 0.3 && panel_is ""; }
within "Escape did not hide the panel" escape_hides
e2e_ok

e2e_check "a copy in sway reaches the peer exactly once"
copy -- "copied in sway"
within "the copy never reached the peer" kept "copied in sway" 1
sleep 1.5
kept "copied in sway" 1 || e2e_fail "sent more than once"
e2e_ok

e2e_check "a clip from the peer is what wl-paste prints, and is not sent back"
foreign post "$group" -- "from the peer" >/dev/null
within "wl-paste never printed the clip" pastes "from the peer"
sleep 1.5
kept "from the peer" 1 || e2e_fail "the received clip was sent back"
e2e_ok

e2e_check "primary-selection and hinted copies never leave"
copy --primary -- "primary only"
"$OFFER" "hinted secret" "x-kde-passwordManagerHint=secret" &
e2e_track $!
within "the password manager never offered its text" pastes "hinted secret"
wl-paste --list-types | grep -qx x-kde-passwordManagerHint || e2e_fail "no hint offered"
sleep 1.5
copy -- "after the secrets"
within "the next copy never reached the peer" kept "after the secrets" 1
kept "primary only" 0 && kept "hinted secret" 0 || e2e_fail "a secret left"
e2e_ok

e2e_check "a 1 MiB copy is refused by the size rule, and the next copy still leaves"
refused=false
for letter in z y x; do
    head -c 1048576 /dev/zero | tr '\0' "$letter" | wl-copy --foreground &
    e2e_track $!
    e2e_seen sway Status "Text must be between 1 and 32,768 UTF-8 bytes" 6 && refused=true && break
done
$refused || e2e_fail "the size rule's message never showed"
copy -- "after the big one"
within "the next copy never reached the peer" kept "after the big one" 1
e2e_ok
e2e_quit sway

# ------------------------------------------------------------ weston

compositor weston
e2e_check "on Weston the status says so, and clips from the peer still reach the history"
e2e_expect weston Status "This desktop does not let background apps read the clipboard"
foreign post "$group" -- "to the history" >/dev/null
e2e_expect weston HistoryCount 1
e2e_ok
e2e_quit weston
e2e_log "all Wayland checks passed"

#!/usr/bin/env bash
# The program on two headless Wayland desktops, with a foreign host (another
# implementation of the nearby host) as the peer in a network namespace of
# its own. Sway offers data-control: wl-copy and wl-paste play the user.
# Weston offers no background clipboard at all.
# Usage: wayland_sessions.sh PROGRAM WAYLAND_OFFER
set -euo pipefail
ZEPHLINK=$1
OFFER=$2
here=$(cd "$(dirname "$0")" && pwd)
FOREIGN=$here/foreign_host.py
# shellcheck source=tests/e2e/lib.sh
. "$here/lib.sh"
e2e_init

capture_window=1.5
refused="Text must be between 1 and 32,768 UTF-8 bytes"
forbidden="This desktop does not let background apps read the clipboard"
e2e_netns_new ns_f
e2e_netns_new ns_d
e2e_netns_link "$ns_f" 10.231.60.1/24 "$ns_d" 10.231.60.2/24

group=$E2E_TMP/foreign.json
ip netns exec "$ns_f" python3 "$FOREIGN" serve "$group" >"$E2E_TMP/foreign.log" 2>&1 &
e2e_track $!
E2E_LOGS[foreign]=$E2E_TMP/foreign.log
foreign() { ip netns exec "$ns_f" python3 "$FOREIGN" "$@"; }

# Starts a compositor as nobody in a runtime directory of its own (sway
# refuses root); its socket's path goes into var.
compositor() {
    local -n _socket=$1
    local kind=$2 run=$E2E_TMP/$2 deadline
    mkdir -p "$run"
    chmod 711 "$E2E_TMP"
    chmod 700 "$run"
    chown 65534:65534 "$run"
    printf 'xwayland disable\n' >"$run/sway.conf"
    local command=(sway -c "$run/sway.conf")
    [ "$kind" = sway ] || command=(weston --backend=headless-backend.so --use-pixman
        --socket=wayland-1)
    env -i PATH="$PATH" HOME="$run" XDG_RUNTIME_DIR="$run" WLR_BACKENDS=headless \
        WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 \
        setpriv --reuid=65534 --regid=65534 --clear-groups "${command[@]}" >"$run.log" 2>&1 &
    e2e_track $!
    E2E_LOGS[$kind-compositor]=$run.log
    _socket=$run/wayland-1
    deadline=$((SECONDS + E2E_START_LIMIT))
    until [ -S "$_socket" ]; do
        [ "$SECONDS" -lt "$deadline" ] || e2e_fail "$kind did not start"
        sleep 0.1
    done
}

# How many clips the foreign host keeps of exactly text.
kept() { foreign count "$group" -- "$1"; }

wait_kept() {
    local text=$1 deadline=$((SECONDS + E2E_WAIT_LIMIT))
    until [ "$(kept "$text")" = 1 ]; do
        [ "$SECONDS" -lt "$deadline" ] || e2e_fail "\"$text\" never reached the peer"
        sleep 0.1
    done
}

copy() { wl-copy --foreground "$@" & e2e_track $!; }

# ------------------------------------------------------------ sway

compositor sway_socket sway
export WAYLAND_DISPLAY=$sway_socket
e2e_desktop sway "$ns_d" "$sway_socket"
e2e_settings sway "device=$(e2e_identifier)" flowWelcomed=true
e2e_start sway
e2e_wait_program sway
e2e_expect sway Status "Connected · trusted local network"

e2e_check "the panel is a centred floating window with focus; losing focus or Escape hides it"
export SWAYSOCK=$(echo "$E2E_TMP"/sway/sway-ipc.*.sock)
# Prints whether the panel is focused and centred on its output (in sway's
# tree), or nothing when it is not shown.
panel() {
    swaymsg -t get_tree | python3 -c 'import json, sys
def middle(r): return (r["x"] + r["width"] / 2, r["y"] + r["height"] / 2)
def walk(n, output):
    if n.get("type") == "output": output = n["rect"]
    if n.get("name") == "Zephlink Clipboard":
        (x, y), (cx, cy) = middle(n["rect"]), middle(output)
        print("focused" if n["focused"] else "unfocused",
              "centred" if abs(x - cx) <= 1 and abs(y - cy) <= 1 else "elsewhere")
    for c in n.get("nodes", []) + n.get("floating_nodes", []): walk(c, output)
walk(json.load(sys.stdin), None)'
}
wait_panel() {
    local deadline=$((SECONDS + E2E_WAIT_LIMIT))
    until [ "$(panel)" = "$1" ]; do
        [ "$SECONDS" -lt "$deadline" ] || e2e_fail "the panel is \"$(panel)\", not \"$1\""
        sleep 0.1
    done
}
wait_panel "focused centred"
swaymsg workspace 2 >/dev/null
wait_panel ""
swaymsg workspace 1 >/dev/null
e2e_call sway ShowPopover
wait_panel "focused centred"
wtype -k Escape
wait_panel ""
e2e_ok

e2e_check "a copy in sway reaches the peer exactly once"
copy -- "copied in sway"
wait_kept "copied in sway"
sleep "$capture_window"
[ "$(kept "copied in sway")" = 1 ] || e2e_fail "sent more than once"
e2e_ok

e2e_check "a clip from the peer is what wl-paste prints, and is not sent back"
foreign post "$group" -- "from the peer" >/dev/null
deadline=$((SECONDS + E2E_WAIT_LIMIT))
until [ "$(wl-paste -n 2>/dev/null)" = "from the peer" ]; do
    [ "$SECONDS" -lt "$deadline" ] || e2e_fail "wl-paste prints \"$(wl-paste -n)\""
    sleep 0.1
done
sleep "$capture_window"
[ "$(kept "from the peer")" = 1 ] || e2e_fail "the received clip was sent back"
e2e_ok

e2e_check "primary-selection and hinted copies never leave"
copy --primary -- "primary only"
"$OFFER" "hinted secret" "x-kde-passwordManagerHint=secret" & e2e_track $!
deadline=$((SECONDS + E2E_WAIT_LIMIT))
until [ "$(wl-paste -n 2>/dev/null)" = "hinted secret" ]; do
    [ "$SECONDS" -lt "$deadline" ] || e2e_fail "the password manager never offered its text"
    sleep 0.1
done
wl-paste --list-types | grep -qx x-kde-passwordManagerHint || e2e_fail "no hint offered"
sleep "$capture_window"
copy -- "after the secrets"
wait_kept "after the secrets"
[ "$(kept "primary only")$(kept "hinted secret")" = 00 ] || e2e_fail "a secret left"
e2e_ok

e2e_check "a 1 MiB copy is refused by the size rule, and the next copy still leaves"
head -c 1048576 /dev/zero | tr '\0' z | wl-copy --foreground & e2e_track $!
e2e_expect sway Status "$refused"
copy -- "after the big one"
wait_kept "after the big one"
e2e_ok
e2e_quit sway

# ------------------------------------------------------------ weston

compositor weston_socket weston
e2e_desktop weston "$ns_d" "$weston_socket"
e2e_settings weston "device=$(e2e_identifier)" flowWelcomed=true
e2e_start weston
e2e_wait_program weston

e2e_check "on Weston the status says so, and clips from the peer still reach the history"
e2e_expect weston Status "$forbidden"
foreign post "$group" -- "to the history" >/dev/null
deadline=$((SECONDS + E2E_WAIT_LIMIT))
until [ "$(e2e_get weston History | tr -s ' \n' ' ')" = "array [ to the history ]" ]; do
    [ "$SECONDS" -lt "$deadline" ] || e2e_fail "History: $(e2e_get weston History)"
    sleep 0.1
done
e2e_ok
e2e_quit weston
e2e_log "all Wayland checks passed"

#!/usr/bin/env bash
# discovery_namespaces.sh NODE_PROGRAM: three devices on one private /24, each
# in a namespace of its own, bridged in a fourth; avahi on a bus of each's own.
set -euo pipefail
node=$(realpath "$1")
. "$(dirname "$0")/../e2e/lib.sh"
tag="zd$$" work=$E2E_TMP
declare -A nodePid=() address=([a]=10.231.7.1 [b]=10.231.7.2 [c]=10.231.7.3)
idA=7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a idB=1b1b1b1b1b1b1b1b1b1b1b1b1b1b1b1b
idC=c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3
fail() { e2e_fail "$@"; }
within() { E2E_LIMIT=$1 e2e_until "${@:2}"; }
in_ns() { DBUS_SYSTEM_BUS_ADDRESS="$bus/$1/bus" ip netns exec "${tag}$1" "${@:2}"; }
spawn() { # letter log command...: in the background, its pid in $spawned
    DBUS_SYSTEM_BUS_ADDRESS="$bus/$1/bus" ip netns exec "${tag}$1" "${@:3}" >>"$2" 2>&1 &
    spawned=$!
    e2e_track "$spawned"
}

ip netns add "${tag}h" || fail "cannot create a network namespace"
E2E_NETNS+=("${tag}h")
ip -n "${tag}h" link add br0 type bridge mcast_snooping 0
ip -n "${tag}h" link set br0 up
for n in a b c; do
    ip netns add "${tag}$n" && E2E_NETNS+=("${tag}$n")
    ip -n "${tag}h" link add "p$n" type veth peer name eth0 netns "${tag}$n"
    ip -n "${tag}h" link set "p$n" master br0 up
    ip -n "${tag}$n" link set lo up
    ip -n "${tag}$n" addr add "${address[$n]}/24" brd + dev eth0
    ip -n "${tag}$n" link set eth0 up
    ip -n "${tag}$n" route add 224.0.0.0/4 dev eth0
    mkdir "$work/$n"
done

# avahi-browse writes every byte but letters, digits, "-" and "_" as \DDD.
services() { in_ns "$1" timeout 10 avahi-browse -rtp _zephlink._tcp 2>/dev/null | grep '^=' || true; }
advertised() { # letter, escaped name, address, host identifier
    services "$1" | grep -F ";$2;_zephlink._tcp;local;" | grep -qF ";$3;8788;\"v=1\" \"hostId=$4\""
}
withdrawn() { ! services "$1" | grep -qF "hostId=$2"; }
startAvahi() {
    local dir="$work/$1"
    cat >"$dir/bus.conf" <<CONF
<busconfig><type>system</type><listen>unix:path=$dir/bus</listen><auth>EXTERNAL</auth>
<policy context="default"><allow user="*"/><allow own="*"/><allow send_type="method_call"/>
<allow send_destination="*"/><allow receive_type="*"/></policy>
<includedir>/usr/share/dbus-1/system.d</includedir></busconfig>
CONF
    spawn "$1" "$dir/bus.log" dbus-daemon --config-file="$dir/bus.conf" --nofork --nopidfile
    within 5 test -S "$dir/bus" || return 1
    printf '%s\n' "[server]" "host-name=zl-$1" "use-ipv4=yes" "use-ipv6=no" "allow-interfaces=eth0" \
        "[wide-area]" "enable-wide-area=no" "[publish]" "publish-hinfo=no" \
        "publish-workstation=no" >"$dir/avahi.conf"
    # a private /run keeps the daemon's files out of the machine's
    spawn "$1" "$work/$1/avahi.log" unshare -m sh -c 'mount -t tmpfs tmpfs /run &&
        mkdir -p /run/avahi-daemon && exec avahi-daemon -f "$0" --no-drop-root --no-chroot \
        --no-rlimits' "$work/$1/avahi.conf"
    within 10 in_ns "$1" timeout 5 avahi-browse -tp _zephlink._tcp >/dev/null 2>&1
}
bus="unix:path=$work"
avahi=yes
for tool in dbus-daemon avahi-daemon avahi-browse unshare; do
    command -v "$tool" >/dev/null || avahi="no: $tool is not installed"
done
for n in a b c; do
    [ "$avahi" = yes ] || break
    startAvahi "$n" || avahi="no: avahi-daemon did not come up: $(tail -n 3 "$work/$n/avahi.log")"
done
if [ "$avahi" != yes ]; then
    bus="unix:path=/nonexistent/zephlink-no-bus"
    echo "NOTE: the advertisement checks are skipped; avahi $avahi"
fi

startNode() { # letter device name
    spawn "$1" "$work/$1.log" "$node" "$2" "$3"
    nodePid[$1]=$spawned
    within 5 grep -qs '^started hosting=yes$' "$work/$1.log" || fail "node $1 did not start its host"
}
last() { grep -sE '^(session|none)' "$work/$1.log" | tail -n 1; }
first() { grep -sE '^(session|none)' "$work/$1.log" | head -n 1; }
called() { [ -n "$(first "$1")" ]; }
lastHas() { [[ "$(last "$1")" == *"$2"* ]]; }
nameA='Zephlink\032Node\032A'

startNode b "$idB" "Node B"
startNode a "$idA" "Node A"
within 8 called a && within 8 called b || fail "a node delivered nothing"
room=$(sed -n 's/.* room=\([0-9a-f]*\) .*/\1/p' <<<"$(first b)")
[[ "$(first b)" == "session host=$idB server=http://127.0.0.1:8788 room=$room "* ]] ||
    fail "node b's first cycle: $(first b)"
[[ "$(first a)" == "session host=$idB server=http://${address[b]}:8788 room=$room "* ]] ||
    fail "node a's first cycle did not give node b's group: $(first a)"
echo "PASS two devices agree on the first host's group in their first cycle"
if [ "$avahi" = yes ]; then
    within 10 advertised a "$nameA" "${address[a]}" "$idA" || fail "a's advertisement: $(services a)"
    within 10 advertised a 'Zephlink\032Node\032B' "${address[b]}" "$idB" || fail "b's, seen from a"
    within 10 lastHas a " announced=$idB" || fail "a does not report b as announced: $(last a)"
    echo "PASS advertisements carry name, port and TXT entries"
fi

startNode c "$idC" "Node A" # a name taken on the network
within 8 called c || fail "node c delivered nothing"
[[ "$(first c)" == "session host=$idB server=http://${address[b]}:8788 room=$room "* ]] ||
    fail "node c did not join node b's group: $(first c)"
if [ "$avahi" = yes ]; then
    within 15 advertised a "$nameA"'\032\0352' "${address[c]}" "$idC" ||
        fail "c's advertisement under the alternative name: $(services a)"
    advertised a "$nameA" "${address[a]}" "$idA" || fail "a lost its name: $(services a)"
fi
echo "PASS a device joining later agrees too"

kill -USR1 "${nodePid[b]}" # node b, the host everyone uses, stops
within 5 grep -q '^stopped$' "$work/b.log" || fail "node b did not stop"
portFree() { [ -z "$(ip netns exec "${tag}b" ss -H "-l$1n" "sport = :$2")" ]; }
within 2 portFree t 8788 && within 2 portFree u 8789 || fail "a port is still held after stop"
if [ "$avahi" = yes ]; then
    within 15 withdrawn a "$idB" || fail "b's advertisement stayed on the network: $(services a)"
    within 10 lastHas a " announced=$idC" || fail "a still reports b as announced: $(last a)"
fi
within 12 lastHas a "session host=$idA server=http://127.0.0.1:8788 room=" ||
    fail "node a did not move on to its own host"
roomA=$(sed -n 's/.* room=\([0-9a-f]*\) .*/\1/p' <<<"$(last a)")
within 12 lastHas c "session host=$idA server=http://${address[a]}:8788 room=$roomA " ||
    fail "node c did not move on to node a's host"
sleep 5
sed -n '/^stopped$/,$p' "$work/b.log" | grep -qE '^(session|none)' && fail "node b delivered after stop"
echo "PASS stop frees the ports and withdraws; the others move on; nothing after stop"

for n in a b c; do kill -TERM "${nodePid[$n]}"; done
for n in a b c; do
    within 10 grep -q '^bye$' "$work/$n.log" || fail "node $n did not end"
    wait "${nodePid[$n]}" || fail "node $n ended with status $?"
done
echo "PASS every device ends cleanly"

#!/usr/bin/env bash
# Three devices on one private /24, each in a network namespace of its own,
# joined by veth pairs to a bridge in a fourth namespace. Every datagram,
# broadcast and mDNS packet stays among the namespaces this script creates;
# they, and every process started here, are removed on every way out.
#
#   discovery_namespaces.sh NODE_PROGRAM
#
# Two devices start, find each other in their first cycle and agree on the
# host whose identifier sorts first; a third joins later and agrees too; when
# that host stops, its ports are free, no callback arrives from it, its
# advertisement goes and the others move on to the next host. Where
# avahi-daemon can run inside the namespaces (with a D-Bus system bus of
# their own), the advertisements are checked with avahi-browse.
set -euo pipefail

node=$(realpath "$1")
tag="zd$$"
hub="${tag}h"
work=$(mktemp -d /tmp/zephlink-discovery.XXXXXX)
spaces=()
pids=()
declare -A nodePid=() avahiPid=()

idA=7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a7a
idB=1b1b1b1b1b1b1b1b1b1b1b1b1b1b1b1b
idC=c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3c3
declare -A address=([a]=10.231.7.1 [b]=10.231.7.2 [c]=10.231.7.3)

show() {
    for n in a b c; do
        if [ -f "$work/$n.out" ]; then
            echo "--- node $n"
            cat "$work/$n.out" "$work/$n.err" 2>/dev/null || true
        fi
    done
}

fail() {
    echo "FAIL: $*"
    show
    exit 1
}

cleanup() {
    set +e
    for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do
        for _ in $(seq 30); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    for ns in "${spaces[@]}"; do
        # Whatever still runs in a namespace of ours is ours.
        for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
        ip netns del "$ns" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# Bounded wait for a command to succeed: within SECONDS seconds.
within() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.2
    done
}

# --- the network -----------------------------------------------------------

ip netns add "$hub" ||
    fail "cannot create a network namespace (root needed); this test never uses the real network"
spaces+=("$hub")
ip -n "$hub" link set lo up
ip -n "$hub" link add br0 type bridge mcast_snooping 0
ip -n "$hub" link set br0 up
for n in a b c; do
    ns="${tag}$n"
    ip netns add "$ns" || fail "cannot create namespace $ns"
    spaces+=("$ns")
    # Made inside the namespaces: no link of this test ever exists outside them.
    ip -n "$hub" link add "p$n" type veth peer name eth0 netns "$ns"
    ip -n "$hub" link set "p$n" master br0 up
    ip -n "$ns" link set lo up
    ip -n "$ns" addr add "${address[$n]}/24" brd + dev eth0
    ip -n "$ns" link set eth0 up
    ip -n "$ns" route add 224.0.0.0/4 dev eth0
done

# --- mDNS responders, where they can run -----------------------------------

avahi=yes
avahiWhy=""
for tool in dbus-daemon avahi-daemon avahi-browse python3 unshare; do
    if ! command -v "$tool" >/dev/null; then
        avahi=no
        avahiWhy="$tool is not installed"
    fi
done

busOf() {
    if [ "$avahi" = yes ]; then echo "unix:path=$work/$1/bus"; else echo "unix:path=/nonexistent/zephlink-no-bus"; fi
}

browseWorks() {
    DBUS_SYSTEM_BUS_ADDRESS="$(busOf "$1")" timeout 5 ip netns exec "${tag}$1" \
        avahi-browse -tp _zephlink._tcp >/dev/null 2>&1
}

startAvahi() {
    local n=$1 dir="$work/$1"
    mkdir -p "$dir"
    cat >"$dir/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>system</type><listen>unix:path=$dir/bus</listen>
<auth>EXTERNAL</auth><policy context="default"><allow user="*"/><allow own="*"/>
<allow send_type="method_call"/><allow send_destination="*"/><allow receive_type="*"/>
</policy><includedir>/usr/share/dbus-1/system.d</includedir></busconfig>
EOF
    ip netns exec "${tag}$n" dbus-daemon --config-file="$dir/bus.conf" --nofork --nopidfile \
        >"$dir/bus.log" 2>&1 &
    pids+=($!)
    within 5 test -S "$dir/bus" || return 1
    printf '%s\n' "[server]" "host-name=zl-$n" "use-ipv4=yes" "use-ipv6=no" \
        "allow-interfaces=eth0" "[wide-area]" "enable-wide-area=no" "[publish]" \
        "publish-hinfo=no" "publish-workstation=no" >"$dir/avahi.conf"
    startDaemon "$n"
}

startDaemon() {
    local n=$1 dir="$work/$1"
    # A private /run: the daemon's pid file and socket stay out of the
    # machine's own, and each namespace can have its daemon.
    DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/bus" ip netns exec "${tag}$n" unshare -m sh -c \
        'mount -t tmpfs tmpfs /run && mkdir -p /run/avahi-daemon &&
         exec avahi-daemon -f "$0" --no-drop-root --no-chroot --no-rlimits' "$dir/avahi.conf" \
        >>"$dir/avahi.log" 2>&1 &
    pids+=($!)
    avahiPid[$n]=$!
    within 10 browseWorks "$n"
}

if [ "$avahi" = yes ]; then
    for n in a b c; do
        if ! startAvahi "$n"; then
            avahi=no
            avahiWhy="avahi-daemon did not come up: $(tail -n 3 "$work/$n/avahi.log" 2>/dev/null | tr '\n' ' ')"
            break
        fi
    done
fi
if [ "$avahi" = yes ]; then
    echo "avahi-daemon runs in each namespace: advertisements are checked"
else
    echo "NOTE: avahi-daemon could not be started in the test's namespaces ($avahiWhy);" \
        "the advertisement checks are skipped"
fi

# The services a namespace's responder knows, one per line:
# name|address|port|txt, names unescaped.
read -r -d '' decode <<'EOF' || true
import sys
def unescape(text):
    out = bytearray()
    i = 0
    while i < len(text):
        if text[i] == '\\' and text[i + 1:i + 4].isdigit():
            out.append(int(text[i + 1:i + 4])); i += 4
        elif text[i] == '\\' and i + 1 < len(text):
            out += text[i + 1].encode(); i += 2
        else:
            out += text[i].encode(); i += 1
    return out.decode('utf-8', 'replace')
services = {}
for line in sys.stdin:
    f = line.rstrip('\n').split(';')
    if len(f) < 4:
        continue
    name = unescape(f[3])
    if f[0] == '-':
        services.pop(name, None)
    elif f[0] == '=' and len(f) >= 10:
        services[name] = '%s|%s|%s|%s' % (name, f[7], f[8], ';'.join(f[9:]))
for service in sorted(services.values()):
    print(service)
EOF

services() {
    DBUS_SYSTEM_BUS_ADDRESS="$(busOf "$1")" timeout 10 ip netns exec "${tag}$1" \
        avahi-browse -rtp _zephlink._tcp 2>/dev/null | python3 -c "$decode"
}

# grep reads to the end, so that the decoder never writes into a closed pipe.
advertised() { # namespace, expected line
    services "$1" | grep -xF -- "$2" >/dev/null
}

withdrawn() { # namespace, host identifier
    ! services "$1" | grep -F -- "hostId=$2" >/dev/null
}

# --- the devices -----------------------------------------------------------

startNode() { # letter device name
    local n=$1
    DBUS_SYSTEM_BUS_ADDRESS="$(busOf "$n")" ip netns exec "${tag}$n" "$node" "$2" "$3" \
        >"$work/$n.out" 2>"$work/$n.err" &
    pids+=($!)
    nodePid[$n]=$!
    within 5 grep -qs '^started hosting=yes$' "$work/$n.out" || fail "node $n did not start its host"
}

callbacks() { grep -sE '^(session|none)' "$work/$1.out" || true; }
firstCallback() { callbacks "$1" | head -n 1; }
lastCallback() { callbacks "$1" | tail -n 1; }
hasCallback() { [ -n "$(firstCallback "$1")" ]; }
roomOf() { sed -n 's/.* room=\([0-9a-f]*\) .*/\1/p' <<<"$1"; }

startNode b "$idB" "Node B"
startNode a "$idA" "Node A"
within 8 hasCallback a || fail "node a delivered nothing"
within 8 hasCallback b || fail "node b delivered nothing"
firstA=$(firstCallback a)
firstB=$(firstCallback b)
room=$(roomOf "$firstB")
[[ "$firstB" == "session host=$idB server=http://127.0.0.1:8788 room=$room "* ]] ||
    fail "node b's first cycle: $firstB"
[[ "$firstA" == "session host=$idB server=http://${address[b]}:8788 room=$room "* ]] ||
    fail "node a's first cycle did not give node b's group: $firstA"
echo "PASS two devices agree on the first host's group in their first cycle"

if [ "$avahi" = yes ]; then
    within 10 advertised a "Zephlink Node A|${address[a]}|8788|\"v=1\" \"hostId=$idA\"" ||
        fail "node a's advertisement: $(services a)"
    within 10 advertised a "Zephlink Node B|${address[b]}|8788|\"v=1\" \"hostId=$idB\"" ||
        fail "node b's advertisement, seen from a: $(services a)"
    echo "PASS advertisements carry name, port and TXT entries"

    kill -TERM "${avahiPid[a]}"
    wait "${avahiPid[a]}" 2>/dev/null || true
    sleep 1
    kill -0 "${nodePid[a]}" || fail "node a ended with its avahi-daemon"
    startDaemon a || fail "avahi-daemon did not start again"
    within 10 advertised a "Zephlink Node A|${address[a]}|8788|\"v=1\" \"hostId=$idA\"" ||
        fail "node a's advertisement did not come back with the daemon: $(services a)"
    echo "PASS the advertisement comes back when avahi-daemon does"
fi

# The third device takes the first one's name, which its responder finds
# taken on the network.
startNode c "$idC" "Node A"
within 8 hasCallback c || fail "node c delivered nothing"
firstC=$(firstCallback c)
[[ "$firstC" == "session host=$idB server=http://${address[b]}:8788 room=$room "* ]] ||
    fail "node c did not join node b's group: $firstC"
echo "PASS a device joining later agrees too"

if [ "$avahi" = yes ]; then
    within 15 advertised a "Zephlink Node A #2|${address[c]}|8788|\"v=1\" \"hostId=$idC\"" ||
        fail "node c's advertisement under the alternative name: $(services a)"
    advertised a "Zephlink Node A|${address[a]}|8788|\"v=1\" \"hostId=$idA\"" ||
        fail "node a lost its name: $(services a)"
    echo "PASS a name taken on the network is replaced by the alternative name"
    services a | sed 's/^/    /'
fi

# Node b, the host everyone uses, stops.
kill -USR1 "${nodePid[b]}"
within 5 grep -q '^stopped$' "$work/b.out" || fail "node b did not stop"
portFree() { # namespace, ss filter protocol flag, port
    [ -z "$(ip netns exec "${tag}$1" ss -H "-l$2n" "sport = :$3")" ]
}
portFree b t 8788 || fail "port 8788 still held after stop"
within 2 portFree b u 8789 || fail "port 8789 still held after stop"
echo "PASS stop frees the host's ports"

if [ "$avahi" = yes ]; then
    within 10 withdrawn b "$idB" || fail "node b's advertisement stayed: $(services b)"
    within 15 withdrawn a "$idB" || fail "node b's advertisement stayed on the network: $(services a)"
    echo "PASS stop withdraws the advertisement"
fi

movedOn() { # letter, expected start of the last line
    [[ "$(lastCallback "$1")" == "$2"* ]]
}
within 12 movedOn a "session host=$idA server=http://127.0.0.1:8788 room=" ||
    fail "node a did not move on to its own host"
roomA=$(roomOf "$(lastCallback a)")
within 12 movedOn c "session host=$idA server=http://${address[a]}:8788 room=$roomA " ||
    fail "node c did not move on to node a's host"
echo "PASS the others move on to the next host"

linesAfterStop=$(sed -n '/^stopped$/,$p' "$work/b.out" | wc -l)
sleep 5
[ "$(sed -n '/^stopped$/,$p' "$work/b.out" | wc -l)" -eq "$linesAfterStop" ] &&
    [ "$linesAfterStop" -eq 1 ] || fail "node b delivered after stop"
echo "PASS no callback after stop"

for n in a b c; do kill -TERM "${nodePid[$n]}"; done
for n in a b c; do
    within 10 grep -q '^bye$' "$work/$n.out" || fail "node $n did not end"
    status=0
    wait "${nodePid[$n]}" || status=$?
    [ "$status" -eq 0 ] || fail "node $n ended with status $status"
done
echo "PASS every device ends cleanly"

# Sourced by the e2e scripts. Everything runs in namespaces made here, which
# the EXIT trap deletes after stopping every process.
[ "$(id -u)" -eq 0 ] || { echo "e2e tests need root (ip netns)" >&2; exit 1; }
E2E_TMP=$(mktemp -d /tmp/zephlink-e2e.XXXXXX)
E2E_PIDS=() E2E_NETNS=() E2E_EXTRA_VARS=()
declare -A E2E_DIR=() E2E_NS=() E2E_DISPLAY=() E2E_PID=()
E2E_LIMIT=${E2E_LIMIT:-45} # seconds of any wait, a sanitizer build included
E2E_NAME=app.zephlink.Zephlink
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

e2e_fail() {
    echo "FAIL: $*" >&2
    find "$E2E_TMP" -name '*.log' -size +0 -exec tail -n 25 {} + >&2
    exit 1
}

e2e_cleanup() {
    local status=$? i ns
    trap - EXIT
    set +e
    for ((i = ${#E2E_PIDS[@]} - 1; i >= 0; i--)); do e2e_stop "${E2E_PIDS[$i]}"; done
    for ns in "${E2E_NETNS[@]}"; do ip netns pids "$ns" | xargs -r kill -KILL; ip netns del "$ns"; done
    rm -rf "$E2E_TMP"
    exit "$status"
}
trap e2e_cleanup EXIT
trap 'exit 143' INT TERM HUP

e2e_until() {
    local deadline=$((SECONDS + E2E_LIMIT))
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

e2e_track() { E2E_PIDS+=("$1"); }
e2e_alive() { [ -e "/proc/$1" ] && [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" != Z ]; }
e2e_gone() { ! e2e_alive "$1"; }

e2e_stop() {
    kill -TERM "$1" 2>/dev/null || true
    E2E_LIMIT=10 e2e_until e2e_gone "$1" || kill -KILL "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null
}

e2e_ns() {
    local -n _ns=$1
    _ns="zl$$n${#E2E_NETNS[@]}"
    ip netns add "$_ns" && ip -n "$_ns" link set lo up || e2e_fail "cannot make $_ns"
    E2E_NETNS+=("$_ns")
}

# e2e_address NS CIDR DEVICE: broadcast and multicast work as on a LAN.
e2e_address() {
    ip -n "$1" addr add "$2" brd + dev "$3" && ip -n "$1" link set "$3" up &&
        ip -n "$1" route add 224.0.0.0/4 dev "$3" || e2e_fail "cannot configure $1"
}

# e2e_link NS1 CIDR1 NS2 CIDR2, or NS CIDR for a LAN of one.
e2e_link() {
    ip link add e0 netns "$1" type veth peer name e1 netns "${3:-$1}" && ip -n "${3:-$1}" link set e1 up ||
        e2e_fail "no veth"
    e2e_address "$1" "$2" e0
    [ -z "${3:-}" ] || e2e_address "$3" "$4" e1
}

e2e_xvfb() {
    local -n _display=$1
    local file=$E2E_TMP/xvfb.$RANDOM
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x800x24 3>"$file" >"$file.log" 2>&1 &
    e2e_track $!
    e2e_until grep -q '^[0-9]' "$file" || e2e_fail "Xvfb did not start"
    _display=":$(head -n 1 "$file")"
}

# e2e_windows DISPLAY TITLE [EXCEPT]: viewable windows titled exactly TITLE.
# e2e_two_desktops N: desktops a and b on one LAN (10.231.N.1 and .2), b with
# the lower identifier; sets ns_a ns_b da db dev_a dev_b.
e2e_two_desktops() {
    e2e_ns ns_a
    e2e_ns ns_b
    e2e_link "$ns_a" "10.231.$1.1/24" "$ns_b" "10.231.$1.2/24"
    e2e_xvfb da
    e2e_xvfb db
    e2e_desktop a "$ns_a" "$da"
    e2e_desktop b "$ns_b" "$db"
    local ids
    ids=$( (e2e_id; echo; e2e_id) | sort)
    dev_b=${ids%%$'\n'*} dev_a=${ids##*$'\n'}
    e2e_settings a "device=$dev_a" flowWelcomed=true
    e2e_settings b "device=$dev_b" flowWelcomed=true
}

e2e_windows() {
    local id
    for id in $(xwininfo -display "$1" -root -tree | grep -F "\"$2\": " | awk '{print $1}'); do
        [[ " ${3:-} " == *" $id "* ]] ||
            ! xwininfo -display "$1" -id "$id" | grep -q IsViewable || echo "$id"
    done
}
e2e_shown() { [ -n "$(e2e_windows "$@")" ]; }
e2e_hidden() { ! xwininfo -display "$1" -id "$2" 2>/dev/null | grep -q IsViewable; }
e2e_window() {
    local ids
    e2e_until e2e_shown "$@" && ids=$(e2e_windows "$@") && echo "${ids%%$'\n'*}"
}

e2e_dialog_after() {
    local display=$1 before
    shift
    before=$(e2e_windows "$display" Zephlink | tr '\n' ' ')
    "$@" >/dev/null && e2e_window "$display" Zephlink "$before"
}

e2e_keys() { DISPLAY=$1 xdotool windowfocus --sync "$2" key --delay 50 "${@:3}" || e2e_fail "xdotool failed"; }

e2e_clip() { timeout 10 xclip -display "$1" -selection clipboard -o ${2:+-t "$2"}; }
e2e_clip_is() {
    local got
    got=$(e2e_clip "$1" 2>/dev/null && printf .) && [ "${got%.}" = "$2" ]
}

# xclip serves the copy (E2E_CLIP_PID) until another program takes the clipboard.
e2e_copy() {
    printf '%s' "$2" | xclip -display "$1" -selection clipboard -quiet -i >/dev/null 2>&1 &
    E2E_CLIP_PID=$!
    e2e_track $!
    e2e_until e2e_clip_is "$1" "$2" || e2e_fail "xclip never offered \"$2\""
}

e2e_desktop() {
    local dir=$E2E_TMP/$1
    mkdir -p "$dir"/{home,config/Zephlink,data,cache,run}
    chmod 700 "$dir/run"
    E2E_DIR[$1]=$dir E2E_NS[$1]=$2 E2E_DISPLAY[$1]=$3
    echo "<busconfig><type>session</type><listen>unix:path=$dir/bus</listen><auth>EXTERNAL</auth>
<policy context='default'><allow send_destination='*' eavesdrop='true'/><allow eavesdrop='true'/><allow own='*'/></policy></busconfig>" >"$dir/bus.conf"
    dbus-daemon --config-file="$dir/bus.conf" --fork --print-pid >"$dir/bus.pid" || e2e_fail "no session bus"
    e2e_track "$(cat "$dir/bus.pid")"
}

# Execs in the desktop's namespace and environment (no system bus); run it
# in a subshell or the background.
e2e_in() {
    local name=$1 dir=${E2E_DIR[$1]} display=${E2E_DISPLAY[$1]}
    shift
    local vars=(PATH="$PATH" LANG=C.UTF-8 HOME="$dir/home" XDG_CONFIG_HOME="$dir/config"
        XDG_DATA_HOME="$dir/data" XDG_CACHE_HOME="$dir/cache" XDG_RUNTIME_DIR="$dir/run"
        NO_AT_BRIDGE=1 DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus"
        DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/none" "${E2E_EXTRA_VARS[@]}"
        ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0" UBSAN_OPTIONS="${UBSAN_OPTIONS:-}") # Mesa leaks at exit
    case $display in
    /*) vars+=(WAYLAND_DISPLAY="$display") ;;
    *) vars+=(DISPLAY="$display" QT_QPA_PLATFORM=xcb) ;;
    esac
    exec ip netns exec "${E2E_NS[$name]}" env -i "${vars[@]}" "$@"
}

e2e_settings() { printf '[General]\n%s\n' "${@:2}" >"${E2E_DIR[$1]}/config/Zephlink/Zephlink.conf"; }

e2e_start() {
    local name=$1
    shift
    e2e_in "$name" "$ZEPHLINK" "$@" >"${E2E_DIR[$name]}/zephlink.$RANDOM.log" 2>&1 &
    E2E_PID[$name]=$!
    e2e_track $!
    [ -n "${E2E_NOWAIT:-}" ] || e2e_until e2e_has "$name" "$E2E_NAME" ||
        e2e_fail "the program on $name never took its bus name"
}

e2e_run() { (e2e_in "$1" timeout -k 5 45 "$ZEPHLINK" "${@:2}") >>"${E2E_DIR[$1]}/run.log" 2>&1; }

e2e_has() {
    dbus-send --bus="unix:path=${E2E_DIR[$1]}/bus" --print-reply=literal --dest=org.freedesktop.DBus \
        /org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner "string:$2" 2>/dev/null | grep -q true
}

e2e_keyring() {
    printf test | e2e_in "$1" gnome-keyring-daemon --foreground --unlock --components=secrets \
        >"${E2E_DIR[$1]}/keyring.log" 2>&1 &
    e2e_track $!
    e2e_until e2e_has "$1" org.freedesktop.secrets || e2e_fail "no Secret Service on $1"
}

e2e_secret() {
    DBUS_SESSION_BUS_ADDRESS="unix:path=${E2E_DIR[$1]}/bus" timeout 10 \
        secret-tool lookup service app.zephlink.dazar account group 2>/dev/null || true
}

e2e_call() {
    timeout 10 dbus-send --bus="unix:path=${E2E_DIR[$1]}/bus" --print-reply --dest=$E2E_NAME \
        /app/zephlink/Zephlink "$E2E_NAME.$2" "${@:3}" >/dev/null || e2e_fail "$2 on $1 failed"
}

e2e_get() {
    timeout 10 dbus-send --bus="unix:path=${E2E_DIR[$1]}/bus" --print-reply=literal --dest=$E2E_NAME \
        /app/zephlink/Zephlink org.freedesktop.DBus.Properties.Get "string:$E2E_NAME" "string:$2" |
        sed -E 's/^ *variant +(boolean |int32 )?//'
}
e2e_is() { [ "$(e2e_get "$1" "$2")" = "$3" ]; }

e2e_expect() {
    local name=$1 pair
    shift
    for pair in "$@"; do
        e2e_until e2e_is "$name" "${pair%%=*}" "${pair#*=}" ||
            e2e_fail "${pair%%=*} of $name is \"$(e2e_get "$name" "${pair%%=*}")\", not \"${pair#*=}\""
    done
}

e2e_quit() {
    e2e_call "$1" Quit
    e2e_until e2e_gone "${E2E_PID[$1]}" && wait "${E2E_PID[$1]}" || e2e_fail "$1 did not quit with status 0"
}

e2e_relay() {
    E2E_RELAY_NS=$1
    ip netns exec "$1" "$RELAY_PROGRAM" --listen "$2" --metrics 127.0.0.1:9187 2>"$E2E_TMP/relay.log" &
    E2E_RELAY_PID=$!
    e2e_track $!
    e2e_until grep -q listening "$E2E_TMP/relay.log" || e2e_fail "the relay did not start"
    RELAY=http://$2
}

# The sum of the relay's counters matching a regex (e2e_metric 'answers.*"204"'),
# less its own 200s to earlier /metrics requests.
e2e_metric() {
    local served
    served=$(cat "$E2E_TMP/metrics.n" 2>/dev/null || echo 0)
    echo $((served + 1)) >"$E2E_TMP/metrics.n"
    ip netns exec "$E2E_RELAY_NS" curl -s --max-time 10 http://127.0.0.1:9187/metrics |
        awk -v n="$served" -v m="^zephlink_relay_$1" '/answers.*"200"/ {$2 -= n} $1 ~ m {s += $2} END {print s + 0}'
}

e2e_json() { python3 -c 'import json, sys; print(json.loads(sys.argv[1] or "{}").get(sys.argv[2], ""))' "$1" "$2"; }
e2e_id() { head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n'; }
e2e_key() { head -c 32 /dev/urandom | base64 | tr '+/' '-_' | tr -d '=\n'; }

# foreign_host.py serving in NS; its group file is $GROUP.
e2e_foreign() {
    GROUP=$E2E_TMP/foreign.json FOREIGN_NS=$1
    shift
    ip netns exec "$FOREIGN_NS" python3 "$HERE/foreign_host.py" serve "$GROUP" "$@" \
        >"$E2E_TMP/foreign.log" 2>"$E2E_TMP/foreign.err.log" &
    FOREIGN_PID=$!
    e2e_track $!
    e2e_until test -s "$GROUP" || e2e_fail "the foreign host did not start"
}
foreign() { ip netns exec "$FOREIGN_NS" python3 "$HERE/foreign_host.py" "$@"; }
# kept_is TEXT COUNT [ORIGIN]: the host keeps COUNT clips opening to TEXT.
kept() { foreign count "$GROUP" ${2:+--origin="$2"} "$1" || e2e_fail "a kept clip does not open"; }
kept_is() { [ "$(kept "$1" "${3:-}")" = "$2" ]; }

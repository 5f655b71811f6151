# Helpers for end-to-end tests of the desktop program; source this file.
#
# A "desktop" is a program instance with its own home and settings, its own
# session bus (so single-instance hand-over is per desktop), optionally its
# own unlocked gnome-keyring on that bus, an X display and a network
# namespace made here. Nothing started here ever runs on the machine's real
# interfaces, and e2e_cleanup (installed as the EXIT trap by e2e_init) stops
# every process and deletes every namespace on every exit path.
#
# Needs bash 4, root (ip netns), Xvfb, dbus-daemon, dbus-send, xwininfo,
# xclip, gnome-keyring-daemon, secret-tool, curl.

E2E_TAG="zl$$"
E2E_TMP=""
E2E_PIDS=()
E2E_NETNS=()
E2E_NETNS_COUNT=0
E2E_CHECK=""
declare -A E2E_DIR=() E2E_NS=() E2E_DISPLAY=() E2E_BUS=() E2E_PID=() E2E_LOGS=()
# More NAME=VALUE settings for the desktops' processes.
E2E_EXTRA_VARS=()

# Bounds of every wait, in seconds; a slow sanitizer build stays inside them.
E2E_START_LIMIT=${E2E_START_LIMIT:-45}
E2E_WAIT_LIMIT=${E2E_WAIT_LIMIT:-30}
E2E_STOP_GRACE=${E2E_STOP_GRACE:-10}
E2E_CALL_LIMIT=10

E2E_DBUS_NAME=app.zephlink.Zephlink
E2E_DBUS_PATH=/app/zephlink/Zephlink
E2E_DBUS_INTERFACE=app.zephlink.Zephlink

# ------------------------------------------------------------ reporting

e2e_log() { printf '[e2e] %s\n' "$*"; }

# Names the check that follows; a failure reports it.
e2e_check() {
    E2E_CHECK="$*"
    printf '[e2e] CHECK %s\n' "$*"
}

e2e_ok() { printf '[e2e]   ok%s\n' "${1:+: $1}"; }

e2e_fail() {
    printf '[e2e] FAIL %s: %s\n' "${E2E_CHECK:-setup}" "$*" >&2
    exit 1
}

# Prints the log files of every instance, for a failure's context.
e2e_dump_logs() {
    local name file
    for name in "${!E2E_LOGS[@]}"; do
        for file in ${E2E_LOGS[$name]}; do
            [ -s "$file" ] || continue
            printf '[e2e] --- %s (%s)\n' "$name" "$file" >&2
            tail -n 40 "$file" >&2 || true
        done
    done
}

# ------------------------------------------------------------ lifetime

e2e_init() {
    [ "$(id -u)" -eq 0 ] || { echo "e2e tests need root (ip netns)" >&2; exit 1; }
    E2E_TMP=$(mktemp -d /tmp/zephlink-e2e.XXXXXX)
    trap e2e_cleanup EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    trap 'exit 129' HUP
}

e2e_track() { E2E_PIDS+=("$1"); }

# Forgets a pid once its process was reaped here, so that cleanup never
# signals a stranger that reuses it.
e2e_untrack() {
    local i
    for i in "${!E2E_PIDS[@]}"; do
        [ "${E2E_PIDS[$i]}" != "$1" ] || unset 'E2E_PIDS[i]'
    done
    E2E_PIDS=("${E2E_PIDS[@]}")
}

# True while pid runs (a zombie counts as gone).
e2e_alive() {
    local state
    state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

# Waits up to limit seconds for pid to end.
e2e_wait_gone() {
    local pid=$1 limit=$2 deadline
    deadline=$((SECONDS + limit))
    while e2e_alive "$pid"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# SIGTERM, a bounded grace, then SIGKILL.
e2e_stop() {
    local pid=$1
    e2e_alive "$pid" || { wait "$pid" 2>/dev/null || true; return 0; }
    kill -TERM "$pid" 2>/dev/null || true
    if ! e2e_wait_gone "$pid" "$E2E_STOP_GRACE"; then
        kill -KILL "$pid" 2>/dev/null || true
        e2e_wait_gone "$pid" 5 || true
    fi
    wait "$pid" 2>/dev/null || true
}

e2e_cleanup() {
    local status=$? i ns pid
    trap - EXIT INT TERM HUP
    set +e
    [ "$status" -eq 0 ] || e2e_dump_logs
    # Newest first: programs before the buses, keyrings and displays they use.
    for ((i = ${#E2E_PIDS[@]} - 1; i >= 0; i--)); do
        e2e_stop "${E2E_PIDS[$i]}"
    done
    # Anything left inside a namespace made here was started here.
    for ns in "${E2E_NETNS[@]}"; do
        for pid in $(ip netns pids "$ns" 2>/dev/null); do
            kill -KILL "$pid" 2>/dev/null
        done
        ip netns del "$ns" 2>/dev/null
    done
    if [ -n "$E2E_TMP" ] && [ -z "${E2E_KEEP:-}" ]; then
        rm -rf "$E2E_TMP"
    fi
    exit "$status"
}

# ------------------------------------------------------------ networks

# A fresh network namespace with lo up; its name goes into var. (Locals of
# functions that set a caller's variable start with "_" so that they never
# hide it.)
e2e_netns_new() {
    local -n _out=$1
    E2E_NETNS_COUNT=$((E2E_NETNS_COUNT + 1))
    local _ns="${E2E_TAG}n${E2E_NETNS_COUNT}"
    ip netns add "$_ns" || e2e_fail "cannot create network namespace $_ns"
    E2E_NETNS+=("$_ns")
    ip -n "$_ns" link set lo up || e2e_fail "cannot bring lo up in $_ns"
    _out=$_ns
}

# Gives an interface an address (CIDR) with its subnet's broadcast address,
# as DHCP would, brings it up and routes multicast through it, so that
# discovery has a network to speak on.
e2e_netns_address() {
    local ns=$1 device=$2 address=$3
    ip -n "$ns" addr add "$address" brd + dev "$device" &&
        ip -n "$ns" link set "$device" up &&
        ip -n "$ns" route add 224.0.0.0/4 dev "$device" ||
        e2e_fail "cannot configure $device in $ns"
}

# A private LAN of one: a veth pair inside ns, the address on its first end.
e2e_netns_lan() {
    local ns=$1 address=$2
    ip -n "$ns" link add e0 type veth peer name e1 || e2e_fail "cannot add veth in $ns"
    ip -n "$ns" link set e1 up || e2e_fail "cannot bring e1 up in $ns"
    e2e_netns_address "$ns" e0 "$address"
}

# Joins two namespaces with a veth pair (device e0 on both sides).
e2e_netns_link() {
    local ns1=$1 address1=$2 ns2=$3 address2=$4
    ip link add e0 netns "$ns1" type veth peer name e0 netns "$ns2" ||
        e2e_fail "cannot link $ns1 and $ns2"
    e2e_netns_address "$ns1" e0 "$address1"
    e2e_netns_address "$ns2" e0 "$address2"
}

# ------------------------------------------------------------ X displays

# Starts a private Xvfb (unix socket only); its display (":N") goes into var.
e2e_xvfb() {
    local -n _out=$1
    local _file="$E2E_TMP/xvfb.$RANDOM" _deadline _pid
    : >"$_file"
    # -displayfd lets the server pick a free display and say which, so that
    # concurrent tests never race for one.
    Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x800x24 3>"$_file" >"$_file.log" 2>&1 &
    _pid=$!
    e2e_track "$_pid"
    _deadline=$((SECONDS + E2E_START_LIMIT))
    until grep -q '^[0-9]' "$_file"; do
        e2e_alive "$_pid" || e2e_fail "Xvfb ended: $(tail -n 3 "$_file.log")"
        [ "$SECONDS" -lt "$_deadline" ] || e2e_fail "Xvfb did not start"
        sleep 0.05
    done
    _out=":$(head -n 1 "$_file" | tr -d '[:space:]')"
}

# Window ids (hex) of the windows titled exactly title.
e2e_windows() {
    local display=$1 title=$2
    xwininfo -display "$display" -root -tree 2>/dev/null |
        awk -v want="\"$title\": " '{
            line = $0
            sub(/^ +/, "", line)
            if (substr(line, length($1) + 2, length(want)) == want) print $1
        }'
}

e2e_viewable() {
    xwininfo -display "$1" -id "$2" 2>/dev/null | grep -q 'Map State: IsViewable'
}

# Waits until a window titled exactly title is viewable; prints its id.
# Windows listed in the optional third argument are not counted.
e2e_wait_window() {
    local display=$1 title=$2 except=${3:-} deadline id
    deadline=$((SECONDS + E2E_WAIT_LIMIT))
    while [ "$SECONDS" -lt "$deadline" ]; do
        for id in $(e2e_windows "$display" "$title"); do
            case " $except " in *" $id "*) continue ;; esac
            if e2e_viewable "$display" "$id"; then
                echo "$id"
                return 0
            fi
        done
        sleep 0.1
    done
    return 1
}

# Runs a command (an action that opens a dialog), then waits for a new
# window titled "Zephlink" on the display; prints its id.
e2e_dialog_after() {
    local display=$1 before
    shift
    before=$(e2e_windows "$display" Zephlink | tr '\n' ' ')
    "$@" >/dev/null || return 1
    e2e_wait_window "$display" Zephlink "$before"
}

# Types keys into a window: no window manager runs, so focus it first.
e2e_keys() {
    local display=$1 id=$2
    shift 2
    DISPLAY=$display timeout "$E2E_CALL_LIMIT" xdotool windowfocus --sync "$id" &&
        DISPLAY=$display timeout "$E2E_CALL_LIMIT" xdotool key --delay 50 "$@" ||
        e2e_fail "xdotool could not type $*"
}

# Waits until a window is no longer viewable.
e2e_wait_hidden() {
    local display=$1 id=$2 deadline
    deadline=$((SECONDS + E2E_WAIT_LIMIT))
    while e2e_viewable "$display" "$id"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

e2e_screenshot() {
    local display=$1 file=$2
    timeout "$E2E_CALL_LIMIT" import -display "$display" -window root "$file" ||
        e2e_fail "cannot take a screenshot of $display"
}

# The text of a display's clipboard (or of one of its types).
e2e_clip_read() {
    local display=$1 type=${2:-}
    timeout "$E2E_CALL_LIMIT" xclip -display "$display" -selection clipboard -o ${type:+-t "$type"}
}

# True when a display's clipboard holds exactly text: command substitution
# would drop trailing line breaks, so a sentinel keeps them.
e2e_clip_is() {
    local display=$1 text=$2 got
    got=$(e2e_clip_read "$display" 2>/dev/null && printf .) || return 1
    [ "${got%.}" = "$text" ]
}

# Waits until a display's clipboard holds exactly text.
e2e_wait_clip() {
    local display=$1 text=$2 limit=${3:-$E2E_WAIT_LIMIT} deadline
    deadline=$((SECONDS + limit))
    until e2e_clip_is "$display" "$text"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.05
    done
}

# Copies text to a display's clipboard, as a user's program would, and
# waits until it can be pasted; xclip stays in the foreground serving it
# until another program takes the clipboard (then it ends: E2E_CLIP_PID
# tells whether anyone did) or it is stopped.
e2e_clip_write() {
    local display=$1 text=$2
    printf '%s' "$text" | xclip -display "$display" -selection clipboard -quiet -i \
        >/dev/null 2>&1 &
    E2E_CLIP_PID=$!
    e2e_track "$E2E_CLIP_PID"
    e2e_wait_clip "$display" "$text" || e2e_fail "xclip never offered \"$text\""
}

# ------------------------------------------------------------ desktops

# Makes a desktop: name, network namespace, display. Creates its home and a
# private session bus; nothing else runs yet.
e2e_desktop() {
    local name=$1 ns=$2 display=$3
    local dir="$E2E_TMP/$name"
    mkdir -p "$dir/home" "$dir/config" "$dir/data" "$dir/cache" "$dir/run"
    chmod 700 "$dir/run"
    E2E_DIR[$name]=$dir
    E2E_NS[$name]=$ns
    E2E_DISPLAY[$name]=$display
    # Our own configuration: no activation of services from the machine.
    cat >"$dir/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=$dir/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
EOF
    timeout "$E2E_CALL_LIMIT" dbus-daemon --config-file="$dir/bus.conf" --fork \
        --print-pid >"$dir/bus.pid" || e2e_fail "dbus-daemon for $name did not start"
    e2e_track "$(head -n 1 "$dir/bus.pid")"
    E2E_BUS[$name]="unix:path=$dir/bus"
    E2E_LOGS[$name]=""
}

# The environment of a desktop's processes, into E2E_VARS: nothing from the
# caller's desktop, and a system bus that does not exist, so that no daemon
# of the machine (avahi) acts on the program's behalf.
e2e_vars() {
    local name=$1 dir=${E2E_DIR[$1]} var
    E2E_VARS=(
        PATH="$PATH" LANG=C.UTF-8 HOME="$dir/home"
        XDG_CONFIG_HOME="$dir/config" XDG_DATA_HOME="$dir/data"
        XDG_CACHE_HOME="$dir/cache" XDG_RUNTIME_DIR="$dir/run"
        NO_AT_BRIDGE=1 DBUS_SESSION_BUS_ADDRESS="${E2E_BUS[$name]}"
        DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/no-system-bus"
    )
    # A display given as a path is a Wayland compositor's socket.
    case ${E2E_DISPLAY[$name]} in
    /*) E2E_VARS+=(WAYLAND_DISPLAY="${E2E_DISPLAY[$name]}") ;;
    *) E2E_VARS+=(DISPLAY="${E2E_DISPLAY[$name]}" QT_QPA_PLATFORM=xcb) ;;
    esac
    E2E_VARS+=("${E2E_EXTRA_VARS[@]}")
    for var in UBSAN_OPTIONS LSAN_OPTIONS; do
        if [ -n "${!var:-}" ]; then E2E_VARS+=("$var=${!var}"); fi
    done
    # A sanitizer build still stops at the first memory error, which these
    # tests see. Leaks are left to the unit tests: at exit the GL driver
    # (Mesa, unloaded by then, so no suppression can name it) and Qt Quick's
    # caches hold memory that LeakSanitizer would report.
    E2E_VARS+=("ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0")
}

# Runs a command inside the desktop's namespace with its environment.
e2e_in() {
    local name=$1
    shift
    e2e_vars "$name"
    ip netns exec "${E2E_NS[$name]}" env -i "${E2E_VARS[@]}" "$@"
}

# Starts an unlocked gnome-keyring (password "test") on the desktop's bus.
e2e_keyring() {
    local name=$1 dir=${E2E_DIR[$1]}
    e2e_vars "$name"
    # In the foreground, so that the pid is known; the password comes on stdin.
    printf test | ip netns exec "${E2E_NS[$name]}" env -i "${E2E_VARS[@]}" \
        gnome-keyring-daemon --foreground --unlock --components=secrets \
        >"$dir/keyring.log" 2>&1 &
    e2e_track $!
    E2E_LOGS[$name]+=" $dir/keyring.log"
    e2e_wait_name "$name" org.freedesktop.secrets ||
        e2e_fail "no Secret Service on the bus of $name"
}

# The desktop's secret for the program's group ("" when there is none).
e2e_secret() {
    local name=$1
    DBUS_SESSION_BUS_ADDRESS=${E2E_BUS[$name]} timeout "$E2E_CALL_LIMIT" \
        secret-tool lookup service app.zephlink.dazar account group 2>/dev/null || true
}

# Writes the desktop's settings as an earlier run would have left them:
# e2e_settings desktop key=value ...
e2e_settings() {
    local name=$1 dir=${E2E_DIR[$1]}/config/Zephlink
    shift
    mkdir -p "$dir"
    { printf '[General]\n'; printf '%s\n' "$@"; } >"$dir/Zephlink.conf"
}

# Starts the program on the desktop, in the background; extra arguments
# are passed on.
e2e_start() {
    local name=$1
    shift
    local log="${E2E_DIR[$name]}/zephlink.$RANDOM.log"
    e2e_vars "$name"
    # ip and env exec in turn, so that $! is the program itself.
    ip netns exec "${E2E_NS[$name]}" env -i "${E2E_VARS[@]}" "$ZEPHLINK" "$@" >"$log" 2>&1 &
    E2E_PID[$name]=$!
    e2e_track $!
    E2E_LOGS[$name]+=" $log"
}

# Runs the program on the desktop in the foreground, bounded; returns its status.
e2e_run() {
    local name=$1
    shift
    local log="${E2E_DIR[$name]}/zephlink.$RANDOM.log"
    E2E_LOGS[$name]+=" $log"
    e2e_in "$name" timeout --kill-after=5 "$E2E_START_LIMIT" "$ZEPHLINK" "$@" >"$log" 2>&1
}

# Waits (bounded) for the program started last on the desktop to end;
# returns its exit status, or 124 when it did not end.
e2e_wait_exit() {
    local name=$1 limit=${2:-$E2E_WAIT_LIMIT} pid=${E2E_PID[$1]}
    e2e_wait_gone "$pid" "$limit" || return 124
    local status=0
    wait "$pid" || status=$?
    e2e_untrack "$pid"
    return "$status"
}

e2e_has_name() {
    timeout "$E2E_CALL_LIMIT" dbus-send --bus="${E2E_BUS[$1]}" --print-reply=literal \
        --dest=org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus.NameHasOwner \
        "string:$2" 2>/dev/null | grep -q 'boolean true'
}

# Waits until a bus name has an owner on the desktop's bus.
e2e_wait_name() {
    local name=$1 bus_name=$2 deadline
    deadline=$((SECONDS + E2E_START_LIMIT))
    until e2e_has_name "$name" "$bus_name"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# Waits until the program owns its name on the desktop's bus.
e2e_wait_program() {
    local name=$1
    local deadline=$((SECONDS + E2E_START_LIMIT))
    until e2e_has_name "$name" "$E2E_DBUS_NAME"; do
        e2e_alive "${E2E_PID[$name]}" || e2e_fail "the program on $name ended early"
        [ "$SECONDS" -lt "$deadline" ] || e2e_fail "the program on $name never took its bus name"
        sleep 0.1
    done
}

# Calls a method of the program: e2e_call desktop Method [type:value ...]
e2e_call() {
    local name=$1 method=$2
    shift 2
    timeout "$E2E_CALL_LIMIT" dbus-send --bus="${E2E_BUS[$name]}" --print-reply \
        --reply-timeout=$((E2E_CALL_LIMIT * 1000)) --dest="$E2E_DBUS_NAME" "$E2E_DBUS_PATH" \
        "$E2E_DBUS_INTERFACE.$method" "$@" >/dev/null ||
        e2e_fail "D-Bus call $method on $name failed"
}

# A property of the program as text ("true"/"false" for Booleans, digits
# for numbers).
e2e_get() {
    local name=$1 property=$2 reply
    reply=$(timeout "$E2E_CALL_LIMIT" dbus-send --bus="${E2E_BUS[$name]}" --print-reply=literal \
        --reply-timeout=$((E2E_CALL_LIMIT * 1000)) --dest="$E2E_DBUS_NAME" "$E2E_DBUS_PATH" \
        org.freedesktop.DBus.Properties.Get "string:$E2E_DBUS_INTERFACE" \
        "string:$property") || return 1
    # "   variant       boolean true" or "   variant       TEXT"
    reply=${reply#*variant}
    reply=${reply#"${reply%%[![:space:]]*}"}
    case $reply in
    "boolean "*) reply=${reply#boolean } ;;
    "int32 "*) reply=${reply#int32 } ;;
    esac
    printf '%s' "$reply"
}

# Waits until a property has the expected value; fails with the last one.
e2e_expect() {
    local name=$1 property=$2 expected=$3 deadline value=""
    deadline=$((SECONDS + E2E_WAIT_LIMIT))
    while :; do
        value=$(e2e_get "$name" "$property") || value="(no answer)"
        [ "$value" = "$expected" ] && return 0
        [ "$SECONDS" -lt "$deadline" ] || break
        sleep 0.1
    done
    e2e_fail "$property of $name is \"$value\", expected \"$expected\""
}

# Waits up to SECONDS for a property's value, without failing: 1 if it never
# shows. A status message lasts only until the next discovery round (4 s)
# rewrites the status, so a check of one retries the step that causes it.
e2e_seen() {
    local name=$1 property=$2 expected=$3 deadline=$((SECONDS + $4))
    while [ "$SECONDS" -lt "$deadline" ]; do
        [ "$(e2e_get "$name" "$property")" = "$expected" ] && return 0
        sleep 0.1
    done
    return 1
}

# Asserts a property's value now, without waiting.
e2e_expect_now() {
    local name=$1 property=$2 expected=$3 value
    value=$(e2e_get "$name" "$property") || value="(no answer)"
    [ "$value" = "$expected" ] || e2e_fail "$property of $name is \"$value\", expected \"$expected\""
}

# Asks the program to quit and expects it to end with status 0.
e2e_quit() {
    local name=$1 status=0
    e2e_call "$name" Quit
    e2e_wait_exit "$name" || status=$?
    [ "$status" -eq 0 ] || e2e_fail "the program on $name ended with status $status after Quit"
}

# ------------------------------------------------------------ relay

# Starts the test relay inside a namespace on address; its base address
# ("http://ADDRESS:PORT") goes into var, its request log is E2E_RELAY_LOG.
e2e_relay() {
    local -n _out=$1
    local _ns=$2 _address=$3 _deadline _pid
    E2E_RELAY_LOG="$E2E_TMP/relay.log"
    ip netns exec "$_ns" "$ZEPHLINK_RELAY_SERVER" --address "$_address" \
        >"$E2E_RELAY_LOG" 2>"$E2E_TMP/relay.err" &
    _pid=$!
    e2e_track "$_pid"
    E2E_RELAY_PID=$_pid
    E2E_LOGS[relay]="$E2E_TMP/relay.err"
    _deadline=$((SECONDS + E2E_START_LIMIT))
    until grep -q '^[0-9][0-9]*$' "$E2E_RELAY_LOG"; do
        e2e_alive "$_pid" || e2e_fail "the relay ended: $(cat "$E2E_TMP/relay.err")"
        [ "$SECONDS" -lt "$_deadline" ] || e2e_fail "the relay did not start"
        sleep 0.05
    done
    _out="http://$_address:$(head -n 1 "$E2E_RELAY_LOG")"
}

# Stops the relay and expects a clean end (status 0).
e2e_relay_stop() {
    local status=0
    kill -TERM "$E2E_RELAY_PID" 2>/dev/null || true
    e2e_wait_gone "$E2E_RELAY_PID" "$E2E_STOP_GRACE" || e2e_fail "the relay did not stop"
    wait "$E2E_RELAY_PID" || status=$?
    e2e_untrack "$E2E_RELAY_PID"
    [ "$status" -eq 0 ] || e2e_fail "the relay ended with status $status: $(cat "$E2E_TMP/relay.err")"
}

# The number of requests the relay answered that match an extended regex
# ("METHOD TARGET STATUS").
e2e_relay_count() {
    tail -n +2 "$E2E_RELAY_LOG" | grep -cE "$1" || true
}

# An HTTP request from inside a namespace, with a bearer token when given;
# prints the status code ("000" when there was no answer).
e2e_http() {
    local ns=$1 method=$2 url=$3 token=${4:-}
    ip netns exec "$ns" curl -s -o /dev/null -w '%{http_code}' --max-time "$E2E_CALL_LIMIT" \
        -X "$method" -H 'Content-Type: application/json' \
        ${token:+-H "Authorization: Bearer $token"} "$url" || true
}

# True while a TCP connection from inside ns to address:port is established
# (a long poll held open, for example).
e2e_connected() {
    local ns=$1 address=$2 port=$3
    [ -n "$(ip netns exec "$ns" ss -Htn state established dst "$address:$port" 2>/dev/null)" ]
}

# Waits until such a connection is seen; polls reconnect at once, so a
# short gap between two of them only costs a retry.
e2e_wait_connected() {
    local ns=$1 address=$2 port=$3 deadline
    deadline=$((SECONDS + E2E_WAIT_LIMIT))
    until e2e_connected "$ns" "$address" "$port"; do
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

# Creates a room on the relay from inside a namespace; prints the answer.
e2e_relay_room() {
    local ns=$1 relay=$2
    ip netns exec "$ns" curl -sf --max-time "$E2E_CALL_LIMIT" -X POST \
        -H 'Content-Type: application/json' --data '{}' "$relay/v1/rooms" ||
        e2e_fail "the relay made no room"
}

# ------------------------------------------------------------ values

# One string member of a JSON object; "" when the text is no such object.
e2e_json_member() {
    python3 -c '
import json, sys
try:
    value = json.loads(sys.argv[1])[sys.argv[2]]
except (ValueError, TypeError, KeyError):
    value = ""
print(value if isinstance(value, str) else "")' "$1" "$2"
}

# A fresh identifier: 16 random bytes as 32 lower-case hex digits.
e2e_identifier() {
    head -c 16 /dev/urandom | od -An -tx1 | tr -d ' \n'
}

# Two desktops, A and B, in namespaces joined by a veth pair on
# 10.231.SUBNET.0/24, each with its own display and session bus. Sets
# address_a/b, ns_a/b, display_a/b and device_a/b, B's identifier being the
# lower one: hosts are asked in identifier order, so both use B's host.
e2e_two_desktops() {
    local subnet=$1 ids
    address_a=10.231.$subnet.1
    address_b=10.231.$subnet.2
    e2e_netns_new ns_a
    e2e_netns_new ns_b
    e2e_netns_link "$ns_a" "$address_a/24" "$ns_b" "$address_b/24"
    e2e_xvfb display_a
    e2e_xvfb display_b
    e2e_desktop a "$ns_a" "$display_a"
    e2e_desktop b "$ns_b" "$display_b"
    ids=$( (e2e_identifier; echo; e2e_identifier; echo) | sort)
    device_b=$(head -n 1 <<<"$ids")
    device_a=$(tail -n 1 <<<"$ids")
    [ "$device_a" != "$device_b" ] || e2e_fail "two equal identifiers"
}

# 32 random bytes as unpadded base64url, as a key or token.
e2e_random64() {
    head -c 32 /dev/urandom | base64 | tr '+/' '-_' | tr -d '=\n'
}

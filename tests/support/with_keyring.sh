#!/usr/bin/env bash
# Runs a command on a private session bus with a fresh, unlocked gnome-keyring.
set -euo pipefail
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_DATA_HOME="$home/data" XDG_RUNTIME_DIR="$home/run"
mkdir -p "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset DISPLAY WAYLAND_DISPLAY
exec dbus-run-session -- bash -c '
    eval "$(printf test | gnome-keyring-daemon --unlock --components=secrets)"
    export GNOME_KEYRING_CONTROL
    status=0
    "$@" || status=$?
    kill "$GNOME_KEYRING_PID" 2>/dev/null || true
    exit $status' keyring "$@"

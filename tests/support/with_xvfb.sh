#!/usr/bin/env bash
# Runs a command on a private Xvfb display of its own, then stops the server.
set -euo pipefail
for n in $(seq 120 199); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=$n; break; }
done
[ -n "${display:-}" ] || { echo "no free X display" >&2; exit 1; }
Xvfb ":$display" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null || true' EXIT
for _ in $(seq 100); do
    [ -e "/tmp/.X11-unix/X$display" ] && break
    sleep 0.05
done
export DISPLAY=":$display" QT_QPA_PLATFORM=xcb
"$@"

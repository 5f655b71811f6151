#!/usr/bin/env bash
# The real program as a screen reader meets it: the accessibility bus on the
# desktop's session bus, the program syncing with its own nearby host, three
# copies in its history, and accessibility.py walking the AT-SPI tree from
# the program's root, pressing and toggling through the controls' actions.
# Usage: accessibility.sh PROGRAM
set -euo pipefail
ZEPHLINK=$1
here=$(dirname "$0")
# shellcheck source=tests/e2e/lib.sh
. "$here/lib.sh"
e2e_init

e2e_netns_new ns
e2e_netns_lan "$ns" 10.231.60.1/24
e2e_xvfb display
e2e_desktop desk "$ns" "$display"
# Welcomed before: the panel opens at the start.
e2e_settings desk flowWelcomed=true

e2e_in desk /usr/libexec/at-spi-bus-launcher --launch-immediately \
    >"${E2E_DIR[desk]}/at-spi.log" 2>&1 &
e2e_track $!
E2E_LOGS[desk]+=" ${E2E_DIR[desk]}/at-spi.log"
e2e_wait_name desk org.a11y.Bus || e2e_fail "no accessibility bus"

# Qt speaks AT-SPI once it sees the bus; no desktop setting turns it on here.
E2E_EXTRA_VARS=(QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1)
e2e_start desk
e2e_wait_program desk
e2e_expect desk Status "Ready · waiting for nearby devices"
e2e_wait_window "$display" "Zephlink Clipboard" >/dev/null || e2e_fail "the panel did not open"

walk() {
    e2e_in desk /usr/bin/python3 "$here/accessibility.py" "${E2E_PID[desk]}" "$@"
}

e2e_check "copies reach the history, one clip row each"
texts=("a first note" "https://example.com/articles/slow-mornings" "two
lines")
count=0
for text in "${texts[@]}"; do
    e2e_clip_write "$display" "$text"
    count=$((count + 1))
    walk rows "$count" || e2e_fail "the copy \"$text\" did not become a row"
done
e2e_ok

e2e_check "every control is reached by role and name, and works through its action"
# Newest first; a row shows line breaks as spaces.
walk check "two lines" "https://example.com/articles/slow-mornings" "a first note" ||
    e2e_fail "see above"
e2e_expect desk Running false
e2e_ok

e2e_check "a link asks first, in an alert naming the relay, which Cancel closes"
link="zephlink://pair?server=https://relay.example.net:8443&room=$(e2e_identifier)"
link+="&token=$(e2e_random64)&key=$(e2e_random64)"
e2e_call desk OpenLink "string:$link"
walk dialog "relay at relay.example.net, port 8443, stores this group" || e2e_fail "see above"
e2e_expect_now desk Paired false
e2e_expect_now desk Running false
e2e_ok

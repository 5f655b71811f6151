#!/usr/bin/env bash
# The program as a screen reader meets it: the accessibility bus on the
# desktop's session bus, three copies in the history, and accessibility.py
# walking the AT-SPI tree and acting through the controls' actions.
# Usage: accessibility.sh PROGRAM
set -euo pipefail
ZEPHLINK=$1
. "$(dirname "$0")/lib.sh"
e2e_ns ns
e2e_link "$ns" 10.231.70.1/24
e2e_xvfb display
e2e_desktop desk "$ns" "$display"
e2e_settings desk flowWelcomed=true
e2e_in desk /usr/libexec/at-spi-bus-launcher --launch-immediately >"$E2E_TMP/at-spi.log" 2>&1 &
e2e_track $!
e2e_until e2e_has desk org.a11y.Bus || e2e_fail "no accessibility bus"
E2E_EXTRA_VARS=(QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1)
e2e_start desk
e2e_expect desk Status="Ready · waiting for nearby devices"
e2e_window "$display" "Zephlink Clipboard" >/dev/null || e2e_fail "the panel did not open"
walk() { (e2e_in desk /usr/bin/python3 "$HERE/accessibility.py" "${E2E_PID[desk]}" "$@") || e2e_fail "see above"; }
texts=("a first note" "https://example.com/articles/slow-mornings" $'two\nlines')
for i in 0 1 2; do
    e2e_copy "$display" "${texts[$i]}"
    e2e_expect desk HistoryCount=$((i + 1))
done
# Newest first; a row shows line breaks as spaces.
walk check "two lines" "${texts[1]}" "${texts[0]}"
e2e_expect desk Running=false
e2e_call desk OpenLink "string:zephlink://pair?server=https://relay.example.net:8443&room=$(e2e_id)&token=$(e2e_key)&key=$(e2e_key)"
walk dialog "relay at relay.example.net, port 8443, stores this group"
e2e_expect desk Paired=false Running=false

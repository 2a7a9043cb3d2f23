#!/usr/bin/env bash
# Measures how many rows per second a recording gets in the real viewer (frame limiter on): the
# demo sensor is connected from its panel, a recording runs for SECONDS (default 10), and the rows
# are counted. Runs under its own Xvfb; widgets are found through the viewer's probe log.
# Usage: scripts/record_rate.sh [BUILD_DIR] [SECONDS]
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/tests/e2e/lib.sh"
e2e_init "${1:-$top/build}" "$top"
seconds=${2:-10}
probes="$E2E_WORK/probes.log"

probe_centre() {
    awk -F'\t' -v label="$1" '$1 == label { x = int(($2 + $4) / 2); y = int(($3 + $5) / 2) } END { if (x != "") print x, y }' "$probes"
}
click() {
    local deadline=$((SECONDS + 10)) where="" before
    while [ "$SECONDS" -le "$deadline" ]; do
        before=$where
        where=$(probe_centre "$1")
        [ -n "$where" ] && [ "$where" = "$before" ] && break
        sleep 0.3
    done
    [ -n "$where" ] || e2e_fail "'$1' was never drawn"
    # shellcheck disable=SC2086
    e2e_click $where
    sleep 0.3
}

e2e_start_display
QUARVIS_PROBE_LOG=$probes e2e_start_viewer --demo
click "Ostrel"
click "##Baud Combo"
click "1500000"
click "##Port Combo"
click "DEMO SENSOR"
click "Connect to Sensor"
e2e_wait_for_line "$VIEWER_OUT" "serial open code: 0" 10 || e2e_fail "the demo sensor did not connect"
click "Record"
click "Record Start"
click "##FileName"
xdotool type --delay 30 rate
click "OK"
started=$(date +%s%N)
sleep "$seconds"
click "Record Stop"
stopped=$(date +%s%N)
rows=$(($(wc -l < "$E2E_WORK/rate.csv") - 1))
bytes=$(stat -c %s "$E2E_WORK/rate.csv")
elapsed_ms=$(((stopped - started) / 1000000))
echo "recorded $rows rows in $elapsed_ms ms: $((rows * 1000 / elapsed_ms)) rows per second," \
     "$((bytes / rows)) bytes per row, $((bytes / elapsed_ms)) kB per second"
e2e_key Escape
e2e_wait_viewer_exit 20
grep -h "^frames: " "$VIEWER_OUT"
e2e_pass

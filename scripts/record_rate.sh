#!/usr/bin/env bash
# Measures how many rows per second a recording gets in the real viewer (frame limiter on): the
# demo sensor is connected from its panel, a recording runs for SECONDS (default 10), and the rows
# are counted. Runs under its own Xvfb; widgets are found through the viewer's probe log.
# Usage: scripts/record_rate.sh [BUILD_DIR] [SECONDS]
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/tests/e2e/lib.sh"
e2e_init "${1:-$top/build}" "$top"
seconds=${2:-10}
e2e_start_display
e2e_probe_log
e2e_start_viewer --demo
e2e_probe_connect "DEMO SENSOR"
e2e_probe_click "Record"
e2e_probe_click "Record Start"
e2e_probe_click "##FileName"
xdotool type --delay 30 rate
e2e_probe_click "OK"
started=$(date +%s%N)
sleep "$seconds"
e2e_probe_click "Record Stop"
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

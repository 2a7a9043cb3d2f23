#!/usr/bin/env bash
# Measures how many rows per second a recording gets in the real viewer (frame limiter on): the
# demo sensor is connected from its panel, a recording runs for SECONDS (default 10), and the rows
# are counted. Runs under its own Xvfb; widgets are found through the viewer's probe log. Run by
# scripts/bench.sh; prints "name: value" lines on stdout for bench/bench_report.py.
# Usage: bench/record_rate.sh [BUILD_DIR] [SECONDS]
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/tests/e2e/lib.sh"
e2e_init "${1:-$top/build}" "$top"
seconds=${2:-10}
exec 3>&1 1>&2  # figures on the original stdout, everything else on stderr
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
{
    echo "recording seconds: $seconds"
    echo "recording rows per second: $((rows * 1000 / elapsed_ms))"
    echo "recording bytes per row: $((bytes / rows))"
    echo "recording kB per second: $((bytes / elapsed_ms))"
} >&3
e2e_key Escape
e2e_wait_viewer_exit 20
grep -h "^frames: " "$VIEWER_OUT"
e2e_pass

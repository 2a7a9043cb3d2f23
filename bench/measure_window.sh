#!/usr/bin/env bash
# Measures the viewer's window under Xvfb: time from start to the first drawn frame, the CPU it
# uses while idle at its capped frame rate, and its median frame time (from the --debug exit line).
# Usage: bench/measure_window.sh [BUILD_DIR] [SECONDS]
top=$(cd "$(dirname "$0")/.." && pwd)
source "$top/tests/e2e/lib.sh"
e2e_init "${1:-$top/build}" "$top"
seconds=${2:-10}

e2e_start_display
start_ns=$(date +%s%N)
e2e_start_viewer
first_ms=$(( ($(date +%s%N) - start_ns) / 1000000 ))
sleep 1
ticks=$(getconf CLK_TCK)
cpu_before=$(awk '{print $14 + $15}' "/proc/$VIEWER_PID/stat")
sleep "$seconds"
cpu_after=$(awk '{print $14 + $15}' "/proc/$VIEWER_PID/stat")
e2e_key Escape
e2e_wait_viewer_exit 10
[ "$VIEWER_STATUS" = "0" ] || e2e_fail "the viewer did not end cleanly: $VIEWER_STATUS"
echo "start to first frame: ${first_ms} ms (window wait included)"
echo "CPU while idle: $(( (cpu_after - cpu_before) * 100 / (seconds * ticks) ))% of one core over ${seconds} s"
grep -h "^frames: " "$VIEWER_OUT"

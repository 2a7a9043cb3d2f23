#!/usr/bin/env bash
# The quiet viewer, measured for scripts/bench.sh: whole-process CPU of the viewer left alone (started,
# nothing connected, no input) beside pcl_viewer (Debian's pcl-tools) holding a 480-point cloud on
# the same Xvfb display over the same SECONDS; then the frames the viewer draws while a quarvis-sim
# stream at 460800 baud comes through a virtual port, against the frames it received (the time stamp
# line --debug prints for each good frame).
# Usage: bench/measure_idle.sh BUILD_DIR [SECONDS]     prints "name: value" lines on stdout
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
seconds=${2:-20}
source "$top/tests/e2e/lib.sh"
e2e_under_vport "$build" "$top" "$0" "$build" "$seconds"
exec 3>&1 1>&2  # figures on the original stdout, everything else on stderr
command -v pcl_viewer > /dev/null || e2e_fail "pcl_viewer is missing (apt-get install pcl-tools)"

stream_baud=460800
stream_frames=300  # about 19 s at 460800 baud

ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }  # user + system time of a process, clock ticks
frames_received() { grep -cE '^[0-9]+\.[0-9]{4}$' "$VIEWER_OUT"; }
# The frames drawn since the previous frame report.
frames_since_report() {
    local report
    report=$(e2e_frame_report) || e2e_fail "no frame report within 10 s"
    echo "$report" | awk '{ print $6 }'
}

# 480 points on a half ring 4 to 6 m in front of the sensor, as an ASCII PCD 0.7 file.
cloud="$E2E_WORK/cloud.pcd"
{
    printf 'VERSION .7\nFIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\nWIDTH 480\nHEIGHT 1\n'
    printf 'VIEWPOINT 0 0 0 1 0 0 0\nPOINTS 480\nDATA ascii\n'
    awk 'BEGIN { for (i = 0; i < 480; ++i) { a = 3.14159 * (i % 120) / 119; r = 4 + (i % 7) / 3;
                 printf "%.4f %.4f %.4f\n", r * cos(a), r * sin(a), int(i / 120) * 0.25 } }'
} > "$cloud"

e2e_start_display
e2e_probe_log
VIEWER_OUT="$E2E_WORK/viewer.out"
VIEWER_ERR="$E2E_WORK/viewer.err"
(cd "$E2E_WORK" && LD_PRELOAD=$shim_preload exec "$QUARVIS" --debug) > "$VIEWER_OUT" 2> "$VIEWER_ERR" &
VIEWER_PID=$!
E2E_PIDS+=("$VIEWER_PID")
e2e_wait_for_line "$VIEWER_OUT" "first frame drawn" 30 || e2e_fail "the viewer drew no first frame"
pcl_viewer "$cloud" > "$E2E_WORK/pcl.out" 2>&1 &
pcl_pid=$!
E2E_PIDS+=("$pcl_pid")
timeout 30 xdotool search --sync --name '^PCD viewer$' > /dev/null || e2e_fail "pcl_viewer opened no window"
sleep 3  # both settled: windows mapped, first frames drawn
kill -0 "$pcl_pid" 2>/dev/null || e2e_fail "pcl_viewer ended: $(tail -n 5 "$E2E_WORK/pcl.out")"

viewer_before=$(ticks "$VIEWER_PID")
pcl_before=$(ticks "$pcl_pid")
start_ns=$(date +%s%N)
sleep "$seconds"
wall_ns=$(( $(date +%s%N) - start_ns ))
hz=$(getconf CLK_TCK)
awk -v v=$(( $(ticks "$VIEWER_PID") - viewer_before )) -v p=$(( $(ticks "$pcl_pid") - pcl_before )) \
    -v hz="$hz" -v w="$wall_ns" -v s="$seconds" 'BEGIN {
        printf "idle seconds: %d\n", s
        printf "idle viewer cpu percent: %.2f\n", 100 * v / hz / (w / 1e9)
        printf "idle pcl_viewer cpu percent: %.2f\n", 100 * p / hz / (w / 1e9) }' >&3
kill "$pcl_pid"

# The stream: connected at 460800 baud from the panel, the panel closed again, the pointer still.
e2e_probe_click "Ostrel"
e2e_probe_click "##Baud Combo"
e2e_probe_click "$stream_baud"
e2e_probe_click "##Port Combo"
e2e_probe_click "$VPORT_PORT"
e2e_probe_click "Connect to Sensor"
e2e_wait_for_line "$VIEWER_OUT" "serial open code: 0" 10 || e2e_fail "connecting to $VPORT_PORT failed"
e2e_probe_click "Ostrel"
sleep 1
frames_since_report > /dev/null
received_before=$(frames_received)
start_ns=$(date +%s%N)
"$VPORT_SIM" --out "$VPORT_SENSOR" --baud "$stream_baud" --frames "$stream_frames" 2> "$E2E_WORK/sim.err" \
    || e2e_fail "quarvis-sim failed: $(cat "$E2E_WORK/sim.err")"
sleep 0.5
drawn=$(frames_since_report)
{
    echo "stream baud: $stream_baud"
    echo "stream seconds: $(( ($(date +%s%N) - start_ns) / 1000000000 ))"
    echo "stream frames sent: $stream_frames"
    echo "stream frames received: $(( $(frames_received) - received_before ))"
    echo "stream frames drawn: $drawn"
} >&3

e2e_key Escape
e2e_wait_viewer_exit 20
[ "$VIEWER_STATUS" = "0" ] || e2e_fail "the viewer ended with status $VIEWER_STATUS"
exit 0

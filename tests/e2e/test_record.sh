#!/usr/bin/env bash
# Recording and replay as a user does them, with the real viewer under Xvfb and a virtual sensor:
# connect through the panel and see the cloud; record two seconds into a file named in the chooser;
# save a scene; disconnect, load a scene and replay
# the recording over it to "File End!"; record under a file size limit and see the failure, with only
# complete rows left; start with a capture and ports named on the command line. Widgets are found
# through the viewer's probe log. (The soak, scripts/soak.sh,
# pulls the cable under the viewer; test_pipeline.sh checks a capture byte for byte.)
# Usage: test_record.sh BUILD_DIR SOURCE_DIR (re-runs itself inside scripts/vport.sh)
if [ -z "${VPORT_PORT:-}" ]; then
    exec bash "$2/scripts/vport.sh" --build "$1" --sim "--baud 1500000" -- bash "$0" "$1" "$2"
fi
source "$(dirname "$0")/lib.sh"
e2e_init "$1" "$2"
unset LD_PRELOAD
export MESA_SHADER_CACHE_DISABLE=true  # nothing but our files may meet the size limit below

# At least MIN rows after the header, each of 1441 values, the last one complete.
check_rows() {  # check_rows FILE MIN
    local rows commas
    rows=$(($(wc -l < "$1") - 1))
    commas=$(tail -n +2 "$1" | awk -F',' '{ print NF - 1 }' | sort -u | paste -sd ' ')
    [ "$rows" -ge "$2" ] && [ "$commas" = "1441" ] && [ "$(tail -c 1 "$1" | od -An -c | tr -d ' ')" = '\n' ] \
        || e2e_fail "$1: $rows rows (at least $2 wanted) with $commas commas, or a partial row at the end"
}

# Under the start camera the ground point (x, y) lands at (512 + 81·x, 384 − 81·(y − 2.5)). The
# simulator's floor is a lattice of points about 17 × 32 pixels apart around (0, 2.2) m, so white
# points near (512, 408), with none at (−0.84, 1.56) m, (444, 459); a scene of 480 points there tells
# a replayed frame from the last live one.
floor_shown() { e2e_region_has "$1" 512 408 17 200 255 200 255 200 255; }
gap_shown() { e2e_region_has "$1" 444 459 2 200 255 200 255 200 255; }
# Open a file through the chooser.
open_file() {
    e2e_probe_click "OPEN RECORDING FILE"
    e2e_probe_wait "[File] $1" || e2e_fail "the chooser does not list $1"
    e2e_probe_click "[File] $1"
    e2e_probe_click "OK"
}

connect() {
    e2e_probe_connect "$VPORT_PORT"
    e2e_probe_click "Record"
}
# Starts a recording into NAME.csv (or with BUTTON "Capture Start" a capture into NAME.ostrel),
# typed into the chooser.
record_into() {
    e2e_probe_click "${2:-Record Start}"
    e2e_probe_wait "##FileName" || e2e_fail "the chooser did not open"
    e2e_probe_click "##FileName"
    e2e_chord ctrl a  # a key pressed and released inside one frame is not seen
    e2e_key BackSpace
    xdotool type --delay 30 "$1"
    e2e_probe_click "OK"
}

e2e_start_display
e2e_probe_log
e2e_start_viewer

echo "== record two seconds"
floor_shown "$(e2e_screenshot before)" && e2e_fail "points drawn before connecting"
connect
sleep 0.5
floor_shown "$(e2e_screenshot live)" || e2e_fail "no live floor"
record_into take
e2e_probe_wait "Recording Seconds" 5 || e2e_fail "no recording indicator"
sleep 2
e2e_probe_click "Record Stop"
e2e_probe_wait "Recording Succeed/Close" 5 || e2e_fail "no 'Recording Succeed'"
check_rows "$E2E_WORK/take.csv" 10
e2e_probe_click "Recording Succeed/Close"

echo "== save a scene"
e2e_probe_click "Scene Save"
e2e_probe_wait "Saved Current Scene/Close" 5 || e2e_fail "no 'Saved Current Scene'"
e2e_probe_click "Saved Current Scene/Close"
scene=$(find "$E2E_WORK" -maxdepth 1 -regextype posix-extended -regex '.*/[0-9]{8}-[0-9]{6}\.csv')
[ "$(wc -l < "$scene")" = "481" ] || e2e_fail "no scene of 481 lines among: $(ls "$E2E_WORK")"
e2e_probe_click "Ostrel"
e2e_probe_click "Disconnect from Sensor"
e2e_probe_click "Record"

echo "== replay the recording"
for _ in $(seq 480); do echo "-0.84,1.56,0,"; done > "$E2E_WORK/gap.csv"
open_file gap.csv
sleep 0.3
shot=$(e2e_screenshot gap-scene)
gap_shown "$shot" || e2e_fail "the gap scene is not drawn"
floor_shown "$shot" && e2e_fail "the floor is still drawn after loading the gap scene"
open_file take.csv
e2e_probe_wait "Play" 5 || e2e_fail "no replay controls after opening take.csv"
e2e_probe_click "Play"
sleep 0.5
shot=$(e2e_screenshot replay)
floor_shown "$shot" || e2e_fail "no replayed floor"
gap_shown "$shot" && e2e_fail "the gap scene still shows while replaying"
e2e_probe_wait "File End!/Close" 20 || e2e_fail "the replay never reached 'File End!'"
e2e_probe_click "File End!/Close"

echo "== record under a file size limit"
# A file size limit on the viewer fails its writes part-way through a row.
prlimit --pid "$VIEWER_PID" --fsize=$((600 * 1024)):unlimited || e2e_fail "cannot limit the viewer's file size"
connect
record_into limited
e2e_probe_wait "Recording Notice/Close" 20 || e2e_fail "no failure shown when the file size limit was met"
e2e_probe_wait "Recording Succeed/Close" 0 && e2e_fail "'Recording Succeed' shown for a failed recording"
check_rows "$E2E_WORK/limited.csv" 10
e2e_probe_click "Recording Notice/Close"

echo "== SIGTERM while recording and capturing"
# The viewer ends as Escape ends it: both files completed and named, every byte it read captured.
prlimit --pid "$VIEWER_PID" --fsize=unlimited:unlimited || e2e_fail "cannot lift the file size limit"
record_into held "Capture Start"
record_into ended
sleep 1.5
kill -TERM "$VIEWER_PID"
e2e_wait_viewer_exit
[ "$VIEWER_STATUS" = "0" ] || e2e_fail "after SIGTERM the viewer's status was $VIEWER_STATUS"
grep -q "^quarvis: recording completed: .*/ended.csv (" "$VIEWER_OUT" || e2e_fail "the recording completed is not named"
check_rows "$E2E_WORK/ended.csv" 10
captured=$(sed -n 's/^quarvis: capture completed: .*held.ostrel (\([0-9]*\) bytes)$/\1/p' "$VIEWER_OUT")
"$BUILD_DIR/tools/quarvis-decode" "$E2E_WORK/held.ostrel" >"$E2E_WORK/held.out"
e2e_check_eq "bytes captured, in the file, decoded" "$captured $captured" \
    "$(stat -c %s "$E2E_WORK/held.ostrel") $(e2e_count_of "$E2E_WORK/held.out" "Total bytes")"
[ "$(e2e_count_of "$E2E_WORK/held.out" "Good frames")" -gt 10 ] || e2e_fail "the capture holds too few frames"

echo "== the command line: a capture, then a port beside it and a port that is not there"
"$VPORT_SIM" --frames 40 > "$E2E_WORK/forty.ostrel"
: > "$E2E_PROBES"
E2E_PROBE_MARK=0
e2e_start_viewer forty.ostrel --connect "$VPORT_PORT@1500000" --connect=no-such-port
e2e_wait_for_line "$VIEWER_OUT" "serial open code: 0" 10 || e2e_fail "the port was not connected at start"
grep -q "^quarvis: cannot connect to no-such-port: " "$VIEWER_ERR" || e2e_fail "the missing port was not refused"
e2e_probe_click "Connect Error/Close"
grep -q "^2/Disconnect from Sensor" "$E2E_PROBES" || e2e_fail "the port is not on the second sensor, beside the capture"
e2e_probe_click "Record"
e2e_probe_wait "Capture Step Forward" 10 || e2e_fail "the capture does not replay"

e2e_pass

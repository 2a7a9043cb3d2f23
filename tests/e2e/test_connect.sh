#!/usr/bin/env bash
# Connecting from the GUI as a user does, with the real viewer under Xvfb: pick the virtual port
# (a pseudo-terminal fed by quarvis-sim at 1500000 baud) and the rate, connect, see the cloud, pull
# the cable with the panel hidden and see the banner. Escape ends the viewer with status 0.
# Usage: test_connect.sh BUILD_DIR SOURCE_DIR (re-runs itself inside scripts/vport.sh)
if [ -z "${VPORT_PORT:-}" ]; then
    exec bash "$2/scripts/vport.sh" --build "$1" --sim "--baud 1500000" -- bash "$0" "$1" "$2"
fi
source "$(dirname "$0")/lib.sh"
e2e_init "$1" "$2"
# Only the viewer needs the shim (e2e_start_viewer loads it); the X server and the tools run without it.
unset LD_PRELOAD

# Widgets are found through the probe log (lib.sh); only scene points are window pixels.
white_near() { e2e_region_has "$1" "$2" "$3" 2 200 255 200 255 200 255; }
banner_shown() { e2e_region_has "$1" 900 16 40 200 255 200 255 200 255; }

# Under the start camera (top view) the ground point (x, y) lands at (512 + 81·x, 384 − 81·(y − 2.5)).
# The simulator's floor has points at (−1.79, 0.9) and (1.58, 4.1), nothing at (−0.84, 1.56); the
# points checked lie off the grid lines.
floor_point_a=(367 514)
floor_point_b=(640 254)
floor_gap=(444 459)

e2e_start_display

echo "== virtual port at 1500000 baud"
e2e_probe_log
e2e_start_viewer
sleep 0.5
before=$(e2e_screenshot before)
white_near "$before" "${floor_point_a[@]}" && e2e_fail "points drawn before connecting"

e2e_probe_connect "$VPORT_PORT"
e2e_probe_click "Ostrel"  # hide the panel to see the whole scene
sleep 1
cloud=$(e2e_screenshot cloud)
white_near "$cloud" "${floor_point_a[@]}" || e2e_fail "no white point at (${floor_point_a[*]})"
white_near "$cloud" "${floor_point_b[@]}" || e2e_fail "no white point at (${floor_point_b[*]})"
white_near "$cloud" "${floor_gap[@]}" && e2e_fail "a white point where the floor has none (${floor_gap[*]})"

echo "== the cable is pulled while no panel is shown"
banner_shown "$cloud" && e2e_fail "the banner shows while connected"
kill "$VPORT_SOCAT_PID"
e2e_wait_for_line "$VIEWER_OUT" "code: 1" 10 || e2e_fail "the lost port went unnoticed with the panel hidden"
sleep 0.5
lost=$(e2e_screenshot lost)
banner_shown "$lost" || e2e_fail "no banner after the port was lost"
e2e_key Escape
e2e_wait_viewer_exit 20
[ "$VIEWER_STATUS" = "0" ] || e2e_fail "after Escape the viewer's status was $VIEWER_STATUS"

e2e_pass

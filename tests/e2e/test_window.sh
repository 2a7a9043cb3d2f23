#!/usr/bin/env bash
# The viewer's window as a user meets it under Xvfb: title and size, the scene under the default
# camera, a drag turning it; the view tools: the wheel zooms toward the point under the cursor and
# Home goes back, a right drag orbits about the point under the cursor, the demo sensor's points
# coloured by height, F12 saving the window as a PNG, never over another; Escape ending the process
# cleanly; and the ways it refuses to start (no display, no OpenGL 3.3).
# Usage: test_window.sh BUILD_DIR SOURCE_DIR
source "$(dirname "$0")/lib.sh"
e2e_init "$1" "$2"
grey_near() { e2e_region_has "$1" "$2" "$3" 2 60 110 60 110 60 110; }
green_near() { e2e_region_has "$1" "$2" "$3" 3 0 70 80 255 0 70; }
# drag_right BUTTON X Y: held from (X, Y) 100 pixels to the right in two steps, each seen by a frame.
drag_right() {
    xdotool mousemove "$2" "$3" mousedown "$1"
    sleep 0.5
    xdotool mousemove $(($2 + 50)) "$3"
    sleep 0.3
    xdotool mousemove $(($2 + 100)) "$3"
    sleep 0.5
    xdotool mouseup "$1"
    sleep 0.5
}

# No display at all: one line on standard error naming what is missing, a failure status.
env -u DISPLAY -u WAYLAND_DISPLAY timeout 30 "$QUARVIS" > "$E2E_WORK/nodisplay.out" 2> "$E2E_WORK/nodisplay.err"
status=$?
[ "$status" -ne 0 ] && [ "$status" -ne 124 ] || e2e_fail "without a display the viewer ended with status $status"
[ "$(wc -l < "$E2E_WORK/nodisplay.err")" -eq 1 ] || e2e_fail "without a display stderr was: $(cat "$E2E_WORK/nodisplay.err")"
grep -qi "display" "$E2E_WORK/nodisplay.err" || e2e_fail "the no-display line does not say so: $(cat "$E2E_WORK/nodisplay.err")"

e2e_start_display

# A display whose OpenGL stops short of 3.3 (Mesa told to offer 3.0): one line, a failure status.
MESA_GL_VERSION_OVERRIDE=3.0 timeout 30 "$QUARVIS" > "$E2E_WORK/oldgl.out" 2> "$E2E_WORK/oldgl.err"
status=$?
[ "$status" -ne 0 ] && [ "$status" -ne 124 ] || e2e_fail "with OpenGL 3.0 the viewer ended with status $status"
[ "$(wc -l < "$E2E_WORK/oldgl.err")" -eq 1 ] && grep -q "OpenGL 3.3" "$E2E_WORK/oldgl.err" \
    || e2e_fail "with OpenGL 3.0 stderr was: $(cat "$E2E_WORK/oldgl.err")"

e2e_probe_log
e2e_start_viewer --demo
window=$(head -n 1 "$E2E_WORK/window-id")
geometry=$(xdotool getwindowgeometry "$window")
echo "$geometry" | grep -q "Geometry: 1024x768" || e2e_fail "window geometry: $geometry"
[ "$(xdotool getwindowname "$window")" = "Quarvis" ] || e2e_fail "window title: $(xdotool getwindowname "$window")"

# Under the start camera (eye 8.5 m above (0, 2.5), looking down, 45-radian field of view, aspect
# 4:3) the world point (x, y, 0) lands at window pixel (512 + 81.0·x, 384 − 81.0·(y − 2.5)).
sleep 0.5
shot=$(e2e_screenshot start)
# (0.5, 2.5): between grid lines, only the background (0.14, 0.14, 0.15) shows.
e2e_region_has "$shot" 552 384 0 34 38 34 38 36 40 || e2e_fail "no background colour at (552, 384)"
# The x axis starts at x = 6 m (pixel 998) on the line y = 0 (row 586).
e2e_region_has "$shot" 1010 586 2 110 255 0 70 0 70 || e2e_fail "no red x axis near (1010, 586)"
e2e_region_has "$shot" 700 586 2 110 255 0 70 0 70 && e2e_fail "red inside the half ring at (700, 586)"
# The y axis runs up the middle column from the origin; 2.2 m out it is at row 408.
green_near "$shot" 512 408 || e2e_fail "no green y axis near (512, 408)"
# The menu bar's buttons are drawn over the scene at the top left.
e2e_region_has "$shot" 5 15 1 0 24 0 24 0 24 || e2e_fail "no dark menu bar at the top left"

# Dragging 100 pixels to the right turns the heading by 0.2 rad: seen from above, the scene turns
# about the view's centre, and the y axis 5 m out moves from (512, 181) to about (472, 186).
drag_right 1 512 384
shot=$(e2e_screenshot dragged)
green_near "$shot" 472 186 || e2e_fail "after the drag no green y axis near (472, 186)"
green_near "$shot" 512 181 && e2e_fail "after the drag the y axis is still upright"

e2e_key Home
# Two notches with the cursor on the y axis 4 m out: that point stays put while the eye covers 36 %
# of the way to it, so the grid line x = 1 m moves from column 593 to 512 + 81 / 0.64 = 639.
xdotool mousemove 512 262
sleep 0.3
xdotool click 4 click 4
sleep 0.5
shot=$(e2e_screenshot zoomed)
grey_near "$shot" 639 220 || e2e_fail "after zooming no grid line near (639, 220)"
grey_near "$shot" 593 220 && e2e_fail "after zooming the grid line x = 1 m is still at column 593"
green_near "$shot" 512 220 || e2e_fail "after zooming the y axis left the cursor's column"

e2e_key Home
sleep 0.5
shot=$(e2e_screenshot home)
grey_near "$shot" 593 220 || e2e_fail "after Home no grid line x = 1 m at column 593"
grey_near "$shot" 639 220 && e2e_fail "after Home a grid line is still near (639, 220)"
# A right drag 100 pixels to the right from the origin (512, 586) turns the view 0.2 rad about the
# origin, which stays where it is: the y axis 5 m out goes from (512, 181) to about (431, 189) (a
# left drag would have turned it about the centre of the window, to (472, 186)).
drag_right 3 512 586
shot=$(e2e_screenshot orbited)
green_near "$shot" 431 189 || e2e_fail "after the orbit no y axis near (431, 189)"
green_near "$shot" 510 576 || e2e_fail "after the orbit the y axis no longer starts at (512, 586)"
green_near "$shot" 512 181 && e2e_fail "after the orbit the y axis is still upright"
e2e_key Home

# The demo sensor's points coloured by height over the automatic range: the floor (z = 0) in
# the map's dark purple, the top
# of the wall 5 m ahead in its yellow (2.25 m high, 6.25 m below the eye: at row 384 − 81 · 8.5 /
# 6.25 · 2.5 = 109); no white point.
e2e_probe_connect "DEMO SENSOR"
e2e_probe_click "Window"
e2e_probe_click "##Point Color Mode"
e2e_probe_click "By Height (z)"
e2e_probe_wait "##Color Legend" || e2e_fail "no colour legend in the height mode"
e2e_probe_click "Window"
sleep 0.5
shot=$(e2e_screenshot height)
e2e_region_has "$shot" 512 505 17 40 110 0 40 60 130 || e2e_fail "no dark purple floor point near (512, 505)"
e2e_region_has "$shot" 512 505 17 200 255 200 255 200 255 && e2e_fail "a white point on the floor near (512, 505)"
e2e_region_has "$shot" 512 109 20 200 255 180 255 0 110 || e2e_fail "no yellow wall top near (512, 109)"

# F12 twice: two files, the window's size, the picture the right way up (the wall's yellow on top).
e2e_key F12
e2e_wait_for_line "$VIEWER_OUT" "screenshot saved: " 10 || e2e_fail "F12 saved no screenshot"
e2e_key F12
deadline=$((SECONDS + 10))
while [ "$(grep -c "screenshot saved: " "$VIEWER_OUT")" -lt 2 ] && [ "$SECONDS" -le "$deadline" ]; do sleep 0.1; done
mapfile -t saved < <(grep "screenshot saved: " "$VIEWER_OUT" | sed 's/^screenshot saved: //')
[ "${#saved[@]}" -eq 2 ] && [ "${saved[0]}" != "${saved[1]}" ] || e2e_fail "two presses saved: ${saved[*]}"
for png in "${saved[@]}"; do
    [ "$(dirname "$png")" = "$(cd "$E2E_WORK" && pwd -P)" ] || e2e_fail "$png is not in the working folder"
    basename "$png" | grep -Eq '^quarvis-[0-9]{8}-[0-9]{6}(-[0-9]+)?\.png$' || e2e_fail "screenshot name $png"
    [ "$(identify -format '%m %wx%h' "$png")" = "PNG 1024x768" ] || e2e_fail "$png: $(identify "$png" 2>&1)"
done
e2e_region_has "${saved[0]}" 512 109 20 200 255 180 255 0 110 || e2e_fail "the screenshot is not the window as shown"

# Holding Escape ends the viewer with status 0, its frame timing line printed.
e2e_key Escape
e2e_wait_viewer_exit 10
[ "$VIEWER_STATUS" = "0" ] || e2e_fail "after Escape the viewer's status was $VIEWER_STATUS"
grep "^frames: " "$VIEWER_OUT" || e2e_fail "no frame timing line at exit"
e2e_pass

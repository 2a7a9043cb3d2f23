#!/usr/bin/env bash
# The viewer's window as a user meets it under Xvfb: the scene under the start camera; the wheel
# zooms toward the point under the cursor and Home goes back, a right drag orbits about the point
# under the cursor, the demo sensor's points coloured by height, F12 saving the window as a PNG,
# the frame on screen pixel for pixel, never over another; Escape ending the process cleanly; and the ways it refuses to start (no
# display, no OpenGL 3.3).
# Usage: test_window.sh BUILD_DIR SOURCE_DIR
source "$(dirname "$0")/lib.sh"
e2e_init "$1" "$2"
grey_near() { e2e_region_has "$1" "$2" "$3" 2 60 110 60 110 60 110; }
green_near() { e2e_region_has "$1" "$2" "$3" 3 0 70 80 255 0 70; }

# The ways it refuses to start, without a display and on one whose OpenGL stops short of 3.3 (Mesa
# told to offer 3.0): one line on standard error saying what is missing, a failure status.
refused() {  # refused NAME TEXT COMMAND...
    local name=$1 text=$2 status
    shift 2
    timeout 30 "$@" > /dev/null 2> "$E2E_WORK/$name.err"
    status=$?
    [ "$status" -ne 0 ] && [ "$status" -ne 124 ] && [ "$(wc -l < "$E2E_WORK/$name.err")" -eq 1 ] \
        && grep -qi "$text" "$E2E_WORK/$name.err" || e2e_fail "$name: status $status, stderr: $(cat "$E2E_WORK/$name.err")"
}
refused no-display display env -u DISPLAY -u WAYLAND_DISPLAY "$QUARVIS"
e2e_start_display
refused old-gl "OpenGL 3.3" env MESA_GL_VERSION_OVERRIDE=3.0 "$QUARVIS"

e2e_probe_log
e2e_start_viewer --demo

# Under the start camera (eye 8.5 m above (0, 2.5), looking down, 45-radian field of view, aspect
# 4:3) the world point (x, y, 0) lands at window pixel (512 + 81.0·x, 384 − 81.0·(y − 2.5)).
sleep 0.5
shot=$(e2e_screenshot start)
# (0.5, 2.5): between grid lines, only the background (0.14, 0.14, 0.15) shows.
e2e_region_has "$shot" 552 384 0 34 38 34 38 36 40 || e2e_fail "no background colour at (552, 384)"
green_near "$shot" 512 181 || e2e_fail "no green y axis 5 m out, near (512, 181)"

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
# left drag would have turned it about the centre of the window, to (472, 186)). The drag goes in
# two steps, each seen by a frame.
xdotool mousemove 512 586 mousedown 3
sleep 0.5
xdotool mousemove 562 586
sleep 0.3
xdotool mousemove 612 586
sleep 0.5
xdotool mouseup 3
sleep 0.5
shot=$(e2e_screenshot orbited)
green_near "$shot" 431 189 || e2e_fail "after the orbit no y axis near (431, 189)"
green_near "$shot" 510 576 || e2e_fail "after the orbit the y axis no longer starts at (512, 586)"
green_near "$shot" 512 181 && e2e_fail "after the orbit the y axis is still upright"
e2e_key Home

# The demo sensor's points coloured by height over the automatic range: the floor (z = 0) in the
# map's dark purple, the top of the wall 5 m ahead in its yellow (2.25 m high, 6.25 m below the eye:
# at row 384 − 81 · 8.5 / 6.25 · 2.5 = 109); no white point.
e2e_probe_connect "DEMO SENSOR"
e2e_probe_click "Window"
e2e_probe_click "##Point Color Mode"
e2e_probe_click "By Height (z)"
e2e_probe_wait "##Color Legend" || e2e_fail "no colour legend in the height mode"
e2e_probe_click "Window"
sleep 0.5
shot=$(e2e_screenshot height)
# The map's dark end is left out on the dark background: the floor is blue, not dark purple.
e2e_region_has "$shot" 512 505 17 15 80 90 150 115 175 || e2e_fail "no blue floor point near (512, 505)"
e2e_region_has "$shot" 512 505 17 200 255 200 255 200 255 && e2e_fail "a white point on the floor near (512, 505)"
e2e_region_has "$shot" 512 109 20 200 255 180 255 0 110 || e2e_fail "no yellow wall top near (512, 109)"

# F12 twice: two files, the window's size (1024x768), the picture the right way up (the wall's
# yellow on top).
e2e_key F12
e2e_wait_for_line "$VIEWER_OUT" "screenshot saved: " 10 || e2e_fail "F12 saved no screenshot"
e2e_key F12
two_saved() { [ "$(grep -c "screenshot saved: " "$VIEWER_OUT")" -ge 2 ]; }
e2e_until 10 two_saved
mapfile -t saved < <(grep "screenshot saved: " "$VIEWER_OUT" | sed 's/^screenshot saved: //')
[ "${#saved[@]}" -eq 2 ] && [ "${saved[0]}" != "${saved[1]}" ] || e2e_fail "two presses saved: ${saved[*]}"
for png in "${saved[@]}"; do
    [ "$(dirname "$png")" = "$(cd "$E2E_WORK" && pwd -P)" ] || e2e_fail "$png is not in the working folder"
    basename "$png" | grep -Eq '^quarvis-[0-9]{8}-[0-9]{6}(-[0-9]+)?\.png$' || e2e_fail "screenshot name $png"
    [ "$(identify -format '%m %wx%h' "$png")" = "PNG 1024x768" ] || e2e_fail "$png: $(identify "$png" 2>&1)"
done
e2e_region_has "${saved[0]}" 512 109 20 200 255 180 255 0 110 || e2e_fail "the screenshot is not the window as shown"
# The picture is the frame on screen pixel for pixel: antialiased like the window, the far part of the
# green y axis over the grid. Compared where the demo's moving points and the notices never come:
# the top strip and the strip across the half ring's base line.
shot=$(e2e_screenshot after-f12)
for strip in 1024x55+0+36 1024x100+0+560; do
    differing=$(compare -metric AE "$shot[$strip]" "${saved[1]}[$strip]" null: 2>&1)
    [ "$differing" = "0" ] || e2e_fail "the screenshot differs from the screen in $differing pixels of $strip"
done

# Holding Escape ends the viewer with status 0, its frame timing line printed.
e2e_key Escape
e2e_wait_viewer_exit 10
[ "$VIEWER_STATUS" = "0" ] || e2e_fail "after Escape the viewer's status was $VIEWER_STATUS"
grep "^frames: " "$VIEWER_OUT" || e2e_fail "no frame timing line at exit"
e2e_pass

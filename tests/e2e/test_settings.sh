#!/usr/bin/env bash
# Settings and the overlay as a user meets them: F2 shows the overlay; a background colour, the
# overlay and the window's place survive a restart; --reset-settings starts from the defaults; a
# damaged settings file gives one warning line, is kept aside, and a viewer that starts; a window
# remembered larger than the screen opens fitted to it; a FIFO or an unusable folder gives one
# warning line too.
# Usage: test_settings.sh BUILD_DIR SOURCE_DIR
source "$(dirname "$0")/lib.sh"
e2e_init "$1" "$2"
e2e_start_display
settings="$XDG_CONFIG_HOME/quarvis/settings.conf"

start_viewer() {
    e2e_probe_log
    e2e_start_viewer "$@"
}
quit_viewer() {
    e2e_key Escape
    e2e_wait_viewer_exit 20
    [ "$VIEWER_STATUS" = "0" ] || e2e_fail "$1: the viewer ended with status $VIEWER_STATUS"
}
stderr_lines() { grep -c . "$VIEWER_ERR"; }
# True when the pixel holds the background as changed below (near white), not the dark default.
bright_background() { e2e_region_has "$1" "$2" "$3" 0 200 255 200 255 200 255; }

# First start: no settings yet, said once.
start_viewer
[ "$(stderr_lines)" -eq 1 ] && grep -q "no settings in $settings yet" "$VIEWER_ERR" \
    || e2e_fail "first start: stderr was: $(cat "$VIEWER_ERR")"
e2e_key F2
e2e_probe_wait "Overlay" || e2e_fail "F2 showed no overlay"

# A near-white background from the top left of the picker's square, closed by a click outside it;
# the window moved. All of it is remembered at exit (the second start shows it back).
e2e_probe_click "Window"
e2e_probe_click "##BgColor"
e2e_probe_wait "##picker" || e2e_fail "the colour picker did not open"
sleep 0.3
# The probe log's lines are "label<TAB>x0<TAB>y0<TAB>x1<TAB>y1"; the latest for the picker counts.
read -r x0 y0 <<< "$(awk -F'\t' '$1 == "##picker" { r = int($2) " " int($3) } END { print r }' "$E2E_PROBES")"
xdotool mousemove $((x0 + 4)) $((y0 + 4)) click 1
sleep 0.3
xdotool mousemove 900 700 click 1
xdotool windowmove "$(head -n 1 "$E2E_WORK/window-id")" 50 60
sleep 0.5
quit_viewer "first run"

# Second start: all of it back, nothing to warn about.
start_viewer
[ "$(stderr_lines)" -eq 0 ] || e2e_fail "second start: stderr was: $(cat "$VIEWER_ERR")"
geometry=$(xdotool getwindowgeometry "$(head -n 1 "$E2E_WORK/window-id")")
echo "$geometry" | grep -q "Position: 50,60" || e2e_fail "window not back in its place: $geometry"
e2e_probe_wait "Overlay" || e2e_fail "the overlay is not shown after a restart"
sleep 0.5
shot=$(e2e_screenshot restarted)
# Between grid lines, half a metre right of the view's centre (as in test_window.sh), window moved.
bright_background "$shot" 602 444 || e2e_fail "the background is not back after a restart"
quit_viewer "second run"

# --reset-settings: the defaults, saved over the remembered ones.
start_viewer --reset-settings
sleep 0.5
shot=$(e2e_screenshot reset)
bright_background "$shot" 552 384 && e2e_fail "background kept despite --reset-settings"
e2e_probe_wait "Overlay" 1 && e2e_fail "overlay shown despite --reset-settings"
quit_viewer "reset run"
grep -qx "overlay=false" "$settings" || e2e_fail "defaults not saved: $(cat "$settings")"

# A damaged file: one line on stderr, the defaults for what cannot be read, a viewer that starts,
# the file as it was kept beside it, and a clean file written at exit.
printf 'overlay=true\n\x00\x01\x02\xff garbage\npointSize=lots\n' > "$settings"
cp "$settings" "$E2E_WORK/damaged"
start_viewer
[ "$(stderr_lines)" -eq 1 ] && grep -q "2 lines of $settings not understood.*kept in ${settings%.conf}.bad" "$VIEWER_ERR" \
    || e2e_fail "damaged file: stderr was: $(cat "$VIEWER_ERR")"
e2e_probe_wait "Overlay" || e2e_fail "the good line of a damaged file was not applied"
quit_viewer "damaged file run"
grep -q "garbage\|lots" "$settings" && e2e_fail "the damaged lines stayed: $(cat "$settings")"
cmp -s "$E2E_WORK/damaged" "${settings%.conf}.bad" || e2e_fail "the damaged file was not kept as it was"

# A window remembered larger than the screen and off it opens cut to the screen, on it.
sed -i '/^window/d' "$settings"
printf 'windowX=5000\nwindowY=-3000\nwindowWidth=32767\nwindowHeight=32767\n' >> "$settings"
start_viewer
geometry=$(xdotool getwindowgeometry "$(head -n 1 "$E2E_WORK/window-id")")
echo "$geometry" | grep -q "Position: 0,0" && echo "$geometry" | grep -q "Geometry: 1280x1024" \
    || e2e_fail "an oversized window was not fitted to the screen: $geometry"
quit_viewer "oversized window run"

# Settings that cannot be read without waiting (FIFOs: one line for each file), or cannot be kept at
# all (XDG_CONFIG_HOME names a file: one line): the viewer starts, and warns no more at exit.
rm "$settings" "${settings%/*}/imgui.ini"
mkfifo "$settings" "${settings%/*}/imgui.ini"
touch "$E2E_WORK/a-file"
while IFS='|' read -r name lines text other <&3; do
  [ "$name" = xdg ] && export XDG_CONFIG_HOME="$E2E_WORK/a-file"
  start_viewer
  quit_viewer "$name run"
  [ "$(stderr_lines)" -eq "$lines" ] && grep -qF "$text" "$VIEWER_ERR" && grep -qF "${other:-$text}" "$VIEWER_ERR" \
      || e2e_fail "$name: stderr was: $(cat "$VIEWER_ERR")"
done 3<<'TABLE'
fifo|2|imgui.ini is not a regular file|named pipe (FIFO), not a regular file.); starting from the defaults
xdg|1|a-file/quarvis (Not a directory.); settings start from the defaults and are not kept
TABLE
e2e_pass

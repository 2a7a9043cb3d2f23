# Shared helpers of the end-to-end scripts: a private Xvfb display, the real viewer started on it,
# screenshots and pixel checks, key presses and clicks, and cleanup of everything started here.
# Source it from tests/e2e/test_*.sh, then call e2e_init "$1" "$2" (the build and source folders).
#
#   e2e_init BUILD SOURCE       work folder, cleanup trap, paths ($QUARVIS, $E2E_WORK); HOME and
#                               XDG_CONFIG_HOME point into it, so no viewer reads or writes the
#                               user's own settings
#   e2e_under_vport BUILD SOURCE SCRIPT [ARG...]
#                               runs SCRIPT ARG... again inside scripts/vport.sh (a virtual sensor
#                               port) unless it runs there already, then e2e_init; the shim's preload
#                               moves from LD_PRELOAD to $shim_preload
#   e2e_start_display           Xvfb 1280x1024x24 on a free display; exports DISPLAY
#   e2e_start_viewer [ARGS]     starts the viewer with --debug in $E2E_WORK over the virtual-port
#                               shim (only the ports in $VIRTUAL_PORTS exist: none outside vport.sh,
#                               never the host's), waits for its window and its first drawn frame;
#                               $VIEWER_PID, $VIEWER_OUT, $VIEWER_ERR
#   e2e_wait_viewer_exit [S]    waits up to S seconds (default 20) for the viewer to end; sets
#                               $VIEWER_STATUS to its exit status ("running" when it did not end)
#   e2e_screenshot NAME         the whole screen into $E2E_WORK/NAME.png; prints the path
#   e2e_region_has FILE X Y R RMIN RMAX GMIN GMAX BMIN BMAX
#                               true when a pixel within R of (X, Y) lies in the colour box
#   e2e_key KEY                 holds KEY down for 0.1 s (xdotool key names: Escape, w, ...)
#   e2e_chord KEY...            holds the keys down together for 0.4 s (e.g. ctrl a)
#   e2e_until S COMMAND...      runs COMMAND every 0.05 s until it succeeds (true) or S seconds pass
#   e2e_gone PID                true once the process PID has ended
#   e2e_wait_for_line FILE TEXT [S]  waits up to S seconds (default 20) for a line containing TEXT
#   e2e_frame_report            asks the viewer for a frame report (SIGUSR1; it runs with --debug)
#                               and prints it; false when none is written within 10 s
#   e2e_fail MESSAGE            prints the message and the viewer's output, exits 1
#   e2e_check_eq WHAT WANT GOT  fails naming WHAT unless the two texts are equal
#   e2e_count_of FILE NAME      the COUNT of the last "NAME: COUNT" line in FILE (the tools' counters)
#   e2e_probe_log               the viewer started after this logs where its widgets are drawn
#                               (QUARVIS_PROBE_LOG) into $E2E_PROBES
#   e2e_probe_click LABEL       clicks the centre of the widget last drawn under LABEL once it
#                               stays put (waits up to 10 s for it to be drawn at all)
#   e2e_probe_wait LABEL [S]    waits up to S seconds (default 10) for LABEL to appear after the
#                               latest e2e_probe_click
#   e2e_probe_connect PORT      opens "Ostrel", picks 1500000 baud and PORT, connects and waits for
#                               the viewer's "serial open code: 0" (the viewer runs with --debug)
#   e2e_pass                    prints PASS and exits 0 (the trap cleans up)

set -uo pipefail

E2E_PIDS=()
VIEWER_PID=""

e2e_init() {
    BUILD_DIR=$(cd "$1" && pwd)
    SOURCE_DIR=$(cd "$2" && pwd)
    QUARVIS="$BUILD_DIR/quarvis"
    E2E_WORK=$(mktemp -d "${TMPDIR:-/tmp}/quarvis-e2e.XXXXXX")
    export HOME="$E2E_WORK/home" XDG_CONFIG_HOME="$E2E_WORK/home/.config"
    mkdir -p "$HOME"
    trap e2e_cleanup EXIT
    trap 'exit 130' INT TERM
    [ -x "$QUARVIS" ] || e2e_fail "no viewer at $QUARVIS"
}

e2e_under_vport() {
    local build=$1 top=$2
    shift 2
    [ -n "${VPORT_PORT:-}" ] || exec bash "$top/scripts/vport.sh" --build "$build" -- bash "$@"
    e2e_init "$build" "$top"
    shim_preload=$LD_PRELOAD
    unset LD_PRELOAD
}

e2e_cleanup() {
    local status=$?
    local pid
    for pid in "${E2E_PIDS[@]}"; do
        kill "$pid" 2>/dev/null && e2e_until 1 e2e_gone "$pid"
        kill -9 "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    if [ "$status" -eq 0 ]; then rm -rf "$E2E_WORK"; else echo "e2e: files kept in $E2E_WORK" >&2; fi
}

e2e_start_display() {
    local fd_file="$E2E_WORK/display-number"
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3> "$fd_file" 2> "$E2E_WORK/xvfb.err" &
    E2E_PIDS+=($!)
    e2e_until 10 test -s "$fd_file" || e2e_fail "Xvfb did not start: $(cat "$E2E_WORK/xvfb.err")"
    export DISPLAY=":$(head -n 1 "$fd_file")"
    unset WAYLAND_DISPLAY
}

e2e_until() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -le "$deadline" ] || return 1
        sleep 0.05
    done
}

e2e_gone() { ! kill -0 "$1" 2>/dev/null; }

e2e_wait_for_line() { e2e_until "${3:-20}" grep -qsF -- "$2" "$1"; }

e2e_report_count() { grep -c '^frame report: ' "$VIEWER_OUT"; }
e2e_more_reports() { [ "$(e2e_report_count)" -gt "$1" ]; }
e2e_frame_report() {
    local before
    before=$(e2e_report_count)
    kill -USR1 "$VIEWER_PID"
    e2e_until 10 e2e_more_reports "$before" || return 1
    grep '^frame report: ' "$VIEWER_OUT" | tail -n 1
}

e2e_start_viewer() {
    VIEWER_OUT="$E2E_WORK/viewer.out"
    VIEWER_ERR="$E2E_WORK/viewer.err"
    (cd "$E2E_WORK" && LD_PRELOAD="$BUILD_DIR/tests/libquarvis_vport_shim.so" exec "$QUARVIS" --debug "$@") \
        > "$VIEWER_OUT" 2> "$VIEWER_ERR" &
    VIEWER_PID=$!
    E2E_PIDS+=("$VIEWER_PID")
    timeout 30 xdotool search --sync --name '^Quarvis$' > "$E2E_WORK/window-id" \
        || e2e_fail "the viewer's window did not appear"
    e2e_wait_for_line "$VIEWER_OUT" "first frame drawn" 30 || e2e_fail "the viewer drew no first frame"
}

e2e_wait_viewer_exit() {
    VIEWER_STATUS=running
    e2e_until "${1:-20}" e2e_gone "$VIEWER_PID" || return 1
    wait "$VIEWER_PID"
    VIEWER_STATUS=$?
}

e2e_screenshot() {
    local file="$E2E_WORK/$1.png"
    import -window root "$file" || e2e_fail "screenshot failed"
    echo "$file"
}

# ImageMagick lists each pixel as "X,Y: (R,G,B...) ..."; without the punctuation R, G, B are $3 to $5.
e2e_region_has() {
    local size=$((2 * $4 + 1))
    convert "$1" -crop "${size}x${size}+$(($2 - $4))+$(($3 - $4))" +repage -depth 8 txt:- | tr '(),:' '    ' |
        awk -v box="${*:5}" 'BEGIN { split(box, b, " ") }
            /^[0-9]/ && $3 >= b[1] && $3 <= b[2] && $4 >= b[3] && $4 <= b[4] && $5 >= b[5] && $5 <= b[6] { found = 1 }
            END { exit !found }'
}

e2e_key() { E2E_HOLD_SECONDS=0.1 e2e_chord "$1"; }

# Keys are seen by the GUI only while held across a frame: KEYS (xdotool names, e.g. ctrl a) go
# down in order, stay 0.4 s (or $E2E_HOLD_SECONDS), and come up in reverse order.
e2e_chord() {
    local key
    for key in "$@"; do xdotool keydown "$key"; done
    sleep "${E2E_HOLD_SECONDS:-0.4}"
    for ((key = $#; key >= 1; --key)); do xdotool keyup "${!key}"; done
}

e2e_fail() {
    echo "FAIL: $*" >&2
    if [ -n "${VIEWER_OUT:-}" ] && [ -f "$VIEWER_OUT" ]; then
        echo "--- viewer stdout (last lines)" >&2; tail -n 20 "$VIEWER_OUT" >&2
        echo "--- viewer stderr (last lines)" >&2; tail -n 20 "$VIEWER_ERR" >&2
    fi
    exit 1
}

e2e_check_eq() {
    [ "$2" = "$3" ] || e2e_fail "$1: expected '$2', got '$3'"
}

e2e_count_of() {
    grep "^$2: " "$1" | tail -n 1 | sed 's/.*: //'
}

e2e_probe_log() {
    E2E_PROBES="$E2E_WORK/probes.log"
    E2E_PROBE_MARK=0
    : > "$E2E_PROBES"
    export QUARVIS_PROBE_LOG="$E2E_PROBES"
}

# The probe log holds "label<TAB>x0<TAB>y0<TAB>x1<TAB>y1" for each label that appears or moves.
e2e_probe_centre() {
    awk -F'\t' -v label="$1" '$1 == label { x = int(($2 + $4) / 2); y = int(($3 + $5) / 2) }
        END { if (x != "") print x, y }' "$E2E_PROBES"
}

# A pop-up lays itself out again a frame after it opens, and frames can be slow on a loaded machine:
# the click goes where the widget has stayed for a quarter of a second.
e2e_probe_click() {
    local where settled="" deadline=$((SECONDS + 10))
    while [ "$SECONDS" -le "$deadline" ]; do
        where=$(e2e_probe_centre "$1")
        if [ -n "$where" ] && [ "$where" = "$settled" ]; then break; fi
        settled=$where
        sleep 0.25
    done
    [ -n "$where" ] || e2e_fail "'$1' was never drawn"
    E2E_PROBE_MARK=$(wc -l < "$E2E_PROBES")
    # shellcheck disable=SC2086  # "X Y"
    xdotool mousemove $where click 1
    sleep 0.3
}

e2e_probe_connect() {
    e2e_probe_click "Ostrel"
    e2e_probe_click "##Baud Combo"
    e2e_probe_click "1500000"
    e2e_probe_click "##Port Combo"
    e2e_probe_click "$1"
    e2e_probe_click "Connect to Sensor"
    e2e_wait_for_line "$VIEWER_OUT" "serial open code: 0" 10 || e2e_fail "connecting to $1 failed"
}

e2e_probe_drawn_since_click() {
    tail -n +$((E2E_PROBE_MARK + 1)) "$E2E_PROBES" | cut -f 1 | grep -qxF -- "$1"
}

e2e_probe_wait() { e2e_until "${2:-10}" e2e_probe_drawn_since_click "$1"; }

e2e_pass() {
    echo "PASS"
    exit 0
}

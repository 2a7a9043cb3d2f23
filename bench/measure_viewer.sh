#!/usr/bin/env bash
# The running viewer under Xvfb, measured for scripts/bench.sh: time from start to the first drawn
# frame (against a bare OpenGL context made by glxinfo on the same display), then three stretches
# of SECONDS each: not connected, connected to an idle virtual port, and connected to a 1,500,000
# baud stream from quarvis-sim (480 points a frame). For each stretch: CPU of the GUI thread and of
# both workers (from /proc/PID/task/TID/schedstat) and of the whole process (Mesa's llvmpipe renders
# on threads of its own), the median frame and drawing times (the frame report the viewer prints on
# SIGUSR1 with --debug) and the resident memory.
# Usage: bench/measure_viewer.sh BUILD_DIR [SECONDS]     prints "name: value" lines on stdout
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
seconds=${2:-5}
source "$top/tests/e2e/lib.sh"
e2e_under_vport "$build" "$top" "$0" "$build" "$seconds"
exec 3>&1 1>&2  # figures on the original stdout, everything else on stderr

now_ms() { echo $(( $(date +%s%N) / 1000000 )); }
# Run time in nanoseconds of one thread.
run_ns() { cut -d ' ' -f 1 "/proc/$VIEWER_PID/task/$1/schedstat"; }
# User and system time of the whole process, in clock ticks.
process_ticks() { awk '{ print $14 + $15 }' "/proc/$VIEWER_PID/stat"; }

# One stretch: CPU of the GUI thread and both workers in per cent of a core, the medians, the memory.
measure() {
    local name=$1 tids t
    # The workers start before the window opens, so they follow the main thread in creation order.
    mapfile -t tids < <(ls "/proc/$VIEWER_PID/task" | sort -n | head -n 3)
    [ "${#tids[@]}" -eq 3 ] || e2e_fail "fewer than three threads"
    e2e_frame_report > /dev/null || e2e_fail "no frame report within 10 s"
    local -a before after
    for t in "${tids[@]}"; do before+=("$(run_ns "$t")"); done
    local start_ns ticks_before ticks_after
    start_ns=$(date +%s%N)
    ticks_before=$(process_ticks)
    sleep "$seconds"
    for t in "${tids[@]}"; do after+=("$(run_ns "$t")"); done
    ticks_after=$(process_ticks)
    local wall_ns=$(( $(date +%s%N) - start_ns ))
    awk -v n="$name" -v d=$(( ticks_after - ticks_before )) -v hz="$(getconf CLK_TCK)" -v w="$wall_ns" \
        'BEGIN { printf "%s process cpu percent: %.1f\n", n, 100 * d / hz / (w / 1e9) }' >&3
    local report
    report=$(e2e_frame_report) || e2e_fail "no frame report within 10 s"
    local roles=(gui grabber handler) i
    for i in 0 1 2; do
        awk -v n="$name" -v r="${roles[$i]}" -v d=$(( after[i] - before[i] )) -v w="$wall_ns" \
            'BEGIN { printf "%s %s cpu percent: %.2f\n", n, r, 100 * d / w }' >&3
    done
    echo "$report" | sed -E 's/.*median frame time ([0-9.]+) ms, median drawing time ([0-9.]+) ms.*/'"$name"' median frame ms: \1\n'"$name"' median drawing ms: \2/' >&3
    echo "$name rss kib: $(awk '/^VmRSS:/ { print $2 }' "/proc/$VIEWER_PID/status")" >&3
}

e2e_start_display

# The baseline for start-up: a bare OpenGL context on the same display, queried and torn down.
start=$(now_ms)
glxinfo -B > "$E2E_WORK/glxinfo.out" 2>&1 || e2e_fail "glxinfo failed: $(cat "$E2E_WORK/glxinfo.out")"
echo "glxinfo context ms: $(( $(now_ms) - start ))" >&3

e2e_probe_log
VIEWER_OUT="$E2E_WORK/viewer.out"
VIEWER_ERR="$E2E_WORK/viewer.err"
start=$(now_ms)
(cd "$E2E_WORK" && LD_PRELOAD=$shim_preload exec "$QUARVIS" --debug) > "$VIEWER_OUT" 2> "$VIEWER_ERR" &
VIEWER_PID=$!
E2E_PIDS+=("$VIEWER_PID")
for _ in $(seq 3000); do
    grep -q "first frame drawn" "$VIEWER_OUT" && break
    sleep 0.01
done
grep -q "first frame drawn" "$VIEWER_OUT" || e2e_fail "no first frame within 30 s"
echo "first frame ms: $(( $(now_ms) - start ))" >&3
sleep 1

measure "unconnected"

e2e_probe_connect "$VPORT_PORT"
e2e_probe_click "Ostrel"  # the panel hidden again: the same scene as before, now with points
sleep 1
measure "idle line"

"$VPORT_SIM" --out "$VPORT_SENSOR" --baud 1500000 2> "$E2E_WORK/sim.err" &
E2E_PIDS+=($!)
sleep 1
measure "stream"

e2e_key Escape
e2e_wait_viewer_exit 20
[ "$VIEWER_STATUS" = "0" ] || e2e_fail "the viewer ended with status $VIEWER_STATUS"
exit 0

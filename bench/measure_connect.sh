#!/usr/bin/env bash
# CPU share of each thread of the viewer (main, grabber, handler in the order they start, then the
# GL driver's threads by name) connected from its panel to a virtual port under Xvfb, over a
# 10-second window with the panels hidden: once on an idle line, once on a 1,500,000 baud stream.
# Usage: bench/measure_connect.sh [BUILD_DIR]   (default build/)
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)

if [ -z "${VPORT_PORT:-}" ]; then
    echo "idle line:"
    bash "$top/scripts/vport.sh" --build "$build" -- bash "$0" "$build" || exit 1
    echo "1500000 baud stream:"
    exec bash "$top/scripts/vport.sh" --build "$build" --sim "--baud 1500000" -- bash "$0" "$build"
fi

source "$top/tests/e2e/lib.sh"
e2e_init "$build" "$top"
shim_preload=$LD_PRELOAD
unset LD_PRELOAD
e2e_start_display
e2e_probe_log
LD_PRELOAD=$shim_preload e2e_start_viewer
e2e_probe_connect "$VPORT_PORT"
e2e_probe_click "Ostrel"  # panels hidden
sleep 2
snapshot() {
    for t in /proc/$VIEWER_PID/task/*; do echo "$(basename "$t") $(cat "$t/comm") $(cut -d' ' -f1 "$t/schedstat")"; done
}
snapshot > "$E2E_WORK/before"
sleep 10
snapshot > "$E2E_WORK/after"
join "$E2E_WORK/before" "$E2E_WORK/after" | sort -n |
    awk 'BEGIN { split("main grabber handler", names) }
         { name = NR <= 3 ? names[NR] : $2; printf "  %-14s %6.2f%% of a core\n", name, ($5 - $3) / 1e9 * 100 / 10 }'
echo "  overrun lines: $(grep -c '^overrun' "$VIEWER_OUT")"
e2e_key Escape
e2e_wait_viewer_exit 20
[ "$VIEWER_STATUS" = "0" ] || e2e_fail "the viewer ended with status $VIEWER_STATUS"

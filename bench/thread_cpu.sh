#!/usr/bin/env bash
# CPU share of each thread of a live quarvis-decode (main, grabber, handler, in the order they
# start) connected through a virtual port, over a 5-second window: once on an idle line, once on a
# 1,500,000 baud stream from quarvis-sim. Then the whole process reading 1, 2 and 8 such streams at
# once (one virtual port and one simulator each), and what each link adds. Reads the run time in
# /proc/PID/task/TID/schedstat.
# Usage: bench/thread_cpu.sh [BUILD_DIR]   (default build/)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
window=5

measure() {
  local label=$1 stream=$2
  echo "$label"
  bash "$top/scripts/vport.sh" --build "$build" -- bash -c '
    "'"$build"'/tools/quarvis-decode" --port "$VPORT_PORT" --baud 1500000 --seconds 9 >/dev/null &
    reader=$!
    sleep 0.5
    if [ '"$stream"' = 1 ]; then "$VPORT_SIM" --out "$VPORT_SENSOR" --baud 1500000 2>/dev/null & fi
    sleep 1.5
    snapshot() { for t in /proc/$reader/task/*; do echo "$(basename "$t") $(cut -d" " -f1 "$t/schedstat")"; done; }
    snapshot >"$VPORT_DIR/before"; sleep '"$window"'; snapshot >"$VPORT_DIR/after"
    join "$VPORT_DIR/before" "$VPORT_DIR/after" | sort -n |
      awk "BEGIN { split(\"main grabber handler\", names) }
           { printf \"  %-8s %7.2f%% of a core\n\", names[NR], (\$3 - \$2) / 1e9 * 100 / '"$window"' }"
    wait $reader'
}

# Every thread of a quarvis-decode reading N streams at once, summed; prints "N PERCENT".
measure_links() {
  bash "$top/scripts/vport.sh" --build "$build" --ports "$1" -- bash -c '
    args=()
    for port in $VPORT_PORTS; do args+=(--port "$port"); done
    "'"$build"'/tools/quarvis-decode" "${args[@]}" --baud 1500000 --seconds 9 >/dev/null &
    reader=$!
    sleep 0.5
    for sensor in $VPORT_SENSORS; do "$VPORT_SIM" --out "$sensor" --baud 1500000 2>/dev/null & done
    sleep 1.5
    total() { cat /proc/$reader/task/*/schedstat | awk "{ sum += \$1 } END { print sum }"; }
    before=$(total); sleep '"$window"'; after=$(total)
    awk -v n='"$1"' -v a="$before" -v b="$after" "BEGIN { printf \"%d %.2f\n\", n, (b - a) / 1e9 * 100 / '"$window"' }"
    wait $reader'
}

measure "idle line:" 0
measure "1500000 baud stream:" 1
echo "links at 1500000 baud (whole process, % of a core):"
for n in 1 2 8; do measure_links "$n"; done | awk '
  $1 == 1 { one = $2 }
  { printf "  %d link%s %7.2f%%", $1, $1 == 1 ? " " : "s", $2 }
  $1 > 1 { printf "   each link beyond the first adds %.2f%%", ($2 - one) / ($1 - 1) }
  { printf "\n" }'

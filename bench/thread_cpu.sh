#!/usr/bin/env bash
# CPU share of each thread of a live quarvis-decode (main, grabber, handler, in the order they
# start) connected through a virtual port, over a 5-second window: once on an idle line, once on a
# 1,500,000 baud stream from quarvis-sim. Reads the run time in /proc/PID/task/TID/schedstat.
# Usage: bench/thread_cpu.sh [BUILD_DIR]   (default build/)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)

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
    snapshot >"$VPORT_DIR/before"; sleep 5; snapshot >"$VPORT_DIR/after"
    join "$VPORT_DIR/before" "$VPORT_DIR/after" | sort -n |
      awk "BEGIN { split(\"main grabber handler\", names) }
           { printf \"  %-8s %7.2f%% of a core\n\", names[NR], (\$3 - \$2) / 1e9 * 100 / 5 }"
    wait $reader'
}

measure "idle line:" 0
measure "1500000 baud stream:" 1

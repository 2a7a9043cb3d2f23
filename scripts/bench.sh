#!/usr/bin/env bash
# Every benchmark in one command: installs what is missing (scripts/setup.sh --bench), builds the
# Release benchmark tree (build-bench/) and the busy-polling tree kept only for comparison
# (build-bench-busy/), runs bench/*_bench and the viewer under Xvfb (bench/measure_viewer.sh) in
# both, the live bridge with 8 clients against none (bench/bridge_load.cpp), the rows a recording
# gets (bench/record_rate.sh), the idle viewer beside pcl_viewer and the frames it draws for a
# 460800 baud stream (bench/measure_idle.sh), times quarvis-decode against `wc -l`
# (bench/decode_vs_wc.sh), a capture's conversion to a session file against plain decoding
# (bench/mcap_vs_decode.sh) and the Python module reading 1 GB into numpy against quarvis-decode
# (bench/python_read.sh), and writes the figures, each against a baseline measured in the
# same run, with the machine and the date into docs/PERFORMANCE.md.
# Usage: scripts/bench.sh [VIEWER_SECONDS]   (default 5 s per viewer stretch; about 5 to 10 minutes
# on two cores, most of it building). Not part of `make test`.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
viewer_seconds=${1:-5}
jobs=$(nproc)
results=$(mktemp -d "${TMPDIR:-/tmp}/quarvis-bench.XXXXXX")
trap 'rm -rf "$results"' EXIT
started=$(date +%s)
load=$(cut -d ' ' -f 1-3 /proc/loadavg)
idle_seconds=20

bash scripts/setup.sh --bench

echo "== building (Release) into build-bench/ and build-bench-busy/"
targets=(link_bench record_bench filechooser_bench capture_bench bridge_load quarvis quarvis-sim quarvis-decode
         quarvis_vport_shim quarvis_python)
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARVIS_BENCH=ON -DQUARVIS_WERROR=ON >/dev/null
cmake --build build-bench -j "$jobs" --target "${targets[@]}"
cmake -S . -B build-bench-busy -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARVIS_BENCH=ON -DQUARVIS_WERROR=ON \
  -DQUARVIS_BUSY_POLL=ON >/dev/null
cmake --build build-bench-busy -j "$jobs" --target link_bench quarvis quarvis-sim quarvis_vport_shim
built=$(date +%s)

run_bench() {  # run_bench BUILD NAME OUTPUT [FILTER]
  echo "== $1/bench/$2"
  "$1/bench/$2" --benchmark_filter="${4:-.}" --benchmark_out="$results/$3" --benchmark_out_format=json
}
run_bench build-bench link_bench link.json
run_bench build-bench-busy link_bench link-busy.json 'IdleWorkersCpu|StopAcknowledge'
run_bench build-bench record_bench record.json
run_bench build-bench filechooser_bench filechooser.json
run_bench build-bench capture_bench capture.json

echo "== the live bridge: 8 clients, and one stalled, against no client"
build-bench/bench/bridge_load 20 | tee "$results/bridge.md"

echo "== quarvis-decode against wc -l"
bash bench/decode_vs_wc.sh build-bench | tee "$results/decode.txt"
echo "== quarvis-decode --mcap against plain decoding"
bash bench/mcap_vs_decode.sh build-bench | tee "$results/mcap.txt"

echo "== the Python module reading 1 GB into numpy, against quarvis-decode"
bash bench/python_read.sh build-bench | tee "$results/python.txt"

echo "== the viewer under Xvfb"
bash bench/measure_viewer.sh build-bench "$viewer_seconds" | tee "$results/viewer.txt"
echo "== the viewer under Xvfb, busy-polling build"
bash bench/measure_viewer.sh build-bench-busy "$viewer_seconds" | tee "$results/viewer-busy.txt"
echo "== the idle viewer beside pcl_viewer, and a 460800 baud stream"
bash bench/measure_idle.sh build-bench "$idle_seconds" | tee "$results/idle.txt"
echo "== the viewer recording the demo sensor"
bash bench/record_rate.sh build-bench 10 | tee "$results/recording.txt"

finished=$(date +%s)
cat > "$results/meta.json" <<EOF
{
  "command": "scripts/bench.sh${1:+ $1}",
  "date": "$(date -u '+%Y-%m-%d %H:%M UTC')",
  "commit": "$(git rev-parse --short HEAD 2>/dev/null || echo unknown)$(git diff --quiet HEAD -- src tools bench 2>/dev/null || echo ' (with local changes)')",
  "nproc": $jobs,
  "cpu": "$(grep -m 1 '^model name' /proc/cpuinfo | sed 's/.*: //; s/"/\\"/g')",
  "memory": "$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)",
  "load": "$load",
  "build_seconds": $((built - started)),
  "total_seconds": $((finished - started)),
  "viewer_seconds": $viewer_seconds
}
EOF
python3 bench/bench_report.py "$results" docs/PERFORMANCE.md
echo "== figures written to docs/PERFORMANCE.md (in $((finished - started)) s)"

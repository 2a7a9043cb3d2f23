#!/usr/bin/env bash
# Converting a capture to a session file against plain decoding of the same capture: quarvis-sim
# writes about 170 MB (unpaced, 1 % of each fault kind), then `quarvis-decode FILE > /dev/null` and
# `quarvis-decode --mcap OUT FILE > /dev/null` run RUNS times each, taking turns, page cache warm.
# Prints "name: value" lines (medians of wall and CPU time, the session's size) for
# bench/bench_report.py. Called by scripts/bench.sh; runs alone once the tools are built:
#   bench/mcap_vs_decode.sh BUILD_DIR [RUNS] [FRAMES]      (default 5 runs of 58,400 frames)
set -euo pipefail
build=${1:?usage: bench/mcap_vs_decode.sh BUILD_DIR [RUNS] [FRAMES]}
runs=${2:-5}
frames=${3:-58400}
work=$(mktemp -d "${TMPDIR:-/tmp}/quarvis-mcap-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$build/tools/quarvis-sim" --frames "$frames" --garbage 0.01 --bad-checksum 0.01 --bad-size 0.01 --cut-short 0.01 \
  --out "$work/stream.bin"

python3 - "$work/stream.bin" "$build/tools/quarvis-decode" "$runs" "$work/session.mcap" <<'PY'
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

stream, decoder, runs, session = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
commands = {"decode": [decoder, stream], "mcap": [decoder, "--mcap", session, stream]}


def once(argv):
    """Wall and CPU (user + system) seconds of one run of argv."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, check=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime


for argv in commands.values():  # warm the page cache and the binaries
    once(argv)
times = {name: [] for name in commands}
for _ in range(runs):  # taking turns, so a burst of load on the shared machine hits both alike
    for name, argv in commands.items():
        times[name].append(once(argv))

print(f"stream bytes: {Path(stream).stat().st_size}")
print(f"session bytes: {Path(session).stat().st_size}")
print(f"runs: {runs}")
for name, samples in times.items():
    print(f"{name} wall ms: {statistics.median(wall for wall, _ in samples) * 1e3:.1f}")
    print(f"{name} cpu ms: {statistics.median(cpu for _, cpu in samples) * 1e3:.1f}")
PY

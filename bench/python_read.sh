#!/usr/bin/env bash
# Reading a capture of about 1 GB into one numpy array with the Python module, against quarvis-decode
# on the same file: quarvis-sim writes the stream (unpaced, 1 % of each fault kind), the module's
# frames and counters are checked against the decoder's, then `quarvis-decode FILE > /dev/null`,
# `quarvis.open(FILE).to_array()` under /usr/bin/python3 and, as a reference for what the array's
# memory alone costs, a numpy array of the same shape filled with ones, run RUNS times each, taking turns, page cache warm.
# Prints "name: value" lines (medians of wall and CPU time) for bench/bench_report.py. Called by
# scripts/bench.sh; runs alone once quarvis-sim, quarvis-decode and the module are built:
#   bench/python_read.sh BUILD_DIR [RUNS] [FRAMES]      (default 5 runs of 343,000 frames)
set -euo pipefail
build=$(cd "${1:?usage: bench/python_read.sh BUILD_DIR [RUNS] [FRAMES]}" && pwd)
runs=${2:-5}
frames=${3:-343000}
work=$(mktemp -d "${TMPDIR:-/tmp}/quarvis-python-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$build/tools/quarvis-sim" --frames "$frames" --garbage 0.01 --bad-checksum 0.01 --bad-size 0.01 --cut-short 0.01 \
  --out "$work/stream.ostrel"
"$build/tools/quarvis-decode" "$work/stream.ostrel" > "$work/decoded.txt"

PYTHONPATH="$build/python" /usr/bin/python3 - "$work/stream.ostrel" "$build/tools/quarvis-decode" "$runs" \
  "$work/decoded.txt" <<'PY'
import os
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

import quarvis

stream, decoder, runs, decoded = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
counters = dict(line.rsplit(": ", 1) for line in Path(decoded).read_text().splitlines() if ": " in line)
frames = quarvis.open(stream)
if frames.stats != {name: int(count) for name, count in counters.items()}:
    sys.exit(f"python_read.sh: the module counted {frames.stats}, quarvis-decode {counters}")
good = len(frames)
del frames

python = "/usr/bin/python3"
commands = {  # name: argv, standard output to /dev/null
    "decode": [decoder, stream],
    "python": [python, "-c", "import sys, quarvis; quarvis.open(sys.argv[1]).to_array()", stream],
    "numpy": [python, "-c", f"import numpy; numpy.ones(({good}, 480, 3), numpy.float32)"],
}


def once(argv):
    """Wall and CPU (user + system) seconds of one run of argv."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, check=True, env=os.environ)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime


for argv in commands.values():  # warm the page cache and the binaries
    once(argv)
times = {name: [] for name in commands}
for _ in range(runs):  # taking turns, so a burst of load on the shared machine hits all alike
    for name, argv in commands.items():
        times[name].append(once(argv))

print(f"stream bytes: {Path(stream).stat().st_size}")
print(f"good frames: {good}")
print(f"runs: {runs}")
for name, samples in times.items():
    print(f"{name} wall ms: {statistics.median(wall for wall, _ in samples) * 1e3:.1f}")
    print(f"{name} cpu ms: {statistics.median(cpu for _, cpu in samples) * 1e3:.1f}")
PY

#!/usr/bin/env bash
# quarvis-decode against `wc -l` over the same file: quarvis-sim writes a stream of about 170 MB
# (unpaced, 1 % of each fault kind), the decoder's counters are checked against the simulator's
# report, then `wc -l FILE`, `quarvis-decode FILE > /dev/null` and `quarvis-decode FILE > OUT` run
# RUNS times each, taking turns, with the page cache warm. Prints "name: value" lines (medians of
# wall and CPU time) for bench/bench_report.py. Called by scripts/bench.sh; runs alone once
# quarvis-sim and quarvis-decode are built:
#   bench/decode_vs_wc.sh BUILD_DIR [RUNS] [FRAMES]      (default 7 runs of 58,400 frames)
set -euo pipefail
build=${1:?usage: bench/decode_vs_wc.sh BUILD_DIR [RUNS] [FRAMES]}
runs=${2:-7}
frames=${3:-58400}
work=$(mktemp -d "${TMPDIR:-/tmp}/quarvis-decode-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$build/tools/quarvis-sim" --frames "$frames" --garbage 0.01 --bad-checksum 0.01 --bad-size 0.01 --cut-short 0.01 \
  --out "$work/stream.bin" --report "$work/expected.txt"
"$build/tools/quarvis-decode" "$work/stream.bin" > "$work/decoded.txt"
# Every counter the simulator's report names must come out of the decoder as it says.
if sed -n '/^Total bytes:/,$p' "$work/expected.txt" | grep -vxFf "$work/decoded.txt"; then
  echo "decode_vs_wc.sh: quarvis-decode counted otherwise than the simulator's report (above)" >&2
  exit 1
fi

python3 - "$work/stream.bin" "$build/tools/quarvis-decode" "$runs" "$work/out.txt" <<'EOF'
import resource
import statistics
import subprocess
import sys
import time
from pathlib import Path

stream, decoder, runs, out = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
commands = {  # name: (argv, where its standard output goes)
    "wc": (["wc", "-l", stream], "/dev/null"),
    "decode null": ([decoder, stream], "/dev/null"),
    "decode file": ([decoder, stream], out),
}


def once(argv, target):
    """Wall and CPU (user + system) seconds of one run of argv."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    with open(target, "wb") as sink:
        subprocess.run(argv, stdout=sink, check=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime


for argv, target in commands.values():  # warm the page cache and the binaries
    once(argv, target)
times = {name: [] for name in commands}
for _ in range(runs):  # taking turns, so a burst of load on the shared machine hits all alike
    for name, (argv, target) in commands.items():
        times[name].append(once(argv, target))

good = next(line for line in Path(out).read_text().splitlines() if line.startswith("Good frames: "))
print(f"stream bytes: {Path(stream).stat().st_size}")
print(f"good frames: {good.split(': ')[1]}")
print(f"runs: {runs}")
for name, samples in times.items():
    print(f"{name} wall ms: {statistics.median(wall for wall, _ in samples) * 1e3:.1f}")
    print(f"{name} cpu ms: {statistics.median(cpu for _, cpu in samples) * 1e3:.1f}")
EOF

#!/usr/bin/env bash
# Two live sensors at 1.5 Mbaud read by the Python module with a loop that does nothing with the
# frames: two quarvis-sim streams into two virtual ports (scripts/vport.sh twice, nested), one
# quarvis.Sensor and one Python thread each. Counts the frames the loops got against those sent,
# the frames the queues dropped and the link's overruns, and the process's CPU time per second.
# Prints "name: value" lines. Runs once quarvis-sim, the shim and the module are built:
#   bench/python_live.sh BUILD_DIR [SECONDS]      (default 20 s of the sensors' line)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: bench/python_live.sh BUILD_DIR [SECONDS]}" && pwd)
seconds=${2:-20}
baud=1500000
frames=$((seconds * baud / 10 / 2912))

export PYTHONPATH="$build/python" BENCH_FRAMES=$frames BENCH_BAUD=$baud
# The outer port's names are kept before the inner vport.sh exports its own.
"$top/scripts/vport.sh" --build "$build" -- bash -c '
  export PORT_A=$VPORT_PORT SENSOR_A=$VPORT_SENSOR
  exec "$0" --build "$1" -- /usr/bin/python3 -u -c "$2"' "$top/scripts/vport.sh" "$build" '
import os, subprocess, threading, time
os.environ["VIRTUAL_PORTS"] = os.environ["PORT_A"] + "," + os.environ["VPORT_PORT"]
import quarvis

frames, baud = int(os.environ["BENCH_FRAMES"]), int(os.environ["BENCH_BAUD"])
sensors = [quarvis.Sensor(os.environ["PORT_A"], baud), quarvis.Sensor(os.environ["VPORT_PORT"], baud)]
got = [0, 0]


def drain(k):
    for _ in sensors[k]:
        got[k] += 1
        if got[k] == frames:
            return


threads = [threading.Thread(target=drain, args=(k,)) for k in range(2)]
for thread in threads:
    thread.start()
start, cpu = time.perf_counter(), time.process_time()
sims = [subprocess.Popen([os.environ["VPORT_SIM"], "--out", out, "--baud", str(baud), "--frames", str(frames)])
        for out in (os.environ["SENSOR_A"], os.environ["VPORT_SENSOR"])]
for sim in sims:
    sim.wait()
for thread in threads:
    thread.join(timeout=10)
wall, cpu = time.perf_counter() - start, time.process_time() - cpu
print(f"frames sent per sensor: {frames}")
for k, sensor in enumerate(sensors):
    stats = sensor.stats
    overruns = stats[quarvis.STAT_NAMES[7]]
    print(f"sensor {k + 1} frames got: {got[k]}  dropped: {sensor.dropped}  overruns: {overruns}")
    sensor.close()
print(f"wall s: {wall:.2f}")
print(f"process cpu per wall second: {cpu / wall:.3f}")
'

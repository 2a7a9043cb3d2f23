# Run under scripts/vport.sh: the virtual port and the demo sensor read at once while quarvis-sim
# writes FRAMES frames into the port, each on a thread of its own with numpy not yet imported (its
# first use from two threads at once once deadlocked); then the sensor is unplugged (socat killed).
import os
import signal
import subprocess
import sys
import threading

import quarvis

out, frames, sim_options = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
port = os.environ["VPORT_PORT"]
with quarvis.Sensor(port, 1500000) as sensor, quarvis.Sensor("DEMO SENSOR") as demo:
    demo_frames = []
    other = threading.Thread(target=lambda: demo_frames.extend(next(demo) for _ in range(3)))
    other.start()
    sim = subprocess.Popen([os.environ["VPORT_SIM"], "--out", os.environ["VPORT_SENSOR"], *sim_options])
    seen = [next(sensor) for _ in range(frames)]
    other.join()
    sim.wait(timeout=60)
    os.kill(int(os.environ["VPORT_SOCAT_PID"]), signal.SIGTERM)
    try:
        extra = next(sensor)
        lost = "a frame came after the unplug: %d" % extra.sequence
    except quarvis.LinkError as error:
        lost = "%s|%s|%s" % (error.port, error.reason, error)
    stats = sensor.stats  # the link is closed: its handler has counted every frame
import numpy as np  # noqa: E402 -- only now, see above

np.savez(out, sequence=[f.sequence for f in seen], stamp=[f.stamp for f in seen],
         received=[f.received for f in seen], points=np.stack([f.points for f in seen]),
         sensors=[f.sensor for f in seen], demo=[f.sensor for f in demo_frames], lost=lost,
         stats=[stats[name] for name in quarvis.STAT_NAMES])

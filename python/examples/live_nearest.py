#!/usr/bin/python3
"""Live frames of a sensor printed as sequence, stamp and nearest point, until Ctrl-C.

Usage: live_nearest.py [PORT] [--baud N] [--frames N]   (PORT defaults to the demo sensor)
"""
import argparse

import numpy as np
import quarvis

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("port", nargs="?", default="DEMO SENSOR")
parser.add_argument("--baud", type=int, default=1500000)
parser.add_argument("--frames", type=int, default=0, help="stop after this many frames (0: never)")
options = parser.parse_args()

try:
    with quarvis.Sensor(options.port, options.baud) as sensor:
        for count, frame in enumerate(sensor, start=1):
            ranges = np.linalg.norm(frame.points, axis=1)
            nearest = frame.points[np.argmin(ranges)]
            print(f"{frame.sequence:5d} {frame.stamp:12.6f}  nearest {ranges.min():.3f} m at "
                  f"({nearest[0]:.3f}, {nearest[1]:.3f}, {nearest[2]:.3f})", flush=True)
            if count == options.frames:
                break
except KeyboardInterrupt:
    pass

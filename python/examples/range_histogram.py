#!/usr/bin/python3
"""The histogram of point ranges (distance from the sensor) over every frame of a capture or recording.

Usage: range_histogram.py FILE [--bins N]
"""
import argparse

import numpy as np
import quarvis

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("file")
parser.add_argument("--bins", type=int, default=10)
options = parser.parse_args()

cloud = quarvis.open(options.file).to_array()           # (frames, 480, 3) metres
ranges = np.linalg.norm(cloud, axis=2).ravel()
counts, edges = np.histogram(ranges, bins=options.bins)
for low, high, count in zip(edges, edges[1:], counts):
    print(f"{low:7.3f} - {high:7.3f} m  {count}")

#!/usr/bin/python3
"""A capture to one PLY file per second of the sensor's clock, each holding every point of that second.

Usage: capture_to_ply.py FILE FOLDER   (writes FOLDER/second-NNNNNN.ply, N the whole second)
"""
import argparse
import os
from collections import defaultdict

import numpy as np
import open3d as o3d
import quarvis

parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
parser.add_argument("file")
parser.add_argument("folder")
options = parser.parse_args()

by_second = defaultdict(list)
for frame in quarvis.open(options.file):
    by_second[int(frame.stamp)].append(frame.points)

os.makedirs(options.folder, exist_ok=True)
for second, clouds in sorted(by_second.items()):
    cloud = o3d.geometry.PointCloud(o3d.utility.Vector3dVector(np.concatenate(clouds).astype(np.float64)))
    path = os.path.join(options.folder, f"second-{second:06d}.ply")
    if not o3d.io.write_point_cloud(path, cloud):
        raise SystemExit(f"capture_to_ply: cannot write {path}")
    print(f"{path}: {len(cloud.points)} points")

#!/usr/bin/python3
"""Reads exported point clouds with Open3D, an independent reader, and compares every point with the
frames quarvis-decode --points printed. Usage: check_clouds.py POINTS_FILE DIR EXTENSION...
Exit status 0 when every frame's file holds exactly its points, 1 on a difference (python3-open3d
comes with scripts/setup.sh)."""
import os
import re
import sys

import numpy as np
import open3d as o3d


def decoded_frames(path):
    """The frames of quarvis-decode --points: each 'frame ...' line followed by its x,y,z, values."""
    frames = []
    with open(path) as lines:
        for line in lines:
            if re.fullmatch(r"frame \d+ \d+ \d+\n", line):
                values = next(lines).rstrip(",\n").split(",")
                frames.append(np.array(values, dtype=np.float32).reshape(-1, 3))
    return frames


def main():
    points_file, folder, extensions = sys.argv[1], sys.argv[2], sys.argv[3:]
    frames = decoded_frames(points_file)
    failures = 0
    for extension in extensions:
        names = sorted(name for name in os.listdir(folder) if name.endswith(extension))
        expected = [f"frame-{number:06d}{extension}" for number in range(1, len(frames) + 1)]
        failures += names != expected
        for name, points in zip(expected, frames):
            read = np.asarray(o3d.io.read_point_cloud(os.path.join(folder, name)).points).astype(np.float32)
            if read.shape != points.shape or not np.array_equal(read, points):
                print(f"FAIL: {name}: {read.shape[0]} points read, {points.shape[0]} expected, or values differ")
                failures += 1
        print(f"{extension}: {len(names)} files ({len(expected)} frames) read back by Open3D {o3d.__version__}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

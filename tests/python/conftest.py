# Shared helpers of the Python module's tests: the build's tools, and quarvis-decode's own account of
# a file (its frame lines, points and counters) to hold the module against. Run by pytest under ctest.
import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

BUILD = Path(os.environ.get("QUARVIS_BUILD", Path(__file__).resolve().parents[2] / "build"))
SIM = BUILD / "tools" / "quarvis-sim"
DECODE = BUILD / "tools" / "quarvis-decode"


def run(*args):
    return subprocess.run([str(a) for a in args], check=True, capture_output=True, text=True, timeout=120).stdout


def simulate(path, *options):
    run(SIM, "--out", path, *options)
    return path


def decoder_account(path):
    """quarvis-decode --points on a file: [(sequence, stamp, points)], and its counters."""
    lines = run(DECODE, "--points", path).splitlines()
    frames, counters = [], {}
    k = 0
    while k < len(lines):
        fields = lines[k].split(" ")
        if fields[0] == "frame" and ":" not in lines[k]:
            points = np.array(lines[k + 1].rstrip(",").split(","), dtype=np.float32).reshape(-1, 3)
            frames.append((int(fields[1]), int(fields[2]) + int(fields[3]) / 1e6, points))
            k += 2
        else:
            name, count = lines[k].rsplit(": ", 1)
            counters[name] = int(count)
            k += 1
    return frames, counters


@pytest.fixture
def capture(tmp_path):
    """A clean capture of 70 frames (about 2.3 s of the sensor's clock)."""
    return simulate(tmp_path / "clean.ostrel", "--frames", 70, "--seed", 7)

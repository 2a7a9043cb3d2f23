# The Python module against quarvis-decode on the same files and bytes: frame by frame, counter by
# counter; its failures as exceptions; and the examples beside it, read back with Open3D.
import errno
import gc
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
import quarvis

from conftest import BUILD, DECODE, decoder_account, run, simulate

EXAMPLES = Path(__file__).resolve().parents[2] / "python" / "examples"


def faulty_capture(tmp_path):
    return simulate(tmp_path / "faults.ostrel", "--frames", 60, "--seed", 3, "--garbage", "0.2",
                    "--bad-checksum", "0.2", "--bad-size", "0.1", "--cut-short", "0.1")


def recording_of(tmp_path, capture, damage=lambda lines: lines):
    """The capture as a viewer recording (quarvis-decode --csv), optionally with rows damaged."""
    path = tmp_path / "recording.csv"
    run(DECODE, "--csv", path, capture)
    lines = damage(path.read_text().split("\n"))
    path.write_text("\n".join(lines))
    return path


def cut_last_row_and_break_second(lines):
    lines[2] = lines[2].replace(",", ";", 600)[:900]  # row 2: too few values
    lines[-2] = lines[-2][:5000]                      # the last row, cut off mid-way
    return lines[:-1]


@pytest.mark.parametrize("kind", ["capture", "faults", "recording", "damaged recording"])
def test_files_match_the_decoder_frame_by_frame(tmp_path, capture, kind):
    source = faulty_capture(tmp_path) if kind == "faults" else capture
    expected, counters = decoder_account(source)
    path = {"capture": lambda: capture, "faults": lambda: source,
            "recording": lambda: recording_of(tmp_path, capture),
            "damaged recording": lambda: recording_of(tmp_path, capture, cut_last_row_and_break_second)}[kind]()
    frames = quarvis.open(path)
    if "recording" in kind:
        rows = list(range(1, len(expected) + 1))
        if kind == "damaged recording":
            del rows[-1], rows[1]
        expected = [expected[row - 1] for row in rows]
        assert [f.sequence for f in frames] == rows
        first = path.read_text().split("\n")[1][:15]
        local = time.mktime(time.strptime(first, "%Y%m%d-%H%M%S"))
        assert frames[0].received == frames[0].stamp == local
        assert frames.stats is None
    else:
        assert [(f.sequence, f.stamp, f.received) for f in frames] == [(e[0], pytest.approx(e[1], abs=1e-9), None)
                                                                      for e in expected]
        assert frames.stats == counters
    assert frames.sensors == ["ostrel"] and len(frames) == len(expected)
    cloud = frames.to_array()
    assert cloud.shape == (len(expected), 480, 3) and cloud.dtype == np.float32
    np.testing.assert_array_equal(cloud, np.stack([e[2] for e in expected]))
    np.testing.assert_array_equal(frames[-1].points, expected[-1][2])


@pytest.mark.parametrize("faults", [
    ["--bad-checksum", "0.3"], ["--bad-size", "0.3"], ["--garbage", "0.5"], ["--cut-short", "0.3"],
    ["--garbage", "0.3", "--bad-checksum", "0.2", "--bad-size", "0.2", "--cut-short", "0.2"],
])
def test_bytes_with_faults_count_as_the_decoder_and_the_simulator_say(tmp_path, faults):
    stream = simulate(tmp_path / "stream", "--frames", 80, "--seed", 11, "--report", tmp_path / "report", *faults)
    data = stream.read_bytes()
    frames = quarvis.decode(data)
    expected, counters = decoder_account(stream)
    assert frames.stats == counters
    report = dict(line.rsplit(": ", 1) for line in (tmp_path / "report").read_text().splitlines())
    for name in quarvis.STAT_NAMES:
        if name in report:
            assert frames.stats[name] == int(report[name]), name
    assert [f.sequence for f in frames] == [e[0] for e in expected]
    # The same bytes through any buffer, split nowhere: the same frames.
    for view in (bytearray(data), memoryview(data), np.frombuffer(data, dtype=np.uint8)):
        np.testing.assert_array_equal(quarvis.decode(view).to_array(), frames.to_array())
    with pytest.raises(BufferError):
        quarvis.decode(memoryview(data)[::2])


def test_arrays_outlive_their_frames_and_stay_read_only(capture):
    expected, _ = decoder_account(capture)
    cloud = quarvis.open(capture).to_array()
    one = quarvis.open(capture)[3].points
    gc.collect()
    np.testing.assert_array_equal(cloud[3], expected[3][2])
    np.testing.assert_array_equal(one, expected[3][2])
    with pytest.raises(ValueError):
        cloud[0, 0, 0] = 1.0
    assert quarvis.decode(b"").stats["Total bytes"] == 0 and quarvis.decode(b"").to_array().shape == (0, 480, 3)


def fifo(tmp_path):
    path = tmp_path / "fifo"
    os.mkfifo(path)
    return path


@pytest.mark.parametrize("make, error, reason", [
    (lambda d: d / os.fsdecode(b"missing-\xff.ostrel"), FileNotFoundError, None),
    (lambda d: d, IsADirectoryError, None),
    (fifo, quarvis.FormatError, "named pipe"),
    (lambda d: (d / "notes.txt").write_text("a few words\n" * 500) and d / "notes.txt", quarvis.FormatError,
     "no frame in 6000 bytes"),
    (lambda d: (d / os.fsdecode(b"\xfe.ostrel")).write_bytes(b"") == 0 and d / os.fsdecode(b"\xfe.ostrel"),
     quarvis.FormatError, "no frame in 0"),
    (lambda d: (d / "head.csv").write_text("time,x1,y1,z1,\n") and d / "head.csv", quarvis.FormatError, "no points"),
    (lambda d: (d / "s.mcap").write_bytes(b"\x89MCAP0\r\n" + bytes(100)) and d / "s.mcap", quarvis.FormatError,
     "MCAP session"),
])
def test_failures_raise_with_the_file_and_the_reason(tmp_path, make, error, reason):
    path = make(tmp_path)
    with pytest.raises(error) as raised:
        quarvis.open(path)
    if issubclass(error, OSError):
        assert raised.value.filename == str(path) and raised.value.errno in (errno.ENOENT, errno.EISDIR)
    else:
        assert raised.value.path == str(path) and reason in raised.value.reason and str(path) in str(raised.value)


def example(name, *args):
    return subprocess.run([sys.executable, str(EXAMPLES / name), *map(str, args)], check=True, capture_output=True,
                          text=True, timeout=120, env=os.environ).stdout


def test_range_histogram_counts_every_point(capture):
    expected, _ = decoder_account(capture)
    ranges = np.linalg.norm(np.stack([e[2] for e in expected]), axis=2).ravel()
    counts = [int(line.split()[-1]) for line in example("range_histogram.py", capture, "--bins", 8).splitlines()]
    assert counts == np.histogram(ranges, bins=8)[0].tolist()


def test_capture_to_ply_writes_each_second_as_open3d_reads_it(tmp_path, capture):
    o3d = pytest.importorskip("open3d")
    expected, _ = decoder_account(capture)
    example("capture_to_ply.py", capture, tmp_path / "ply")
    seconds = sorted({int(e[1]) for e in expected})
    files = sorted((tmp_path / "ply").glob("*.ply"))
    assert [f.name for f in files] == [f"second-{s:06d}.ply" for s in seconds]
    for second, path in zip(seconds, files):
        points = np.asarray(o3d.io.read_point_cloud(str(path)).points)
        want = np.concatenate([e[2] for e in expected if int(e[1]) == second])
        np.testing.assert_allclose(points, want, atol=1e-6)

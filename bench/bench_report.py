#!/usr/bin/env python3
"""Writes the figures of one scripts/bench.sh run into docs/PERFORMANCE.md. Called by bench.sh only.

Reads the Google Benchmark JSON files and the measure_viewer.sh outputs of the run from RESULTS and
replaces, in the document, the text between each "<!-- bench.sh:NAME -->" marker and its closing
"<!-- /bench.sh:NAME -->"; everything outside the markers is left as written.
Usage: bench_report.py RESULTS DOCUMENT
"""
import json
import re
import sys
from pathlib import Path

LINE_RATE = 150_000.0  # bytes per second at 1,500,000 baud, 10 bits a byte
REFRESH_PERIOD_MS = 1000.0 / 60.0


def load_benchmarks(path):
    """Benchmarks by name, without the suffixes of fixed iterations and manual time."""
    data = json.loads(Path(path).read_text())
    return {re.sub(r"/(iterations:\d+|manual_time|real_time)", "", b["name"]): b
            for b in data["benchmarks"] if b.get("run_type", "iteration") == "iteration"}


def seconds(bench, key="cpu_time"):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[bench["time_unit"]]
    return bench[key] * scale


def rate(bench):
    """Bytes per second on CPU time (the machine is shared, wall time carries others' load)."""
    return bench["bytes_per_second"]


def viewer_figures(path):
    """The "name: value" lines of measure_viewer.sh, measure_idle.sh, record_rate.sh, decode_vs_wc.sh, python_read.sh."""
    figures = {}
    for line in Path(path).read_text().splitlines():
        name, _, value = line.rpartition(": ")
        if name:
            figures[name] = float(value)
    return figures


def fmt_time(secs):
    if secs >= 1:
        return f"{secs:.2f} s"
    if secs >= 1e-3:
        return f"{secs * 1e3:.1f} ms"
    if secs >= 1e-6:
        return f"{secs * 1e6:.1f} µs"
    return f"{secs * 1e9:.0f} ns"


def ratio(a, b):
    return f"{a / b:,.2f}×" if b else "n/a"


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def section_run(meta):
    return "\n".join([
        f"Command: `{meta['command']}` (total {meta['total_seconds']} s, of which building {meta['build_seconds']} s).",
        f"Date: {meta['date']}; commit {meta['commit']}.",
        f"Machine: {meta['nproc']} cores, {meta['cpu']}, {meta['memory']} memory; load average at the start "
        f"{meta['load']} (the machine is shared, so CPU times are the steadier figures; wall times are given too).",
    ])


def section_throughput(link):
    base, decode = link["ByteSumBaseline"], link["DecodeThroughput"]
    bytewise = link["SynchroniserByteByByte"]
    rows = []
    for label, bench, synchroniser in (
            ("Synchroniser, reads of 200 bytes (the grabber's)", link["SynchroniserThroughput/200"], True),
            ("Synchroniser, the whole stream in one read", link["SynchroniserThroughput/1048576"], True),
            ("Baseline: the same rules taken a byte at a time", bytewise, True),
            ("Decoding (frames into metres, published to the point array)", decode, False),
            ("Baseline: additive byte sum over the same bytes", base, False)):
        rows.append([label, f"{rate(bench) / 1e6:,.1f} MB/s", f"{rate(bench) / LINE_RATE:,.0f}×",
                     ratio(rate(bench), rate(bytewise)) if synchroniser else "",
                     ratio(rate(bench), rate(base))])
    return table(["What", "Throughput (CPU time)", "× line rate (150,000 B/s)", "× byte at a time",
                  "× byte-sum baseline"], rows)


def section_decode(d):
    rows = []
    for label, name in (("quarvis-decode FILE > OUT (a regular file)", "decode file"),
                        ("quarvis-decode FILE > /dev/null", "decode null"),
                        ("Baseline: wc -l FILE", "wc")):
        rows.append([label, f"{d[name + ' wall ms']:.0f} ms", f"{d[name + ' cpu ms']:.0f} ms",
                     ratio(d[name + " wall ms"], d["wc wall ms"]), ratio(d[name + " cpu ms"], d["wc cpu ms"])])
    return (f"A {d['stream bytes'] / 1e6:,.1f} MB stream from quarvis-sim with {int(d['good frames']):,} good frames; "
            f"medians of {int(d['runs'])} runs each, page cache warm.\n\n"
            + table(["What", "Wall time", "CPU time (user + system)", "× wc -l (wall)", "× wc -l (CPU)"], rows))


def section_mcap(d):
    rows = []
    for label, name in (("quarvis-decode --mcap OUT FILE > /dev/null", "mcap"),
                        ("Baseline: quarvis-decode FILE > /dev/null", "decode")):
        rows.append([label, f"{d[name + ' wall ms']:.0f} ms", f"{d[name + ' cpu ms']:.0f} ms",
                     ratio(d[name + " wall ms"], d["decode wall ms"]), ratio(d[name + " cpu ms"], d["decode cpu ms"])])
    return (f"A {d['stream bytes'] / 1e6:,.1f} MB stream from quarvis-sim into a {d['session bytes'] / 1e6:,.1f} MB "
            f"session file; medians of {int(d['runs'])} runs each, page cache warm.\n\n"
            + table(["What", "Wall time", "CPU time (user + system)", "× decode (wall)", "× decode (CPU)"], rows))


def section_python(d):
    rows = []
    for label, name in (("quarvis.open(FILE).to_array() in /usr/bin/python3", "python"),
                        ("Baseline: quarvis-decode FILE > /dev/null", "decode"),
                        ("Reference: numpy.ones of the same shape in /usr/bin/python3 (the memory alone)", "numpy")):
        rows.append([label, f"{d[name + ' wall ms']:.0f} ms", f"{d[name + ' cpu ms']:.0f} ms",
                     ratio(d[name + " wall ms"], d["decode wall ms"]), ratio(d[name + " cpu ms"], d["decode cpu ms"])])
    return (f"A {d['stream bytes'] / 1e6:,.1f} MB capture from quarvis-sim with {int(d['good frames']):,} good frames "
            f"(an array of {d['good frames'] * 480 * 3 * 4 / 1e9:.2f} GB of float32); medians of {int(d['runs'])} runs each, page cache warm.\n\n"
            + table(["What", "Wall time", "CPU time (user + system)", "× quarvis-decode (wall)",
                     "× quarvis-decode (CPU)"], rows))


def section_rows(record):
    rows = []
    for label, ours, stream, flag in (("Format one row (1441 values)", "formatRow", "formatRowWithStream", "byte_identical"),
                                      ("Parse one row", "parseRow", "parseRowWithStream", "values_identical")):
        o, s = record[ours], record[stream]
        same = "yes" if s.get(flag) == 1 and "error_message" not in s else "NO"
        rows.append([label, fmt_time(seconds(o)), fmt_time(seconds(s)), ratio(seconds(s), seconds(o)), same,
                     f"{1 / seconds(o):,.0f}"])
    return table(["What", "Ours (CPU)", "std::ostream / std::istream (CPU)", "Speed-up", "Same bytes / values",
                  "Rows per second (ours)"], rows)


def section_recording(recording):
    return (f"The running viewer recording the demo sensor for {recording['recording seconds']:.0f} s "
            f"(bench/record_rate.sh, frame limiter on): {recording['recording rows per second']:.0f} rows per second, "
            f"{recording['recording bytes per row']:,.0f} bytes per row, "
            f"{recording['recording kB per second']:,.0f} kB per second.")


def section_large(record):
    open_, count = record["openLargeRecording"], record["countRowsInOnePass"]
    seek, skip = record["seekLargeRecording"], record["seekByLinearSkip"]
    rows = [
        # The index is built on a thread of its own: the opening thread's CPU is what the GUI spends,
        # the wall time until the index is ready is what compares with one counting pass.
        ["Open (row count and index, in the background)",
         f"{fmt_time(seconds(open_))} on the GUI thread ({fmt_time(seconds(open_, 'real_time'))} wall until indexed)",
         "one pass counting lines", f"{fmt_time(seconds(count))} ({fmt_time(seconds(count, 'real_time'))} wall)",
         ratio(seconds(open_, 'real_time'), seconds(count, 'real_time')) + " (wall)"],
        ["Seek to a random row and read it", f"{fmt_time(seconds(seek))} ({fmt_time(seconds(seek, 'real_time'))} wall)",
         "linear skip from the start", f"{fmt_time(seconds(skip))} ({fmt_time(seconds(skip, 'real_time'))} wall)",
         f"{seconds(skip) / seconds(seek):,.0f}× faster"],
    ]
    return (f"A 1 GiB recording of {int(open_['rows']):,} rows (page cache warm).\n\n"
            + table(["What", "Ours (CPU)", "Baseline", "Baseline (CPU)", "Ratio"], rows))


def section_viewer(v, busy, link, link_busy):
    def cpu(figs, stretch, role):
        return figs[f"{stretch} {role} cpu percent"]
    rows = [
        ["Start to first frame", f"{v['first frame ms']:.0f} ms", "a bare GL context (glxinfo -B)",
         f"{v['glxinfo context ms']:.0f} ms", ratio(v["first frame ms"], v["glxinfo context ms"])],
        ["Median frame time, 480 points, 1,500,000 baud", f"{v['stream median frame ms']:.1f} ms",
         "the 60 Hz period", f"{REFRESH_PERIOD_MS:.1f} ms", ratio(v["stream median frame ms"], REFRESH_PERIOD_MS)],
        ["Median drawing time of a frame, 480 points", f"{v['stream median drawing ms']:.1f} ms",
         "not connected, no points", f"{v['unconnected median drawing ms']:.1f} ms",
         ratio(v["stream median drawing ms"], v["unconnected median drawing ms"])],
        ["GUI thread CPU, 480 points", f"{cpu(v, 'stream', 'gui'):.1f} %", "not connected, no points",
         f"{cpu(v, 'unconnected', 'gui'):.1f} %", ratio(cpu(v, "stream", "gui"), cpu(v, "unconnected", "gui"))],
        ["Whole process CPU (llvmpipe renders on its own threads), 480 points",
         f"{v['stream process cpu percent']:.1f} %", "not connected",
         f"{v['unconnected process cpu percent']:.1f} %",
         ratio(v["stream process cpu percent"], v["unconnected process cpu percent"])],
    ]
    for stretch, label in (("idle line", "idle line"), ("stream", "1,500,000 baud stream")):
        for role in ("grabber", "handler"):
            rows.append([f"{role.capitalize()} CPU, {label}", f"{cpu(v, stretch, role):.2f} %",
                         "busy-polling build", f"{cpu(busy, stretch, role):.2f} %",
                         f"{cpu(busy, stretch, role) / max(cpu(v, stretch, role), 0.01):,.0f}× less"])
    rows.append(["Resident memory, 480 points streaming", f"{v['stream rss kib'] / 1024:.1f} MiB",
                 "not connected", f"{v['unconnected rss kib'] / 1024:.1f} MiB",
                 ratio(v["stream rss kib"], v["unconnected rss kib"])])
    idle, idle_busy = link["IdleWorkersCpu"], link_busy["IdleWorkersCpu"]
    stop, stop_busy = link["StopAcknowledge"], link_busy["StopAcknowledge"]
    rows.append(["Both workers on an idle fake line (link_bench IdleWorkersCpu)",
                 f"{idle['cpu_percent_of_one_core']:.2f} %", "busy-polling build",
                 f"{idle_busy['cpu_percent_of_one_core']:.1f} %",
                 f"{idle_busy['cpu_percent_of_one_core'] / max(idle['cpu_percent_of_one_core'], 0.01):,.0f}× less"])
    rows.append(["Disconnect until both workers parked (mean / longest of 100)",
                 f"{seconds(stop, 'real_time') * 1e3:.1f} / {stop['longest_ms']:.1f} ms", "busy-polling build",
                 f"{seconds(stop_busy, 'real_time') * 1e3:.1f} / {stop_busy['longest_ms']:.1f} ms",
                 f"{seconds(stop, 'real_time') / seconds(stop_busy, 'real_time'):,.1f}× longer"])
    return ("CPU in per cent of one core, over " + f"{int(v.get('seconds', 5))}" + " s stretches; the busy-polling "
            "build (-DQUARVIS_BUSY_POLL=ON, build-bench-busy/) is measured the same way in the same run.\n\n"
            + table(["What", "Quarvis", "Baseline", "Baseline figure", "Ratio"], rows))


def section_capture(capture):
    bare, index = capture["ReadCaptureBare"], capture["IndexCapture"]
    lookup, seek, play = capture["FrameAtTimeIn4GiB"], capture["SeekUntilDecoded"], capture["PlayTenSecondsAtOneX"]
    four_gib = 4 * 2**30
    rows = [
        ["Index a capture (background thread)", f"{rate(index) / 1e6:,.0f} MB/s",
         f"{four_gib / rate(index):,.1f} s for 4 GiB", "a bare read of the same file in the same chunks",
         f"{rate(bare) / 1e6:,.0f} MB/s", ratio(rate(index), rate(bare))],
        ["Slider: the frame due at a time, index of a 4 GiB capture", fmt_time(seconds(lookup)), "", "", "", ""],
        ["Seek: from the slider's frame to its points decoded", fmt_time(seconds(seek)), "", "", "", ""],
    ]
    return (table(["What", "Ours (CPU)", "", "Baseline", "Baseline (CPU)", "Ratio"], rows)
            + f"\n\nPaced by the sensor's clock: {play['sensor_seconds']:.2f} s of capture played at 1x on the steady clock "
            f"in {play['played_seconds']:.3f} s ({play['error_percent']:+.2f} %).")


def section_idle(idle):
    rows = [
        ["Whole-process CPU, started and left alone (nothing connected, no input)",
         f"{idle['idle viewer cpu percent']:.2f} %", "pcl_viewer showing a 480-point cloud",
         f"{idle['idle pcl_viewer cpu percent']:.2f} %",
         ratio(idle["idle viewer cpu percent"], idle["idle pcl_viewer cpu percent"])],
        [f"Frames drawn while quarvis-sim streams {int(idle['stream frames sent'])} frames at "
         f"{int(idle['stream baud']):,} baud ({idle['stream seconds']:.0f} s, no input)",
         f"{int(idle['stream frames drawn'])}", "frames received (good frames decoded)",
         f"{int(idle['stream frames received'])}",
         ratio(idle["stream frames drawn"], idle["stream frames received"])],
    ]
    return (f"CPU in per cent of one core over the same {idle['idle seconds']:.0f} s, both programs on one Xvfb "
            "display. Goals: the idle viewer within 3× of pcl_viewer; no more frames drawn than received.\n\n"
            + table(["What", "Quarvis", "Baseline", "Baseline figure", "Ratio"], rows))


def section_chooser(chooser):
    rows = []
    for name, label in (("BM_ListingOnDirectoryChange", "Listing on a directory change"),
                        ("BM_DialogFrame", "One dialog frame (rows in view only)")):
        small, large = chooser[f"{name}/1000"], chooser[f"{name}/20000"]
        rows.append([label, fmt_time(seconds(small)), fmt_time(seconds(large)),
                     ratio(seconds(large), seconds(small)), ratio(seconds(large) * 1e3, REFRESH_PERIOD_MS)])
    return table(["What", "1,000 files (CPU)", "20,000 files (CPU)", "20,000 against 1,000",
                  "20,000 files against a 60 Hz frame"], rows)


def main():
    results, document = Path(sys.argv[1]), Path(sys.argv[2])
    meta = json.loads((results / "meta.json").read_text())
    link = load_benchmarks(results / "link.json")
    link_busy = load_benchmarks(results / "link-busy.json")
    record = load_benchmarks(results / "record.json")
    chooser = load_benchmarks(results / "filechooser.json")
    capture = load_benchmarks(results / "capture.json")
    viewer = viewer_figures(results / "viewer.txt")
    viewer["seconds"] = meta["viewer_seconds"]
    viewer_busy = viewer_figures(results / "viewer-busy.txt")
    decode = viewer_figures(results / "decode.txt")
    mcap = viewer_figures(results / "mcap.txt")
    python = viewer_figures(results / "python.txt")
    recording = viewer_figures(results / "recording.txt")
    idle = viewer_figures(results / "idle.txt")
    sections = {
        "run": section_run(meta),
        "throughput": section_throughput(link),
        "decode": section_decode(decode),
        "mcap": section_mcap(mcap),
        "python": section_python(python),
        "rows": section_rows(record),
        "recording": section_recording(recording),
        "large": section_large(record),
        "viewer": section_viewer(viewer, viewer_busy, link, link_busy),
        "idle": section_idle(idle),
        "chooser": section_chooser(chooser),
        "capture": section_capture(capture),
        "bridge": (results / "bridge.md").read_text().rstrip("\n"),  # bridge_load prints its table
    }
    text = document.read_text()
    for name, body in sections.items():
        pattern = re.compile(rf"(<!-- bench\.sh:{name} -->\n).*?(\n<!-- /bench\.sh:{name} -->)", re.S)
        if not pattern.search(text):
            sys.exit(f"bench_report.py: no bench.sh:{name} markers in {document}")
        text = pattern.sub(lambda m: m.group(1) + body + m.group(2), text)
    document.write_text(text)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Mutation run: applies one-line faults to the product code one at a time, rebuilds the unit and GUI
tests incrementally, runs them (and, for a fault they miss, the end-to-end tests it names), and prints
which faults no test caught.

Each fault names a file, a function and a piece of text inside that function's body, so it still
applies when code moves within or between lines. A fault whose text is no longer found is reported as
stale (the code changed: rewrite the fault), never silently skipped.

    python3 scripts/mutate.py [--only PATTERN] [--list] [--who]

Works on a copy of the tree in build-mutate/ (its own build folder inside), so the checkout is never
touched. --who runs every unit and GUI test against each fault (slower) and names the tests that caught it: the
way to tell which tests no fault needs. Exit status: 0 when every applicable fault was caught, 1
otherwise.
"""
import argparse, os, re, shutil, subprocess, sys, time

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.path.join(TOP, "build-mutate")
COPY = os.path.join(WORK, "tree")
BUILD = os.path.join(WORK, "build")

# (id, file, function, text, replacement[, end-to-end tests]). The first occurrence of `text` inside
# the body of `function` becomes `replacement`. A fault whose behaviour is checked only with the real
# viewer or tools names those end-to-end tests (a ctest regex); they run, after a full build, when no
# unit or GUI test caught it.
FAULTS = [
    # Sensor link: synchroniser, hand-over, decoding, statistics, wire format, serial port.
    ("sync-size", "src/link/synchroniser.cpp", "readSizeStep", "size != frameSizeField", "size != frameSizeField + 1"),
    ("sync-split-field", "src/link/synchroniser.cpp", "takeField", "offset + sync.fieldIndex", "offset"),
    ("sync-checksum-compare", "src/link/synchroniser.cpp", "", "== sync.computedSum", "!= sync.computedSum"),
    ("sync-pattern-byte", "src/link/link.h", "", "0x5A, 0xA5, 0x5A, 0xA5", "0x5A, 0xA5, 0x5A, 0xA4"),
    ("sync-lost-count", "src/link/synchroniser.cpp", "", "increment(counterLostSyncs)", "increment(counterGoodSyncs)"),
    ("sync-good-count", "src/link/synchroniser.cpp", "", "increment(counterGoodFrames)", "increment(counterTotalBytes)"),
    ("sync-size-error-count", "src/link/synchroniser.cpp", "", "increment(counterSizeErrors)", "increment(counterLostSyncs)"),
    ("sync-reset-synced", "src/link/synchroniser.cpp", "Synchroniser::reset", "syncedOnce = false", "syncedOnce = true"),
    ("handover-overrun", "src/link/grabber.cpp", "handOverFrame", "!= nullptr", "== nullptr"),
    ("handover-count", "src/link/grabber.cpp", "handOverFrame", "increment(counterOverruns)", "increment(counterGoodFrames)"),
    ("decode-offset", "src/link/handler.cpp", "decodeFrame", "record + pointFieldOffset(0, 0)", "record + pointFieldOffset(0, 0) + 2"),
    ("decode-scale", "src/link/handler.cpp", "decodeFrame", "/ millimetresPerMetre", "/ 100.0f"),
    ("decode-sign", "src/link/handler.cpp", "decodeFrame", "static_cast<int16_t>", "static_cast<uint16_t>"),
    ("handler-mailbox", "src/link/handler.cpp", "handlerRunPass", "readyFrame.store(nullptr", "readyFrame.store(buffer"),
    ("stats-reset", "src/link/link_statistics.cpp", "LinkStatistics::reset", "i < linkStatisticCount", "i < counterOverruns"),
    ("wire-checksum-range", "src/link/wire_format.cpp", "frameChecksum", "i = sequenceOffset", "i = sizeOffset"),
    ("wire-le-read", "src/link/link.h", "readLittleEndian", "<< (8 * i)", "<< (7 * i)"),
    ("serial-parity", "src/link/serial_link.cpp", "configurePort", "SP_PARITY_NONE", "SP_PARITY_EVEN"),
    ("serial-lost", "src/link/serial_link.cpp", "serialLost", "!= SP_OK", "== SP_OK"),
    ("enumerate-free", "src/link/serial_link.cpp", "enumeratePorts", "sp_free_port_list(list)", "(void)0"),
    ("cloud-seqlock", "src/link/point_cloud.cpp", "Link::readLatest", "== before", ">= before"),
    ("workers-run-stop", "src/app/workers.cpp", "WorkerPair::workerAction", "flags(which).stopRequest ? stateStop : stateRun", "stateRun"),
    ("workers-start-clear", "src/app/workers.cpp", "WorkerPair::start", "f->stopped = false", "f->stopped = true"),
    ("workers-atexit", "src/link/link_workers.cpp", "firstLink", "std::atexit(shutDownAtExit)", "(void)0"),
    ("workers-parked-stop", "src/app/workers.cpp", "WorkerPair::parkedAction", "own.stopped = true", "(void)0"),
    ("grabber-fail-wait", "src/link/grabber.cpp", "grabberRunBatch", "count < 0 && !busyPoll", "false"),
    ("handler-stop-wait", "src/link/handler.cpp", "handlerRunPass", "&& !leaving", ""),
    ("serial-release", "src/link/serial_link.cpp", "serialClose", "sp_free_port(link.port)", "(void)0"),
    ("serial-config-close", "src/link/serial_link.cpp", "serialOpen", "sp_close(port)", "(void)0"),
    ("demo-rate", "src/link/demo_port.cpp", "demoOpen", "baudRate <= 0", "baudRate < 0"),
    ("demo-read-limit", "src/link/demo_port.cpp", "demoRead", "std::min<uint64_t>(due, maxBytes)", "due"),
    ("sim-garbage-lost", "src/link/sim.cpp", "simNextUnit", "if (sim.inFrameAtBoundary) ++", "++"),
    ("sim-size-boundary", "src/link/sim.cpp", "simNextUnit", "= kind != simFaultSize", "= true"),
    ("sim-clock-carry", "src/link/sim.cpp", "encodeNextFrame", "elapsed % microsPerSecond", "elapsed % (2 * microsPerSecond)"),
    # Recording files: number format, rows, scenes, truncation after an error.
    ("csv-separator", "src/record/csv_format.cpp", "appendRecordingRow", "','", "';'"),
    ("csv-header-names", "src/record/csv_format.cpp", "appendRecordingHeader", "roll,pitch,yaw", "roll,pitch,yaw,"),
    ("csv-number-precision", "src/record/csv_format.cpp", "appendNumber", "significantDigits", "significantDigits + 1"),
    ("csv-scene-empty-line", "src/record/csv_format.cpp", "appendScene", "'\\n'", "' '"),
    ("csv-parse-count", "src/record/csv_format.cpp", "parseRecordingRow", "pointsPerFrame", "(pointsPerFrame - 1)"),
    ("writer-truncate", "src/record/writer.cpp", "endRecordingFailed", "(void)::ftruncate(recordingState.file, static_cast<off_t>(recordingState.committedBytes))", "(void)0",
     "e2e.test_record"),
    ("writer-scene-suffix", "src/record/writer.cpp", "createStampedFile", "O_EXCL", "O_TRUNC"),
    ("stamp-format", "src/record/writer.cpp", "makeTimestamp", "%Y%m%d-%H%M%S", "%Y%m%d_%H%M%S"),
    ("stamp-local-time", "src/record/writer.cpp", "makeTimestamp", "::localtime_r(&now, &local)", "::gmtime_r(&now, &local)"),
    ("writer-active-after-fail", "src/record/writer.cpp", "beginRecording", "recordingActive = true", "recordingActive = false"),
    # Replay: classification, seek, end, bad rows.
    ("replay-scene-limit", "src/record/replay.cpp", "firstLineIsScene", "readLine(line, sceneLineLimit)", "readLine(line, sceneLineLimit - 1)"),
    ("replay-seek-clamp", "src/record/replay.cpp", "seekReplayRow", "0, r.rowCount", "0, r.rowCount + 1"),
    ("replay-header-skip", "src/record/replay.cpp", "advanceReplay", "r.headerPending = false", "r.headerPending = true"),
    ("replay-end-empty-line", "src/record/replay.cpp", "advanceReplay", "r.lineBuffer.empty()", "false"),
    ("replay-pause-hold", "src/record/replay.cpp", "advanceReplay", "!r.playing && !r.stopRequested", "false"),
    ("replay-bad-row", "src/record/replay.cpp", "showRow", "++r.rowsSkipped", "(void)0"),
    ("replay-stop-button", "src/ui/record_panel.cpp", "drawReplayControls", "replay.stopRequested = true", "(void)0"),
    # View: camera, scene.
    ("camera-drag-sign", "src/view/camera.cpp", "applyDrag", "-=", "+="),
    ("camera-pitch-clamp", "src/view/camera.cpp", "applyDrag", "std::clamp(plotter.verticalAngle, -pitchLimit, pitchLimit)", "plotter.verticalAngle"),
    ("camera-key-ground", "src/view/camera.cpp", "applyKeys", "-= ground", "+= ground"),
    ("camera-focus", "src/view/camera.cpp", "applyCameraInput", "panelFocused", "showViewPanel"),
    ("camera-zoom-in", "src/view/camera.cpp", "zoom", "1.0f - zoomShare", "1.0f + zoomShare", "e2e.test_window"),
    ("camera-orbit-anchor", "src/view/camera.cpp", "orbit", "plotter.dragAnchor + turn *", "plotter.position + 0.0f *",
     "e2e.test_window"),
    ("camera-home", "src/view/camera.cpp", "applyCameraInput", "input.keys[keyHome] || ", "", "e2e.test_window"),
    ("scene-grid-cells", "src/view/scene.cpp", "fineGridCells", "50", "40"),
    ("scene-points-valid", "src/view/scene.cpp", "drawPoints", "frame.valid[p] == 0", "frame.valid[p] != 0"),
    ("scene-axis-start", "src/view/scene.cpp", "drawAxes", "xAxisStart", "0"),
    ("colour-name-fold", "src/view/colors.cpp", "normalizeColorName", "std::tolower(c)", "c"),
    ("plotter-vertex-colour", "src/view/plotter.cpp", "addVertices", "object->color[component]", "object->color[0]"),
    ("plotter-clear", "src/view/plotter.cpp", "clearObject", "object->count = 0", "(void)0"),
    ("frame-rest", "src/main/frame_loop.cpp", "frameRestSeconds", "elapsedSeconds < period", "false"),
    ("frame-rest-unknown-rate", "src/main/frame_loop.cpp", "frameRestSeconds", "refreshHz > 0", "refreshHz >= 0"),
    ("quiet-steady", "src/main/frame_loop.cpp", "secondsBeforeNextFrame", "needs.steady || ", ""),
    ("quiet-shown-state", "src/ui/gui_activity.cpp", "guiActivity", " || state != lastShownState", ""),
    ("quiet-modal-fade", "src/ui/gui_activity.cpp", "imguiSettling", "g.DimBgRatio < 1.0f", "false"),
    ("quiet-notice", "src/ui/gui_activity.cpp", "guiActivity", "now <= screenshotNotice.shownUntil", "false"),
    # Raw capture: the ring, the writer, its ends; the capture's index and paced replay.
    ("capture-ring-full", "src/link/capture_tap.cpp", "pushBytes", "tap.capacity - (pushed - taken) < headerBytes + count", "tap.capacity < headerBytes + count"),
    ("capture-ring-wrap", "src/link/capture_tap.cpp", "copyIn", "bytes + first, count - first", "bytes, count - first"),
    ("capture-short-write", "src/record/capture.cpp", "writeSpan", "size -= static_cast<size_t>(written)", "size = 0"),
    ("capture-last-drain", "src/record/capture.cpp", "writerThread", "!drainTap(*capture) || finishing", "finishing || !drainTap(*capture)"),
    ("capture-overflow", "src/record/capture.cpp", "mustEnd", "captureTapOverflowed()", "false"),
    ("capture-port-lost", "src/record/capture.cpp", "mustEnd", "link.portLost ? CaptureEnd::portLost : CaptureEnd::saved", "CaptureEnd::saved"),
    ("capture-empties-early", "src/record/capture.cpp", "endCapture", "if (!capture.keepUntouched) emptyFileOnce(capture)", "emptyFileOnce(capture)"),
    ("capture-deleted", "src/record/capture.cpp", "fileDeleted", "status.st_nlink == 0", "false"),
    ("capture-onto-replayed", "src/record/capture.cpp", "isReplayedCapture", "written.st_ino == replayed.st_ino", "false"),
    ("capture-index-gap", "src/link/capture_index.cpp", "next", "std::min<uint64_t>(stamp - lastStamp, longestFrameGapMicros)", "stamp - lastStamp"),
    ("capture-index-carry", "src/link/capture_index.cpp", "indexCapture", "if (lastChunk) at = held;", "at = held;"),
    ("capture-frame-at", "src/link/capture_index.cpp", "captureFrameAt", "micros < frame.playMicros", "micros <= frame.playMicros"),
    ("capture-speed", "src/link/capture_port.cpp", "microsUntilDue", "/ source.speedSeen", "/ 1.0"),
    # Point-cloud exports.
    ("export-valid-only", "src/record/point_export.cpp", "appendCloudFile", "frame.valid[p] == 0", "false"),
    ("export-ply-count", "src/record/point_export.cpp", "appendPlyHeader", "std::to_string(points)", "std::to_string(pointsPerFrame)"),
    ("export-pcd-binary", "src/record/point_export.cpp", "appendPcdHeader", "DATA binary", "DATA ascii"),
    ("export-float-bytes", "src/record/point_export.cpp", "appendFloatLittleEndian", "bytes), floatBytes", "bytes), floatBytes - 1"),
    # Settings kept between runs.
    ("settings-comment", "src/main/settings.cpp", "parseSettings", "content[0] == '#'", "false"),
    ("settings-colour-bounds", "src/main/settings.cpp", "readColour", "colour[i] > 1.0f", "colour[i] > 255.0f"),
    ("settings-switch", "src/main/settings.cpp", "readSwitch", "out = value == \"true\"", "out = true"),
    ("settings-xdg", "src/main/settings.cpp", "settingsFolder", "config != nullptr && config[0] == '/'", "false"),
    ("settings-replace", "src/main/settings.cpp", "saveSettings", "::rename(temporary.c_str(), path.c_str()) == 0", "true"),
    ("settings-save-rest", "src/main/settings.cpp", "keepSettings", "now - keeper.changedAt >= settingsSaveDelaySeconds", "false"),
    # The connection chosen in the last run.
    ("connection-remembered-port", "src/ui/connection_panel.cpp", "preselectRememberedPort",
     "portList[i] != panel.connectedPort", "false"),
    # File chooser path rules.
    ("path-join", "src/filechooser/path_names.cpp", "joinPath", "directory.back() == separator", "false"),
    ("path-parse-root", "src/filechooser/path_names.cpp", "parsePathName", "slash == 0", "slash == 1"),
    ("path-typed-slash", "src/filechooser/path_names.cpp", "typedFileName", "rfind", "find"),
    ("path-compose", "src/filechooser/path_names.cpp", "composePath", "<=", "<"),
    ("dir-root-parent", "src/filechooser/directory_reader.cpp", "openReader", "absolute != rootPath", "true"),
    ("dir-dangling-link", "src/filechooser/directory_reader.cpp", "typeOf", "entry.exists(error) ? ' ' : 'l'", "' '"),
    ("dir-absolute-slash", "src/filechooser/directory_reader.cpp", "absolutePath", "normal.size() > 1", "false"),
    ("mount-unescape", "src/filechooser/directory_reader.cpp", "unescapeMountField", "i += 3", "i += 2"),
    ("mount-system-tree", "src/filechooser/directory_reader.cpp", "insideSystemTree", "mountPoint[tree.size()] == '/'", "true"),
]


def function_bodies(text, function):
    """(start, end) of each brace-delimited body after `function(...)`: the definition, and any call
    heading a block (`if (function(x)) {`); all of the text for ''."""
    if not function:
        yield 0, len(text)
        return
    for match in re.finditer(r"\b%s\s*\([^;{]*\)\s*(const\s*)?\{" % re.escape(function), text):
        depth = 0
        for i in range(match.end() - 1, len(text)):
            if text[i] == "{":
                depth += 1
            elif text[i] == "}":
                depth -= 1
                if depth == 0:
                    yield match.end() - 1, i + 1
                    break


def apply(fault):
    path, function, old, new = fault[1:5]
    full = os.path.join(COPY, path)
    with open(full) as f:
        text = f.read()
    for start, end in function_bodies(text, function):
        at = text.find(old, start, end)
        if at >= 0:
            with open(full, "w") as f:
                f.write(text[:at] + new + text[at + len(old):])
            return text
    return None


def failing_tests(command, timeout):
    """Runs ctest and returns the names of the tests that failed (empty when all passed)."""
    try:
        out = subprocess.run(command, cwd=BUILD, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                             timeout=timeout).stdout
    except subprocess.TimeoutExpired:
        return ["(timed out)"]
    tail = out.split("The following tests FAILED:")
    return re.findall(r"^\s*\d+ - (\S+)", tail[1], re.M) if len(tail) > 1 else []


def run(command, timeout):
    try:
        return subprocess.run(command, cwd=BUILD, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return -1


def sync_copy():
    """Mirrors the sources into the copy, touching only files whose content differs (so the copy's
    build stays incremental)."""
    wanted = set()
    for name in ("CMakeLists.txt", "README.md", "src", "tools", "tests", "scripts", "fuzz", "packaging",
                 "third_party"):
        source = os.path.join(TOP, name)
        paths = [source] if os.path.isfile(source) else [os.path.join(d, f) for d, _, fs in os.walk(source) for f in fs]
        for path in paths:
            relative = os.path.relpath(path, TOP)
            target = os.path.join(COPY, relative)
            wanted.add(target)
            with open(path, "rb") as f:
                data = f.read()
            if os.path.exists(target):
                with open(target, "rb") as f:
                    if f.read() == data:
                        continue
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(path, target)
    for directory, _, files in os.walk(COPY):
        for f in files:
            if os.path.join(directory, f) not in wanted:
                os.remove(os.path.join(directory, f))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", help="run only the faults whose id matches this regular expression")
    parser.add_argument("--list", action="store_true", help="list the faults and whether each still applies")
    parser.add_argument("--who", action="store_true", help="run every test against each fault and name those that fail")
    args = parser.parse_args()
    faults = [f for f in FAULTS if not args.only or re.search(args.only, f[0])]
    sync_copy()
    if args.list:
        for fault in faults:
            original = apply(fault)
            print("%-28s %s" % (fault[0], "applies" if original is not None else "STALE"))
            if original is not None:
                with open(os.path.join(COPY, fault[1]), "w") as f:
                    f.write(original)
        return 0
    os.makedirs(BUILD, exist_ok=True)
    subprocess.run(["cmake", "-S", COPY, "-B", BUILD, "-G", "Ninja", "-DQUARVIS_WERROR=OFF"], check=True,
                   stdout=subprocess.DEVNULL)
    targets = ["--target", "quarvis_unit_tests", "quarvis_gui_tests"]
    if run(["cmake", "--build", ".", "-j", str(os.cpu_count())] + targets, 1800) != 0:
        sys.exit("mutate: the unmutated tree does not build")
    test = ["ctest", "-L", "unit|gui", "-j", str(os.cpu_count()), "--timeout", "60", "--stop-on-failure"]
    if run(test, 900) != 0:
        sys.exit("mutate: the unmutated tree fails its tests")
    # An end-to-end test that fails anyway (a missing tool, a file the copy lacks) would pass any fault.
    end_to_end = sorted({f[5] for f in faults if len(f) > 5})
    if end_to_end and (run(["cmake", "--build", "."], 1800) != 0 or
                       run(["ctest", "-R", "|".join(end_to_end), "--timeout", "300"], 1800) != 0):
        sys.exit("mutate: the unmutated tree fails its end-to-end tests " + " ".join(end_to_end))
    killed, survived, stale, broken = [], [], [], []
    built_all = False
    started = time.time()
    for fault in faults:
        original = apply(fault)
        if original is None:
            stale.append(fault[0])
            print("%-28s STALE (text not found in %s %s)" % (fault[0], fault[1], fault[2]), flush=True)
            continue
        try:
            if run(["cmake", "--build", "."] + targets, 900) != 0:
                broken.append(fault[0])
                verdict = "does not build"
            elif args.who and (caught_by := failing_tests([t for t in test if t != "--stop-on-failure"], 1800)):
                killed.append(fault[0])
                verdict = "caught by " + " ".join(caught_by)
            elif not args.who and run(test, 900) != 0:
                killed.append(fault[0])
                verdict = "caught"
            elif len(fault) > 5 and run(["cmake", "--build", "."], 1800) == 0 and \
                    (built_all := True) and run(["ctest", "-R", fault[5], "--timeout", "300"], 1800) != 0:
                killed.append(fault[0])
                verdict = "caught by " + fault[5]
            else:
                survived.append(fault[0])
                verdict = "SURVIVED"
        finally:
            with open(os.path.join(COPY, fault[1]), "w") as f:
                f.write(original)
        print("%-28s %s" % (fault[0], verdict), flush=True)
    run(["cmake", "--build", "."] + ([] if built_all else targets), 1800)
    applicable = len(killed) + len(survived)
    print("\nfaults: %d, caught %d, survived %d, stale %d, not building %d; score %d/%d (%.0f%%) in %.0f s"
          % (len(faults), len(killed), len(survived), len(stale), len(broken), len(killed), applicable,
             100.0 * len(killed) / max(applicable, 1), time.time() - started))
    if survived:
        print("survived: " + " ".join(survived))
    if stale:
        print("stale: " + " ".join(stale))
    return 0 if not survived else 1


if __name__ == "__main__":
    sys.exit(main())

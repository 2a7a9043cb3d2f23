// The replay reader: loads scenes and replays recordings, one row per GUI frame, into the point
// array. The record panel opens files, plays, pauses, stops and moves the slider; the frame loop
// advances it every frame through advanceReplay. GUI thread only.
//
// Contents: line reading over a window of the file; opening (classification, scene loading, the
// row count and the index of line offsets); slider moves; the per-frame step.
//
// Offsets and row numbers are 64-bit, so recordings of any size replay. Opening counts the rows and
// notes where lines start, so a slider move is one seek, whatever the file's size.
#include "record/record.h"

#include "app/app.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

// Process-wide mutable state of the reader.
ReplayState replayState;

namespace {

constexpr int64_t readWindowBytes = 1 << 16;
constexpr int64_t countChunkBytes = 1 << 20;
// Index entries kept at most; beyond it every second entry goes and the stride doubles (only a file
// of millions of short lines gets there: real rows are kilobytes long).
constexpr size_t indexEntryLimit = size_t(1) << 20;

enum class LineRead { line, tooLong, endOfFile };

// Makes the byte at readPosition part of the window. False at the end of the file or on a read error.
bool fillWindow() {
    ReplayState& r = replayState;
    if (r.readPosition >= r.readBufferStart && r.readPosition < r.readBufferStart + r.readBufferLength) return true;
    r.readBuffer.resize(readWindowBytes);
    ssize_t got;
    do {
        got = ::pread(r.file, r.readBuffer.data(), readWindowBytes, static_cast<off_t>(r.readPosition));
    } while (got < 0 && errno == EINTR);
    r.readBufferStart = r.readPosition;
    r.readBufferLength = got > 0 ? got : 0;
    return got > 0;
}

// Reads the line at readPosition into `out` (without its line end) and moves past it. A line longer
// than longestReplayLine is passed over and comes back empty as tooLong.
LineRead readLine(std::string& out) {
    ReplayState& r = replayState;
    out.clear();
    bool any = false;
    bool tooLong = false;
    while (fillWindow()) {
        any = true;
        const char* start = r.readBuffer.data() + (r.readPosition - r.readBufferStart);
        const int64_t available = r.readBufferStart + r.readBufferLength - r.readPosition;
        const char* end = static_cast<const char*>(std::memchr(start, '\n', static_cast<size_t>(available)));
        const int64_t taken = end != nullptr ? end - start : available;
        if (!tooLong && static_cast<int64_t>(out.size()) + taken > longestReplayLine) {
            tooLong = true;
            out.clear();
        }
        if (!tooLong) out.append(start, static_cast<size_t>(taken));
        r.readPosition += taken;
        if (end != nullptr) {
            ++r.readPosition;
            break;
        }
    }
    if (!any) return LineRead::endOfFile;
    return tooLong ? LineRead::tooLong : LineRead::line;
}

void closeFile() {
    if (replayState.file >= 0) ::close(replayState.file);
    replayState.file = -1;
    replayState.readBufferLength = 0;
}

bool isBlank(const std::string& line) {
    return std::all_of(line.begin(), line.end(), [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); });
}

// Scene: one point per line from byte 0. Blank lines are passed over (a stream skips them too);
// points without a line that parses are marked not valid rather than drawn from stale values.
void loadScene() {
    ReplayState& r = replayState;
    PointFrame scene{};
    r.readPosition = 0;
    int point = 0;
    std::string& line = r.lineBuffer;
    for (LineRead got = readLine(line); got != LineRead::endOfFile && point < pointsPerFrame; got = readLine(line)) {
        if (got == LineRead::line && isBlank(line)) continue;
        float xyz[3] = {0.0f, 0.0f, 0.0f};
        const bool parsed = got == LineRead::line && parseSceneLine(line.data(), line.data() + line.size(), xyz);
        scene.valid[point] = parsed ? 1 : 0;
        if (parsed) std::copy(xyz, xyz + 3, scene.xyz[point]);
        ++point;
    }
    r.frame = scene;
    publishPointCloud(scene);
}

// Counts the line ends after the header line (ending at `headerEnd`) and notes where lines start:
// lineOffsets[k] is the start of line k × lineStride.
void indexRows(int64_t headerEnd) {
    ReplayState& r = replayState;
    r.lineOffsets.assign(1, 0);
    r.lineStride = 1;
    r.rowCount = 0;
    std::vector<char> chunk(countChunkBytes);
    int64_t offset = headerEnd;
    int64_t line = 1;  // the line that starts at `offset`
    if (headerEnd > 0) r.lineOffsets.push_back(headerEnd);
    for (;;) {
        // A hole reads as zeros and holds no line end: jump over it.
        const off_t data = ::lseek(r.file, static_cast<off_t>(offset), SEEK_DATA);
        if (data < 0 && errno == ENXIO) break;
        if (data > offset) offset = data;
        ssize_t got = ::pread(r.file, chunk.data(), countChunkBytes, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        const char* at = chunk.data();
        const char* end = at + got;
        while ((at = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)))) != nullptr) {
            ++at;
            ++r.rowCount;
            ++line;
            if (line % r.lineStride != 0) continue;
            r.lineOffsets.push_back(offset + (at - chunk.data()));
            if (r.lineOffsets.size() < indexEntryLimit) continue;
            for (size_t k = 0; 2 * k < r.lineOffsets.size(); ++k) r.lineOffsets[k] = r.lineOffsets[2 * k];
            r.lineOffsets.resize((r.lineOffsets.size() + 1) / 2);
            r.lineStride *= 2;
        }
        offset += got;
    }
}

// The start of line `line` (0 the header): one index entry, then fewer than lineStride lines.
int64_t lineStart(int64_t line) {
    ReplayState& r = replayState;
    const int64_t entry = std::min<int64_t>(line / r.lineStride, static_cast<int64_t>(r.lineOffsets.size()) - 1);
    r.readPosition = r.lineOffsets[static_cast<size_t>(entry)];
    for (int64_t skip = line - entry * r.lineStride; skip > 0; --skip)
        if (readLine(r.lineBuffer) == LineRead::endOfFile) break;
    return r.readPosition;
}

// The end of the replay: "File End!" opens; the file is reopened and held at its start next frame.
void endReplay() {
    ReplayState& r = replayState;
    closeFile();
    r.playing = false;
    r.rowCount = 0;
    r.headerPending = true;
    r.stopRequested = false;
}

void showRow(const std::string& line) {
    ReplayState& r = replayState;
    PointFrame row = r.frame;
    if (!parseRecordingRow(line.data(), line.data() + line.size(), row)) {
        ++r.rowsSkipped;
        return;
    }
    r.frame = row;
    publishPointCloud(row);
}

}  // namespace

bool openReplay(const std::string& path) {
    const int file = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) return false;
    struct stat status {};
    // A device or a pipe has no end to count rows to.
    if (::fstat(file, &status) != 0 || !S_ISREG(status.st_mode)) {
        ::close(file);
        return false;
    }
    ReplayState& r = replayState;
    closeFile();
    r.file = file;
    r.replayPath = path;
    r.readPosition = 0;
    r.rowsSkipped = 0;
    const LineRead first = readLine(r.lineBuffer);
    if (first == LineRead::endOfFile || (first == LineRead::line && r.lineBuffer.size() <= sceneLineLimit)) {
        loadScene();
        closeFile();
        r.playing = false;
        r.rowCount = 0;
        return true;
    }
    indexRows(r.readPosition);
    r.readPosition = 0;
    r.rowPosition = 0;
    r.headerPending = true;
    r.stopRequested = false;
    r.playRow = 0;
    r.previousRow = 0;
    appState.replayActive = true;
    return true;
}

void seekReplayRow(int64_t row) {
    ReplayState& r = replayState;
    if (r.file < 0) return;
    row = std::clamp<int64_t>(row, 0, r.rowCount);
    if (row == 0) {
        r.readPosition = 0;
        readLine(r.lineBuffer);
        r.playRow = 0;
    } else {
        lineStart(row);
    }
    r.rowPosition = r.readPosition;
    r.headerPending = false;  // the file stands past the header: the next line consumed is a row
    r.previousRow = row;
}

bool replayFileOpen() { return replayState.file >= 0; }

bool advanceReplay() {
    ReplayState& r = replayState;
    if (!appState.replayActive) {
        if (r.file >= 0) {
            closeFile();
            r.playing = false;
            r.rowCount = 0;
        }
        return false;
    }
    if (r.file < 0) {
        // Ended: held at the start until "File End!" is dismissed; a failed reopen is tried again.
        const int file = ::open(r.replayPath.c_str(), O_RDONLY | O_CLOEXEC);
        if (file >= 0) {
            r.file = file;
            r.readPosition = 0;
            r.readBufferLength = 0;
        }
        return false;
    }
    r.rowPosition = r.readPosition;
    const LineRead got = readLine(r.lineBuffer);
    if (got == LineRead::endOfFile || (got == LineRead::line && r.lineBuffer.empty()) || r.stopRequested) {
        endReplay();
        return true;
    }
    if (r.playing) {
        if (r.headerPending) {
            r.playRow = 0;
            r.headerPending = false;
        } else {
            showRow(r.lineBuffer);
        }
        ++r.playRow;
        r.previousRow = r.playRow;
    } else {
        r.readPosition = r.rowPosition;
    }
    return false;
}

void dismissReplayEnd() { appState.replayActive = false; }

// The replay reader: loads scenes and replays recordings, one row per GUI frame, into the point
// array. The record panel opens files, plays, pauses, stops and moves the slider; the frame loop
// advances it every frame through advanceReplay. GUI thread only, but for the indexer thread.
//
// Index: Line reading (GUI thread) | The indexer (indexer thread) | Opening, taking the index over,
//        slider moves, the per-frame step and the texts of the pop-ups.
//
// Offsets and row numbers are 64-bit, so recordings of any size replay. Opening notes where lines
// start, on the indexer thread, so a slider move is one seek whatever the file's size. The GUI thread
// never reads more than about one row's worth of the file per frame, and nothing while paused: lines
// too long to be rows are known to the index and passed without reading them, and no buffer outlives
// the call that filled it, so rows cut off by a truncation of the file are not shown from memory.
#include "record/record.h"

#include "app/app.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>

// Process-wide mutable state of the reader.
ReplayState replayState;

namespace {

constexpr int64_t readWindowBytes = 1 << 16;
constexpr int64_t countChunkBytes = 1 << 20;
// Index entries kept at most; beyond it every second entry goes and the stride doubles (only a file
// of millions of short lines gets there: real rows are kilobytes long).
constexpr size_t indexEntryLimit = size_t(1) << 20;
// A scene is 480 short lines; reading one stops after this many bytes, whatever the file holds.
constexpr int64_t sceneReadLimit = 1 << 20;

enum class LineRead { line, tooLong, endOfFile };

// ---- Line reading (GUI thread) ------------------------------------------------------------------

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

// What the window holds may be gone from the file (cut short meanwhile): each call reads afresh.
void forgetWindow() { replayState.readBufferLength = 0; }

// A line the index knows to be too long: readPosition moves past it without reading it.
bool passLongLine() {
    ReplayState& r = replayState;
    const auto& longLines = r.index.longLines;
    const auto found = std::lower_bound(longLines.begin(), longLines.end(), std::make_pair(r.readPosition, int64_t{0}));
    if (found == longLines.end() || found->first != r.readPosition) return false;
    r.readPosition = found->second;
    return true;
}

// Reads the line at readPosition into `out` (without its line end) and moves past it. A line longer
// than `limit` comes back empty as tooLong; when the index does not know it, at most about `limit`
// bytes of it are passed.
LineRead readLine(std::string& out, int64_t limit = longestReplayLine) {
    ReplayState& r = replayState;
    out.clear();
    if (passLongLine()) return LineRead::tooLong;
    bool any = false;
    while (fillWindow()) {
        any = true;
        const char* start = r.readBuffer.data() + (r.readPosition - r.readBufferStart);
        const int64_t available = r.readBufferStart + r.readBufferLength - r.readPosition;
        const char* end = static_cast<const char*>(std::memchr(start, '\n', static_cast<size_t>(available)));
        const int64_t taken = end != nullptr ? end - start : available;
        r.readPosition += taken + (end != nullptr ? 1 : 0);
        if (static_cast<int64_t>(out.size()) + taken > limit) {
            out.clear();
            return LineRead::tooLong;
        }
        out.append(start, static_cast<size_t>(taken));
        if (end != nullptr) break;
    }
    return any ? LineRead::line : LineRead::endOfFile;
}

void closeFile() {
    ReplayState& r = replayState;
    if (r.indexer.joinable()) {
        r.indexCancel = true;
        r.indexer.join();
    }
    r.indexing = false;
    if (r.file >= 0) ::close(r.file);
    r.file = -1;
    forgetWindow();
}

void noteRefusal(const std::string& path, const std::string& problem) {
    ReplayNotice& notice = replayState.notice;
    notice.path = path;
    notice.problem = problem;
    ++notice.serial;
}

bool isBlank(const std::string& line) {
    return std::all_of(line.begin(), line.end(), [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); });
}

// ---- The indexer (indexer thread) -----------------------------------------------------------------

// One pass over a recording on the indexer thread: line starts, long lines, the row count, and
// whether any row parses (lines are parsed only until one does).
struct IndexPass {
    ReplayIndex& index;
    int64_t line = 0;                 // the line being passed
    int64_t lineStart = 0;            // and its start
    bool collecting = false;          // its bytes are kept, to be parsed as a row
    std::string pending;

    void startLine(int64_t offset) {
        lineStart = offset;
        pending.clear();
        collecting = line >= 1 && !index.anyRowReadable;
    }
    // Bytes of the current line (a hole passes zeros).
    void take(const char* bytes, int64_t count) {
        if (!collecting) return;
        if (static_cast<int64_t>(pending.size()) + count > longestReplayLine) {
            collecting = false;
            pending.clear();
            return;
        }
        if (bytes != nullptr) pending.append(bytes, static_cast<size_t>(count));
        else pending.append(static_cast<size_t>(count), '\0');
    }
    // The current line ends before `next` (the start of the line after it, or the end of the file).
    void endLine(int64_t lineEnd, int64_t next) {
        if (line >= 1) index.anyLineAfterHeader = true;
        if (lineEnd - lineStart > longestReplayLine) index.longLines.emplace_back(lineStart, next);
        if (collecting) {
            PointFrame row;
            if (parseRecordingRow(pending.data(), pending.data() + pending.size(), row)) index.anyRowReadable = true;
        }
    }
    void newLineAt(int64_t offset) {
        if (line >= 1) ++index.rowCount;
        ++line;
        startLine(offset);
        if (line % index.lineStride != 0) return;
        index.lineOffsets.push_back(offset);
        if (index.lineOffsets.size() < indexEntryLimit) return;
        for (size_t k = 0; 2 * k < index.lineOffsets.size(); ++k) index.lineOffsets[k] = index.lineOffsets[2 * k];
        index.lineOffsets.resize((index.lineOffsets.size() + 1) / 2);
        index.lineStride *= 2;
    }
};

// Runs on the indexer thread.
void indexRows(ReplayState& r) {
    ReplayIndex& index = r.building;
    index = ReplayIndex{};
    index.lineOffsets.assign(1, 0);
    IndexPass pass{index, 0, 0, false, {}};
    pass.startLine(0);
    std::vector<char> chunk(countChunkBytes);
    int64_t offset = 0;
    while (!r.indexCancel.load(std::memory_order_relaxed)) {
        // A hole reads as zeros and holds no line end: jump over it.
        const off_t data = ::lseek(r.file, static_cast<off_t>(offset), SEEK_DATA);
        if (data < 0 && errno == ENXIO) break;
        if (data > offset) {
            pass.take(nullptr, data - offset);
            offset = data;
        }
        const ssize_t got = ::pread(r.file, chunk.data(), countChunkBytes, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        const char* at = chunk.data();
        const char* end = at + got;
        for (const char* newline; (newline = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)))) != nullptr; at = newline + 1) {
            pass.take(at, newline - at);
            const int64_t lineEnd = offset + (newline - chunk.data());
            pass.endLine(lineEnd, lineEnd + 1);
            pass.newLineAt(lineEnd + 1);
        }
        pass.take(at, end - at);
        offset += got;
        r.indexedBytes.store(offset, std::memory_order_relaxed);
    }
    // The last line, when the file does not end with a line end.
    struct stat status {};
    const int64_t fileEnd = ::fstat(r.file, &status) == 0 ? std::max<int64_t>(status.st_size, offset) : offset;
    if (fileEnd > pass.lineStart) pass.endLine(fileEnd, fileEnd);
    r.indexDone.store(true, std::memory_order_release);
}

// ---- Opening, taking the index over, slider moves, the per-frame step and the texts of the pop-ups

// Scene: one point per line from byte 0. Blank lines are passed over (a stream skips them too);
// points without a line that parses are marked not valid rather than drawn from stale values. False
// when no point parses: the point array is left as it was.
bool loadScene() {
    ReplayState& r = replayState;
    PointFrame scene{};
    r.readPosition = 0;
    int point = 0;
    bool anyPoint = false;
    std::string& line = r.lineBuffer;
    while (point < pointsPerFrame) {
        const LineRead got = readLine(line, sceneReadLimit - r.readPosition);
        if (got != LineRead::line) break;
        if (isBlank(line)) continue;
        float xyz[3] = {0.0f, 0.0f, 0.0f};
        const bool parsed = parseSceneLine(line.data(), line.data() + line.size(), xyz);
        scene.valid[point] = parsed ? 1 : 0;
        if (parsed) std::copy(xyz, xyz + 3, scene.xyz[point]);
        anyPoint |= parsed;
        ++point;
    }
    if (!anyPoint) return false;
    r.frame = scene;
    firstLink().publish(scene);
    return true;
}

// The first line, read no further than a scene's first line may reach: true when it ends within
// sceneLineLimit characters (or the file is empty), which makes the file a scene.
bool firstLineIsScene() {
    std::string& line = replayState.lineBuffer;
    const LineRead got = readLine(line, sceneLineLimit);
    return got != LineRead::tooLong;
}

void startIndexing(int64_t fileBytes) {
    ReplayState& r = replayState;
    r.index = ReplayIndex{};
    r.fileBytes = fileBytes;
    r.indexCancel = false;
    r.indexDone = false;
    r.indexedBytes = 0;
    r.indexing = true;
    r.indexer = std::thread(indexRows, std::ref(r));
}

// The recording cannot be replayed after all: closed, and the notice says why.
void refuseLoaded(const std::string& problem) {
    closeFile();
    appState.replayActive = false;
    noteRefusal(replayState.replayPath, problem);
}

// GUI thread, once the indexer is done: its index becomes the replay's.
void takeIndex() {
    ReplayState& r = replayState;
    if (r.indexer.joinable()) r.indexer.join();
    r.indexing = false;
    r.index = std::move(r.building);
    r.rowCount = r.index.rowCount;
    if (!r.index.anyLineAfterHeader) refuseLoaded("It holds no points.");
    else if (!r.index.anyRowReadable) refuseLoaded("No row could be read.");
}

// The start of line `line` (0 the header): one index entry, then fewer than lineStride lines.
int64_t lineStart(int64_t line) {
    ReplayState& r = replayState;
    const int64_t entry = std::min<int64_t>(line / r.index.lineStride, static_cast<int64_t>(r.index.lineOffsets.size()) - 1);
    r.readPosition = r.index.lineOffsets[static_cast<size_t>(entry)];
    for (int64_t skip = line - entry * r.index.lineStride; skip > 0; --skip)
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

bool parseRow(const std::string& line, PointFrame& row) {
    row = replayState.frame;
    return parseRecordingRow(line.data(), line.data() + line.size(), row);
}

void showRow(const std::string& line) {
    ReplayState& r = replayState;
    PointFrame row;
    if (!parseRow(line, row)) {
        ++r.rowsSkipped;
        return;
    }
    r.frame = row;
    firstLink().publish(row);
}

}  // namespace

ReplayState::~ReplayState() {
    if (!indexer.joinable()) return;
    indexCancel = true;
    indexer.join();
}

bool openReplay(const std::string& path) {
    std::string problem;
    const int file = openRegularFile(path, O_RDONLY, problem);
    if (file < 0) {
        noteRefusal(path, problem);
        return false;
    }
    struct stat status {};
    const int64_t fileBytes = ::fstat(file, &status) == 0 ? status.st_size : 0;
    closeReplay();
    ReplayState& r = replayState;
    r.index = ReplayIndex{};
    r.file = file;
    r.readPosition = 0;
    if (firstLineIsScene()) {
        const bool loaded = loadScene();
        closeFile();
        if (!loaded) noteRefusal(path, "It holds no points.");
        return loaded;
    }
    r.replayPath = path;
    r.rowsSkipped = 0;
    r.readPosition = 0;
    r.rowPosition = 0;
    r.headerPending = true;
    r.stopRequested = false;
    r.playRow = 0;
    r.previousRow = 0;
    appState.replayActive = true;
    startIndexing(fileBytes);
    return true;
}

void seekReplayRow(int64_t row) {
    ReplayState& r = replayState;
    if (r.file < 0 || r.indexing) return;
    forgetWindow();
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

void showReplayRow() {
    ReplayState& r = replayState;
    if (r.file < 0 || r.indexing || r.headerPending) return;
    forgetWindow();
    const int64_t position = r.readPosition;
    PointFrame row;
    if (readLine(r.lineBuffer) == LineRead::line && parseRow(r.lineBuffer, row)) {
        r.frame = row;
        firstLink().publish(row);
    }
    r.readPosition = position;  // a row that does not parse is counted when it is played
}

bool replayFileOpen() { return replayState.file >= 0; }

bool replayIndexing() { return replayState.indexing; }

float replayIndexProgress() {
    const ReplayState& r = replayState;
    if (r.fileBytes <= 0) return 1.0f;
    return std::min(1.0f, static_cast<float>(r.indexedBytes.load(std::memory_order_relaxed)) / static_cast<float>(r.fileBytes));
}

void waitForReplayIndex() {
    if (replayState.indexing) takeIndex();
}

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
    if (r.indexing) {
        if (r.stopRequested) {
            // Stop while indexing gives the file up: nothing was shown of it.
            closeFile();
            appState.replayActive = false;
            r.stopRequested = false;
        } else if (r.indexDone.load(std::memory_order_acquire)) {
            takeIndex();
        }
        return false;
    }
    if (r.file < 0) {
        // Ended: held at the start until "File End!" is dismissed; a failed reopen is tried again.
        std::string problem;
        const int file = openRegularFile(r.replayPath, O_RDONLY, problem);
        if (file >= 0) {
            r.file = file;
            r.readPosition = 0;
            r.rowPosition = 0;
        }
        return false;
    }
    if (!r.playing && !r.stopRequested) return false;  // paused: the position is held
    forgetWindow();
    r.rowPosition = r.readPosition;
    const LineRead got = readLine(r.lineBuffer);
    if (got == LineRead::endOfFile || (got == LineRead::line && r.lineBuffer.empty()) || r.stopRequested) {
        endReplay();
        return true;
    }
    if (r.headerPending) {
        r.playRow = 0;
        r.headerPending = false;
    } else if (got == LineRead::tooLong) {
        ++r.rowsSkipped;
    } else {
        showRow(r.lineBuffer);
    }
    ++r.playRow;
    r.previousRow = r.playRow;
    return false;
}

void dismissReplayEnd() { appState.replayActive = false; }

void closeReplay() {
    appState.replayActive = false;
    closeFile();
    replayState.playing = false;
    replayState.rowCount = 0;
}

std::vector<std::string> replayNoticeLines(const ReplayNotice& notice) {
    return {"Cannot replay " + notice.path, notice.problem};
}

std::vector<std::string> replaySkippedLines() {
    const int64_t skipped = replayState.rowsSkipped;
    if (skipped == 0) return {};
    return {std::to_string(skipped) + (skipped == 1 ? " row" : " rows") + " could not be read."};
}

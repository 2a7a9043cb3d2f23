// The capture replay source: an indexed capture file behind SerialLink, releasing the bytes of each
// frame when the replay clock reaches the frame's time stamp. openCapture, pollCaptureIndexing,
// closeCapture, seekCapture, capturePortOpen and capturePortClose run on the GUI thread (open and
// close of the port while the grabber is parked); capturePortRead runs on the grabber thread; the
// indexer thread runs indexCapture. Who owns which field of captureReplay is said in link.h.
//
// Index: Indexing in the background | The source (grabber thread, except where said) | Opening and
//        closing (GUI thread).
#include "link/link.h"
#include "app/app.h"

#include <libserialport.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

const char* const capturePortName = "CAPTURE REPLAY";

namespace {

int64_t steadyNowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void steadySleepUntil(int64_t micros) {
    std::this_thread::sleep_until(std::chrono::steady_clock::time_point(std::chrono::microseconds(micros)));
}

}  // namespace

const CaptureClock steadyCaptureClock{steadyNowMicros, steadySleepUntil};
CaptureClock captureClock = steadyCaptureClock;
CaptureReplay captureReplay;

namespace {

constexpr int64_t controlPollMicros = 10000;      // longest sleep: how soon a control takes effect
constexpr int64_t fastestPollMicros = 1000;       // at the fastest speed, how often "drawn yet?" is asked
constexpr int64_t fastestGiveUpMicros = 100000;   // ... and how long before the next frame goes anyway
constexpr size_t stageBytes = 64 * 1024;
constexpr int64_t never = std::numeric_limits<int64_t>::max();

// ---- Indexing in the background -------------------------------------------------------------------

// Indexer thread.
bool noteProgress(uint64_t scannedBytes, void*) {
    captureReplay.scannedBytes.store(scannedBytes, std::memory_order_relaxed);
    return !captureReplay.cancelIndexing.load(std::memory_order_relaxed);
}

// Indexer thread: the whole of it.
void runIndexer() {
    CaptureReplay& c = captureReplay;
    c.indexError = indexCapture(c.file, c.index, noteProgress, nullptr);
    c.indexDone.store(true, std::memory_order_release);
}

// ---- The source (grabber thread, except where said) ----------------------------------------------

// The source's own state: written by capturePortOpen/Close (GUI thread, grabber parked) and by
// capturePortRead (grabber thread, while running); the worker handshakes order the two.
struct CaptureSource {
    bool open = false;
    int64_t nextFrame = 0;        // the frame whose bytes go out next when playing on
    uint64_t segmentStart = 0;    // where the bytes before nextFrame start (garbage between frames included)
    uint64_t pendingAt = 0;       // released bytes not yet read: [pendingAt, pendingEnd)
    uint64_t pendingEnd = 0;
    uint32_t seekSerialSeen = 0;
    bool playingSeen = false;
    float speedSeen = 1.0f;
    int64_t anchorClock = 0;      // the replay stood at anchorPlay at clock time anchorClock
    int64_t anchorPlay = 0;
    int64_t releasedAt = 0;       // clock time of the last release
    uint64_t generationAtRelease = 0;
    bool drawnMarkSet = false;    // fastest speed: the released frame was published by framesDrawn ...
    uint64_t drawnMark = 0;       // ... this count; one more GUI frame draws it
    std::vector<uint8_t> stage;   // a window of the file at stageStart
    uint64_t stageStart = 0;
    size_t stageLength = 0;
};

CaptureSource source;

const std::vector<CaptureFrame>& frames() { return captureReplay.index.frames; }
int64_t frameCount() { return static_cast<int64_t>(frames().size()); }

// Frame k's bytes end with its checksum; the last frame takes whatever trails it in the file.
uint64_t segmentEnd(int64_t frame) {
    if (frame + 1 == frameCount()) return captureReplay.index.fileBytes;
    return frames()[static_cast<size_t>(frame)].offset + frameBytes;
}

void anchorAt(int64_t playMicros, int64_t now) {
    source.anchorPlay = playMicros;
    source.anchorClock = now;
}

void release(int64_t frame, uint64_t from, int64_t now) {
    CaptureReplay& c = captureReplay;
    source.pendingAt = from;
    source.pendingEnd = segmentEnd(frame);
    source.segmentStart = source.pendingEnd;
    source.nextFrame = frame + 1;
    source.releasedAt = now;
    source.generationAtRelease = pointCloudGeneration();
    source.drawnMarkSet = false;
    c.shownFrame.store(frame);
    c.atEnd.store(source.nextFrame == frameCount() && !c.loop.load());
}

// A jump: only the frame's own bytes go out, and the synchroniser hunts afresh so that a frame cut
// off by the jump cannot swallow it.
void jumpTo(int64_t frame, int64_t now) {
    frame = std::clamp<int64_t>(frame, 0, frameCount() - 1);
    huntAfresh();
    release(frame, frames()[static_cast<size_t>(frame)].offset, now);
    anchorAt(frames()[static_cast<size_t>(frame)].playMicros, now);
}

// Where the replay stands now on the capture's time line, at a fixed speed.
int64_t replayMicrosNow(int64_t now) {
    return source.anchorPlay + static_cast<int64_t>(static_cast<double>(now - source.anchorClock) * source.speedSeen);
}

void applyControls(int64_t now) {
    CaptureReplay& c = captureReplay;
    const uint32_t serial = c.seekSerial.load();
    if (serial != source.seekSerialSeen) {
        source.seekSerialSeen = serial;
        jumpTo(c.seekFrame.load(), now);
    }
    const float speed = c.speed.load();
    const bool playing = c.playing.load();
    if (speed != source.speedSeen) {
        // The time line goes on from where it stands, at the new rate.
        const int64_t shown = frames()[static_cast<size_t>(std::max<int64_t>(c.shownFrame.load(), 0))].playMicros;
        const int64_t standing = playing && source.speedSeen != captureFastest ? replayMicrosNow(now) : shown;
        anchorAt(standing, now);
        source.speedSeen = speed;
    }
    if (playing != source.playingSeen) {
        // Playing on starts from the frame on show; the next one follows after its own step.
        source.playingSeen = playing;
        if (playing) anchorAt(frames()[static_cast<size_t>(std::max<int64_t>(c.shownFrame.load(), 0))].playMicros, now);
    }
}

// At the fastest speed the next frame goes once the last one has been published and a GUI frame
// has passed since (or, should it never be published, after a while).
int64_t fastestWait(int64_t now) {
    const CaptureReplay& c = captureReplay;
    if (now - source.releasedAt >= fastestGiveUpMicros) return 0;
    if (!source.drawnMarkSet && pointCloudGeneration() > source.generationAtRelease) {
        source.drawnMarkSet = true;
        source.drawnMark = c.framesDrawn.load();
    }
    if (source.drawnMarkSet && c.framesDrawn.load() > source.drawnMark) return 0;
    return fastestPollMicros;
}

// Microseconds until the next frame is due (0: now), or `never`.
int64_t microsUntilDue(int64_t now) {
    const CaptureReplay& c = captureReplay;
    if (!source.playingSeen) return never;
    const bool wrap = source.nextFrame >= frameCount();
    if (wrap && !c.loop.load()) return never;
    if (source.speedSeen == captureFastest) return fastestWait(now);
    if (wrap) return 0;
    const int64_t ahead = frames()[static_cast<size_t>(source.nextFrame)].playMicros - source.anchorPlay;
    const int64_t dueAt = source.anchorClock + static_cast<int64_t>(std::ceil(static_cast<double>(ahead) / source.speedSeen));
    return std::max<int64_t>(dueAt - now, 0);
}

void releaseNext(int64_t now) {
    if (source.nextFrame >= frameCount()) {
        jumpTo(0, now);  // looping
        return;
    }
    release(source.nextFrame, source.segmentStart, now);
}

// Copies released bytes; a failed read marks the capture as lost.
int readPending(uint8_t* buffer, int maxBytes) {
    CaptureReplay& c = captureReplay;
    if (source.pendingAt < source.stageStart || source.pendingAt >= source.stageStart + source.stageLength) {
        const ssize_t n = ::pread(c.file, source.stage.data(), stageBytes, static_cast<off_t>(source.pendingAt));
        if (n <= 0) {
            c.readFailed.store(true);
            return SP_ERR_FAIL;
        }
        source.stageStart = source.pendingAt;
        source.stageLength = static_cast<size_t>(n);
    }
    const uint64_t staged = source.stageStart + source.stageLength - source.pendingAt;
    const int count = static_cast<int>(std::min<uint64_t>({staged, source.pendingEnd - source.pendingAt, static_cast<uint64_t>(maxBytes)}));
    std::copy_n(source.stage.data() + (source.pendingAt - source.stageStart), count, buffer);
    source.pendingAt += static_cast<uint64_t>(count);
    return count;
}

}  // namespace

// Grabber thread. Released bytes first; otherwise waits (at most controlPollMicros) for the next frame
// to fall due and releases it.
int capturePortRead(uint8_t* buffer, int maxBytes) {
    if (!source.open || maxBytes <= 0) return SP_ERR_ARG;
    if (source.pendingAt == source.pendingEnd) {
        int64_t now = captureClock.nowMicros();
        applyControls(now);
        if (source.pendingAt == source.pendingEnd) {
            const int64_t wait = microsUntilDue(now);
            if (wait > 0) {
                captureClock.sleepUntilMicros(now + std::min(wait, controlPollMicros));
                now = captureClock.nowMicros();
                applyControls(now);
                if (source.pendingAt == source.pendingEnd && microsUntilDue(now) > 0) return 0;
            }
            if (source.pendingAt == source.pendingEnd) releaseNext(now);
        }
    }
    return readPending(buffer, maxBytes);
}

int capturePortOpen() {
    CaptureReplay& c = captureReplay;
    if (c.file < 0 || !c.indexDone.load(std::memory_order_acquire) || c.indexError != 0 || frames().empty())
        return SP_ERR_ARG;
    source = CaptureSource{};
    source.stage.resize(stageBytes);
    source.open = true;
    c.readFailed = false;
    c.playing = false;
    source.seekSerialSeen = c.seekSerial.load();
    source.speedSeen = c.speed.load();
    // From the first byte of the file: played through, the link sees the capture byte for byte.
    const int64_t now = captureClock.nowMicros();
    release(0, 0, now);
    anchorAt(frames().front().playMicros, now);
    return SP_OK;
}

void capturePortClose() { source.open = false; }

// ---- Opening and closing (GUI thread) --------------------------------------------------------------

bool captureOpen() { return captureReplay.file >= 0; }

std::string openCapture(const std::string& path) {
    CaptureReplay& c = captureReplay;
    if (captureOpen()) return systemReason(EBUSY);
    std::string problem;
    const int file = openRegularFile(path, O_RDONLY, problem);
    if (file < 0) return problem;
    struct stat status {};
    if (::fstat(file, &status) != 0) {
        problem = systemReason(errno);
        ::close(file);
        return problem;
    }
    c.file = file;
    c.path = path;
    c.fileBytes = static_cast<uint64_t>(status.st_size);
    c.index = CaptureIndex{};
    c.indexError = 0;
    c.scannedBytes = 0;
    c.cancelIndexing = false;
    c.indexDone = false;
    c.shownFrame = -1;
    c.atEnd = false;
    c.playing = false;
    c.indexing = true;
    c.indexer = std::thread(runIndexer);
    return {};
}

bool pollCaptureIndexing() {
    CaptureReplay& c = captureReplay;
    if (!c.indexing || !c.indexDone.load(std::memory_order_acquire)) return false;
    c.indexer.join();
    c.indexing = false;
    return true;
}

void seekCapture(int64_t frame) {
    CaptureReplay& c = captureReplay;
    c.seekFrame.store(frame);
    c.seekSerial.fetch_add(1);
}

void releaseCapture() {
    CaptureReplay& c = captureReplay;
    if (c.indexing) {
        c.cancelIndexing = true;
        c.indexer.join();
        c.indexing = false;
    }
    if (c.file >= 0) ::close(c.file);
    c.file = -1;
    c.path.clear();
    c.index = CaptureIndex{};
    c.indexDone = false;
    c.shownFrame = -1;
    c.atEnd = false;
    c.playing = false;
}

void closeCapture() {
    if (serialLink.portIsCapture && appState.portOpen) disconnect();
    releaseCapture();
}

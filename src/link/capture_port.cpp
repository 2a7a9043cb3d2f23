// The capture replay source: an indexed capture file behind a link, releasing the bytes of each
// frame when the replay clock reaches the frame's time stamp. The Link's capture methods (open,
// poll, close, seek) and the source's open and close run on the GUI thread (the source's while the
// grabber is parked); the source's read runs on the grabber thread; the indexer thread runs
// indexCapture. Who owns which field of a CaptureReplay is said in link.h.
//
// Index: Indexing in the background | The source (grabber thread, except where said) | Opening and
//        closing (GUI thread).
#include "link/link.h"
#include "link/link_state.h"
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

namespace {

constexpr int64_t controlPollMicros = 10000;      // longest sleep: how soon a control takes effect
constexpr int64_t fastestPollMicros = 1000;       // at the fastest speed, how often "drawn yet?" is asked
// Between the last frame and the first of a loop when the capture gives no step (a single frame):
// the sensor's own frame period.
constexpr int64_t nominalFramePeriodMicros = microsPerSecond / sensorFrameRate;
constexpr size_t stageBytes = 64 * 1024;
constexpr int64_t never = std::numeric_limits<int64_t>::max();

// ---- Indexing in the background -------------------------------------------------------------------

// Indexer thread.
bool noteProgress(uint64_t scannedBytes, void* context) {
    CaptureReplay& c = *static_cast<CaptureReplay*>(context);
    c.scannedBytes.store(scannedBytes, std::memory_order_relaxed);
    return !c.cancelIndexing.load(std::memory_order_relaxed);
}

// Indexer thread: the whole of it.
void runIndexer(CaptureReplay* replay) {
    CaptureReplay& c = *replay;
    c.indexError = indexCapture(c.file, c.index, noteProgress, &c);
    c.indexDone.store(true, std::memory_order_release);
}

// ---- The source (grabber thread, except where said) ----------------------------------------------

// One link's replay as its grabber plays it: the link, its capture and its source's state.
struct Player {
    Link& link;
    CaptureReplay& c;
    CaptureSource& source;

    const std::vector<CaptureFrame>& frames() const { return c.index.frames; }
    int64_t frameCount() const { return static_cast<int64_t>(frames().size()); }
    int64_t playMicrosOf(int64_t frame) const { return frames()[static_cast<size_t>(frame)].playMicros; }

    // Frame k's bytes end with its checksum; the last frame takes whatever trails it in the file.
    uint64_t segmentEnd(int64_t frame) const {
        if (frame + 1 == frameCount()) return c.index.fileBytes;
        return frames()[static_cast<size_t>(frame)].offset + frameBytes;
    }

    // Where the next frame stands on the time line: past the end, the first frame of a loop comes
    // one step after the last (the capture's last step, or the sensor's period for a single frame).
    int64_t nextPlayMicros() const {
        if (source.nextFrame < frameCount()) return playMicrosOf(source.nextFrame);
        const int64_t last = frameCount() - 1;
        const int64_t step = last > 0 ? playMicrosOf(last) - playMicrosOf(last - 1) : 0;
        return playMicrosOf(last) + (step > 0 ? step : nominalFramePeriodMicros);
    }
    // The step from the frame on show to the next one.
    int64_t nextStepMicros() const {
        const int64_t shown = std::max<int64_t>(c.shownFrame.load(), 0);
        return std::max<int64_t>(nextPlayMicros() - playMicrosOf(shown), 0);
    }

    void anchorAt(int64_t playMicros, int64_t now) {
        source.anchorPlay = playMicros;
        source.anchorClock = now;
    }

    void release(int64_t frame, uint64_t from, int64_t now) {
        source.pendingAt = from;
        source.pendingEnd = segmentEnd(frame);
        source.segmentStart = source.pendingEnd;
        source.nextFrame = frame + 1;
        source.releasedAt = now;
        source.generationAtRelease = link.generation();
        source.drawnMarkSet = false;
        c.shownFrame.store(frame);
        c.atEnd.store(source.nextFrame == frameCount() && !c.loop.load());
    }

    // A jump: only the frame's own bytes go out, and the synchroniser hunts afresh so that a frame cut
    // off by the jump cannot swallow it.
    void jumpTo(int64_t frame, int64_t now) {
        frame = std::clamp<int64_t>(frame, 0, frameCount() - 1);
        link.synchroniser.huntAfresh();
        release(frame, frames()[static_cast<size_t>(frame)].offset, now);
        anchorAt(playMicrosOf(frame), now);
    }

    // Where the replay stands now on the capture's time line, at a fixed speed.
    int64_t replayMicrosNow(int64_t now) const {
        return source.anchorPlay + static_cast<int64_t>(static_cast<double>(now - source.anchorClock) * source.speedSeen);
    }

    void applyControls(int64_t now) {
        const uint32_t serial = c.seekSerial.load();
        if (serial != source.seekSerialSeen) {
            source.seekSerialSeen = serial;
            jumpTo(c.seekFrame.load(), now);
        }
        const float speed = c.speed.load();
        const bool playing = c.playing.load();
        if (speed != source.speedSeen) {
            // The time line goes on from where it stands, at the new rate.
            const int64_t shown = playMicrosOf(std::max<int64_t>(c.shownFrame.load(), 0));
            const int64_t standing = playing && source.speedSeen != captureFastest ? replayMicrosNow(now) : shown;
            anchorAt(standing, now);
            source.speedSeen = speed;
        }
        if (playing != source.playingSeen) {
            // Playing on starts from the frame on show; the next one follows after its own step.
            source.playingSeen = playing;
            if (playing) anchorAt(playMicrosOf(std::max<int64_t>(c.shownFrame.load(), 0)), now);
        }
    }

    // At the fastest speed the next frame goes once the last one has been published and a GUI frame
    // has passed since, or once it would have gone at the fastest fixed speed, whichever is first.
    int64_t fastestWait(int64_t now) {
        const int64_t fixedDue = source.releasedAt + nextStepMicros() / static_cast<int64_t>(captureFastestFixedSpeed);
        if (now >= fixedDue) return 0;
        if (!source.drawnMarkSet && link.generation() > source.generationAtRelease) {
            source.drawnMarkSet = true;
            source.drawnMark = c.framesDrawn.load();
        }
        if (source.drawnMarkSet && c.framesDrawn.load() > source.drawnMark) return 0;
        return std::min(fastestPollMicros, fixedDue - now);
    }

    // Microseconds until the next frame is due (0: now), or `never`.
    int64_t microsUntilDue(int64_t now) {
        if (!source.playingSeen) return never;
        const bool wrap = source.nextFrame >= frameCount();
        if (wrap && !c.loop.load()) return never;
        if (source.speedSeen == captureFastest) return fastestWait(now);
        const int64_t ahead = nextPlayMicros() - source.anchorPlay;
        const int64_t dueAt = source.anchorClock + static_cast<int64_t>(std::ceil(static_cast<double>(ahead) / source.speedSeen));
        return std::max<int64_t>(dueAt - now, 0);
    }

    void releaseNext(int64_t now) {
        if (source.nextFrame >= frameCount()) {
            jumpTo(0, now);  // looping
            return;
        }
        // Above 1x, frames whose time has already passed are passed over rather than sent in a burst
        // the handler could not keep up with: the user asked for the speed, the link did not fail.
        if (source.speedSeen > 1.0f) {
            const int64_t due = captureFrameAt(c.index, replayMicrosNow(now));
            if (due > source.nextFrame) {
                c.framesSkipped.fetch_add(static_cast<uint64_t>(due - source.nextFrame));
                const int64_t anchorPlay = source.anchorPlay;
                const int64_t anchorClock = source.anchorClock;
                jumpTo(due, now);
                source.anchorPlay = anchorPlay;  // the time line goes on as it was
                source.anchorClock = anchorClock;
                return;
            }
        }
        release(source.nextFrame, source.segmentStart, now);
    }

    // Copies released bytes; a failed read marks the capture as lost.
    int readPending(uint8_t* buffer, int maxBytes) {
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

    // Grabber thread. Released bytes first; otherwise waits (at most controlPollMicros) for the next
    // frame to fall due and releases it.
    int read(uint8_t* buffer, int maxBytes) {
        if (!source.open || maxBytes <= 0) return SP_ERR_ARG;
        if (source.pendingAt == source.pendingEnd) {
            int64_t now = c.clock.nowMicros();
            applyControls(now);
            if (source.pendingAt == source.pendingEnd) {
                const int64_t wait = microsUntilDue(now);
                if (wait > 0) {
                    c.clock.sleepUntilMicros(now + std::min(wait, controlPollMicros));
                    now = c.clock.nowMicros();
                    applyControls(now);
                    if (source.pendingAt == source.pendingEnd && microsUntilDue(now) > 0) return 0;
                }
                if (source.pendingAt == source.pendingEnd) releaseNext(now);
            }
        }
        return readPending(buffer, maxBytes);
    }
};

Player playerOf(Link& link) { return Player{link, link.capture, *link.captureSource}; }

int captureSourceOpen(Link& link, const char*, int) {
    CaptureReplay& c = link.capture;
    if (c.file < 0 || !c.indexDone.load(std::memory_order_acquire) || c.indexError != 0 || c.index.frames.empty())
        return SP_ERR_ARG;
    link.captureSource = std::make_unique<CaptureSource>();
    Player player = playerOf(link);
    CaptureSource& source = player.source;
    source.stage.resize(stageBytes);
    source.open = true;
    c.readFailed = false;
    c.playing = false;
    c.framesSkipped = 0;
    source.seekSerialSeen = c.seekSerial.load();
    source.speedSeen = c.speed.load();
    // From the first byte of the file: played through, the link sees the capture byte for byte.
    const int64_t now = c.clock.nowMicros();
    player.release(0, 0, now);
    player.anchorAt(c.index.frames.front().playMicros, now);
    return SP_OK;
}

void captureSourceClose(Link& link) { link.captureSource.reset(); }

// Grabber thread; waits at most a few milliseconds.
int captureSourceRead(Link& link, uint8_t* buffer, int maxBytes) {
    if (!link.captureSource) return SP_ERR_ARG;
    return playerOf(link).read(buffer, maxBytes);
}
int captureSourceReadWithin(Link& link, uint8_t* buffer, int maxBytes, unsigned) {
    return captureSourceRead(link, buffer, maxBytes);
}
bool captureSourceLost(Link& link) { return link.capture.readFailed; }

}  // namespace

const LinkSource captureReplaySource{"capture replay", captureSourceOpen, captureSourceClose, captureSourceRead,
                                     captureSourceReadWithin, captureSourceLost};

// ---- Opening and closing (GUI thread) --------------------------------------------------------------

std::string Link::openCapture(const std::string& path) {
    CaptureReplay& c = capture;
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
    c.indexer = std::thread(runIndexer, &c);
    return {};
}

bool Link::pollCaptureIndexing() {
    CaptureReplay& c = capture;
    if (!c.indexing || !c.indexDone.load(std::memory_order_acquire)) return false;
    c.indexer.join();
    c.indexing = false;
    return true;
}

void Link::seekCapture(int64_t frame) {
    CaptureReplay& c = capture;
    c.seekFrame.store(frame);
    c.seekSerial.fetch_add(1);
}

void Link::releaseCapture() {
    CaptureReplay& c = capture;
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

void Link::closeCapture() {
    // Closing a replay is the user's choice, never a lost sensor.
    if (sourceIs(captureReplaySource) && portOpen) close();
    releaseCapture();
}

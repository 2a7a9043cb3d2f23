// Live sessions: every connected sensor into one session file, fed by the links' session taps and
// written by a session writer thread of its own. The controlling thread (GUI thread, or a tool's
// main thread) begins, polls and ends a session; the writer thread only drains the taps.
//
// Life of a session: beginSession opens the file, writes the sensors' channels and transforms, opens
// every tap and starts the writer (running). A stop, a full ring, a failed write, a deleted file or a
// closed port close the taps (stopping). Once every grabber has let go, the writer is asked to write
// what is left, the counters and the summary; then it is joined and a notice left (idle).
#include "record/mcap.h"

#include "app/app.h"

#include <sys/stat.h>

#include <csignal>
#include <cstring>

// Process-wide mutable state of the live session.
SessionState sessionState;

namespace {

// Between two looks of the writer at the taps: about 3 kB of a 1.5 Mbaud line each time.
constexpr auto writerPause = std::chrono::milliseconds(20);
constexpr auto countersInterval = std::chrono::seconds(1);
// How long finishSession waits for the grabbers to let go of the taps before it ends anyway.
constexpr auto releaseWaitLimit = std::chrono::seconds(1);
constexpr auto releasePoll = std::chrono::milliseconds(1);

uint64_t hostNanosNow() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

void note(SessionEnd kind, const std::string& reason) {
    SessionNotice& notice = sessionState.notice;
    notice.kind = kind;
    notice.reason = reason;
    notice.path = sessionState.path;
    notice.framesKept = sessionState.shared.framesWritten.load();
    ++notice.serial;
}

bool fileDeleted(int file) {
    struct stat status {};
    return file >= 0 && ::fstat(file, &status) == 0 && status.st_nlink == 0;
}

// Writer thread: where a good frame goes, with the receive time of the batch that completed it.
struct FrameTarget {
    size_t sensor;
    uint64_t logTime;
    PointFrame frame;
};

void writeGoodFrame(const uint8_t* record, void* context) {
    FrameTarget& target = *static_cast<FrameTarget*>(context);
    decodeFrame(record, target.frame);
    if (sessionState.session.writeFrame(target.sensor, target.logTime, readFrameHeader(record), target.frame))
        sessionState.shared.framesWritten.fetch_add(1, std::memory_order_relaxed);
}

// Writer thread: every whole batch the sensor's tap holds (the grabber pushes whole batches only).
bool drainSensor(size_t sensor, std::vector<uint8_t>& scratch, FrameTarget& target) {
    Link& link = *sessionState.links[sensor];
    const ByteSpans pending = link.tapPending(tapSession);
    scratch.assign(pending.data[0], pending.data[0] + pending.size[0]);
    scratch.insert(scratch.end(), pending.data[1], pending.data[1] + pending.size[1]);
    size_t at = 0;
    target.sensor = sensor;
    while (at + sessionBatchHeaderBytes <= scratch.size()) {
        const uint8_t* header = scratch.data() + at;
        const uint64_t logTime = readLittleEndian(header, 4) | uint64_t{readLittleEndian(header + 4, 4)} << 32;
        const uint32_t count = readLittleEndian(header + 8, 4);
        const uint8_t* bytes = header + sessionBatchHeaderBytes;
        if (!sessionState.session.writeRaw(sensor, logTime, bytes, count)) return false;
        target.logTime = logTime;
        sessionState.synchronisers[sensor]->synchroniseBytes(bytes, static_cast<int>(count), writeGoodFrame, &target);
        at += sessionBatchHeaderBytes + count;
    }
    link.tapTake(tapSession, at);
    return !sessionState.session.failure().failed();
}

bool writeCounters() {
    const uint64_t now = hostNanosNow();
    for (size_t sensor = 0; sensor < sessionState.links.size(); ++sensor) {
        uint64_t counts[linkStatisticCount];
        for (int i = 0; i < linkStatisticCount; ++i) counts[i] = sessionState.links[sensor]->statistics.get(i);
        if (!sessionState.session.writeCounters(sensor, now, counts)) return false;
    }
    return true;
}

// The session writer thread's body: drain every tap, pause, the counters once a second, until asked
// to finish (then one last drain, after which no byte can come) or a write fails; then the file is
// closed (a failed one cut back to its last whole chunk).
void writerThread() {
    SessionShared& shared = sessionState.shared;
    std::vector<uint8_t> scratch;
    FrameTarget target{};
    auto nextCounters = std::chrono::steady_clock::now() + countersInterval;
    bool ok = true;
    for (;;) {
        const bool finishing = shared.finishRequested.load(std::memory_order_acquire);
        for (size_t sensor = 0; ok && sensor < sessionState.links.size(); ++sensor) ok = drainSensor(sensor, scratch, target);
        if (ok && (finishing || std::chrono::steady_clock::now() >= nextCounters)) {
            ok = writeCounters();
            nextCounters += countersInterval;
        }
        if (!ok || finishing) break;
        std::this_thread::sleep_for(writerPause);
    }
    sessionState.session.close();
    shared.writerDone.store(true, std::memory_order_release);
}

void beginStopping(SessionEnd reason) {
    for (Link* link : sessionState.links) link->closeTap(tapSession);
    sessionState.ending = reason;
    sessionState.phase = SessionState::stopping;
}

bool tapsReleased() {
    for (Link* link : sessionState.links)
        if (!link->tapReleased(tapSession)) return false;
    return true;
}

// Why a running session must end now, if it must.
bool mustEnd(SessionEnd& reason) {
    for (Link* link : sessionState.links) {
        if (link->tapOverflowed(tapSession)) {
            reason = SessionEnd::ringFull;
            return true;
        }
    }
    if (sessionState.shared.writerDone.load(std::memory_order_acquire)) {
        reason = SessionEnd::writeFailed;   // the writer ends early only when a write failed
        return true;
    }
    if (fileDeleted(sessionState.session.writer.descriptor())) {
        reason = SessionEnd::fileDeleted;
        return true;
    }
    for (Link* link : sessionState.links) {
        if (!link->portOpen) {
            reason = link->portLost ? SessionEnd::portLost : SessionEnd::saved;
            return true;
        }
    }
    return false;
}

// The writer has ended: join it, say how it went.
void endSession() {
    SessionState& state = sessionState;
    state.writer.join();
    const McapFailure& failure = state.session.failure();
    SessionEnd kind = failure.failed() ? SessionEnd::writeFailed : state.ending;
    state.phase = SessionState::idle;
    state.links.clear();
    note(kind, failure.reason);
}

bool advanceStop() {
    if (!tapsReleased()) return false;
    sessionState.shared.finishRequested.store(true, std::memory_order_release);
    if (!sessionState.shared.writerDone.load(std::memory_order_acquire)) return false;
    endSession();
    return true;
}

}  // namespace

bool beginSession(const std::string& path, const std::vector<Link*>& links, const std::vector<std::string>& names,
                  size_t ringBytes) {
    SessionState& state = sessionState;
    if (state.phase != SessionState::idle) return false;
    std::signal(SIGXFSZ, SIG_IGN);   // a file size limit must fail the write (and be reported)
    state.path = path;
    state.links.clear();
    state.shared.finishRequested = false;
    state.shared.writerDone = false;
    state.shared.framesWritten = 0;
    std::vector<SessionSensor> sensors;
    for (const std::string& name : names) sensors.push_back(SessionSensor{name, {}});
    if (!state.session.open(path, sensors, hostNanosNow())) {
        note(SessionEnd::openFailed, state.session.failure().reason);
        state.session.close();
        return false;
    }
    state.synchronisers.clear();
    for (Link* link : links) {
        if (!link->openTap(tapSession, ringBytes)) {
            for (Link* opened : state.links) opened->closeTap(tapSession);
            state.session.close();
            note(SessionEnd::openFailed, systemReason(ENOMEM));
            return false;
        }
        state.links.push_back(link);
        state.synchronisers.push_back(std::make_unique<Synchroniser>());
        state.synchronisers.back()->reset();
    }
    static bool finishAtExit = false;
    if (!finishAtExit) {
        std::atexit(finishSession);   // a process ended through exit() keeps its session whole
        finishAtExit = true;
    }
    state.started = std::chrono::steady_clock::now();
    state.phase = SessionState::running;
    state.writer = std::thread(writerThread);
    return true;
}

void stopSession() {
    if (sessionState.phase == SessionState::running) beginStopping(SessionEnd::saved);
}

void pollSession() {
    SessionState& state = sessionState;
    if (state.phase == SessionState::idle) return;
    SessionEnd reason = SessionEnd::saved;
    if (state.phase == SessionState::running && mustEnd(reason)) beginStopping(reason);
    if (state.phase == SessionState::stopping) advanceStop();
}

void finishSession() {
    SessionState& state = sessionState;
    if (state.phase == SessionState::idle) return;
    if (state.phase == SessionState::running) {
        SessionEnd reason = SessionEnd::saved;
        if (!mustEnd(reason) || reason == SessionEnd::portLost) reason = SessionEnd::saved;
        beginStopping(reason);
    }
    const auto giveUp = std::chrono::steady_clock::now() + releaseWaitLimit;
    while (!tapsReleased() && std::chrono::steady_clock::now() < giveUp) std::this_thread::sleep_for(releasePoll);
    state.shared.finishRequested.store(true, std::memory_order_release);
    endSession();   // joins the writer once it has written what is left and closed the file
}

bool sessionRunning() { return sessionState.phase != SessionState::idle; }

int32_t sessionSeconds() {
    return static_cast<int32_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - sessionState.started).count());
}

const char* sessionNoticeTitle(const SessionNotice& notice) {
    switch (notice.kind) {
    case SessionEnd::saved: return "Session Saved";
    case SessionEnd::portLost: return "Session Stopped";
    default: return "Session Error";
    }
}

std::vector<std::string> sessionNoticeLines(const SessionNotice& notice) {
    const std::string kept = std::to_string(notice.framesKept) + " frames kept in";
    switch (notice.kind) {
    case SessionEnd::saved:
        return {std::to_string(notice.framesKept) + " frames recorded into", notice.path};
    case SessionEnd::openFailed:
        return {"Cannot record a session to " + notice.path, notice.reason};
    case SessionEnd::writeFailed:
        return {"Writing the session failed:", notice.reason, "Session stopped; " + kept, notice.path};
    case SessionEnd::ringFull:
        return {"The disk could not keep up with the sensors.", "Session stopped; " + kept, notice.path};
    case SessionEnd::portLost:
        return {"A sensor was disconnected.", "Session stopped; " + kept, notice.path};
    case SessionEnd::fileDeleted:
        return {notice.path + " was deleted while recording the session.", "Session stopped; the file is gone."};
    }
    return {};
}

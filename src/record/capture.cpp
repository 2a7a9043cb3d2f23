// Raw captures: every byte the grabber reads, in order, written to a file by a capture writer thread
// of its own, fed through the capture tap's ring. The controlling thread (the GUI thread, or a
// tool's main thread) starts, polls and ends a capture; the writer thread only drains the ring.
//
// Life of a capture: beginCapture opens the file, starts the writer and opens the tap (running). The
// file is emptied only when the first bytes come (or the capture ends without any), so a port that
// never opens leaves an existing file as it was.
// A stop, a full ring, a failed write or a closed port close the tap (stopping). Once the grabber has
// let go of the tap, the writer is asked to write what is left and end; then it is joined, the file
// closed and a notice left (idle). The grabber never waits on any of it.
#include "record/record.h"

#include "app/app.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

// Process-wide mutable state of the capture.
CaptureState captureState;

namespace {

// Between two looks of the writer at the ring: about 3 kB of a 1.5 Mbaud line each time.
constexpr auto writerPause = std::chrono::milliseconds(20);
// How long finishCapture waits for the grabber to let go of the tap before it ends the capture anyway.
constexpr auto releaseWaitLimit = std::chrono::seconds(1);
constexpr auto releasePoll = std::chrono::milliseconds(1);
constexpr double bytesPerUnit = 1000.0;

void note(CaptureEnd kind, const std::string& reason) {
    CaptureNotice& notice = captureState.notice;
    notice.kind = kind;
    notice.reason = reason;
    notice.path = captureState.path;
    notice.bytesKept = captureState.shared.bytesWritten.load();
    ++notice.serial;
}

// The file is emptied before its first byte is written; the writer thread, or the controlling
// thread once the writer has been joined. False (and writeError set) when that fails.
bool emptyFileOnce() {
    CaptureState& capture = captureState;
    if (capture.fileEmptied) return true;
    capture.fileEmptied = true;
    if (::ftruncate(capture.file, 0) == 0) return true;
    capture.shared.writeError = errno;
    return false;
}

// True when the file being written has no name left (deleted or replaced meanwhile).
bool fileDeleted(int file) {
    struct stat status {};
    return ::fstat(file, &status) == 0 && status.st_nlink == 0;
}

// True when `file` is the very file the capture replay reads: capturing into it would destroy it.
bool isReplayedCapture(int file) {
    struct stat written {}, replayed {};
    return firstLink().capture.file >= 0 && ::fstat(file, &written) == 0 && ::fstat(firstLink().capture.file, &replayed) == 0 &&
           written.st_dev == replayed.st_dev && written.st_ino == replayed.st_ino;
}

// Capture writer thread: one span to the file; false (and writeError set) when a write fails.
bool writeSpan(const uint8_t* data, size_t size) {
    CaptureShared& shared = captureState.shared;
    if (size > 0 && !emptyFileOnce()) return false;
    while (size > 0) {
        const ssize_t written = captureState.writeBytes(captureState.file, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            shared.writeError = written < 0 ? errno : ENOSPC;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
        firstLink().captureTapTake(static_cast<size_t>(written));
        shared.bytesWritten.fetch_add(static_cast<uint64_t>(written), std::memory_order_relaxed);
    }
    return true;
}

// Capture writer thread: everything the ring holds now.
bool drainTap() {
    const ByteSpans pending = firstLink().captureTapPending();
    for (int span = 0; span < 2; ++span)
        if (!writeSpan(pending.data[span], pending.size[span])) return false;
    return true;
}

// The capture writer thread's body: drain, pause, until asked to finish (then one last drain, after
// which no byte can come) or a write fails.
void writerThread() {
    CaptureShared& shared = captureState.shared;
    for (;;) {
        const bool finishing = shared.finishRequested.load(std::memory_order_acquire);
        if (!drainTap() || finishing) break;
        std::this_thread::sleep_for(writerPause);
    }
    shared.writerDone.store(true, std::memory_order_release);
}

void beginStopping(CaptureEnd reason) {
    firstLink().closeCaptureTap();
    captureState.ending = reason;
    captureState.elapsed = std::chrono::steady_clock::now() - captureState.started;
    captureState.phase = CaptureState::stopping;
}

// Why a running capture must end now, if it must.
bool mustEnd(CaptureEnd& reason) {
    if (firstLink().captureTapOverflowed()) {
        reason = CaptureEnd::ringFull;
    } else if (captureState.shared.writerDone.load(std::memory_order_acquire)) {
        reason = CaptureEnd::writeFailed;  // the writer ends early only when a write failed
    } else if (fileDeleted(captureState.file)) {
        reason = CaptureEnd::fileDeleted;
    } else if (!firstLink().portOpen) {
        reason = firstLink().portLost ? CaptureEnd::portLost : CaptureEnd::saved;
    } else {
        return false;
    }
    return true;
}

// The writer has ended: join it, close the file, say how it went.
void endCapture() {
    CaptureState& capture = captureState;
    capture.writer.join();
    // A capture that ends without a byte still replaces the file, unless it never had a source.
    if (!capture.keepUntouched) emptyFileOnce();
    int error = capture.shared.writeError;
    CaptureEnd kind = capture.ending;
    if (error != 0) kind = CaptureEnd::writeFailed;
    if (error == 0 && fileDeleted(capture.file)) kind = CaptureEnd::fileDeleted;
    if (::close(capture.file) != 0 && error == 0) {
        error = errno;
        kind = CaptureEnd::writeFailed;
    }
    capture.file = -1;
    capture.phase = CaptureState::idle;
    note(kind, error != 0 ? systemReason(error) : std::string());
}

// One step of a stopping capture; true once it has ended.
bool advanceStop() {
    if (!firstLink().captureTapReleased()) return false;
    captureState.shared.finishRequested.store(true, std::memory_order_release);
    if (!captureState.shared.writerDone.load(std::memory_order_acquire)) return false;
    endCapture();
    return true;
}

}  // namespace

bool beginCapture(const std::string& path, size_t ringBytes) {
    CaptureState& capture = captureState;
    if (capture.phase != CaptureState::idle) return false;
    std::signal(SIGXFSZ, SIG_IGN);  // a file size limit must fail the write (and be reported)
    capture.path = path;
    capture.shared.bytesWritten = 0;
    capture.shared.writeError = 0;
    capture.shared.finishRequested = false;
    capture.shared.writerDone = false;
    std::string problem;
    capture.file = openRegularFile(path, O_WRONLY | O_CREAT, problem);
    if (capture.file >= 0 && isReplayedCapture(capture.file)) {
        ::close(capture.file);
        capture.file = -1;
        problem = "It is the capture being replayed.";
    }
    if (capture.file < 0) {
        note(CaptureEnd::openFailed, problem);
        return false;
    }
    capture.fileEmptied = false;
    capture.keepUntouched = false;
    if (!firstLink().openCaptureTap(ringBytes)) {
        ::close(capture.file);
        capture.file = -1;
        note(CaptureEnd::openFailed, systemReason(ENOMEM));
        return false;
    }
    static bool finishAtExit = false;
    if (!finishAtExit) {
        // A process ended through exit() (the X server gone) keeps what was captured, and never
        // destroys a running thread's handle.
        std::atexit(finishCapture);
        finishAtExit = true;
    }
    capture.started = std::chrono::steady_clock::now();
    capture.elapsed = {};
    capture.phase = CaptureState::running;
    capture.writer = std::thread(writerThread);
    return true;
}

void stopCapture() {
    if (captureState.phase == CaptureState::running) beginStopping(CaptureEnd::saved);
}

void pollCapture() {
    CaptureState& capture = captureState;
    if (capture.phase == CaptureState::idle) return;
    CaptureEnd reason = CaptureEnd::saved;
    if (capture.phase == CaptureState::running && mustEnd(reason)) beginStopping(reason);
    if (capture.phase == CaptureState::stopping) advanceStop();
}

void finishCapture() {
    CaptureState& capture = captureState;
    if (capture.phase == CaptureState::idle) return;
    CaptureEnd reason = CaptureEnd::saved;
    if (capture.phase == CaptureState::running) {
        if (!mustEnd(reason) || reason == CaptureEnd::portLost) reason = CaptureEnd::saved;
        beginStopping(reason);
    }
    const auto giveUp = std::chrono::steady_clock::now() + releaseWaitLimit;
    while (!firstLink().captureTapReleased() && std::chrono::steady_clock::now() < giveUp) std::this_thread::sleep_for(releasePoll);
    capture.shared.finishRequested.store(true, std::memory_order_release);
    endCapture();  // joins the writer once it has written what is left
}

void discardCapture() {
    if (captureState.phase == CaptureState::idle) return;
    captureState.keepUntouched = true;
    finishCapture();
}

bool captureRunning() { return captureState.phase != CaptureState::idle; }

uint64_t captureBytes() { return captureState.shared.bytesWritten.load(std::memory_order_relaxed); }

int32_t captureSeconds() {
    const auto elapsed = captureState.phase == CaptureState::running
                             ? std::chrono::steady_clock::now() - captureState.started
                             : captureState.elapsed;
    return static_cast<int32_t>(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
}

std::string formatByteCount(uint64_t bytes) {
    if (bytes < bytesPerUnit) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    static const char* const units[] = {"kB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes) / bytesPerUnit;
    size_t unit = 0;
    while (value >= bytesPerUnit && unit + 1 < std::size(units)) {
        value /= bytesPerUnit;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

const char* captureNoticeTitle(const CaptureNotice& notice) {
    switch (notice.kind) {
    case CaptureEnd::saved: return "Capture Saved";
    case CaptureEnd::portLost: return "Capture Stopped";
    default: return "Capture Error";
    }
}

std::vector<std::string> captureNoticeLines(const CaptureNotice& notice) {
    const std::string kept = formatByteCount(notice.bytesKept) + " kept in";
    switch (notice.kind) {
    case CaptureEnd::saved:
        return {formatByteCount(notice.bytesKept) + " captured into", notice.path};
    case CaptureEnd::openFailed:
        return {"Cannot capture to " + notice.path, notice.reason};
    case CaptureEnd::writeFailed:
        return {"Writing the capture failed:", notice.reason, "Capture stopped; " + kept, notice.path};
    case CaptureEnd::ringFull:
        return {"The disk could not keep up with the sensor.", "Capture stopped; " + kept, notice.path};
    case CaptureEnd::portLost:
        return {"The sensor was disconnected.", "Capture stopped; " + kept, notice.path};
    case CaptureEnd::fileDeleted:
        return {notice.path + " was deleted while capturing.",
                "Capture stopped; the " + formatByteCount(notice.bytesKept) + " captured are gone."};
    }
    return {};
}

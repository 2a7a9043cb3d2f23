// Raw captures: every byte a link's grabber reads, in order, written to a file by a capture writer
// thread of its own, fed through that link's capture tap ring; one capture per link, all at once when
// the user asks. The controlling thread (the GUI thread, or a tool's main thread) starts, polls and
// ends the captures; each writer thread only drains its ring.
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

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>

// Process-wide mutable state of the captures: one slot each, the first for a single sensor.
CaptureState captures[maxLinks];
CaptureState& captureState = captures[0];

namespace {

// Between two looks of the writer at the ring: about 3 kB of a 1.5 Mbaud line each time.
constexpr auto writerPause = std::chrono::milliseconds(20);
// How long finishCapture waits for the grabbers to let go of the taps before it ends the captures anyway.
constexpr auto releaseWaitLimit = std::chrono::seconds(1);
constexpr auto releasePoll = std::chrono::milliseconds(1);
constexpr double bytesPerUnit = 1000.0;

void note(CaptureState& capture, CaptureEnd kind, const std::string& reason) {
    CaptureNotice& notice = capture.notice;
    notice.kind = kind;
    notice.reason = reason;
    notice.path = capture.path;
    notice.sensor = linkCount() > 1 && capture.link != nullptr ? capture.link->name : std::string();
    notice.bytesKept = capture.shared.bytesWritten.load();
    ++notice.serial;
}

// The file is emptied before its first byte is written; the writer thread, or the controlling
// thread once the writer has been joined. False (and writeError set) when that fails.
bool emptyFileOnce(CaptureState& capture) {
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

// True when `file` is the very file a capture replay reads: capturing into it would destroy it.
bool isReplayedCapture(int file) {
    struct stat written {}, replayed {};
    if (::fstat(file, &written) != 0) return false;
    for (int index = 0; index < linkCount(); ++index) {
        const int read = linkAt(index).capture.file;
        if (read >= 0 && ::fstat(read, &replayed) == 0 && written.st_dev == replayed.st_dev && written.st_ino == replayed.st_ino)
            return true;
    }
    return false;
}

// Capture writer thread: one span to the file; false (and writeError set) when a write fails.
bool writeSpan(CaptureState& capture, const uint8_t* data, size_t size) {
    CaptureShared& shared = capture.shared;
    if (size > 0 && !emptyFileOnce(capture)) return false;
    while (size > 0) {
        const ssize_t written = capture.writeBytes(capture.file, data, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            shared.writeError = written < 0 ? errno : ENOSPC;
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
        capture.link->captureTapTake(static_cast<size_t>(written));
        shared.bytesWritten.fetch_add(static_cast<uint64_t>(written), std::memory_order_relaxed);
    }
    return true;
}

// Capture writer thread: everything the ring holds now.
bool drainTap(CaptureState& capture) {
    const ByteSpans pending = capture.link->captureTapPending();
    for (int span = 0; span < 2; ++span)
        if (!writeSpan(capture, pending.data[span], pending.size[span])) return false;
    return true;
}

// The capture writer thread's body: drain, pause, until asked to finish (then one last drain, after
// which no byte can come) or a write fails.
void writerThread(CaptureState* capture) {
    CaptureShared& shared = capture->shared;
    for (;;) {
        const bool finishing = shared.finishRequested.load(std::memory_order_acquire);
        if (!drainTap(*capture) || finishing) break;
        std::this_thread::sleep_for(writerPause);
    }
    shared.writerDone.store(true, std::memory_order_release);
}

void beginStopping(CaptureState& capture, CaptureEnd reason) {
    capture.link->closeCaptureTap();
    capture.ending = reason;
    capture.elapsed = std::chrono::steady_clock::now() - capture.started;
    capture.phase = CaptureState::stopping;
}

// Why a running capture must end now, if it must.
bool mustEnd(const CaptureState& capture, CaptureEnd& reason) {
    const Link& link = *capture.link;
    if (link.captureTapOverflowed()) {
        reason = CaptureEnd::ringFull;
    } else if (capture.shared.writerDone.load(std::memory_order_acquire)) {
        reason = CaptureEnd::writeFailed;  // the writer ends early only when a write failed
    } else if (fileDeleted(capture.file)) {
        reason = CaptureEnd::fileDeleted;
    } else if (!link.portOpen) {
        reason = link.portLost ? CaptureEnd::portLost : CaptureEnd::saved;
    } else {
        return false;
    }
    return true;
}

// The writer has ended: join it, close the file, say how it went.
void endCapture(CaptureState& capture) {
    capture.writer.join();
    // A capture that ends without a byte still replaces the file, unless it never had a source.
    if (!capture.keepUntouched) emptyFileOnce(capture);
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
    note(capture, kind, error != 0 ? systemReason(error) : std::string());
    capture.link = nullptr;
}

// One step of a stopping capture; true once it has ended.
bool advanceStop(CaptureState& capture) {
    if (!capture.link->captureTapReleased()) return false;
    capture.shared.finishRequested.store(true, std::memory_order_release);
    if (!capture.shared.writerDone.load(std::memory_order_acquire)) return false;
    endCapture(capture);
    return true;
}

bool capturing(const Link& link) {
    for (const CaptureState& capture : captures)
        if (capture.phase != CaptureState::idle && capture.link == &link) return true;
    return false;
}

// A sensor's name as a part of a file name.
std::string fileNamePart(const std::string& name) {
    std::string part = name;
    for (char& c : part)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_') c = '_';
    return part;
}

}  // namespace

std::string capturePathFor(const std::string& path, const std::string& sensorName, bool severalLinks) {
    if (!severalLinks) return path;
    const std::string extension = captureExtension;
    const size_t slash = path.rfind('/');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    const bool extended = path.size() > base + extension.size() &&
                          path.compare(path.size() - extension.size(), extension.size(), extension) == 0;
    const size_t stem = extended ? path.size() - extension.size() : path.size();
    return path.substr(0, stem) + "-" + fileNamePart(sensorName) + path.substr(stem);
}

bool beginCapture(Link& link, const std::string& path, size_t ringBytes) {
    CaptureState* free = nullptr;
    for (CaptureState& slot : captures)
        if (slot.phase == CaptureState::idle && free == nullptr) free = &slot;
    if (free == nullptr || capturing(link)) return false;
    CaptureState& capture = *free;
    std::signal(SIGXFSZ, SIG_IGN);  // a file size limit must fail the write (and be reported)
    capture.link = &link;
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
        note(capture, CaptureEnd::openFailed, problem);
        capture.link = nullptr;
        return false;
    }
    capture.fileEmptied = false;
    capture.keepUntouched = false;
    if (!link.openCaptureTap(ringBytes)) {
        ::close(capture.file);
        capture.file = -1;
        note(capture, CaptureEnd::openFailed, systemReason(ENOMEM));
        capture.link = nullptr;
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
    capture.writer = std::thread(writerThread, &capture);
    return true;
}

bool beginCapture(const std::string& path, size_t ringBytes) { return beginCapture(firstLink(), path, ringBytes); }

bool beginCaptures(const std::string& path) {
    bool any = false;
    const bool several = linkCount() > 1;
    for (int index = 0; index < linkCount(); ++index) {
        Link& link = linkAt(index);
        if (link.portOpen && beginCapture(link, capturePathFor(path, link.name, several))) any = true;
    }
    return any;
}

void stopCapture() {
    for (CaptureState& capture : captures)
        if (capture.phase == CaptureState::running) beginStopping(capture, CaptureEnd::saved);
}

void pollCapture() {
    for (CaptureState& capture : captures) {
        if (capture.phase == CaptureState::idle) continue;
        CaptureEnd reason = CaptureEnd::saved;
        if (capture.phase == CaptureState::running && mustEnd(capture, reason)) beginStopping(capture, reason);
        if (capture.phase == CaptureState::stopping) advanceStop(capture);
    }
}

void finishCapture() {
    for (CaptureState& capture : captures) {
        if (capture.phase != CaptureState::running) continue;
        CaptureEnd reason = CaptureEnd::saved;
        if (!mustEnd(capture, reason) || reason == CaptureEnd::portLost) reason = CaptureEnd::saved;
        beginStopping(capture, reason);
    }
    const auto giveUp = std::chrono::steady_clock::now() + releaseWaitLimit;
    for (CaptureState& capture : captures) {
        if (capture.phase == CaptureState::idle) continue;
        while (!capture.link->captureTapReleased() && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(releasePoll);
        capture.shared.finishRequested.store(true, std::memory_order_release);
        endCapture(capture);  // joins the writer once it has written what is left
    }
}

void discardCapture() {
    for (CaptureState& capture : captures)
        if (capture.phase != CaptureState::idle) capture.keepUntouched = true;
    finishCapture();
}

bool captureRunning() {
    for (const CaptureState& capture : captures)
        if (capture.phase != CaptureState::idle) return true;
    return false;
}

uint64_t captureBytes() {
    uint64_t bytes = 0;
    for (const CaptureState& capture : captures)
        if (capture.phase != CaptureState::idle) bytes += capture.shared.bytesWritten.load(std::memory_order_relaxed);
    return bytes;
}

// The captures start together: the first one busy tells the time.
int32_t captureSeconds() {
    for (const CaptureState& capture : captures) {
        if (capture.phase == CaptureState::idle) continue;
        const auto elapsed = capture.phase == CaptureState::running ? std::chrono::steady_clock::now() - capture.started
                                                                    : capture.elapsed;
        return static_cast<int32_t>(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
    }
    return static_cast<int32_t>(std::chrono::duration_cast<std::chrono::seconds>(captureState.elapsed).count());
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
        return {notice.sensor.empty() ? std::string("The sensor was disconnected.") : notice.sensor + " was disconnected.",
                "Capture stopped; " + kept, notice.path};
    case CaptureEnd::fileDeleted:
        return {notice.path + " was deleted while capturing.",
                "Capture stopped; the " + formatByteCount(notice.bytesKept) + " captured are gone."};
    }
    return {};
}

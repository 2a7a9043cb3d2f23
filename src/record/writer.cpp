// The recording writer: recordings (a header and one row per GUI frame) and scenes (one snapshot),
// written from the point array. The record panel starts and ends them; the frame loop calls
// writeRecordingFrame every frame. GUI thread only.
//
// Each line goes to the file in one write(2), so it is in the operating system as soon as it is
// written, and every write is checked: a failure ends the recording with the file cut back to its
// last complete line, and leaves a notice that the record pop-ups show.
#include "record/record.h"

#include "app/app.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

// Process-wide mutable state of the writer.
RecordingState recordingState;

namespace {

constexpr int sceneNameAttempts = 1000;  // files made within one second: name, name-2 ... name-999
constexpr const char* sceneExtension = ".csv";

bool isRegularFile(int file) {
    struct stat status {};
    return ::fstat(file, &status) == 0 && S_ISREG(status.st_mode);
}

// A file whose last name is gone (rm of the file or of its folder) keeps taking rows that nobody
// can ever read.
bool fileDeleted(int file) {
    struct stat status {};
    return ::fstat(file, &status) == 0 && status.st_nlink == 0;
}

void note(RecordFailure kind, const std::string& reason, const std::string& path, int64_t rowsKept) {
    RecordingNotice& notice = recordingState.notice;
    notice.kind = kind;
    notice.reason = reason;
    notice.path = path;
    notice.rowsKept = rowsKept;
    ++notice.serial;
}

void closeFile() {
    if (recordingState.file >= 0) ::close(recordingState.file);
    recordingState.file = -1;
}

// A recording that cannot go on: keep its complete lines, close it, say why.
void endRecordingFailed(RecordFailure kind, const std::string& reason) {
    if (kind == RecordFailure::writeFailed && isRegularFile(recordingState.file))
        (void)::ftruncate(recordingState.file, static_cast<off_t>(recordingState.committedBytes));
    closeFile();
    appState.recordingActive = false;
    note(kind, reason, recordingState.recordPath, recordingState.rowsWritten);
}

// A scene is all or nothing: a partly written one is removed (it was created by us, exclusively).
void endSceneFailed(int error) {
    closeFile();
    ::unlink(recordingState.sceneFileName.c_str());
    appState.recordingActive = false;
    recordingState.sceneRequested = false;
    note(RecordFailure::sceneFailed, systemReason(error), recordingState.sceneFileName, 0);
}

void writeScene(const PointFrame& frame) {
    std::string& line = recordingState.lineBuffer;
    line.clear();
    appendScene(line, frame);
    if (!writeWhole(recordingState.file, line.data(), line.size())) {
        endSceneFailed(errno);
        return;
    }
    appState.recordingActive = false;  // a scene is written exactly once
}

void writeRow(const PointFrame& frame) {
    std::string& line = recordingState.lineBuffer;
    line.clear();
    appendRecordingRow(line, makeTimestamp(), frame);
    if (!writeWhole(recordingState.file, line.data(), line.size())) {
        endRecordingFailed(RecordFailure::writeFailed, systemReason(errno));
        return;
    }
    if (fileDeleted(recordingState.file)) {
        endRecordingFailed(RecordFailure::fileDeleted, "");
        return;
    }
    recordingState.committedBytes += line.size();
    ++recordingState.rowsWritten;
    const auto elapsed = std::chrono::system_clock::now() - recordingState.recordStart;
    recordingState.recordSeconds = static_cast<int32_t>(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
}

}  // namespace

Link& recordedLink() {
    const int sensor = recordingState.sensor;
    return sensor > 0 && sensor < linkCount() ? linkAt(sensor) : firstLink();
}

std::string makeTimestamp() {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local {};
    ::localtime_r(&now, &local);
    char text[timestampLength + 1];
    if (std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local) != timestampLength) return "00000000-000000";
    return text;
}

int createStampedFile(const std::string& stamp, const char* extension, std::string& name) {
    for (int attempt = 1; attempt < sceneNameAttempts; ++attempt) {
        name = attempt == 1 ? stamp + extension : stamp + "-" + std::to_string(attempt) + extension;
        const int file = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (file >= 0 || errno != EEXIST) return file;
    }
    return -1;
}

bool beginRecording(const std::string& path) {
    // A file size limit must fail the write (and be reported), not kill the viewer.
    std::signal(SIGXFSZ, SIG_IGN);
    closeFile();
    recordingState.recordPath = path;
    recordingState.rowsWritten = 0;
    recordingState.committedBytes = 0;
    std::string problem;
    recordingState.file = openRegularFile(path, O_WRONLY | O_CREAT | O_TRUNC, problem);
    if (recordingState.file < 0) {
        note(RecordFailure::openFailed, problem, path, 0);
        appState.recordingActive = false;
        return false;
    }
    std::string& line = recordingState.lineBuffer;
    line.clear();
    appendRecordingHeader(line);
    if (!writeWhole(recordingState.file, line.data(), line.size())) {
        const int error = errno;
        if (isRegularFile(recordingState.file)) (void)::ftruncate(recordingState.file, 0);
        closeFile();
        note(RecordFailure::openFailed, systemReason(error), path, 0);
        appState.recordingActive = false;
        return false;
    }
    recordingState.committedBytes = line.size();
    recordingState.recordStart = std::chrono::system_clock::now();
    recordingState.recordSeconds = 0;
    appState.recordingActive = true;
    return true;
}

bool beginScene() {
    std::signal(SIGXFSZ, SIG_IGN);
    closeFile();
    recordingState.file = createStampedFile(makeTimestamp(), sceneExtension, recordingState.sceneFileName);
    if (recordingState.file < 0) {
        note(RecordFailure::sceneFailed, systemReason(errno), recordingState.sceneFileName, 0);
        appState.recordingActive = false;
        return false;
    }
    appState.recordingActive = true;
    return true;
}

bool closeRecording() {
    if (recordingState.file < 0) return true;
    const bool scene = recordingState.sceneRequested;
    const bool deleted = !scene && fileDeleted(recordingState.file);
    const int closed = ::close(recordingState.file);
    const int error = errno;
    recordingState.file = -1;
    if (deleted) {
        note(RecordFailure::fileDeleted, "", recordingState.recordPath, recordingState.rowsWritten);
        return false;
    }
    if (closed == 0) return true;
    if (scene) {
        note(RecordFailure::sceneFailed, systemReason(error), recordingState.sceneFileName, 0);
    } else {
        note(RecordFailure::writeFailed, systemReason(error), recordingState.recordPath, recordingState.rowsWritten);
    }
    return false;
}

bool recordingFileOpen() { return recordingState.file >= 0; }

void writeRecordingFrame(const PointFrame& frameOnScreen) {
    if (recordingState.file < 0 || !appState.recordingActive) return;
    Link& link = recordedLink();
    if (&link != &firstLink()) link.readLatest(recordingState.chosenFrame);
    const PointFrame& frame = &link == &firstLink() ? frameOnScreen : recordingState.chosenFrame;
    if (recordingState.sceneRequested) {
        writeScene(frame);
        return;
    }
    // With the port gone the point array only repeats its last frame: end the recording instead.
    if (!link.portOpen) {
        endRecordingFailed(RecordFailure::portLost, "");
        return;
    }
    writeRow(frame);
}

const char* recordNoticeTitle(const RecordingNotice& notice) {
    if (notice.kind == RecordFailure::portLost) return "Recording Stopped";
    if (notice.kind == RecordFailure::sceneFailed) return "Scene not saved";
    return "Recording Error";
}

std::vector<std::string> recordNoticeLines(const RecordingNotice& notice) {
    const std::string& reason = notice.reason;
    const std::string rows = std::to_string(notice.rowsKept) + (notice.rowsKept == 1 ? " row" : " rows");
    switch (notice.kind) {
    case RecordFailure::openFailed:
        return {"Cannot record to " + notice.path, reason};
    case RecordFailure::writeFailed:
        return {"Writing " + notice.path + " failed:", reason, "Recording stopped; " + rows + " kept."};
    case RecordFailure::portLost:
        return {"The sensor was disconnected.", "Recording stopped; " + rows + " kept in", notice.path};
    case RecordFailure::sceneFailed:
        return {"Cannot save the scene " + notice.path, reason};
    case RecordFailure::fileDeleted:
        return {notice.path + " was deleted while recording.", "Recording stopped; the " + rows + " written are gone."};
    case RecordFailure::none:
        break;
    }
    return {};
}

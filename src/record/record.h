// Recording and replay: the recording and scene file formats, the writer and the reader.
// Called by the record and replay panel and, once per frame, by the frame loop. GUI thread only
// (the formatting and parsing functions hold no state and serve any thread, and the tools).
#pragma once

#include "link/link.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// ---- File layouts (csv_format.cpp) ---------------------------------------------------------------
// A recording is a header line and one row per GUI frame; a scene is 480 point lines and an empty
// line. Every value is followed by ","; numbers are written as a default-formatted C++ stream writes
// a float (6 significant digits, %g style: 0, 0.5, -0, 1e+06, 1e-05).
constexpr int timestampLength = 15;      // "%Y%m%d-%H%M%S"
constexpr int sceneLineLimit = 50;       // a first line of at most this many characters is a scene
constexpr int rowValueCount = 1 + pointsPerFrame * 3;
// The longest line the reader keeps; a longer line is no row of ours and is skipped unparsed.
constexpr int64_t longestReplayLine = 1 << 20;

void appendNumber(std::string& out, float value);
void appendRecordingHeader(std::string& out);  // with its line end
void appendRecordingRow(std::string& out, const std::string& timestamp, const PointFrame& frame);
void appendScene(std::string& out, const PointFrame& frame);  // 480 lines and the empty line
// One row (without its line end): the time column, then 480 × 3 coordinates, each value followed by
// one separator character; white space before a value or a separator is skipped and the rest of the
// line is ignored. False, and `frame` partly written, when the line holds less than that.
bool parseRecordingRow(const char* begin, const char* end, PointFrame& frame);
// One scene line: x, y and z, each followed by one separator character.
bool parseSceneLine(const char* begin, const char* end, float xyz[3]);

// ---- Writer (writer.cpp) ---------------------------------------------------------------------------
// Why the writer stopped or could not start; the record pop-ups say it to the user.
enum class RecordFailure { none, openFailed, writeFailed, portLost, sceneFailed };

struct RecordingNotice {
    RecordFailure kind = RecordFailure::none;
    int error = 0;               // errno of the failed call (0 for a lost port)
    std::string path;            // the file concerned
    int64_t rowsKept = 0;        // complete rows left in a stopped recording
    uint64_t serial = 0;         // grows with every notice, so each is shown once
};

// The writer's state: one process-wide instance, GUI thread only. `appState.recordingActive` is
// true exactly while a recording or a scene has rows still to write into an open file.
struct RecordingState {
    int file = -1;                  // descriptor of the recording or scene being written; -1 closed
    bool sceneRequested = false;    // a one-shot scene save is under way (set and cleared by the panel)
    std::chrono::system_clock::time_point recordStart;
    int32_t recordSeconds = 0;      // whole seconds from recordStart to the latest row
    std::string recordPath;         // the current recording, as the file chooser named it
    std::string sceneFileName;      // the latest scene
    uint64_t committedBytes = 0;    // end of the last complete line in the file
    int64_t rowsWritten = 0;        // rows of the current recording
    RecordingNotice notice;         // the latest failure
    std::string lineBuffer;         // one row or scene, formatted before its single write
};

extern RecordingState recordingState;

std::string makeTimestamp();  // local time, "%Y%m%d-%H%M%S"
// Creates `stamp` + `extension` (".csv") in the working directory, or `stamp`-2, -3 ... when taken:
// never replaces a file. Returns the open descriptor and sets `name`, or -1 with errno set.
int createStampedFile(const std::string& stamp, const char* extension, std::string& name);
// The whole buffer into the file, through interrupted and partial writes; false with errno set.
bool writeWhole(int file, const char* data, size_t size);
// Opens (truncating) and writes the header. False when the file cannot be opened or the header not
// written: recordingActive then stays false and the notice says why.
bool beginRecording(const std::string& path);
// Creates the scene file; the writer fills it later in the same GUI frame. False (with a notice)
// when it cannot be created.
bool beginScene();
// Closes the file; true when it was closed cleanly (or was not open). A failure is noted.
bool closeRecording();
bool recordingFileOpen();
// Once per GUI frame: one row of the point array while recording, or the scene once. A write error
// or a lost port ends the recording with every complete row kept, and is noted.
void writeRecordingFrame();
// The lines the pop-up shows for a notice, and its title.
const char* recordNoticeTitle(const RecordingNotice& notice);
std::vector<std::string> recordNoticeLines(const RecordingNotice& notice);

// ---- Point-cloud exports (point_export.cpp) --------------------------------------------------------
// The valid points of a frame as float x, y, z in metres, little-endian, in point order, behind a
// PLY 1.0 header ("format binary_little_endian 1.0", one "element vertex") or a PCD 0.7 header
// ("DATA binary", WIDTH the point count, HEIGHT 1).
enum class CloudFormat { ply, pcd };
const char* cloudExtension(CloudFormat format);  // ".ply", ".pcd"
int validPointCount(const PointFrame& frame);
void appendCloudFile(std::string& out, CloudFormat format, const PointFrame& frame);
// Formats the file in `buffer` and writes it whole to `file`; 0, or the errno of the failed write.
int writeCloudFile(int file, CloudFormat format, const PointFrame& frame, std::string& buffer);

struct CloudExport {
    int points = 0;              // valid points of the frame; none means nothing was written
    int error = 0;               // errno when the file could not be made or written (and is gone)
    std::string name;            // the file's name in `folder`
    std::string folder;          // the working directory
};
// The frame on screen (the PointCloud) into a new file in the working directory, named after the
// local time as scenes are (never replacing a file). GUI thread.
CloudExport exportFrameOnScreen(CloudFormat format);

// ---- Reader (replay.cpp) -------------------------------------------------------------------------
// The reader's state: one process-wide instance, GUI thread only. Rows are numbered by line: line 0
// is the header, line n is data row n; `playRow` is the slider's value.
struct ReplayState {
    int file = -1;                  // descriptor of the file being replayed; -1 closed
    std::string replayPath;
    bool playing = false;
    bool stopRequested = false;
    bool headerPending = true;      // the next line consumed while playing is the header
    int64_t playRow = 0;
    int64_t previousRow = 0;
    int64_t rowPosition = 0;        // byte offset of the line the reader stands at
    int64_t readPosition = 0;       // byte offset of the next line to read
    int64_t rowCount = 0;           // line ends after the header line: the slider's maximum
    std::vector<int64_t> lineOffsets;  // start of line k × lineStride, for one-seek slider moves
    int64_t lineStride = 1;         // grows (×2) only for files of millions of short lines
    std::string lineBuffer;
    std::vector<char> readBuffer;   // a window of the file at readBufferStart
    int64_t readBufferStart = 0;
    int64_t readBufferLength = 0;
    PointFrame frame{};             // the points shown last; a row that does not parse leaves them
    int64_t rowsSkipped = 0;        // rows of the current replay that did not parse
};

extern ReplayState replayState;

// Opens a recording (paused at its start) or loads a scene (and closes it at once). False when the
// file cannot be opened or is not a regular file; the state is then unchanged.
bool openReplay(const std::string& path);
// Positions the file at line `row` (0: just after the header). Counts as having passed the header.
void seekReplayRow(int64_t row);
bool replayFileOpen();
// The per-frame step of the reader without its pop-up: true in the frame in which the replay ends
// (end of file, an empty line or the stop button), when "File End!" is to open.
bool advanceReplay();
void dismissReplayEnd();   // "Close" in "File End!": the file is closed at the next frame

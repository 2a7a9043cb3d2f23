// Recording and replay: the recording and scene file formats, the writer and the reader.
// Called by the record and replay panel and, once per frame, by the frame loop. GUI thread only
// (the formatting and parsing functions hold no state and serve any thread, and the tools).
#pragma once

#include "link/link.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <thread>
#include <unistd.h>
#include <utility>
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
enum class RecordFailure { none, openFailed, writeFailed, portLost, sceneFailed, fileDeleted };

struct RecordingNotice {
    RecordFailure kind = RecordFailure::none;
    std::string reason;          // the system's reason as a sentence (empty for a lost port)
    std::string path;            // the file concerned
    int64_t rowsKept = 0;        // complete rows left in a stopped recording
    uint64_t serial = 0;         // grows with every notice, so each is shown once
};

// The writer's state: one process-wide instance, GUI thread only. `appState.recordingActive` is
// true exactly while a recording or a scene has rows still to write into an open file.
struct RecordingState {
    int file = -1;                  // descriptor of the recording or scene being written; -1 closed
    bool sceneRequested = false;    // a one-shot scene save is under way (set and cleared by the panel)
    int sensor = 0;                 // index of the link whose frames recordings and scenes hold (the panel's choice)
    std::chrono::system_clock::time_point recordStart;
    int32_t recordSeconds = 0;      // whole seconds from recordStart to the latest row
    std::string recordPath;         // the current recording, as the file chooser named it
    std::string sceneFileName;      // the latest scene
    uint64_t committedBytes = 0;    // end of the last complete line in the file
    int64_t rowsWritten = 0;        // rows of the current recording
    RecordingNotice notice;         // the latest failure
    std::string lineBuffer;         // one row or scene, formatted before its single write
    PointFrame chosenFrame{};       // the latest frame of a chosen sensor other than the first
};

extern RecordingState recordingState;

// The link recordings and scenes hold the frames of: the chosen one, or the first when it is gone.
Link& recordedLink();
std::string makeTimestamp();  // local time, "%Y%m%d-%H%M%S"
// Creates `stamp` + `extension` (".csv") in the working directory, or `stamp`-2, -3 ... when taken:
// never replaces a file. Returns the open descriptor and sets `name`, or -1 with errno set.
int createStampedFile(const std::string& stamp, const char* extension, std::string& name);
// Opens (truncating) and writes the header. False when the file cannot be opened or the header not
// written: recordingActive then stays false and the notice says why.
bool beginRecording(const std::string& path);
// Creates the scene file; the writer fills it later in the same GUI frame. False (with a notice)
// when it cannot be created.
bool beginScene();
// Closes the file; true when it was closed cleanly (or was not open). A failure, or a recording
// whose file was deleted meanwhile (its rows are gone), is noted.
bool closeRecording();
bool recordingFileOpen();
// Once per GUI frame: one row of the point array while recording, or the scene once: the frame on
// screen of the first sensor, or the latest frame of the one chosen (recordedLink). A write error
// or a lost port ends the recording with every complete row kept, and is noted; so does a file
// deleted while it is written.
void writeRecordingFrame(const PointFrame& frame);
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
    std::string folder;          // the working directory, as workingFolderName says it
};
// The working directory's path, or what stands for it when it has none ("the working folder, which
// was deleted"): the folder a failure names.
std::string workingFolderName();
// The frame on screen into a new file in the working directory, named after the
// local time as scenes are (never replacing a file). GUI thread.
CloudExport exportFrameOnScreen(CloudFormat format, const PointFrame& frame);

// ---- Raw capture (capture.cpp) -------------------------------------------------------------------
// A capture is the plain byte stream of one link as its grabber read it, every byte in order (the
// format quarvis-sim writes and quarvis-decode reads), from the grabber's first batch after the
// start. Every connected link may be captured at once, one file each, each with a capture writer
// thread of its own that takes the bytes from that link's capture tap to its file, so no grabber
// ever waits on the disk. The controlling thread (the GUI thread, or a tool's main thread) starts
// and stops them and calls pollCapture regularly.
enum class CaptureEnd { saved, openFailed, writeFailed, ringFull, portLost, fileDeleted };

struct CaptureNotice {
    CaptureEnd kind = CaptureEnd::saved;
    std::string reason;          // why it failed, as a sentence for the user (empty when nothing failed)
    std::string path;
    std::string sensor;          // the link's name when several links are there, else empty
    uint64_t bytesKept = 0;      // bytes in the file: every byte read up to the end, in order
    uint64_t serial = 0;         // grows with every notice, so each is shown once
};

// Shared by the controlling thread and one capture writer thread.
struct CaptureShared {
    std::atomic<uint64_t> bytesWritten{0};    // written by the writer thread; read by the controller
    std::atomic<int> writeError{0};           // writer thread: errno of the write that failed
    std::atomic<bool> finishRequested{false}; // controller: the tap is released, write what is left and end
    std::atomic<bool> writerDone{false};      // writer thread: it has ended (after finishing or failing)
};

// One capture: one link into one file, owned by the controlling thread. Its writer thread reads
// `link`, `file` and `writeBytes`, set before it starts, and the shared fields.
struct CaptureState {
    enum Phase { idle, running, stopping };
    Phase phase = idle;
    CaptureEnd ending = CaptureEnd::saved;   // why a stopping capture stops
    Link* link = nullptr;                    // the link captured, while not idle
    int file = -1;
    std::string path;
    bool fileEmptied = false;     // the file was cut to nothing before its first byte (writer thread, then controller)
    bool keepUntouched = false;   // discardCapture: the file stays as it was when no byte came
    std::thread writer;
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::duration elapsed{};  // frozen once the capture stops
    CaptureNotice notice;                    // the latest end of a capture, or failure to start
    ssize_t (*writeBytes)(int file, const void* data, size_t size) = ::write;  // tests fake a disk here
    CaptureShared shared;
};

// Process-wide: a slot per capture that may run at once (one per link), written by the controlling
// thread. `captureState` is the first slot: the one a single sensor's capture always takes.
extern CaptureState captures[maxLinks];
extern CaptureState& captureState;

// The file a link's capture goes to when the user names `path`: `path` itself while one link is
// there, else the name with "-" and the sensor's name (characters other than letters, digits, '.',
// '-' and '_' as '_') put before the capture extension: run1.ostrel, Sensor 2 -> run1-Sensor_2.ostrel.
std::string capturePathFor(const std::string& path, const std::string& sensorName, bool severalLinks);
// Opens the regular file `path` (emptied once the first bytes come, or at the end), starts a writer
// thread and opens the link's tap, in a free slot. False, with a notice, when the file cannot be
// opened, is a capture being replayed, or the ring cannot be allocated; false too when the link is
// captured already.
bool beginCapture(Link& link, const std::string& path, size_t ringBytes = captureRingBytes);
bool beginCapture(const std::string& path, size_t ringBytes = captureRingBytes);  // the first link's
// Every connected link at once, each into its capturePathFor(path). False when none started.
bool beginCaptures(const std::string& path);
void stopCapture();   // every capture ends once its grabber's batch under way is written (pollCapture)
// Regularly on the controlling thread: ends a capture on a full ring, a failed write, a deleted file
// or a closed port (the others go on), and finishes a stop once every byte is written (the file is
// closed and a notice left in the slot).
void pollCapture();
// Ends every capture at once, waiting (briefly) for the grabbers and the writers: at exit and at the
// end of a tool's run. Leaves notices like pollCapture.
void finishCapture();
// Ends the captures whose sources never opened: a file that took no byte is left as it was.
void discardCapture();
bool captureRunning();   // from the first beginCapture until every file is closed
uint64_t captureBytes();  // of every capture running
int32_t captureSeconds();
std::string formatByteCount(uint64_t bytes);  // "950 bytes", "12.3 kB", "4.5 MB", "1.2 GB"
const char* captureNoticeTitle(const CaptureNotice& notice);
std::vector<std::string> captureNoticeLines(const CaptureNotice& notice);

// ---- Reader (replay.cpp) -------------------------------------------------------------------------
// Where the lines of a recording start, found once when it is opened. Line 0 is the header, line n
// is data row n.
struct ReplayIndex {
    std::vector<int64_t> lineOffsets;  // start of line k × lineStride, for one-seek slider moves
    int64_t lineStride = 1;            // grows (×2) only for files of millions of short lines
    // Lines longer than longestReplayLine (no row of ours): their start and the start of the line
    // after them, so the reader passes them without reading them.
    std::vector<std::pair<int64_t, int64_t>> longLines;
    int64_t rowCount = 0;              // line ends after the header line: the slider's maximum
    bool anyLineAfterHeader = false;   // something follows the header
    bool anyRowReadable = false;       // at least one line after the header parses as a row
};

// Why a file was not replayed; the record pop-ups say it to the user.
struct ReplayNotice {
    std::string path;
    std::string problem;   // a sentence: "It holds no points.", "No such file or directory."
    uint64_t serial = 0;   // grows with every notice, so each is shown once
};

// The reader's state: one process-wide instance. Rows are numbered by line: line 0 is the header,
// line n is data row n; `playRow` is the slider's value. Every field belongs to the GUI thread, but
// for the index being built (see below).
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
    int64_t rowCount = 0;           // the slider's maximum: index.rowCount, 0 once the replay ended
    ReplayIndex index;              // of the recording loaded, once indexing is over
    std::string lineBuffer;
    std::vector<char> readBuffer;   // a window of the file at readBufferStart, kept within one call
    int64_t readBufferStart = 0;
    int64_t readBufferLength = 0;
    PointFrame frame{};             // the points shown last; a row that does not parse leaves them
    int64_t rowsSkipped = 0;        // rows of the current replay that did not parse
    ReplayNotice notice;            // the latest file that was not replayed

    // The index is built by the indexer thread, started when a recording is opened. `building` is
    // the indexer's until it raises indexDone, then the GUI thread's, which joins the indexer and
    // takes the result. The GUI thread does no file work on the recording meanwhile.
    bool indexing = false;                  // GUI thread: an indexer was started and not yet joined
    std::thread indexer;                    // GUI thread: starts and joins it
    std::atomic<bool> indexCancel{false};   // written by the GUI thread, read by the indexer
    std::atomic<bool> indexDone{false};     // written by the indexer (release), read by the GUI thread
    std::atomic<int64_t> indexedBytes{0};   // written by the indexer, read by the GUI thread (progress)
    int64_t fileBytes = 0;                  // GUI thread: the size at opening, for the progress
    ReplayIndex building;

    ~ReplayState();                         // an indexer still running is cancelled and joined
};

extern ReplayState replayState;

// Opens a recording (paused at its start; its rows are indexed in the background) or loads a scene
// (and closes it at once). False, with the notice saying why, when the file cannot be opened, is not
// a regular file, or holds no points; the state is then unchanged.
bool openReplay(const std::string& path);
// Positions the file at line `row` (0: just after the header). Counts as having passed the header.
void seekReplayRow(int64_t row);
// Shows the row the reader stands at without moving (the slider was released there).
void showReplayRow();
bool replayFileOpen();
// While a recording's rows are being indexed: the replay controls wait. Progress in 0..1.
bool replayIndexing();
float replayIndexProgress();
// Blocks until the index is built and taken over (or the recording refused): tests and tools only.
void waitForReplayIndex();
// The per-frame step of the reader without its pop-up: true in the frame in which the replay ends
// (end of file, an empty line or the stop button), when "File End!" is to open. Takes over the index
// once it is built; a recording with no readable row is then refused with a notice. While paused it
// does no file work.
bool advanceReplay();
void dismissReplayEnd();   // "Close" in "File End!": the file is closed at the next frame
void closeReplay();        // at exit: ends any replay and indexing now
// The lines the replay pop-ups show: the notice, and what "File End!" adds after its text (rows that could not be read).
std::vector<std::string> replayNoticeLines(const ReplayNotice& notice);
std::vector<std::string> replaySkippedLines();

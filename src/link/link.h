// Sensor link: serial port access, the frame grabber (wire format, synchroniser, hand-over, link
// statistics), the frame handler and the shared PointCloud. Used by the panels, the recording
// writer and reader, the scene drawing and the command-line tools.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

// Time stamps and capture times count micro-seconds.
constexpr uint32_t microsPerSecond = 1000000;

struct sp_port;

// ---- Wire format -------------------------------------------------------------------------------
constexpr int pointsPerFrame = 480;
constexpr int frameBytes = 2912;            // one whole frame on the wire, and one FrameRecord
constexpr uint32_t frameSizeField = 2904;   // value of the size field: bytes from offset 8 to the end
constexpr int framesPerBuffer = 1;

// Byte layout of a frame (and of a FrameRecord, which holds it as received); little-endian fields.
constexpr uint8_t syncPattern[4] = {0x5A, 0xA5, 0x5A, 0xA5};
constexpr int sizeOffset = 4;
constexpr int sequenceOffset = 8;
constexpr int bodyOffset = 10;       // the body: offsets 10..2907, size field - 6 bytes
constexpr int secondsOffset = 12;
constexpr int microsOffset = 16;
constexpr int pointsOffset = 28;     // 480 points of x, y, z: signed millimetres, two bytes each
constexpr int checksumOffset = 2908;
constexpr int readChunkBytes = 200;         // the grabber reads at most this much per batch
constexpr int lineBitsPerByte = 10;         // 8N1 on the line: start bit, 8 data bits, stop bit

constexpr int coordinateBytes = 2;
constexpr int pointBytes = 3 * coordinateBytes;

// Where coordinate `axis` (0 x, 1 y, 2 z) of point `point` stands in a frame.
constexpr int pointFieldOffset(int point, int axis) { return pointsOffset + pointBytes * point + coordinateBytes * axis; }

// Little-endian fields of up to four bytes, as the wire format and the frame records hold them.
inline uint32_t readLittleEndian(const uint8_t* at, int bytes) {
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= static_cast<uint32_t>(at[i]) << (8 * i);
    return value;
}
inline void writeLittleEndian(uint8_t* at, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

// ---- Serial port access (GUI thread, except read: grabber only) ----------------------------------
// Why a port could not be opened, taken at the step that failed: libserialport's status and, when
// the system refused (SP_ERR_FAIL), its error number and message.
struct PortFailure {
    std::string port;
    int status = 0;       // libserialport status of the failed step; 0: none failed
    int error = 0;        // errno of the system's refusal; 0 when libserialport refused by itself
    std::string reason;   // as a user reads it: "Permission denied", "Setting the baud rate: ..."
};

struct SerialLink {
    sp_port* port = nullptr;
    bool portIsOpen = false;  // `port` is open (GUI thread writes, only while the grabber is parked)
    bool portIsDemo = false;  // the open port is the demo sensor
    bool portIsCapture = false;  // the open port is the capture replay source

    int open(const char* portName, int baudRate);  // libserialport status, 0 on success
    void close();
    int read(uint8_t* buffer, int maxBytes);       // bytes read (0 when none waiting) or a negative status
    // As read, but waits up to timeoutMs for the first byte (0 when none came). Grabber only.
    int readWithin(uint8_t* buffer, int maxBytes, unsigned timeoutMs);
    bool lost();                                   // true when the port must be taken as gone
    PortFailure failure;                           // why the last open failed (status 0 after a success)
};

extern SerialLink serialLink;

// Names offered to the user; entry 0 is the placeholder "SELECT A PORT". GUI thread only.
extern const char* const portPlaceholder;  // "SELECT A PORT"
extern std::vector<std::string> portList;

// Ports the system lists that the last enumeratePorts could not open, each with its reason.
extern std::vector<PortFailure> portsLeftOut;

void disconnect();      // stop the workers, then close the port
// Appends every port that opens at appState.baudRate; the others go to portsLeftOut.
void enumeratePorts();

// ---- Link statistics (0..7 written by the grabber, 8 and 9 by the handler) ----------------------
// The ten counters by index: 0..7 written by the grabber, 8 and 9 by the handler.
enum LinkCounter : int {
    counterTotalBytes = 0,
    counterGoodFrames,
    counterGoodSyncs,
    counterLostSyncs,
    counterSizeErrors,        // first of the four error counters
    counterChecksumErrors,
    counterInvalidErrors,     // last of the error counters
    counterOverruns,
    counterBuffersProcessed,
    counterFramesProcessed,
    linkStatisticCount
};
extern const char* const linkStatisticNames[linkStatisticCount];  // "Total bytes", "Good frames", ...

struct LinkStatistics {
    std::atomic<uint32_t> counts[linkStatisticCount] = {};
    std::atomic<bool> changed[linkStatisticCount] = {};

    void reset();
    void increment(int index);
    void add(int index, uint32_t amount);  // as `amount` increments at once (none when 0)
    uint32_t get(int index) const;
    bool errorChanged() const;
    void clearErrorChanged();
    void print(FILE* stream) const;
};

extern LinkStatistics linkStatistics;

// ---- PointCloud ---------------------------------------------------------------------------------
// One whole frame of points. Readers always get a frame as it was published, never a mix of two.
struct PointFrame {
    uint32_t valid[pointsPerFrame];        // 1 when the point holds a measured position
    float xyz[pointsPerFrame][3];          // metres
    // The sensor's sequence number and time stamp of the frame. `stamped` is 0 for frames that
    // carry none (read from a recording or a scene).
    uint32_t stamped = 0;
    uint32_t sequence = 0;
    uint32_t timestampSeconds = 0;
    uint32_t timestampMicros = 0;
};

// Written by the frame handler while connected, by the replay reader (GUI thread) while not: never
// both at once. Read by the scene drawing and the recording writer on the GUI thread.
void publishPointCloud(const PointFrame& frame);
void readPointCloud(PointFrame& out);
uint64_t pointCloudGeneration();  // grows by one with every published frame
// Called after every published frame on the publishing thread (the handler, or the GUI thread
// replaying), so a GUI waiting for events can wake. Null: no one is told. Once setFramePublishedHook
// returns, the hook it replaced runs on no thread any more.
using FramePublishedHook = void (*)();
void setFramePublishedHook(FramePublishedHook hook);

// ---- Synchroniser and decoding, also used offline (quarvis-decode) ------------------------------
// The grabber's synchroniser over a byte stream: counts every event in linkStatistics and calls
// onGoodFrame with each complete 2912-byte record whose size and checksum are right. resetSynchroniser
// is what the grabber's Start does (hunt afresh, statistics zeroed). One thread at a time.
using GoodFrameCallback = void (*)(const uint8_t* record, void* context);
void resetSynchroniser();
// Back to hunting outside a frame, counters kept: what follows is a jump in the stream (a seek).
void huntAfresh();
void synchroniseBytes(const uint8_t* bytes, int count, GoodFrameCallback onGoodFrame, void* context);
// The 480 points of a record in metres, all marked valid, with its sequence number and time stamp.
void decodeFrame(const uint8_t* record, PointFrame& out);

// ---- The link's workers and connection (link_workers.cpp) ----------------------------------------
// Entry steps 1 and 2: the grabber and the handler threads on serialLink, parked at once. The exit
// sequence closes a port still open after both are joined.
void startLinkWorkers();
// Opens the port; on success sets portOpen and wakes the workers (the port is open before the
// grabber runs). Returns the open status. GUI thread, or a tool's main thread.
int connectLink(const char* portName, int baudRate);
// The link back to its state at start, with the workers parked: port closed and freed, portOpen,
// portLost and debugPrint clear, default baud rate, demo sensor off, only the placeholder in
// portList and no port left out, empty mailbox, zeroed buffers and counters, a synchroniser hunting afresh, an all-invalid
// PointCloud. For tests.
void resetLink();

// ---- Capture tap: every byte the grabber reads, in order, for a capture writer (capture_tap.cpp) --
// While open, the grabber copies each batch it reads, whole, into a lock-free single-producer,
// single-consumer ring before synchronising it, and never waits: a batch that does not fit is not
// copied, and the tap copies nothing more until it is opened again (a capture never has a gap in
// its middle). The capture starts at the boundary of the grabber's next batch.
constexpr const char* captureExtension = ".ostrel";     // raw captures of the byte stream
constexpr size_t captureRingBytes = size_t{8} << 20;    // about 55 s of a 1.5 Mbaud line
struct ByteSpans {
    const uint8_t* data[2];  // the bytes waiting, oldest first: data[1] is where the ring wraps
    size_t size[2];
};
// The controlling thread (GUI thread, or a tool's main thread). Opening needs a released tap; the
// ring is (re)allocated when its size (a power of two) changes. False when it cannot be allocated.
bool openCaptureTap(size_t ringBytes);
void closeCaptureTap();       // the grabber copies no batch after the one it may be copying now
bool captureTapReleased();    // since closing, the grabber has finished every copy (or is parked)
bool captureTapOverflowed();  // a batch did not fit: nothing was copied from it on
// The capture writer thread (the one consumer): the bytes waiting, and handing room back.
ByteSpans captureTapPending();
void captureTapTake(size_t bytes);

// ---- Demo sensor --------------------------------------------------------------------------------
// With --demo, enumeratePorts lists "DEMO SENSOR" after the real ports; SerialLink routes that name
// to an in-process simulated sensor paced at the chosen baud rate (src/sim/demo_port.cpp).
extern const char* const demoPortName;  // "DEMO SENSOR"
extern std::atomic<bool> demoSensorEnabled;
int demoPortOpen(int baudRate);                 // libserialport-style status
void demoPortClose();
int demoPortRead(uint8_t* buffer, int maxBytes);  // grabber thread; never blocks for long

// ---- Frame encoding (the sensor's side of the wire format: simulator, demo sensor, tests) --------
// One frame of the wire format: sync, size 2904, sequence, time stamp, points in millimetres and
// the additive checksum of the bytes from offset 8 to 2907.
void encodeFrame(uint16_t sequence, uint32_t timestampSeconds, uint32_t timestampMicros,
                 const int16_t millimetres[pointsPerFrame][3], uint8_t out[frameBytes]);
uint32_t frameChecksum(const uint8_t record[frameBytes]);

// ---- Capture replay (capture_index.cpp, capture_port.cpp) ----------------------------------------
// A capture is a file of the sensor's byte stream. It is indexed in the background (offset and time
// stamp of every good frame), then replayed as a source of the link: SerialLink routes the port name
// "CAPTURE REPLAY" to it, the grabber reads it in batches through the real synchroniser, and it
// releases the bytes of frame k when the replay clock reaches frame k's time stamp.
extern const char* const capturePortName;  // "CAPTURE REPLAY"

struct CaptureFrame {
    uint64_t offset;      // of the frame's first sync byte in the file
    int64_t playMicros;   // when it is due, measured from the first frame on the sensor's clock
    uint16_t sequence;
};

struct CaptureIndex {
    std::vector<CaptureFrame> frames;  // the good frames (sync, size and checksum right), in file order
    uint64_t fileBytes = 0;
};

// A step of the sensor's clock between two frames that goes backwards plays as no pause, and one
// longer than this (the sensor restarted, a gap in the capture) plays as this long.
constexpr int64_t longestFrameGapMicros = 2000000;
constexpr size_t captureScanChunkBytes = size_t{1} << 20;

// Called after each chunk with the bytes scanned so far; returning false cancels the scan.
using CaptureProgress = bool (*)(uint64_t scannedBytes, void* context);
// Scans a whole capture for good frames. 0, errno of a failed read, or ECANCELED. Any thread.
int indexCapture(int file, CaptureIndex& index, CaptureProgress progress, void* context,
                 size_t chunkBytes = captureScanChunkBytes);
// The frame shown at `playMicros` into the replay: the last one due by then (0 before the first).
int64_t captureFrameAt(const CaptureIndex& index, int64_t playMicros);

// The clock that paces a replay: the machine's steady clock, or a fake one in tests (set only while
// no replay runs).
struct CaptureClock {
    int64_t (*nowMicros)();
    void (*sleepUntilMicros)(int64_t micros);
};
extern CaptureClock captureClock;
extern const CaptureClock steadyCaptureClock;

constexpr float captureFastest = 0.0f;  // speed: the next frame once the last one has been drawn

// The open capture, one process-wide instance. Who owns what:
// - the GUI thread opens and closes the file and starts, polls and joins the indexer;
// - the indexer thread writes `index`, `indexError` and `scannedBytes` until it raises `indexDone`;
//   from then until the capture is closed `index` is read-only (GUI thread and grabber);
// - the controls are written by the GUI thread and read by the grabber (inside capturePortRead);
// - the position is written by the grabber and read by the GUI thread.
struct CaptureReplay {
    int file = -1;                           // GUI thread; the grabber reads through it while connected
    std::string path;                        // GUI thread
    uint64_t fileBytes = 0;                  // GUI thread: the size when opened, for the progress
    std::thread indexer;                     // GUI thread
    bool indexing = false;                   // GUI thread: the indexer has not been joined yet
    int indexError = 0;                      // indexer, then GUI thread
    CaptureIndex index;
    std::atomic<uint64_t> scannedBytes{0};   // indexer
    std::atomic<bool> cancelIndexing{false}; // GUI thread
    std::atomic<bool> indexDone{false};      // indexer (release), after index and indexError

    std::atomic<bool> playing{false};        // controls: GUI thread
    std::atomic<float> speed{1.0f};          // 0.25 .. 8, or captureFastest
    std::atomic<bool> loop{false};
    std::atomic<int64_t> seekFrame{0};       // taken when seekSerial changes
    std::atomic<uint32_t> seekSerial{0};
    std::atomic<uint64_t> framesDrawn{0};    // GUI thread: grows by one every GUI frame

    std::atomic<int64_t> shownFrame{-1};     // position: grabber; the frame released last
    std::atomic<bool> atEnd{false};          // the last frame is out and no loop follows
    std::atomic<bool> readFailed{false};     // a read of the file failed: the link treats it as lost
};
extern CaptureReplay captureReplay;

// GUI thread. Opens a capture (a regular file only) and starts indexing it in the background: an
// empty text, or the reason it cannot be opened as a sentence for the user.
std::string openCapture(const std::string& path);
// GUI thread, every frame: true once, in the frame in which the indexer has finished (joined).
bool pollCaptureIndexing();
// GUI thread. Disconnects the link if it is on the capture, stops the indexer and closes the file.
void closeCapture();
bool captureOpen();
// GUI thread: show frame `frame` (clamped) now, paused or playing.
void seekCapture(int64_t frame);
// The capture source behind SerialLink: open and close on the GUI thread while the grabber is parked,
// read on the grabber thread. Opening needs an indexed capture with frames; it shows frame 0, paused.
int capturePortOpen();
void capturePortClose();
int capturePortRead(uint8_t* buffer, int maxBytes);  // waits at most a few milliseconds
// The indexer stopped and joined and the file closed, without touching the link (exit sequence, tests).
void releaseCapture();

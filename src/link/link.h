// Sensor links: one Link per sensor, owning its source (serial port, demo sensor or capture replay,
// behind one table of functions), its grabber and handler threads, its synchroniser, its counters,
// its latest frame and its capture tap; the registry of links; the wire format. Used by the panels,
// the recording writer and reader, the scene drawing and the command-line tools.
//
// Index: Wire format | Port listing | Link statistics | Synchroniser | PointFrame | Frame encoding |
//        Capture index and clock | Sources | Link | Registry
#pragma once

#include "app/app.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
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

// ---- Port listing (GUI thread, or a tool's main thread) --------------------------------------------
// Why a port could not be opened, taken at the step that failed: libserialport's status and, when
// the system refused (SP_ERR_FAIL), its error number and message.
struct PortFailure {
    std::string port;
    int status = 0;       // libserialport status of the failed step; 0: none failed
    int error = 0;        // errno of the system's refusal; 0 when libserialport refused by itself
    std::string reason;   // as a user reads it: "Permission denied", "Setting the baud rate: ..."
};

// Names offered to the user; entry 0 is the placeholder "SELECT A PORT".
extern const char* const portPlaceholder;  // "SELECT A PORT"

// The machine's ports as the last enumeratePorts found them. Process-wide: there is one machine
// whatever the number of links. Written by enumeratePorts and the connection panel (GUI thread).
extern std::vector<std::string> portList;
// What libserialport says of a listed port, and whether the user may open it.
struct PortDetails {
    std::string name;
    std::string description;   // "USB-Serial Controller", ...
    std::string usbIds;        // maker and product ids, "067b:2303"; empty when not USB
    std::string serialNumber;  // of a USB device; may be empty
    bool permitted = true;     // the user may read and write the device (checked without opening it)
};
extern std::vector<PortDetails> portDetails;  // the listed ports, in the order of portList after its placeholder
// Ports the last enumeratePorts listed that the user may not open, each with its reason.
extern std::vector<PortFailure> portsLeftOut;
// Set once by the entry (--demo) before the GUI starts: the port list offers the demo sensor.
extern std::atomic<bool> demoSensorEnabled;

// Appends every port libserialport lists to portList, with its details, opening none of them;
// those the user may not open also go to portsLeftOut.
void enumeratePorts();

// ---- Link statistics -----------------------------------------------------------------------------
// The ten counters by index: 0..7 written by the grabber (its synchroniser), 8 and 9 by the handler.
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

// 64 bits each: a long session or a big capture passes 4 GiB of bytes.
struct LinkStatistics {
    std::atomic<uint64_t> counts[linkStatisticCount] = {};
    std::atomic<bool> changed[linkStatisticCount] = {};

    void reset();
    void increment(int index);
    void add(int index, uint64_t amount);  // as `amount` increments at once (none when 0)
    uint64_t get(int index) const;
    bool errorChanged() const;
    void clearErrorChanged();
    void print(FILE* stream) const;
};

// ---- Synchroniser ----------------------------------------------------------------------------------
// Finds frames in a byte stream: counts every event in its statistics and calls onGoodFrame with each
// complete 2912-byte record whose size and checksum are right. Each link's grabber owns one; the
// decoder tool and the tests run one on their own. One thread at a time.
using GoodFrameCallback = void (*)(const uint8_t* record, void* context);

// The synchroniser's variables and the assembly area, copyable as a whole (the fuzzer compares them).
struct SynchroniserState {
    int syncState = 0;
    int prevSyncState = 0;
    int32_t fieldIndex = 0;
    uint32_t computedSum = 0;
    bool syncedOnce = false;
    bool inFrame = false;
    bool frameReady = false;
    uint8_t record[frameBytes] = {};  // the assembly area
};

struct Synchroniser : SynchroniserState {
    LinkStatistics statistics;  // counters 0..7 here; a link's handler adds 8 and 9

    // What the grabber's Start does: hunt afresh, statistics zeroed.
    void reset();
    // Back to hunting outside a frame, counters kept: what follows is a jump in the stream (a seek).
    void huntAfresh();
    void synchroniseBytes(const uint8_t* bytes, int count, GoodFrameCallback onGoodFrame, void* context);
};

// The header fields of a frame (any complete record), read in one place.
struct FrameHeader {
    uint32_t size;
    uint16_t sequence;
    uint32_t seconds;
    uint32_t micros;
    uint32_t checksum;
};
FrameHeader readFrameHeader(const uint8_t* record);

// ---- PointFrame ------------------------------------------------------------------------------------
// One whole frame of points.
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

// The 480 points of a record in metres, all marked valid, with its sequence number and time stamp.
void decodeFrame(const uint8_t* record, PointFrame& out);

// Called after every frame a link publishes, on the publishing thread (its handler, or the GUI thread
// replaying), so a GUI waiting for events can wake. Null: no one is told.
using FramePublishedHook = void (*)();

// ---- Frame encoding (the sensor's side of the wire format: simulator, demo sensor, tests) --------
// One frame of the wire format: sync, size 2904, sequence, time stamp, points in millimetres and
// the additive checksum of the bytes from offset 8 to 2907.
void encodeFrame(uint16_t sequence, uint32_t timestampSeconds, uint32_t timestampMicros,
                 const int16_t millimetres[pointsPerFrame][3], uint8_t out[frameBytes]);
uint32_t frameChecksum(const uint8_t record[frameBytes]);

// ---- Capture index and clock (capture_index.cpp) ------------------------------------------------------
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
extern const CaptureClock steadyCaptureClock;

constexpr float captureFastest = 0.0f;  // speed: the next frame once the last one has been drawn
constexpr float captureFastestFixedSpeed = 8.0f;  // the fastest fixed speed; captureFastest is never slower

// ---- Capture tap (capture_tap.cpp): the link's byte stream for a capture writer ---------------------
constexpr const char* captureExtension = ".ostrel";     // raw captures of the byte stream
constexpr size_t captureRingBytes = size_t{8} << 20;    // about 55 s of a 1.5 Mbaud line
struct ByteSpans {
    const uint8_t* data[2];  // the bytes waiting, oldest first: data[1] is where the ring wraps
    size_t size[2];
};
// The consumers of a link's byte stream, one tap each, so that they run together. The session tap
// holds each batch behind a header: the host's receive time (u64 nanoseconds since the epoch) and
// the batch's length (u32), both little-endian.
enum TapKind : int { tapCapture = 0, tapSession, tapKindCount };
constexpr size_t sessionBatchHeaderBytes = 12;

// ---- Sources ---------------------------------------------------------------------------------------
// A family of sources of bytes, one table of functions each, chosen once when a link opens. open and
// close run on the controlling thread while the grabber is parked; read, readWithin on the grabber
// thread; lost on the controlling thread while the grabber runs. Statuses are libserialport's.
struct Link;
struct LinkSource {
    const char* kind;  // "serial port", "demo sensor", "capture replay"
    int (*open)(Link& link, const char* portName, int baudRate);
    void (*close)(Link& link);
    int (*read)(Link& link, uint8_t* buffer, int maxBytes);  // bytes read (0 when none) or a negative status
    // As read, but waits up to timeoutMs for the first byte (0 when none came).
    int (*readWithin)(Link& link, uint8_t* buffer, int maxBytes, unsigned timeoutMs);
    bool (*lost)(Link& link);  // the source must be taken as gone
};
extern const LinkSource serialPortSource;
extern const LinkSource demoSensorSource;
extern const LinkSource captureReplaySource;

extern const char* const demoPortName;     // "DEMO SENSOR": the demo sensor's entry in the port list
extern const char* const capturePortName;  // "CAPTURE REPLAY": the capture replay's name as a port
// The source a port name stands for: the demo sensor, the capture replay, or a serial port.
const LinkSource& sourceForPort(const char* portName);

struct DemoSensor;     // demo_port.cpp
struct CaptureSource;  // capture_port.cpp

// The open capture of a link. Who owns what:
// - the GUI thread opens and closes the file and starts, polls and joins the indexer;
// - the indexer thread writes `index`, `indexError` and `scannedBytes` until it raises `indexDone`;
//   from then until the capture is closed `index` is read-only (GUI thread and grabber);
// - the controls are written by the GUI thread and read by the grabber (inside the source's read);
// - the position and the skip count are written by the grabber and read by the GUI thread.
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
    CaptureClock clock = steadyCaptureClock; // GUI thread, while no replay runs (tests set a fake one)

    std::atomic<bool> playing{false};        // controls: GUI thread
    std::atomic<float> speed{1.0f};          // 0.25 .. 8, or captureFastest
    std::atomic<bool> loop{false};
    std::atomic<int64_t> seekFrame{0};       // taken when seekSerial changes
    std::atomic<uint32_t> seekSerial{0};
    std::atomic<uint64_t> framesDrawn{0};    // GUI thread: grows by one every GUI frame

    std::atomic<int64_t> shownFrame{-1};     // position: grabber; the frame released last
    std::atomic<bool> atEnd{false};          // the last frame is out and no loop follows
    std::atomic<bool> readFailed{false};     // a read of the file failed: the link treats it as lost
    std::atomic<uint64_t> framesSkipped{0};  // grabber: frames passed over to keep a speed above 1x
};

// ---- Link ------------------------------------------------------------------------------------------
// One sensor: its source, its grabber and handler threads, its synchroniser and counters, its latest
// frame, its capture tap and its capture replay. The controlling thread (GUI thread, or a tool's main
// thread) calls every method unless one says otherwise.
struct Link {
    Link();
    ~Link();  // the exit sequence: workers down and joined, source closed, capture released
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    // ---- Controlling thread ----------------------------------------------------------------------
    std::string name;                                // "Sensor 1", ...
    // Opens the source the port name stands for; on success sets portOpen, clears portLost and
    // wakes the workers (started first when needed). Returns the open status; `failure` says why.
    int open(const char* portName, int baudRate);
    int open(const LinkSource& source, const char* portName, int baudRate);
    // Stops the workers, then closes the source (nothing when not open). Closing is not a loss.
    void close();
    // Polled while open: true when the source is gone; then portLost is set and the link closed.
    bool checkLost();
    bool sourceIs(const LinkSource& kind) const { return source == &kind; }
    // The grabber and handler threads, parked until the first open (started by open if need be).
    void startWorkers();
    // The exit sequence: workers joined, the source closed, the capture released.
    void shutDown();
    // Back to the state at start, workers parked. For tests.
    void reset();

    std::atomic<bool> portOpen{false};   // open sets, close clears; read by the panels, the writer
    std::atomic<bool> portLost{false};   // a failed open or a lost source; a successful open clears it
    std::atomic<int32_t> baudRate{defaultBaudRate};  // the connection panel's choice for this link
    PortFailure failure;                 // why the last open failed (status 0 after a success)

    // ---- Statistics: counters 0..7 written by the grabber, 8 and 9 by the handler; any thread reads.
    LinkStatistics& statistics;

    // ---- The latest frame: published by the handler (or the replay reader, GUI thread, while no
    // source is open), read whole by any thread, never with a lock.
    void publish(const PointFrame& frame);
    void readLatest(PointFrame& out) const;
    uint64_t generation() const;  // grows by one with every published frame
    // Once it returns, the hook it replaced runs on no thread any more.
    void setFramePublishedHook(FramePublishedHook hook);

    // ---- Capture tap: every byte the grabber reads, in order, for a capture writer. While open, the
    // grabber copies each batch it reads, whole, into a lock-free single-producer, single-consumer
    // ring before synchronising it, and never waits: a batch that does not fit is not copied, and the
    // tap copies nothing more until it is opened again (a capture never has a gap in its middle).
    // The capture starts at the boundary of the grabber's next batch.
    // Controlling thread: opening needs a released tap; the ring is (re)allocated when its size (a
    // power of two) changes. False when it cannot be allocated.
    bool openTap(TapKind kind, size_t ringBytes);
    void closeTap(TapKind kind);      // the grabber copies no batch after the one it may be copying now
    bool tapReleased(TapKind kind) const;   // since closing, the grabber has finished every copy (or is parked)
    bool tapOverflowed(TapKind kind) const; // a batch did not fit: nothing was copied from it on
    // The tap's writer thread (its one consumer): the bytes waiting, and handing room back.
    ByteSpans tapPending(TapKind kind) const;
    void tapTake(TapKind kind, size_t bytes);
    bool openCaptureTap(size_t ringBytes) { return openTap(tapCapture, ringBytes); }
    void closeCaptureTap() { closeTap(tapCapture); }
    bool captureTapReleased() const { return tapReleased(tapCapture); }
    bool captureTapOverflowed() const { return tapOverflowed(tapCapture); }
    ByteSpans captureTapPending() const { return tapPending(tapCapture); }
    void captureTapTake(size_t bytes) { tapTake(tapCapture, bytes); }

    // ---- Capture replay: a capture file indexed in the background, then replayed as the link's
    // source "CAPTURE REPLAY": the grabber reads it in batches through the real synchroniser, and the
    // bytes of frame k are released when the replay clock reaches frame k's time stamp.
    CaptureReplay capture;
    // Opens a capture (a regular file only) and starts indexing it in the background: an empty
    // text, or the reason it cannot be opened as a sentence for the user.
    std::string openCapture(const std::string& path);
    // Every GUI frame: true once, in the frame in which the indexer has finished (joined).
    bool pollCaptureIndexing();
    // Closes the link if it is on the capture (not a loss), stops the indexer and closes the file.
    void closeCapture();
    bool captureOpen() const { return capture.file >= 0; }
    // Show frame `frame` (clamped) now, paused or playing.
    void seekCapture(int64_t frame);
    // The indexer stopped and joined and the file closed, without touching the source.
    void releaseCapture();

    // ---- Everything below belongs to the link's own code (its threads and sources) --------------
    const LinkSource* source = nullptr;  // set by open, cleared by close (grabber parked)
    sp_port* port = nullptr;             // the serial port source's handle
    std::unique_ptr<DemoSensor> demo;    // the demo sensor source's state
    std::unique_ptr<CaptureSource> captureSource;  // the capture replay source's state
    Synchroniser synchroniser;           // grabber thread (Start resets it)
    WorkerPair workers;
    struct Private;                      // grabber storage, mailbox, published frame, tap ring
    std::unique_ptr<Private> own;
};

// ---- Registry (GUI thread, or a tool's main thread) --------------------------------------------------
// Up to maxLinks links at once. The first is always there: everything that concerns one sensor is
// the first link's.
constexpr int maxLinks = 8;
Link& firstLink();
int linkCount();
Link& linkAt(int index);  // 0 <= index < linkCount()
// A new link, named "Sensor N", workers started and parked; null when maxLinks are open.
Link* addLink();
// Closes and removes a link other than the first.
void removeLink(Link& link);
// The exit sequence of every link: workers down and joined, sources closed, captures released.
void shutDownLinks();
// The first link and the port listing back to their state at start (debugPrint clear, demo sensor
// off, only the placeholder in portList), every other link removed. For tests.
void resetLink();

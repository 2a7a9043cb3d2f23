// MCAP session files: the writer and reader of the container (mcap.cpp), the Foxglove messages
// encoded by hand (foxglove_messages.cpp) and the session layer that lays out one file for several
// sensors (mcap_session.cpp). Used by quarvis-decode and, later, by the live session writer thread.
// Each object belongs to the one thread that drives it (the writer runs two chunk writer threads of
// its own, behind its lock); none holds process-wide state.
#pragma once

#include "link/link.h"
#include "link/sim.h"

#include <cstddef>
#include <condition_variable>
#include <cstdint>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <unistd.h>
#include <vector>

// Why a session file could not be written or read, for the user: "out.mcap: No space left on device."
struct McapFailure {
    std::string path;
    std::string reason;    // a sentence; empty while nothing failed
    bool failed() const { return !reason.empty(); }
    std::string message() const { return path + ": " + reason; }
};

// ---- Writer (mcap.cpp) -----------------------------------------------------------------------------
// Messages are gathered into chunks of about chunkTargetBytes before compression (zstd); each chunk is
// followed by its message indexes. Chunks are compressed on two threads of the writer's own and
// written in order while the driver fills the next one. close() writes the summary (schemas,
// channels, statistics, chunk indexes and their offsets) and the footer. A write that fails stops the writer: the file is cut back
// to the end of its last whole chunk and, where the disk allows, closed with a valid summary and footer.
constexpr size_t chunkTargetBytes = 1 << 20;
// zstd levels: a live session comes at the sensors' pace, so it can afford a smaller file; converting a
// capture offline is bound by the compressor, so it takes one of zstd's fast (negative) levels.
constexpr int liveZstdLevel = 1;
constexpr int conversionZstdLevel = -20;

class McapWriter {
public:
    McapWriter() = default;
    McapWriter(const McapWriter&) = delete;
    McapWriter& operator=(const McapWriter&) = delete;
    ~McapWriter();

    // Opens (truncating) the regular file `path`, writes the magic and header and starts the chunk
    // writer threads. False, with the failure set, when it cannot.
    bool open(const std::string& path);
    // Ids count from 1 (schema 0 means "no schema"). Both records also go into the data section.
    uint16_t addSchema(const std::string& name, const std::string& encoding, const void* data, size_t size);
    uint16_t addChannel(uint16_t schemaId, const std::string& topic, const std::string& messageEncoding);
    // False once the writer has failed (the failure says why); the message is then dropped. A chunk
    // that fails on a writer thread is reported a chunk or two later, or by close().
    bool write(uint16_t channelId, uint32_t sequence, uint64_t logTime, uint64_t publishTime, const void* data,
               size_t size);
    // Room for a message of `size` bytes in the open chunk, for the caller to fill before its next call
    // to the writer (saves a copy of a message encoded in place); null once the writer has failed.
    uint8_t* writeInPlace(uint16_t channelId, uint32_t sequence, uint64_t logTime, uint64_t publishTime, size_t size);
    // Writes what is left and the summary and closes the file; false when any write failed.
    bool close();
    bool isOpen() const { return file >= 0; }
    int descriptor() const { return file; }   // for a look at the file (deleted?) from another thread
    const McapFailure& failure() const { return failed; }

    // Every byte goes through here (on the chunk writer threads too): tests fake a failing disk.
    ssize_t (*writeBytes)(int file, const void* data, size_t size) = ::write;
    int compressionLevel = liveZstdLevel;   // zstd level of the chunks; set before open()

private:
    struct ChunkIndexEntry {
        uint64_t startTime, endTime, offset, length, indexLength, compressedSize, uncompressedSize;
        std::vector<std::pair<uint16_t, uint64_t>> indexOffsets;
    };
    struct ChannelEntry {
        uint16_t schemaId;
        std::string topic, encoding;
        uint64_t messageCount = 0;       // in chunks written whole
        std::vector<uint64_t> index;     // log time and offset pairs of the open chunk, flattened
    };
    struct SchemaEntry {
        std::string name, encoding;
        std::vector<uint8_t> data;
    };

    // A closed chunk on its way to the file: filled by the driver, then compressed by one of the chunk
    // writer threads while the other compresses the next, and written in turn; the driver takes the
    // results back once that thread is idle again.
    struct ChunkJob {
        std::vector<uint8_t> records;
        uint64_t startTime = 0, endTime = 0;
        std::vector<std::vector<uint64_t>> indexes;   // per channel (id - 1): log time and offset pairs
        ChunkIndexEntry entry{};                        // results of the writer thread
        std::string failure;
    };
    struct ChunkSlot {
        ChunkJob job;
        uint64_t number = 0;                  // jobs are numbered in the order they are handed out
        bool busy = false, pending = false;   // pending: job holds results not yet taken
        std::thread thread;
        void* compressor = nullptr;           // ZSTD_CCtx
        std::vector<uint8_t> packed;          // the compressed records
        std::vector<uint8_t> head, indexes;   // the Chunk record before them and the message indexes after
    };
    static constexpr size_t chunkWriterThreads = 2;

    bool flushChunk();
    bool startNext();                   // hands the open chunk to the next writer thread
    bool collect(ChunkSlot& slot);      // waits until the slot's thread is idle and takes its results
    bool collectAll();
    void chunkWriterThread(ChunkSlot& slot);
    void compressChunk(ChunkSlot& slot);
    void writeChunk(ChunkSlot& slot);
    int writeAll(const uint8_t* bytes, size_t size, uint32_t& crc);   // 0 or errno; `crc` carried on
    bool writeOut(const std::vector<uint8_t>& bytes);
    void fail(int error);
    bool finishFile();
    void stopThreads();

    int file = -1;
    McapFailure failed;
    std::vector<SchemaEntry> schemas;
    std::vector<ChannelEntry> channels;
    std::vector<ChunkIndexEntry> chunkIndexes;
    std::vector<uint8_t> chunk;           // the open chunk's records, uncompressed
    uint64_t chunkStart = 0, chunkEnd = 0;   // log times of the open chunk's messages
    uint64_t chunkMessages = 0;
    uint64_t messageCount = 0, startTime = 0, endTime = 0;

    // Shared with the chunk writer threads, under `lock`: a slot's thread owns the slot while it is
    // `busy`; the thread whose job is numbered `nextWrite` owns `committed`, `dataCrc` and
    // `writeFailure` until it moves `nextWrite` on. The driver touches them only when every slot is idle.
    std::mutex lock;
    std::condition_variable changed;
    bool stopping = false;
    ChunkSlot slots[chunkWriterThreads];
    uint64_t jobsStarted = 0;             // driver only
    uint64_t nextWrite = 0;
    std::string writeFailure;             // why the first chunk that failed did: every later one fails too
    uint64_t committed = 0;               // end of the last whole record written
    uint32_t dataCrc = 0;                 // CRC32 of the data section up to `committed`
};

// ---- Reader (mcap.cpp) -----------------------------------------------------------------------------
// Opens a session file through its summary when the footer is valid, else by reading its records up to
// the last whole one (a cut session still opens). Messages come in log-time order; a time range is
// answered from the chunk indexes, reading only the chunks that overlap it.
struct McapChannel {
    uint16_t id = 0;
    std::string topic, messageEncoding;
    std::string schemaName, schemaEncoding;   // empty for a channel without schema
    std::vector<uint8_t> schemaData;
};

struct McapMessage {
    uint16_t channelId;
    uint32_t sequence;
    uint64_t logTime, publishTime;
    const uint8_t* data;
    size_t size;
};

class McapReader {
public:
    McapReader() = default;
    McapReader(const McapReader&) = delete;
    McapReader& operator=(const McapReader&) = delete;
    ~McapReader();

    // False, with the failure set ("It is not an MCAP file.", "It is truncated before its first
    // record."), when the file cannot serve.
    bool open(const std::string& path);
    void close();
    const std::vector<McapChannel>& channels() const { return channelList; }
    bool indexed() const { return fromSummary; }   // opened through the summary
    uint64_t chunksRead() const { return chunkReads; }
    // Calls `onMessage` for each message of `channelIds` with startTime <= log time <= endTime, in
    // log-time order (file order among equal times). False, with the failure set, on a damaged chunk.
    bool readMessages(const std::vector<uint16_t>& channelIds, uint64_t startTime, uint64_t endTime,
                      const std::function<void(const McapMessage&)>& onMessage);
    const McapFailure& failure() const { return failed; }

private:
    struct ChunkRef {
        uint64_t startTime, endTime, offset, length;
    };
    bool readSummary(uint64_t fileSize);
    bool scanRecords(uint64_t fileSize);
    bool loadChunk(const ChunkRef& ref, std::vector<uint8_t>& records);
    void addRecordFromChunk(uint8_t opcode, const uint8_t* body, uint64_t length);
    bool fail(const std::string& reason);

    int file = -1;
    McapFailure failed;
    bool fromSummary = false;
    uint64_t chunkReads = 0;
    std::vector<McapChannel> channelList;
    std::vector<std::pair<uint16_t, McapChannel>> schemaList;   // schema id and its name/encoding/data
    std::vector<ChunkRef> chunkRefs;
};

// ---- Foxglove messages (foxglove_messages.cpp) -----------------------------------------------------
// The protobuf schemas as FileDescriptorSets (made by protoc at build time), and the messages encoded
// by hand in the protobuf wire format.
struct SensorPose {
    double translation[3] = {0.0, 0.0, 0.0};      // metres, in the robot's frame
    double rotation[4] = {0.0, 0.0, 0.0, 1.0};    // quaternion x, y, z, w
    bool operator==(const SensorPose&) const = default;
};

extern const char* const pointCloudSchemaName;       // "foxglove.PointCloud"
extern const char* const frameTransformSchemaName;   // "foxglove.FrameTransform"
struct SchemaBytes {
    const uint8_t* data;
    size_t size;
};
SchemaBytes pointCloudDescriptor();
SchemaBytes frameTransformDescriptor();

// The parts of a PointCloud that stay the same from frame to frame (frame id, pose, stride, fields),
// encoded once per sensor.
std::string pointCloudConstantFields(const std::string& frameId);
// One frame's PointCloud: `constantFields`, the stamp and 480 float32 x, y, z in metres. The head is
// everything before the points' bytes, which follow it as PointFrame::xyz holds them; `out` keeps its
// capacity from frame to frame.
void encodePointCloudHead(std::string& out, const std::string& constantFields, uint64_t stampNanos);
void encodeFrameTransform(std::string& out, uint64_t stampNanos, const std::string& parentFrame,
                          const std::string& childFrame, const SensorPose& pose);
// The ten link counters as one JSON object named as the viewer names them: {"Total bytes": 12, ...}.
std::string linkCountersJson(const uint64_t counts[linkStatisticCount]);

// ---- Session layer (mcap_session.cpp) ---------------------------------------------------------------
// One file holding every connected sensor, each under /<topic name>/: points, raw, link and transform.
// Driven by a single thread (a tool's main thread, or the session writer thread); log times are the
// host's receive times in nanoseconds since the epoch and never go backwards within a channel.
extern const char* const robotFrameId;          // the parent frame of every sensor's transform
extern const char* const captureSensorName;     // "ostrel": the one sensor of a converted capture

struct SessionSensor {
    std::string name;
    SensorPose pose;
};

// `name` made safe for a topic: letters, digits and '_' kept, every other run of characters one '_'.
std::string topicSafeName(const std::string& name);
uint64_t stampNanos(const FrameHeader& stamp);

class McapSession {
public:
    // Opens the file, sets up the channels of every sensor and writes each transform once.
    bool open(const std::string& path, const std::vector<SessionSensor>& sensors, uint64_t logTime);
    // Every byte read from the sensor's port, in order.
    bool writeRaw(size_t sensor, uint64_t logTime, const uint8_t* bytes, size_t count);
    bool writeFrame(size_t sensor, uint64_t logTime, const FrameHeader& stamp, const PointFrame& frame);
    bool writeCounters(size_t sensor, uint64_t logTime, const uint64_t counts[linkStatisticCount]);
    // Writes the transform again when the pose differs from the last one written.
    bool setPose(size_t sensor, uint64_t logTime, const SensorPose& pose);
    bool close();
    uint32_t framesWritten(size_t sensor) const { return sensors[sensor].points.sequence; }
    const McapFailure& failure() const { return writer.failure(); }
    const std::string& topicPrefix(size_t sensor) const { return sensors[sensor].prefix; }
    McapWriter writer;   // open to its driver, which may fake the disk through writer.writeBytes

private:
    struct Channel {
        uint16_t id = 0;
        uint32_t sequence = 0;
        uint64_t lastLogTime = 0;
    };
    struct Sensor {
        std::string name, prefix, pointFields;
        SensorPose pose;
        Channel points, raw, link, transform;
    };
    bool writeOn(Channel& channel, uint64_t logTime, uint64_t publishTime, const void* data, size_t size);
    bool writeTransform(Sensor& sensor, uint64_t logTime);

    std::vector<Sensor> sensors;
    std::string scratch;
};

// The sensors of a session file and their raw channels, as a reader finds them: topic "/<name>/raw".
struct SessionRawChannel {
    std::string sensor;
    uint16_t channelId;
};
std::vector<SessionRawChannel> sessionRawChannels(const McapReader& reader);

// ---- Live session (session.cpp) --------------------------------------------------------------------
// Every connected sensor into one session file, beside (and independent of) CSV recording and raw
// capture. Each link's grabber copies its batches, stamped with the host's receive time, into the
// link's session tap; one session writer thread drains every tap, runs a synchroniser of its own per
// sensor (a good frame's points are logged at the receive time of the batch that completed it),
// writes each link's counters once a second and at the end. The grabbers never wait on it. The
// controlling thread (GUI thread, or a tool's main thread) begins, polls and ends a session.
constexpr const char* sessionExtension = ".mcap";

enum class SessionEnd { saved, openFailed, writeFailed, ringFull, portLost, fileDeleted };

struct SessionNotice {
    SessionEnd kind = SessionEnd::saved;
    std::string path;
    std::string reason;        // a sentence, for openFailed and writeFailed
    uint64_t framesKept = 0;   // of every sensor
    uint32_t serial = 0;       // grows with every notice
};

// Shared by the controlling thread and the session writer thread.
struct SessionShared {
    std::atomic<bool> finishRequested{false};   // controlling thread: write what is left and end
    std::atomic<bool> writerDone{false};        // writer (release): the file is closed, `session` settled
    std::atomic<uint64_t> framesWritten{0};     // writer
};

// The session's state: one process-wide instance, owned by the controlling thread. The writer
// thread drives `session` (and the synchronisers) from beginSession until it raises writerDone.
struct SessionState {
    enum Phase { idle, running, stopping } phase = idle;
    std::string path;
    std::vector<Link*> links;                 // the sensors of the session, in the file's order
    McapSession session;
    std::vector<std::unique_ptr<Synchroniser>> synchronisers;   // writer thread: one per sensor
    SessionEnd ending = SessionEnd::saved;    // why a stopping session stops
    std::thread writer;
    std::chrono::steady_clock::time_point started;
    SessionNotice notice;                     // the latest end of a session, or failure to start
    SessionShared shared;
};
extern SessionState sessionState;

// Opens `path` (a regular file, replaced) with one sensor per link, named by `names`, and starts the
// writer; opens each link's session tap. False, with a notice, when it cannot. Only while idle.
bool beginSession(const std::string& path, const std::vector<Link*>& links, const std::vector<std::string>& names,
                  size_t ringBytes = captureRingBytes);
void stopSession();     // the session ends once every tap has been let go of (pollSession)
// Regularly on the controlling thread: ends the session on a full ring, a failed write, a deleted
// file or a closed port, and completes an ending one.
void pollSession();
// Ends a session at once, waiting (briefly) for the grabbers and the writer: at exit and at the end
// of a tool's run.
void finishSession();
bool sessionRunning();   // from beginSession until the file is closed
int32_t sessionSeconds();   // since beginSession
const char* sessionNoticeTitle(const SessionNotice& notice);
std::vector<std::string> sessionNoticeLines(const SessionNotice& notice);

// Frames out of raw captures, recordings and byte strings, through the core library's own
// synchroniser, frame decoding and recording row parser. Called by the Python module, with the
// interpreter's lock released; no Python here.
//
// Index: Synchroniser | Files | Raw captures | Recordings | Telling files apart | Point store
#include "frame_sources.h"

#include "app/app.h"
#include "link/link.h"
#include "record/record.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <limits>
#include <memory>
#include <string_view>

namespace {

constexpr size_t readPieceBytes = size_t{1} << 20;
constexpr double microsPerSecond = 1e6;
constexpr double noHostTime = std::numeric_limits<double>::quiet_NaN();

constexpr size_t firstStoreFrames = 64;
constexpr size_t populateStepBytes = size_t{32} << 20;

// ---- Synchroniser --------------------------------------------------------------------------------

// Fills `buffer` with the next bytes of the stream: how many (0 at its end).
using ByteSource = std::function<size_t(uint8_t* buffer, size_t room)>;

// What a good frame is kept into: the sensor's columns, and the counters of the synchroniser.
struct FrameSink {
    SensorFrames& frames;
    LinkStatistics& statistics;
};

void keepGoodFrame(const uint8_t* record, void* context) {
    FrameSink& sink = *static_cast<FrameSink*>(context);
    PointFrame decoded;
    decodeFrame(record, decoded);
    sink.frames.sequence.push_back(decoded.sequence);
    sink.frames.stamp.push_back(decoded.timestampSeconds + decoded.timestampMicros / microsPerSecond);
    sink.frames.received.push_back(noHostTime);
    std::memcpy(sink.frames.points.append(), decoded.xyz, sizeof decoded.xyz);
    // Offline every good frame is handled at once: the handler's two counts follow the good frames.
    sink.statistics.increment(counterFramesProcessed);
    sink.statistics.increment(counterBuffersProcessed);
}

// A whole stream through a synchroniser of its own into `frames`, from a fresh start: the one place
// this module drives it. Any thread; streams on several threads never meet.
void synchroniseStream(SensorFrames& frames, const ByteSource& source) {
    Synchroniser synchroniser;
    synchroniser.reset();
    FrameSink sink{frames, synchroniser.statistics};
    std::vector<uint8_t> piece(readPieceBytes);
    for (size_t count; (count = source(piece.data(), piece.size())) != 0;)
        synchroniser.synchroniseBytes(piece.data(), static_cast<int>(count), keepGoodFrame, &sink);
    frames.hasCounters = true;
    for (int index = 0; index < linkStatisticCount; ++index) frames.counters[index] = synchroniser.statistics.get(index);
}

// Room for every frame a stream of `bytes` can hold, so the points are written once, where they stay.
void reserveFrames(SensorFrames& sink, uint64_t bytes) {
    const size_t frames = static_cast<size_t>(bytes / frameBytes);
    sink.sequence.reserve(frames);
    sink.stamp.reserve(frames);
    sink.received.reserve(frames);
    sink.points.reserve(frames);
}

FrameSet singleSensor(std::string origin, std::shared_ptr<SensorFrames> frames) {
    FrameSet set;
    set.origin = std::move(origin);
    set.order.reserve(frames->size());
    for (uint32_t k = 0; k < frames->size(); ++k) set.order.push_back({0, k});
    set.sensors.push_back(std::move(frames));
    return set;
}

std::shared_ptr<SensorFrames> newSensor() {
    auto frames = std::make_shared<SensorFrames>();
    frames->name = singleSensorName;
    return frames;
}

// ---- Files ---------------------------------------------------------------------------------------

struct OpenFile {
    int descriptor = -1;
    uint64_t size = 0;
    ~OpenFile() {
        if (descriptor >= 0) ::close(descriptor);
    }
};

[[noreturn]] void failSystem(const std::string& path, int error) { throw ReadFailure(path, error, std::strerror(error)); }
[[noreturn]] void failFormat(const std::string& path, const std::string& reason) { throw ReadFailure(path, 0, reason); }

// A regular file, opened without ever waiting on a FIFO or a device.
void openForReading(const std::string& path, OpenFile& file) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) failSystem(path, errno);
    if (S_ISDIR(status.st_mode)) failSystem(path, EISDIR);
    std::string problem;
    file.descriptor = openRegularFile(path, O_RDONLY, problem);
    if (file.descriptor < 0) failFormat(path, problem);
    if (::fstat(file.descriptor, &status) != 0) failSystem(path, errno);
    file.size = static_cast<uint64_t>(status.st_size);
}

size_t readSome(const std::string& path, int descriptor, uint8_t* buffer, size_t room) {
    for (;;) {
        const ssize_t count = ::read(descriptor, buffer, room);
        if (count >= 0) return static_cast<size_t>(count);
        if (errno != EINTR) failSystem(path, errno);
    }
}

// ---- Raw captures --------------------------------------------------------------------------------

FrameSet readCapture(const std::string& path, OpenFile& file) {
    auto frames = newSensor();
    reserveFrames(*frames, file.size);
    synchroniseStream(*frames, [&](uint8_t* buffer, size_t room) { return readSome(path, file.descriptor, buffer, room); });
    if (frames->size() == 0) {
        const bool anySync = frames->counters[counterGoodSyncs] != 0;
        failFormat(path, std::string("It is not a capture, a recording or a session: no ") + (anySync ? "good " : "") +
                             "frame in " + std::to_string(file.size) + " bytes.");
    }
    return singleSensor(path, std::move(frames));
}

// ---- Recordings ----------------------------------------------------------------------------------
// A header line, then one row per line: the local time of writing ("%Y%m%d-%H%M%S") and 480 points.
// A recording has no sensor stamp: a row's time is both its `stamp` and its `received`, and its
// sequence is its row number (1 for the first row, as the replay slider counts them).

constexpr std::string_view recordingMagic = "time,";

// The row's local time in seconds since the epoch, NaN when the column is not a time.
double rowTime(std::string_view line) {
    if (line.size() < static_cast<size_t>(timestampLength)) return noHostTime;
    std::tm calendar{};
    int consumed = 0;
    const std::string column(line.substr(0, timestampLength));
    if (std::sscanf(column.c_str(), "%4d%2d%2d-%2d%2d%2d%n", &calendar.tm_year, &calendar.tm_mon, &calendar.tm_mday,
                    &calendar.tm_hour, &calendar.tm_min, &calendar.tm_sec, &consumed) != 6 ||
        consumed != timestampLength)
        return noHostTime;
    calendar.tm_year -= 1900;
    calendar.tm_mon -= 1;
    calendar.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&calendar);
    return seconds == static_cast<std::time_t>(-1) ? noHostTime : static_cast<double>(seconds);
}

struct RecordingReader {
    SensorFrames& sink;
    uint32_t row = 0;       // rows met after the header, readable or not
    bool header = true;
    bool ended = false;     // an empty line ends a recording, as it ends a replay
    PointFrame parsed{};

    void line(std::string_view text) {
        if (ended) return;
        if (header) {
            header = false;
            return;
        }
        if (text.empty() || text == "\r") {
            ended = true;
            return;
        }
        ++row;
        if (text.size() > static_cast<size_t>(longestReplayLine) ||
            !parseRecordingRow(text.data(), text.data() + text.size(), parsed))
            return;  // not a row of ours: skipped, as the replay skips it
        const double time = rowTime(text);
        sink.sequence.push_back(row);
        sink.stamp.push_back(time);
        sink.received.push_back(time);
        std::memcpy(sink.points.append(), parsed.xyz, sizeof parsed.xyz);
    }
};

FrameSet readRecording(const std::string& path, OpenFile& file) {
    auto frames = newSensor();
    RecordingReader reader{*frames};
    std::vector<uint8_t> piece(readPieceBytes);
    std::string carried;  // the start of a line that runs on into the next piece
    for (size_t count; !reader.ended && (count = readSome(path, file.descriptor, piece.data(), piece.size())) != 0;) {
        std::string_view rest(reinterpret_cast<const char*>(piece.data()), count);
        for (size_t end; (end = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(end + 1)) {
            if (carried.empty()) {
                reader.line(rest.substr(0, end));
            } else {
                carried.append(rest.substr(0, end));
                reader.line(carried);
                carried.clear();
            }
        }
        carried.append(rest);
    }
    if (!carried.empty()) reader.line(carried);
    if (frames->size() == 0) failFormat(path, "It is a recording that holds no points.");
    return singleSensor(path, std::move(frames));
}

// ---- Telling files apart -------------------------------------------------------------------------
// By their first bytes, never by their names: a session starts with MCAP's magic, a recording with
// its header's first column, and anything else is taken as the sensor's raw byte stream.

constexpr std::string_view sessionMagic("\x89MCAP0\r\n", 8);

FrameSet readSession(const std::string& path, OpenFile&) {
    failFormat(path, "It is an MCAP session; this build of the module reads raw captures and recordings.");
}

struct FileKind {
    std::string_view magic;
    FrameSet (*read)(const std::string& path, OpenFile& file);
};
constexpr FileKind fileKinds[] = {
    {sessionMagic, readSession},
    {recordingMagic, readRecording},
    {{}, readCapture},  // matches every file: the last entry
};

}  // namespace

// ---- Point store ---------------------------------------------------------------------------------

PointStore::~PointStore() {
    if (base != nullptr) ::munmap(base, mappedBytes);
}

void PointStore::reserve(size_t frames) {
    if (frames <= capacity) return;
    const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    const size_t bytes = (frames * floatsPerFrame * sizeof(float) + page - 1) / page * page;
    void* mapped = base == nullptr ? ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                                   : ::mremap(base, mappedBytes, bytes, MREMAP_MAYMOVE);
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    base = static_cast<float*>(mapped);
    mappedBytes = bytes;
    capacity = bytes / (floatsPerFrame * sizeof(float));
}

float* PointStore::append() {
    if (used == capacity) reserve(std::max(firstStoreFrames, 2 * capacity));
    const size_t end = (used + 1) * floatsPerFrame * sizeof(float);
    if (end > populatedBytes) {
        // One call fills the page tables of the next step; a kernel without it faults page by page.
        const size_t step = std::min(populateStepBytes, mappedBytes - populatedBytes);
        (void)::madvise(reinterpret_cast<char*>(base) + populatedBytes, step, MADV_POPULATE_WRITE);
        populatedBytes += step;
    }
    return base + floatsPerFrame * used++;
}

FrameSet decodeBytes(const uint8_t* bytes, size_t count) {
    auto frames = newSensor();
    reserveFrames(*frames, count);
    size_t given = 0;
    synchroniseStream(*frames, [&](uint8_t* buffer, size_t room) {
        const size_t take = std::min(room, count - given);
        std::memcpy(buffer, bytes + given, take);
        given += take;
        return take;
    });
    return singleSensor("bytes", std::move(frames));
}

FrameSet readFrameFile(const std::string& path) {
    OpenFile file;
    openForReading(path, file);
    char start[16] = {};
    const ssize_t count = ::pread(file.descriptor, start, sizeof start, 0);
    if (count < 0) failSystem(path, errno);
    const std::string_view first(start, static_cast<size_t>(count));
    for (const FileKind& kind : fileKinds)
        if (first.starts_with(kind.magic)) return kind.read(path, file);
    return {};  // not reached: the last kind matches every file
}

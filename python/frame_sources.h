// The frames of a file or a byte string, decoded by the core library into flat arrays the Python
// module hands out without copying. Called by the module (quarvis_module.cpp) only; no Python here.
#pragma once

#include "link/link.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

constexpr int floatsPerFrame = pointsPerFrame * 3;
// The name of the one sensor of a raw capture, a recording or a byte string (a session names its own).
constexpr const char* singleSensorName = "ostrel";

// The points of many frames in one mapping of their own, which grows without copying (mremap) and is
// made writable ahead of the frames in large steps: gigabytes of points are written once, where the
// arrays see them, without a page fault for every 4 kB. Throws std::bad_alloc when there is no room.
class PointStore {
public:
    PointStore() = default;
    PointStore(const PointStore&) = delete;
    PointStore& operator=(const PointStore&) = delete;
    ~PointStore();
    void reserve(size_t frames);   // room for at least this many frames in all
    float* append();               // room for one more frame, for the caller to fill
    const float* data() const { return base; }
    size_t frames() const { return used; }

private:
    float* base = nullptr;
    size_t used = 0;
    size_t capacity = 0;           // frames
    size_t mappedBytes = 0;
    size_t populatedBytes = 0;     // made writable ahead (page tables filled) from the start
};

// Every frame of one sensor, in the order it came, column by column.
struct SensorFrames {
    std::string name;
    std::vector<uint32_t> sequence;
    std::vector<double> stamp;       // seconds
    std::vector<double> received;    // host time in seconds since the epoch; NaN where the file has none
    PointStore points;               // floatsPerFrame per frame: x, y, z of point 0, then 1 ... in metres
    bool hasCounters = false;        // the frames came through the synchroniser
    uint32_t counters[linkStatisticCount] = {};

    size_t size() const { return sequence.size(); }
};

// The frames of one file or byte string, per sensor, and the order they came in across sensors.
struct FrameSet {
    std::string origin;  // the file's path, or "bytes"
    std::vector<std::shared_ptr<SensorFrames>> sensors;
    struct Entry {
        uint32_t sensor;
        uint32_t frame;
    };
    std::vector<Entry> order;
};

// Why a file could not be read. errorNumber is the system's errno when the system refused (the
// module raises OSError with it), 0 when the file is there but not one of ours (FormatError).
struct ReadFailure : std::runtime_error {
    std::string path;
    int errorNumber;
    std::string reason;
    ReadFailure(std::string failedPath, int error, std::string why)
        : std::runtime_error(failedPath + ": " + why), path(std::move(failedPath)), errorNumber(error),
          reason(std::move(why)) {}
};

// Both run the bytes through the synchroniser as quarvis-decode does (the same frames, the same
// counters); any thread, the calls taking turns at the process's one synchroniser.
// Bytes as quarvis-decode takes them: one sensor, received unknown.
FrameSet decodeBytes(const uint8_t* bytes, size_t count);
// A raw capture, a recording or a scene, told apart by their first bytes. Throws ReadFailure.
FrameSet readFrameFile(const std::string& path);

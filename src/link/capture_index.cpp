// The index of a capture (a file of the sensor's byte stream): offset, replay time and sequence
// number of every good frame, found by scanning for the sync pattern and the size field and checking
// the checksum. indexCapture runs on the indexer thread that openCapture starts (or any thread).
#include "link/link.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The first eight bytes of every frame: sync pattern and size field.
struct FrameHead {
    uint8_t bytes[sizeOffset + 4];
    FrameHead() {
        std::memcpy(bytes, syncPattern, sizeof syncPattern);
        writeLittleEndian(bytes + sizeOffset, frameSizeField, 4);
    }
};
const FrameHead frameHead;

bool goodFrameAt(const uint8_t* at) {
    return std::memcmp(at, frameHead.bytes, sizeof frameHead.bytes) == 0 &&
           frameChecksum(at) == readLittleEndian(at + checksumOffset, 4);
}

uint64_t stampMicros(const uint8_t* record) {
    return uint64_t{readLittleEndian(record + secondsOffset, 4)} * microsPerSecond + readLittleEndian(record + microsOffset, 4);
}

// Replay times from the sensor's stamps: each frame after the previous by the step of the clock,
// a backward step as none, a long one as longestFrameGapMicros.
struct Timeline {
    bool started = false;
    uint64_t lastStamp = 0;
    int64_t playMicros = 0;

    int64_t next(uint64_t stamp) {
        if (started) {
            const int64_t step = stamp >= lastStamp ? static_cast<int64_t>(std::min<uint64_t>(stamp - lastStamp, longestFrameGapMicros)) : 0;
            playMicros += step;
        }
        started = true;
        lastStamp = stamp;
        return playMicros;
    }
};

ssize_t readFully(int file, uint8_t* into, size_t count, uint64_t offset) {
    size_t got = 0;
    while (got < count) {
        const ssize_t n = ::pread(file, into + got, count - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

}  // namespace

int indexCapture(int file, CaptureIndex& index, CaptureProgress progress, void* context, size_t chunkBytes) {
    index.frames.clear();
    index.fileBytes = 0;
    chunkBytes = std::max<size_t>(chunkBytes, frameBytes);
    // A frame that starts near the end of one chunk is completed by the next: the tail is carried.
    std::vector<uint8_t> window(chunkBytes + frameBytes);
    uint64_t windowStart = 0;  // file offset of window[0]
    size_t held = 0;
    Timeline timeline;
    for (;;) {
        const ssize_t n = readFully(file, window.data() + held, chunkBytes, windowStart + held);
        if (n < 0) return errno;
        held += static_cast<size_t>(n);
        const bool lastChunk = static_cast<size_t>(n) < chunkBytes;
        size_t at = 0;
        while (at < held) {
            const void* found = std::memchr(window.data() + at, syncPattern[0], held - at);
            if (found == nullptr) {
                at = held;
                break;
            }
            at = static_cast<size_t>(static_cast<const uint8_t*>(found) - window.data());
            if (held - at < static_cast<size_t>(frameBytes)) {
                if (lastChunk) at = held;
                break;
            }
            const uint8_t* candidate = window.data() + at;
            if (goodFrameAt(candidate)) {
                const uint16_t sequence = static_cast<uint16_t>(readLittleEndian(candidate + sequenceOffset, 2));
                index.frames.push_back({windowStart + at, timeline.next(stampMicros(candidate)), sequence});
                at += frameBytes;
            } else {
                ++at;
            }
        }
        std::memmove(window.data(), window.data() + at, held - at);
        windowStart += at;
        held -= at;
        const uint64_t scanned = windowStart + held;
        if (lastChunk) {
            index.fileBytes = scanned;
            if (progress != nullptr) progress(scanned, context);
            return 0;
        }
        if (progress != nullptr && !progress(scanned, context)) return ECANCELED;
    }
}

int64_t captureFrameAt(const CaptureIndex& index, int64_t playMicros) {
    const auto& frames = index.frames;
    const auto after = std::upper_bound(frames.begin(), frames.end(), playMicros,
                                        [](int64_t micros, const CaptureFrame& frame) { return micros < frame.playMicros; });
    return after == frames.begin() ? 0 : static_cast<int64_t>(after - frames.begin()) - 1;
}

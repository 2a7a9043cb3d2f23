// Capture replay: the index of a capture file (frames found among garbage, replay times from the
// sensor's stamps, progress and cancelling).
#include "link/link.h"
#include "../fakes/test_frames.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

constexpr uint32_t firstSecond = 5000;

struct Capture {
    Bytes bytes;
    std::vector<CaptureFrame> frames;  // what the index must find
};

void addFrame(Capture& capture, uint16_t sequence, uint64_t stampMicros, int64_t playMicros) {
    capture.frames.push_back({capture.bytes.size(), playMicros, sequence});
    const Bytes frame = makeFrame(sequence, 0, static_cast<uint32_t>(stampMicros / 1000000), static_cast<uint32_t>(stampMicros % 1000000));
    capture.bytes.insert(capture.bytes.end(), frame.begin(), frame.end());
}

// Frames with every kind of trouble between them: stray bytes (0x5A among them), a frame with a bad
// checksum, one with a bad size, one cut short; and a sensor clock that steps back and jumps ahead.
Capture troubledCapture() {
    Capture c;
    const uint64_t t0 = uint64_t{firstSecond} * 1000000;
    const Bytes garbage{0x00, 0x5A, 0xA5, 0x5A, 0x13};
    c.bytes = garbage;
    addFrame(c, 10, t0, 0);
    Bytes badSum = makeFrame(99, 1);
    badSum[checksumOffset] ^= 1;
    c.bytes.insert(c.bytes.end(), badSum.begin(), badSum.end());
    addFrame(c, 11, t0 + 40000, 40000);
    Bytes badSize = makeFrame(98, 2);
    badSize[sizeOffset] = 0x59;
    c.bytes.insert(c.bytes.end(), badSize.begin(), badSize.end());
    addFrame(c, 12, t0 + 30000, 40000);                              // stepped back: no pause
    const Bytes cut = makeFrame(97, 3);
    c.bytes.insert(c.bytes.end(), cut.begin(), cut.begin() + 1000);
    addFrame(c, 13, t0 + 3600000000ull, 40000 + longestFrameGapMicros);  // an hour later: the longest gap
    c.bytes.insert(c.bytes.end(), garbage.begin(), garbage.end());
    addFrame(c, 14, t0 + 3600040000ull, 80000 + longestFrameGapMicros);
    c.bytes.insert(c.bytes.end(), cut.begin(), cut.begin() + 100);     // a tail cut short
    return c;
}

std::string writeCapture(const Capture& capture, const char* name) {
    const std::string path = std::string(name) + ".bin";
    FILE* file = std::fopen(path.c_str(), "wb");
    EXPECT_NE(file, nullptr);
    std::fwrite(capture.bytes.data(), 1, capture.bytes.size(), file);
    std::fclose(file);
    return path;
}

struct Progress {
    std::vector<uint64_t> reports;
    size_t cancelAfter = SIZE_MAX;
};
bool noteProgress(uint64_t scanned, void* context) {
    auto* progress = static_cast<Progress*>(context);
    progress->reports.push_back(scanned);
    return progress->reports.size() < progress->cancelAfter;
}

void expectFrames(const std::vector<CaptureFrame>& got, const std::vector<CaptureFrame>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t k = 0; k < want.size(); ++k) {
        EXPECT_EQ(got[k].offset, want[k].offset) << k;
        EXPECT_EQ(got[k].playMicros, want[k].playMicros) << k;
        EXPECT_EQ(got[k].sequence, want[k].sequence) << k;
    }
}

TEST(CaptureIndex, FindsEveryGoodFrameAmongGarbageWhateverTheChunksAndReportsProgress) {
    const Capture capture = troubledCapture();
    const std::string path = writeCapture(capture, "troubled");
    FILE* file = std::fopen(path.c_str(), "rb");
    for (size_t chunk : {size_t{frameBytes}, size_t{4097}, captureScanChunkBytes}) {
        SCOPED_TRACE(chunk);
        CaptureIndex index;
        Progress progress;
        ASSERT_EQ(indexCapture(fileno(file), index, noteProgress, &progress, chunk), 0);
        expectFrames(index.frames, capture.frames);
        EXPECT_EQ(index.fileBytes, capture.bytes.size());
        ASSERT_FALSE(progress.reports.empty());
        EXPECT_GE(progress.reports.size(), capture.bytes.size() / chunk);
        EXPECT_TRUE(std::is_sorted(progress.reports.begin(), progress.reports.end()));
        EXPECT_EQ(progress.reports.back(), capture.bytes.size());
    }
    CaptureIndex index;
    Progress cancelling{{}, 2};
    EXPECT_EQ(indexCapture(fileno(file), index, noteProgress, &cancelling, frameBytes), ECANCELED);
    EXPECT_EQ(cancelling.reports.size(), 2u);
    std::fclose(file);
    // The slider's lookup: the last frame due by a time.
    const int64_t expected[][2] = {{-1, 0}, {0, 0}, {39999, 0}, {40000, 2}, {40000 + longestFrameGapMicros, 3}, {1LL << 40, 4}};
    CaptureIndex found;
    found.frames = capture.frames;
    for (const auto& [micros, frame] : expected) EXPECT_EQ(captureFrameAt(found, micros), frame) << micros;
}

}  // namespace

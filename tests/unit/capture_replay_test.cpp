// Capture replay: the index of a capture file (frames found among garbage, replay times from the
// sensor's stamps) and the paced capture replay source of a link, driven on the test thread against
// a fake clock (release times, speeds, loops and frames passed over; the record panel test seeks,
// steps and loops).
#include "link/link.h"
#include "link/sim.h"
#include "../fakes/link_test_support.h"
#include "../fakes/scratch.h"
#include "../fakes/test_frames.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <tuple>
#include <thread>

namespace {

int64_t fakeNow = 0;
int64_t fakeLateness = 0;  // how much later than asked a sleep ends, as on a loaded machine
int64_t fakeNowMicros() { return fakeNow; }
void fakeSleepUntil(int64_t micros) { fakeNow = std::max(fakeNow, micros + fakeLateness); }

constexpr uint32_t firstSecond = 5000;
constexpr uint32_t period30 = 33333;  // 30 frames a second

struct Capture {
    Bytes bytes;
    std::vector<CaptureFrame> frames;  // what the index must find
};

void addFrame(Capture& capture, uint16_t sequence, uint64_t stampMicros, int64_t playMicros) {
    capture.frames.push_back({capture.bytes.size(), playMicros, sequence});
    const Bytes frame = makeFrame(sequence, 0, static_cast<uint32_t>(stampMicros / 1000000), static_cast<uint32_t>(stampMicros % 1000000));
    capture.bytes.insert(capture.bytes.end(), frame.begin(), frame.end());
}

// `count` frames at 30 a second, back to back.
Capture steadyCapture(int count) {
    Capture capture;
    for (int k = 0; k < count; ++k) addFrame(capture, static_cast<uint16_t>(k), uint64_t{firstSecond} * 1000000 + uint64_t(k) * period30, int64_t{k} * period30);
    return capture;
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
    // Each test process writes its own: ctest runs the tests of this file side by side.
    const std::string path = ::testing::TempDir() + name + "-" + std::to_string(::getpid()) + ".bin";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(capture.bytes.data()), static_cast<std::streamsize>(capture.bytes.size()));
    return path;
}

// Offset, replay time and sequence of each frame, for comparing indexes as a whole.
std::vector<std::tuple<uint64_t, int64_t, uint16_t>> fieldsOf(const std::vector<CaptureFrame>& frames) {
    std::vector<std::tuple<uint64_t, int64_t, uint16_t>> fields;
    for (const CaptureFrame& frame : frames) fields.emplace_back(frame.offset, frame.playMicros, frame.sequence);
    return fields;
}

TEST(CaptureIndex, FindsEveryGoodFrameAmongGarbageWhateverTheChunks) {
    const Capture capture = troubledCapture();
    const std::string path = writeCapture(capture, "troubled");
    FILE* file = std::fopen(path.c_str(), "rb");
    for (size_t chunk : {size_t{frameBytes}, size_t{4097}, captureScanChunkBytes}) {
        SCOPED_TRACE(chunk);
        CaptureIndex index;
        ASSERT_EQ(indexCapture(fileno(file), index, nullptr, nullptr, chunk), 0);
        EXPECT_EQ(fieldsOf(index.frames), fieldsOf(capture.frames));
        EXPECT_EQ(index.fileBytes, capture.bytes.size());
    }
    std::fclose(file);
    // The slider's lookup: the last frame due by a time.
    const int64_t expected[][2] = {{-1, 0}, {0, 0}, {39999, 0}, {40000, 2}, {40000 + longestFrameGapMicros, 3}, {1LL << 40, 4}};
    CaptureIndex found;
    found.frames = capture.frames;
    for (const auto& [micros, frame] : expected) EXPECT_EQ(captureFrameAt(found, micros), frame) << micros;
}

// ---- The paced source --------------------------------------------------------------------------

struct Release {
    int64_t at;
    uint16_t sequence;
};

class CaptureSource : public ::testing::Test {
protected:
    void SetUp() override {
        ensureWorkerThreads();
        resetLinkForTest();
        fakeNow = 1000000;
        firstLink().capture.clock = CaptureClock{fakeNowMicros, fakeSleepUntil};
        firstLink().capture.speed = 1.0f;
        firstLink().capture.loop = false;
    }
    void TearDown() override {
        captureReplaySource.close(firstLink());
        resetLinkForTest();
    }

    // Opens, indexes (in the background) and opens the source as the link would; frame 0 is out.
    void open(const Capture& capture, const char* name) {
        ASSERT_EQ(firstLink().openCapture(writeCapture(capture, name)), "");
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);  // only against a hang
        while (!firstLink().pollCaptureIndexing() && std::chrono::steady_clock::now() < giveUp) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(firstLink().capture.indexError, 0);
        firstLink().synchroniser.reset();
        ASSERT_EQ(captureReplaySource.open(firstLink(), capturePortName, 0), 0);
    }

    // Reads as the grabber does, at most `reads` times or until `frames` good frames are out.
    void run(size_t frames, int reads = 1000000) {
        uint8_t buffer[readChunkBytes];
        for (int i = 0; i < reads && released.size() < frames; ++i) {
            const int got = captureReplaySource.read(firstLink(), buffer, readChunkBytes);
            ASSERT_GE(got, 0);
            firstLink().synchroniser.synchroniseBytes(buffer, got, collect, this);
        }
    }
    static void collect(const uint8_t* record, void* context) {
        static_cast<CaptureSource*>(context)->released.push_back({fakeNow, readFrameHeader(record).sequence});
    }

    std::vector<Release> released;
};

TEST_F(CaptureSource, ReleasesEachFrameAtItsStampScaledBySpeed) {
    const int frameCount = 1801;  // 60 s at 30 frames a second
    const Capture capture = steadyCapture(frameCount);
    for (float speed : {1.0f, 2.0f, 0.25f}) {
        SCOPED_TRACE(speed);
        released.clear();
        firstLink().releaseCapture();
        open(capture, "steady");
        firstLink().capture.speed = speed;
        run(1);
        run(2, 100);  // paused: frame 0 only
        ASSERT_EQ(released.size(), 1u);
        const int64_t start = fakeNow;
        firstLink().capture.playing = true;
        run(frameCount);
        ASSERT_EQ(released.size(), static_cast<size_t>(frameCount));
        for (int k = 1; k < frameCount; ++k) {
            const int64_t due = start + static_cast<int64_t>(std::ceil(static_cast<double>(capture.frames[k].playMicros) / speed));
            ASSERT_EQ(released[k].at, due) << k;
            ASSERT_EQ(released[k].sequence, k);
        }
        EXPECT_NEAR(static_cast<double>(released.back().at - start), 60e6 / speed, 60e6 / speed * 0.01);
        EXPECT_TRUE(firstLink().capture.atEnd);
        EXPECT_EQ(firstLink().statistics.get(counterLostSyncs), 0u);
        captureReplaySource.close(firstLink());
    }
}

// A loop never spins: from the last frame to the first passes the capture's last step, or the
// sensor's period for a single frame; "Fastest" is never slower than the fastest fixed speed. Above
// 1x, frames whose time passed while the machine was late are passed over and counted as skipped
// rather than sent in a burst; at 1x every frame goes out however late.
TEST_F(CaptureSource, LoopsPauseAFramePeriodAndSpeedsAbove1xPassOverLateFrames) {
    constexpr int64_t fastestStep = period30 / 8;
    // Good frames collected after frame 0; gaps between releases (0, 0: not checked); whether frames
    // are passed over (then every frame is either shown or skipped).
    const struct Case {
        const char* name; int frames; float speed; bool loop; int64_t lateness; size_t releases; int64_t minGap, maxGap; bool skips; } cases[] = {
        {"one frame looped", 1, 1.0f, true, 0, 5, period30, period30, false},
        {"steady, fastest", 30, captureFastest, false, 0, 29, fastestStep, fastestStep, false},
        {"late at 1x", 30, 1.0f, false, 50000, 29, 0, 0, false},
        {"late at 8x", 30, 8.0f, false, 50000, 29, 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        released.clear();
        firstLink().releaseCapture();
        open(steadyCapture(c.frames), "paced");
        firstLink().capture.speed = c.speed;
        firstLink().capture.loop = c.loop;
        run(1);
        fakeLateness = c.lateness;
        firstLink().capture.playing = true;
        run(1 + c.releases, 20000);
        const uint64_t skipped = firstLink().capture.framesSkipped;
        if (c.skips) {
            EXPECT_GT(skipped, 0u);
            EXPECT_EQ(released.size() + skipped, static_cast<size_t>(c.frames));
        } else {
            EXPECT_EQ(skipped, 0u);
            EXPECT_EQ(released.size(), 1 + c.releases);
        }
        for (size_t k = 1; k < released.size(); ++k) {
            EXPECT_TRUE(c.loop || released[k].sequence > released[k - 1].sequence) << k;
            const int64_t gap = released[k].at - released[k - 1].at;
            EXPECT_TRUE(c.maxGap == 0 || (gap >= c.minGap && gap <= c.maxGap)) << k << ": " << gap;
        }
        captureReplaySource.close(firstLink());
    }
}

}  // namespace

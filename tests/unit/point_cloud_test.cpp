// The shared PointCloud: readers get whole published frames, never a mix of two, while a writer
// publishes as fast as it can.
#include "link/link.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

// Every element of frame n is derived from n, so any mix of two frames shows.
PointFrame frameNumber(uint32_t n) {
    PointFrame frame;
    for (int p = 0; p < pointsPerFrame; ++p) {
        frame.valid[p] = n;
        for (int k = 0; k < 3; ++k) frame.xyz[p][k] = static_cast<float>(n) + 0.25f * static_cast<float>(k);
    }
    return frame;
}

TEST(PointCloud, AReaderNeverSeesAMixOfTwoFrames) {
    constexpr uint32_t frames = 2000;
    const uint64_t generation = pointCloudGeneration();
    publishPointCloud(frameNumber(1));
    std::atomic<bool> writing{true};
    // Pauses between frames, as the handler has them: a reader overlapped on two cores and, on one,
    // pre-empted in mid-read by the writer waking up.
    std::thread writer([&] {
        for (uint32_t n = 2; n <= frames; ++n) {
            publishPointCloud(frameNumber(n));
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        writing = false;
    });
    uint32_t reads = 0, torn = 0, backwards = 0, last = 0;
    PointFrame frame;
    while (writing || reads == 0) {
        readPointCloud(frame);
        ++reads;
        const PointFrame whole = frameNumber(frame.valid[0]);
        torn += std::memcmp(&frame, &whole, sizeof frame) != 0;
        backwards += frame.valid[0] < last;
        last = frame.valid[0];
    }
    writer.join();
    EXPECT_EQ(torn, 0u) << "of " << reads << " reads";
    EXPECT_EQ(backwards, 0u);
    readPointCloud(frame);
    EXPECT_EQ(frame.valid[0], frames);
    EXPECT_EQ(pointCloudGeneration(), generation + frames);
}

}  // namespace

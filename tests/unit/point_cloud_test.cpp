// The shared PointCloud: readers get whole published frames, never a mix of two, while a writer
// publishes as fast as it can.
#include "link/link.h"
#include "../fakes/link_test_support.h"

#include <gtest/gtest.h>

#include <cstring>

#include <atomic>
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

bool isWholeFrame(const PointFrame& frame) {
    const PointFrame expected = frameNumber(frame.valid[0]);
    return std::memcmp(&frame, &expected, sizeof frame) == 0;
}

TEST(PointCloud, ReadsTheLastPublishedFrameAndCountsPublications) {
    resetLinkForTest();
    PointFrame empty;
    readPointCloud(empty);
    for (int p = 0; p < pointsPerFrame; ++p) ASSERT_EQ(empty.valid[p], 0u);

    const uint64_t generation = pointCloudGeneration();
    publishPointCloud(frameNumber(5));
    publishPointCloud(frameNumber(6));
    EXPECT_EQ(pointCloudGeneration(), generation + 2);
    PointFrame read;
    readPointCloud(read);
    EXPECT_TRUE(isWholeFrame(read));
    EXPECT_EQ(read.valid[0], 6u);
}

TEST(PointCloud, AReaderNeverSeesAMixOfTwoFrames) {
    constexpr uint32_t frames = 3000;
    publishPointCloud(frameNumber(1));
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        for (uint32_t n = 2; n <= frames; ++n) publishPointCloud(frameNumber(n));
        writing = false;
    });
    uint32_t reads = 0, torn = 0, last = 0, backwards = 0;
    PointFrame frame;
    while (writing || reads == 0) {
        readPointCloud(frame);
        ++reads;
        if (!isWholeFrame(frame)) ++torn;
        if (frame.valid[0] < last) ++backwards;
        last = frame.valid[0];
    }
    writer.join();
    EXPECT_EQ(torn, 0u) << "of " << reads << " reads";
    EXPECT_EQ(backwards, 0u);
    readPointCloud(frame);
    EXPECT_EQ(frame.valid[0], frames);
    resetLinkForTest();
}

}  // namespace

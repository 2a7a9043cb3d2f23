// The frame handler: decoding millimetres into metres, the mailbox, its counters, and its sleep
// until a frame (or a stop) comes.
#include "link/link.h"
#include "link/link_state.h"
#include "app/app.h"
#include "../fakes/link_test_support.h"
#include "../fakes/test_frames.h"

#include <gtest/gtest.h>

#include <cstring>

#include <thread>

namespace {

enum : int { buffersProcessed = 8, framesProcessed = 9 };

class Handler : public ::testing::Test {
protected:
    void SetUp() override { resetLinkForTest(); }
    void TearDown() override {
        appState.handlerStopRequest = false;
        resetLinkForTest();
    }
};

TEST_F(Handler, DecodesSignedMillimetresIntoMetresAtTheExtremes) {
    int16_t points[pointsPerFrame][3] = {};
    points[0][0] = -32768;
    points[0][1] = 32767;
    points[0][2] = 0;
    points[479][0] = -1;
    points[479][1] = 1;
    points[479][2] = 1000;
    uint8_t record[frameBytes];
    encodeFrame(1, 0, 0, points, record);
    PointFrame frame{};
    decodeFrame(record, frame);
    EXPECT_EQ(frame.xyz[0][0], -32.768f);
    EXPECT_EQ(frame.xyz[0][1], 32.767f);
    EXPECT_EQ(frame.xyz[0][2], 0.0f);
    EXPECT_EQ(frame.xyz[479][0], -0.001f);
    EXPECT_EQ(frame.xyz[479][1], 0.001f);
    EXPECT_EQ(frame.xyz[479][2], 1.0f);
    for (int p = 0; p < pointsPerFrame; ++p) ASSERT_EQ(frame.valid[p], 1u) << p;  // zeros are points too
}

TEST_F(Handler, DecodesTheHandedOverFrameIntoThePointCloudAndEmptiesTheMailbox) {
    PointFrame before;
    readPointCloud(before);
    EXPECT_EQ(before.valid[0], 0u);
    const uint64_t generation = pointCloudGeneration();

    const Bytes frame = makeFrame(3, 7);
    handOverFrame(frame.data(), nullptr);
    handlerRunPass();
    EXPECT_EQ(readyFrame.load(), nullptr);
    EXPECT_EQ(linkStatistics.get(buffersProcessed), 1u);
    EXPECT_EQ(linkStatistics.get(framesProcessed), 1u);
    EXPECT_EQ(pointCloudGeneration(), generation + 1);
    PointFrame after;
    readPointCloud(after);
    PointFrame expected;
    decodeFrame(frame.data(), expected);
    EXPECT_EQ(std::memcmp(&after, &expected, sizeof after), 0);
}

TEST_F(Handler, AnEmptyMailboxWithAStopRequestReturnsAtOnce) {
    appState.handlerStopRequest = true;
    handlerRunPass();
    EXPECT_EQ(linkStatistics.get(framesProcessed), 0u);
}

TEST_F(Handler, SleepsUntilAFrameIsPosted) {
    const uint64_t generation = pointCloudGeneration();
    std::thread handler([] {
        while (linkStatistics.get(framesProcessed) == 0) handlerRunPass();
    });
    const Bytes frame = makeFrame(1);
    handOverFrame(frame.data(), nullptr);
    handler.join();
    EXPECT_EQ(pointCloudGeneration(), generation + 1);
}

TEST_F(Handler, AStopRequestEndsTheSleep) {
    std::thread handler([] { handlerRunPass(); });
    appState.handlerStopRequest = true;
    wakeHandler();
    handler.join();
    EXPECT_EQ(linkStatistics.get(framesProcessed), 0u);
}

}  // namespace

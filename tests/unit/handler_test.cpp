// The frame handler: decoding millimetres into metres, the mailbox and its counters, and its sleep
// until a frame or a stop request comes.
#include "link/link.h"
#include "link/link_state.h"
#include "app/app.h"
#include "../fakes/link_test_support.h"
#include "../fakes/test_frames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

TEST(Handler, DecodesSignedMillimetresIntoMetresAtTheExtremes) {
    int16_t points[pointsPerFrame][3] = {};
    points[0][0] = -32768;
    points[0][1] = 32767;
    points[479][0] = -1;
    points[479][2] = 1000;
    uint8_t record[frameBytes];
    encodeFrame(1, 0, 0, points, record);
    PointFrame frame{};
    decodeFrame(record, frame);
    EXPECT_EQ(frame.xyz[0][0], -32.768f);
    EXPECT_EQ(frame.xyz[0][1], 32.767f);
    EXPECT_EQ(frame.xyz[0][2], 0.0f);
    EXPECT_EQ(frame.xyz[479][0], -0.001f);
    EXPECT_EQ(frame.xyz[479][2], 1.0f);
    for (int p = 0; p < pointsPerFrame; ++p) ASSERT_EQ(frame.valid[p], 1u) << p;  // zeros are points too
}

TEST(Handler, SleepsUntilAFrameComesThenDecodesItAndEmptiesTheMailbox) {
    resetLinkForTest();
    PointFrame cloud;
    readPointCloud(cloud);
    EXPECT_EQ(cloud.valid[0], 0u) << "nothing is valid before the first frame";
    const uint64_t generation = pointCloudGeneration();
    std::thread handler([] {
        while (linkStatistics.get(9) == 0) handlerRunPass();
    });
    const Bytes frame = makeFrame(3, 7);
    handOverFrame(frame.data(), nullptr);
    handler.join();
    EXPECT_EQ(readyFrame.load(), nullptr);
    EXPECT_EQ(linkStatistics.get(8), 1u);
    EXPECT_EQ(pointCloudGeneration(), generation + 1);
    PointFrame expected;
    decodeFrame(frame.data(), expected);
    readPointCloud(cloud);
    EXPECT_EQ(std::memcmp(&cloud, &expected, sizeof cloud), 0);

    // A stop request ends the sleep without a frame.
    handler = std::thread([] { handlerRunPass(); });
    appState.handlerStopRequest = true;
    wakeHandler();
    handler.join();
    EXPECT_EQ(linkStatistics.get(9), 1u);
    appState.handlerStopRequest = false;
    resetLinkForTest();
}

}  // namespace

// The hand-over from the grabber to the handler: the double buffer, the one-slot mailbox and the
// overruns while it is full, and the handler's sleep until a frame or a stop request comes. On the
// test thread (and one of its own for the handler) while the worker threads are parked.
#include "link/link.h"
#include "link/link_state.h"
#include "app/app.h"
#include "../fakes/link_test_support.h"
#include "../fakes/test_frames.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

TEST(Grabber, HandsFramesOverAlternatingBuffersAndDropsTheNewestWhileTheMailboxIsFull) {
    resetLinkForTest();
    grabberStart();
    handOverFrame(makeFrame(1).data(), nullptr);
    uint8_t* first = readyFrame.load();
    ASSERT_NE(first, nullptr);
    testing::internal::CaptureStdout();
    handOverFrame(makeFrame(2).data(), nullptr);
    handOverFrame(makeFrame(3).data(), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "overrun: 1\noverrun: 2\n");
    EXPECT_EQ(readyFrame.load(), first);
    EXPECT_EQ(Bytes(first, first + frameBytes), makeFrame(1)) << "the buffer in the handler's hands was written to";

    handlerRunPass();
    handOverFrame(makeFrame(4).data(), nullptr);
    uint8_t* second = readyFrame.load();
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(Bytes(second, second + frameBytes), makeFrame(4));
    EXPECT_EQ(linkStatistics.get(7), 2u);

    grabberStart();  // a new connection zeroes the counters but keeps what waits in the mailbox
    EXPECT_EQ(linkStatistics.get(7), 0u);
    EXPECT_EQ(readyFrame.load(), second);
    resetLinkForTest();
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

    // A stop request raised before the pass looks (its wake-up already counted) ends the pass at
    // once: no sleep through it, no frame.
    appState.handlerStopRequest = true;
    wakeHandler();
    handlerRunPass();
    EXPECT_EQ(linkStatistics.get(9), 1u);
    appState.handlerStopRequest = false;
    resetLinkForTest();
}

}  // namespace

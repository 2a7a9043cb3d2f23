// The grabber's batches and its hand-over to the handler: the double buffer, the one-slot mailbox,
// overruns and their line, read failures. On the test thread while the worker threads are parked.
#include "link/link.h"
#include "link/link_state.h"
#include "../fakes/fake_serialport.h"
#include "../fakes/link_test_support.h"
#include "../fakes/test_frames.h"

#include <libserialport.h>

#include <gtest/gtest.h>

namespace {

class Grabber : public ::testing::Test {
protected:
    void SetUp() override {
        resetLinkForTest();
        grabberStart();
    }
    void TearDown() override { resetLinkForTest(); }
};

TEST_F(Grabber, HandsFramesOverAlternatingBuffersAndDropsTheNewestWhileTheMailboxIsFull) {
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
}

TEST_F(Grabber, ReadsAtMostTwoHundredBytesPerBatchAndTakesAFailedReadAsEmpty) {
    fakeSerialAddPort("S");
    ASSERT_EQ(serialLink.open("S", 460800), SP_OK);
    const Bytes stream = concat({{0x00}, makeFrame(9)});
    fakeSerialPush("S", stream);
    fakeSerialFailReads("S", SP_ERR_FAIL);
    grabberRunBatch(&serialLink);
    EXPECT_EQ(linkStatistics.get(0), 0u);
    fakeSerialFailReads("S", SP_OK);
    const int readsBefore = fakeSerialCounters().reads;
    while (fakeSerialPending("S") > 0) grabberRunBatch(&serialLink);
    EXPECT_EQ(fakeSerialCounters().reads - readsBefore, static_cast<int>((stream.size() + readChunkBytes - 1) / readChunkBytes));
    EXPECT_EQ(linkStatistics.get(0), stream.size());
    ASSERT_NE(readyFrame.load(), nullptr);
    EXPECT_EQ(frameSequence(readyFrame.load()), 9);
}

}  // namespace

// The grabber's batches and its hand-over to the handler: the double buffer, the one-slot mailbox,
// overruns and their line, read failures. Run on the test thread while the worker threads (if any)
// are parked.
#include "link/link.h"
#include "link/link_state.h"
#include "app/app.h"
#include "../fakes/fake_serialport.h"
#include "../fakes/link_test_support.h"
#include "../fakes/test_frames.h"

#include <libserialport.h>

#include <gtest/gtest.h>

namespace {

enum : int { totalBytes = 0, goodFrames = 1, overruns = 7, buffersProcessed = 8, framesProcessed = 9 };

class Grabber : public ::testing::Test {
protected:
    void SetUp() override {
        resetLinkForTest();
        grabberStart();
    }
    void TearDown() override { resetLinkForTest(); }
};

TEST_F(Grabber, HandsFramesOverAlternatingBuffersAndDropsTheNewestWhileTheMailboxIsFull) {
    const Bytes first = makeFrame(1), second = makeFrame(2), third = makeFrame(3), fourth = makeFrame(4);
    handOverFrame(first.data(), nullptr);
    uint8_t* firstBuffer = readyFrame.load();
    ASSERT_NE(firstBuffer, nullptr);
    EXPECT_EQ(Bytes(firstBuffer, firstBuffer + frameBytes), first);

    testing::internal::CaptureStdout();
    handOverFrame(second.data(), nullptr);
    handOverFrame(third.data(), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "overrun: 1\noverrun: 2\n");
    EXPECT_EQ(readyFrame.load(), firstBuffer);
    EXPECT_EQ(frameSequence(firstBuffer), 1) << "the buffer in the handler's hands was written to";
    EXPECT_EQ(linkStatistics.get(overruns), 2u);

    handlerRunPass();
    EXPECT_EQ(readyFrame.load(), nullptr);
    handOverFrame(fourth.data(), nullptr);
    uint8_t* secondBuffer = readyFrame.load();
    ASSERT_NE(secondBuffer, nullptr);
    EXPECT_NE(secondBuffer, firstBuffer);
    EXPECT_EQ(Bytes(secondBuffer, secondBuffer + frameBytes), fourth);
}

TEST_F(Grabber, ReadsTheStreamInBatchesOfAtMostTwoHundredBytes) {
    fakeSerialAddPort("S");
    ASSERT_EQ(serialLink.open("S", 460800), SP_OK);
    const Bytes stream = concat({{0x00}, makeFrame(9)});
    fakeSerialPush("S", stream);
    const int readsBefore = fakeSerialCounters().reads;
    while (fakeSerialPending("S") > 0) grabberRunBatch(&serialLink);
    EXPECT_EQ(fakeSerialCounters().reads - readsBefore, static_cast<int>((stream.size() + readChunkBytes - 1) / readChunkBytes));
    EXPECT_EQ(linkStatistics.get(totalBytes), stream.size());
    EXPECT_EQ(linkStatistics.get(goodFrames), 1u);
    ASSERT_NE(readyFrame.load(), nullptr);
    EXPECT_EQ(frameSequence(readyFrame.load()), 9);
}

TEST_F(Grabber, AFailingReadIsAnEmptyBatch) {
    fakeSerialAddPort("S");
    ASSERT_EQ(serialLink.open("S", 460800), SP_OK);
    fakeSerialPush("S", makeFrame(1));
    fakeSerialFailReads("S", SP_ERR_FAIL);
    grabberRunBatch(&serialLink);
    EXPECT_EQ(linkStatistics.get(totalBytes), 0u);
    fakeSerialFailReads("S", SP_OK);
    while (fakeSerialPending("S") > 0) grabberRunBatch(&serialLink);
    EXPECT_EQ(linkStatistics.get(goodFrames), 1u);
}

TEST_F(Grabber, StartKeepsTheMailboxAndZeroesTheCounters) {
    const Bytes frame = makeFrame(5);
    handOverFrame(frame.data(), nullptr);
    grabberStart();
    EXPECT_EQ(linkStatistics.get(goodFrames), 0u);
    ASSERT_NE(readyFrame.load(), nullptr);
    handlerRunPass();
    EXPECT_EQ(linkStatistics.get(buffersProcessed), 1u);
    EXPECT_EQ(linkStatistics.get(framesProcessed), 1u);
}

}  // namespace

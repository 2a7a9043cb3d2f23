// The hand-over from the grabber to the handler: the double buffer, the one-slot mailbox and the
// overruns while it is full, and the handler's sleep until a frame or a stop request comes; then the
// shared PointCloud, whose readers get whole frames while a writer publishes. On the test thread (and
// threads of its own) while the worker threads are parked.
#include "link/link.h"
#include "link/link_state.h"
#include "../fakes/link_test_support.h"
#include "../fakes/test_frames.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

TEST(Grabber, HandsFramesOverAlternatingBuffersAndDropsTheNewestWhileTheMailboxIsFull) {
    resetLinkForTest();
    grabberRole.start(&firstLink());
    handOverFrame(makeFrame(1).data(), &firstLink());
    uint8_t* first = firstLink().own->readyFrame.load();
    ASSERT_NE(first, nullptr);
    testing::internal::CaptureStdout();
    handOverFrame(makeFrame(2).data(), &firstLink());
    handOverFrame(makeFrame(3).data(), &firstLink());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "overrun: 1\noverrun: 2\n");
    EXPECT_EQ(firstLink().own->readyFrame.load(), first);
    EXPECT_EQ(Bytes(first, first + frameBytes), makeFrame(1)) << "the buffer in the handler's hands was written to";

    handlerRunPass(firstLink());
    handOverFrame(makeFrame(4).data(), &firstLink());
    uint8_t* second = firstLink().own->readyFrame.load();
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(Bytes(second, second + frameBytes), makeFrame(4));
    EXPECT_EQ(firstLink().statistics.get(7), 2u);

    grabberRole.start(&firstLink());  // a new connection zeroes the counters but keeps what waits in the mailbox
    EXPECT_EQ(firstLink().statistics.get(7), 0u);
    EXPECT_EQ(firstLink().own->readyFrame.load(), second);
    resetLinkForTest();
}

TEST(Handler, SleepsUntilAFrameComesThenDecodesItAndEmptiesTheMailbox) {
    resetLinkForTest();
    const uint64_t generation = firstLink().generation();
    std::thread handler([] {
        while (firstLink().statistics.get(9) == 0) handlerRunPass(firstLink());
    });
    const Bytes frame = makeFrame(3, 7);
    handOverFrame(frame.data(), &firstLink());
    handler.join();
    EXPECT_EQ(firstLink().own->readyFrame.load(), nullptr);
    EXPECT_EQ(firstLink().statistics.get(8), 1u);
    EXPECT_EQ(firstLink().generation(), generation + 1);
    PointFrame expected, cloud;
    decodeFrame(frame.data(), expected);
    firstLink().readLatest(cloud);
    EXPECT_EQ(std::memcmp(&cloud, &expected, sizeof cloud), 0);

    // A stop request raised before the pass looks (its wake-up already counted) ends the pass at
    // once: no sleep through it, no frame.
    firstLink().workers.handler.stopRequest = true;
    wakeHandler(firstLink());
    handlerRunPass(firstLink());
    EXPECT_EQ(firstLink().statistics.get(9), 1u);
    firstLink().workers.handler.stopRequest = false;
    resetLinkForTest();
}

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
    const uint64_t generation = firstLink().generation();
    firstLink().publish(frameNumber(1));
    std::atomic<bool> writing{true};
    // Pauses between frames, as the handler has them: a reader overlapped on two cores and, on one,
    // pre-empted in mid-read by the writer waking up.
    std::thread writer([&] {
        for (uint32_t n = 2; n <= frames; ++n) {
            firstLink().publish(frameNumber(n));
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        writing = false;
    });
    uint32_t reads = 0, torn = 0, backwards = 0, last = 0;
    PointFrame frame;
    while (writing || reads == 0) {
        firstLink().readLatest(frame);
        ++reads;
        const PointFrame whole = frameNumber(frame.valid[0]);
        torn += std::memcmp(&frame, &whole, sizeof frame) != 0;
        backwards += frame.valid[0] < last;
        last = frame.valid[0];
    }
    writer.join();
    EXPECT_EQ(torn, 0u) << "of " << reads << " reads";
    EXPECT_EQ(backwards, 0u);
    firstLink().readLatest(frame);
    EXPECT_EQ(frame.valid[0], frames);
    EXPECT_EQ(firstLink().generation(), generation + frames);
}

}  // namespace

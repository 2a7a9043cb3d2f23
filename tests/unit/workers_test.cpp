// The worker life cycle with the real grabber and handler threads over the fake serial port:
// connect, disconnect, reconnect, a line that fails or stays idle, and the exit sequence (one-shot
// per process, so in exit tests).
#include "link/link.h"
#include "app/app.h"
#include "../fakes/fake_serialport.h"
#include "../fakes/link_test_support.h"
#include "../fakes/test_frames.h"

#include <libserialport.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>

namespace {

constexpr auto generousTimeout = std::chrono::seconds(20);
const char* const sensor = "/dev/ttyUSB0";

// Waits for `done`; false instead of hanging when it never comes true.
template <typename Condition>
bool eventually(Condition done) {
    const auto deadline = std::chrono::steady_clock::now() + generousTimeout;
    while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return done();
}

// Runs a call that must return; a hang ends the test program with a message instead.
template <typename Call>
void mustReturn(const char* what, Call call) {
    auto result = std::async(std::launch::async, call);
    if (result.wait_for(generousTimeout) != std::future_status::ready) {
        std::fprintf(stderr, "%s never returned\n", what);
        std::_Exit(2);
    }
    result.get();
}

void connect() {
    ASSERT_EQ(firstLink().open(sensor, firstLink().baudRate), SP_OK);
}

bool frameArrives(uint16_t sequence) {
    const uint64_t generation = firstLink().generation();
    fakeSerialPush(sensor, makeFrame(sequence, static_cast<int16_t>(sequence % 20)));
    return eventually([generation] { return firstLink().generation() > generation; });
}

class Workers : public ::testing::Test {
protected:
    void SetUp() override {
        ensureWorkerThreads();
        resetLinkForTest();
        fakeSerialAddPort(sensor);
    }
    void TearDown() override { resetLinkForTest(); }
};

TEST_F(Workers, ConnectDisconnectConnectCarriesFramesAndRestartsCleanly) {
    connect();
    for (uint16_t n = 1; n <= 3; ++n) ASSERT_TRUE(frameArrives(n));
    mustReturn("disconnect", [] { firstLink().close(); });
    EXPECT_TRUE(firstLink().workers.grabber.stopped && firstLink().workers.handler.stopped);
    EXPECT_FALSE(firstLink().portOpen || firstLink().workers.grabber.startRequest || firstLink().workers.handler.startRequest);
    EXPECT_EQ(fakeSerialOpenHandles(), 0);
    PointFrame kept, last;
    firstLink().readLatest(kept);
    decodeFrame(makeFrame(3, 3).data(), last);
    EXPECT_EQ(std::memcmp(&kept, &last, sizeof kept), 0) << "the last frame stays after a disconnect";

    connect();
    EXPECT_FALSE(firstLink().workers.grabber.stopRequest || firstLink().workers.grabber.stopped || firstLink().workers.handler.stopRequest || firstLink().workers.handler.stopped);
    ASSERT_TRUE(frameArrives(4));
    EXPECT_EQ(firstLink().statistics.get(counterGoodFrames), 1u) << "each connection counts afresh";
    mustReturn("disconnect", [] { firstLink().close(); });
}

TEST_F(Workers, AnIdleOrFailingLineIsNotPolledInATightLoop) {
    connect();
    for (int status : {SP_OK, SP_ERR_FAIL}) {
        fakeSerialFailReads(sensor, status);
        const int before = fakeSerialCounters().reads;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_LT(fakeSerialCounters().reads - before, 50) << "read status " << status;
    }
    mustReturn("disconnect", [] { firstLink().close(); });
}

// Two sensors at once: each link's counters and latest frame follow its own stream only.
TEST_F(Workers, TwoLinksSideBySideKeepTheirOwnCountersAndFrames) {
    const char* const otherSensor = "/dev/ttyUSB1";
    fakeSerialAddPort(otherSensor);
    Link* other = addLink();
    ASSERT_NE(other, nullptr);
    connect();
    ASSERT_EQ(other->open(otherSensor, 921600), SP_OK);
    // One frame at a time, each waited for, so that no frame is dropped as an overrun.
    auto deliver = [](Link& link, const char* port, const Bytes& bytes) {
        const uint64_t generation = link.generation();
        fakeSerialPush(port, bytes);
        return eventually([&] { return link.generation() > generation; });
    };
    Bytes first, second;
    for (uint16_t n = 0; n < 5; ++n) {
        if (n < 3) {
            const Bytes frame = makeFrame(static_cast<uint16_t>(n + 1), 1);
            first.insert(first.end(), frame.begin(), frame.end());
            ASSERT_TRUE(deliver(firstLink(), sensor, frame));
        }
        // The second stream starts with a stray byte.
        const Bytes frame = n == 0 ? concat({{0x11}, makeFrame(100, 2)}) : makeFrame(static_cast<uint16_t>(100 + n), 2);
        second.insert(second.end(), frame.begin(), frame.end());
        ASSERT_TRUE(deliver(*other, otherSensor, frame));
    }
    Bytes broken = makeFrame(105, 2);
    broken[bodyOffset] ^= 1;  // its checksum no longer matches
    second.insert(second.end(), broken.begin(), broken.end());
    fakeSerialPush(otherSensor, broken);
    struct Expected {
        Link* link;
        uint64_t bytes, goodFrames, checksumErrors;
        uint32_t lastSequence;
    };
    for (const Expected& e : {Expected{&firstLink(), first.size(), 3, 0, 3}, Expected{other, second.size(), 5, 1, 104}}) {
        SCOPED_TRACE(e.link->name);
        const LinkStatistics& s = e.link->statistics;
        ASSERT_TRUE(eventually([&] { return s.get(counterTotalBytes) == e.bytes; }));
        EXPECT_EQ(s.get(counterGoodFrames), e.goodFrames);
        EXPECT_EQ(s.get(counterChecksumErrors), e.checksumErrors);
        PointFrame latest;
        e.link->readLatest(latest);
        EXPECT_EQ(latest.sequence, e.lastSequence);
    }
    mustReturn("disconnect", [other] {
        other->close();
        firstLink().close();
    });
    EXPECT_EQ(fakeSerialOpenHandles(), 0);
    removeLink(*other);
}

using WorkersExit = Workers;

TEST_F(WorkersExit, ExitingFromElsewhereWhileConnectedStillEndsCleanly) {
    // exit() called outside the entry (Xlib does so when the display goes): no abort on a running
    // worker's handle, the status given is the status seen.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            connect();
            std::exit(frameArrives(1) ? 7 : 3);
        },
        testing::ExitedWithCode(7), "");
}

TEST_F(WorkersExit, ClosingBringsBothWorkersDownAndClosesThePort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const int connected : {0, 1, 2}) {  // never connected; connected to an idle line; with frames flowing
        EXPECT_EXIT(
            {
                if (connected > 0) connect();
                if (connected == 2 && !frameArrives(1)) std::exit(3);
                shutDownLinks();
                const bool exited = firstLink().workers.grabber.exited && firstLink().workers.handler.exited;
                const bool closed = !firstLink().portOpen && fakeSerialOpenHandles() == 0;
                std::fprintf(stderr, "exited %d closed %d\n", exited, closed);
                std::exit(exited && closed ? 0 : 1);
            },
            testing::ExitedWithCode(0), "exited 1 closed 1")
            << "connected " << connected;
    }
}

}  // namespace

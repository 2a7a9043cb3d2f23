// The worker life cycle with the real grabber and handler threads over the fake serial port:
// connect, disconnect, reconnect, a line that fails or stays idle, and the exit sequence (one-shot
// per process, so in exit tests).
#include "link/link.h"
#include "app/app.h"
#include "../fakes/fake_serialport.h"
#include "../fakes/scratch.h"
#include "../fakes/link_test_support.h"
#include "../fakes/scratch.h"
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

bool frameArrives(uint16_t sequence, Link& link = firstLink(), const char* port = sensor) {
    const uint64_t generation = link.generation();
    fakeSerialPush(port, makeFrame(sequence, static_cast<int16_t>(sequence % 20)));
    return eventually([&] { return link.generation() > generation; });
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

// Two sensors at once: each link's counters and latest frame follow its own stream only. Frames go
// one at a time, each waited for, so that none is dropped as an overrun.
TEST_F(Workers, TwoLinksSideBySideKeepTheirOwnCountersAndFrames) {
    const char* const ports[2] = {sensor, "/dev/ttyUSB1"};
    fakeSerialAddPort(ports[1]);
    Link* links[2] = {&firstLink(), addLink()};
    ASSERT_NE(links[1], nullptr);
    const int frames[2] = {3, 5};
    for (int i = 0; i < 2; ++i) ASSERT_EQ(links[i]->open(ports[i], 460800), SP_OK);
    for (uint16_t n = 0; n < 5; ++n)
        for (int i = 0; i < 2; ++i) ASSERT_TRUE(n >= frames[i] || frameArrives(static_cast<uint16_t>(100 * i + n), *links[i], ports[i]));
    for (int i = 0; i < 2; ++i) {
        PointFrame latest;
        links[i]->readLatest(latest);
        EXPECT_EQ(latest.sequence, 100u * i + frames[i] - 1);
        EXPECT_EQ(links[i]->statistics.get(counterGoodFrames), static_cast<uint64_t>(frames[i]));
        EXPECT_EQ(links[i]->statistics.get(counterTotalBytes), static_cast<uint64_t>(frames[i]) * frameBytes);
        mustReturn("disconnect", [&] { links[i]->close(); });
    }
    removeLink(*links[1]);
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

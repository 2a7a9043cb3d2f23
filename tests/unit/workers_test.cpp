// The worker life cycle with the real grabber and handler threads over the fake serial port:
// connect, disconnect, reconnect, a line that fails or stays idle, and the exit sequence (one-shot
// per process, so in exit tests).
#include "link/link.h"
#include "app/app.h"
#include "../fakes/fake_serialport.h"
#include "../fakes/scratch.h"
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
    ASSERT_EQ(serialLink.open(sensor, appState.baudRate), SP_OK);
    appState.portOpen = true;
    startWorkers();
}

bool frameArrives(uint16_t sequence) {
    const uint64_t generation = pointCloudGeneration();
    fakeSerialPush(sensor, makeFrame(sequence, static_cast<int16_t>(sequence % 20)));
    return eventually([generation] { return pointCloudGeneration() > generation; });
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
    mustReturn("disconnect", disconnect);
    EXPECT_TRUE(appState.grabberStopped && appState.handlerStopped);
    EXPECT_FALSE(appState.portOpen || appState.grabberStartRequest || appState.handlerStartRequest);
    EXPECT_EQ(fakeSerialOpenHandles(), 0);
    PointFrame kept, last;
    readPointCloud(kept);
    decodeFrame(makeFrame(3, 3).data(), last);
    EXPECT_EQ(std::memcmp(&kept, &last, sizeof kept), 0) << "the last frame stays after a disconnect";

    connect();
    EXPECT_FALSE(appState.grabberStopRequest || appState.grabberStopped || appState.handlerStopRequest || appState.handlerStopped);
    ASSERT_TRUE(frameArrives(4));
    EXPECT_EQ(linkStatistics.get(counterGoodFrames), 1u) << "each connection counts afresh";
    mustReturn("disconnect", disconnect);
}

TEST_F(Workers, AnIdleOrFailingLineIsNotPolledInATightLoop) {
    connect();
    for (int status : {SP_OK, SP_ERR_FAIL}) {
        fakeSerialFailReads(sensor, status);
        const int before = fakeSerialCounters().reads;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_LT(fakeSerialCounters().reads - before, 50) << "read status " << status;
    }
    mustReturn("disconnect", disconnect);
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
                runExitSequence();
                const bool exited = appState.grabberExited && appState.handlerExited;
                const bool closed = !appState.portOpen && fakeSerialOpenHandles() == 0;
                std::fprintf(stderr, "exited %d closed %d\n", exited, closed);
                std::exit(exited && closed ? 0 : 1);
            },
            testing::ExitedWithCode(0), "exited 1 closed 1")
            << "connected " << connected;
    }
}

}  // namespace

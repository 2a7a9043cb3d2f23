// The worker life cycle with the real grabber and handler threads over the fake serial port:
// connect, disconnect, reconnect, the stop that comes before a worker has started, thousands of
// cycles with data flowing, and the exit sequence (one-shot per process, so in exit tests).
#include "link/link.h"
#include "app/app.h"
#include "../fakes/fake_serialport.h"
#include "../fakes/link_test_support.h"
#include "../fakes/test_frames.h"

#include <libserialport.h>

#include <gtest/gtest.h>

#include <cstring>

#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

namespace {

enum : int { goodFrames = 1, framesProcessed = 9 };
constexpr auto generousTimeout = std::chrono::seconds(20);
const char* const sensor = "/dev/ttyUSB0";

// Fails instead of hanging when `done` never comes true.
template <typename Condition>
bool eventually(Condition done) {
    const auto deadline = std::chrono::steady_clock::now() + generousTimeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
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
    ASSERT_EQ(serialLink.open(sensor, appState.baudRate), SP_OK);
    appState.portOpen = true;
    startWorkers();
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
    for (uint16_t n = 1; n <= 3; ++n) {
        fakeSerialPush(sensor, makeFrame(n, static_cast<int16_t>(n)));
        ASSERT_TRUE(eventually([n] { return linkStatistics.get(framesProcessed) == n; }));
    }
    mustReturn("disconnect", disconnect);
    EXPECT_FALSE(appState.portOpen);
    EXPECT_TRUE(appState.grabberStopped && appState.handlerStopped);
    EXPECT_FALSE(appState.grabberStartRequest || appState.handlerStartRequest);
    EXPECT_EQ(fakeSerialOpenHandles(), 0);
    PointFrame kept, last;
    readPointCloud(kept);
    decodeFrame(makeFrame(3, 3).data(), last);
    EXPECT_EQ(std::memcmp(&kept, &last, sizeof kept), 0) << "the last frame stays after a disconnect";

    connect();
    EXPECT_FALSE(appState.grabberStopRequest || appState.grabberStopped);
    EXPECT_FALSE(appState.handlerStopRequest || appState.handlerStopped);
    fakeSerialPush(sensor, makeFrame(4));
    ASSERT_TRUE(eventually([] { return linkStatistics.get(framesProcessed) >= 1 && linkStatistics.get(goodFrames) == 1; }))
        << "the second connect starts the statistics afresh";
    mustReturn("disconnect", disconnect);
}

TEST_F(Workers, PrintTheirLinesOnlyWhenDebugging) {
    testing::internal::CaptureStdout();
    connect();
    fakeSerialPush(sensor, makeFrame(1));
    ASSERT_TRUE(eventually([] { return linkStatistics.get(framesProcessed) == 1; }));
    mustReturn("disconnect", disconnect);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    appState.debugPrint = true;
    testing::internal::CaptureStdout();
    const uint64_t generation = pointCloudGeneration();
    connect();
    fakeSerialPush(sensor, makeFrame(2));
    ASSERT_TRUE(eventually([generation] { return pointCloudGeneration() > generation; }));
    mustReturn("disconnect", disconnect);
    const std::string lines = testing::internal::GetCapturedStdout();
    appState.debugPrint = false;
    for (const char* line : {"grabber started\n", "handler started\n", "grabber halted\n", "handler halted\n"})
        EXPECT_NE(lines.find(line), std::string::npos) << line << " missing in:\n" << lines << "--\n";
}

TEST_F(Workers, AStopBeforeTheWorkersLeftParkedIsStillAcknowledged) {
    // No start request at all: both workers are parked when the stop comes.
    mustReturn("stopWorkers on parked workers", stopWorkers);
    EXPECT_TRUE(appState.grabberStopped && appState.handlerStopped);

    // A connect followed at once by a disconnect, many times: the stop often comes before a
    // worker has seen its start request.
    fakeSerialRepeat(sensor, makeFrame(1));
    mustReturn("quick start and stop", [] {
        for (int i = 0; i < 300; ++i) {
            startWorkers();
            stopWorkers();
        }
    });
}

TEST_F(Workers, ThousandsOfConnectsAndDisconnectsWithDataFlowing) {
    fakeSerialRepeat(sensor, concat({makeFrame(1), {0x00}, makeFrame(2)}));
    testing::internal::CaptureStdout();  // the endless stream outruns the handler: many overrun lines
    mustReturn("connect and disconnect cycles", [] {
        for (int cycle = 0; cycle < 2000; ++cycle) {
            connect();
            if (cycle % 200 == 0) {
                const uint32_t before = linkStatistics.get(framesProcessed);
                ASSERT_TRUE(eventually([before] { return linkStatistics.get(framesProcessed) > before; }));
            }
            disconnect();
            ASSERT_EQ(fakeSerialOpenHandles(), 0);
        }
    });
    testing::internal::GetCapturedStdout();
    EXPECT_LE(fakeSerialLiveHandles(), 1);
    EXPECT_EQ(linkStatistics.get(4) + linkStatistics.get(5), 0u) << "no frame is ever spoilt by a restart";
}

TEST_F(Workers, AnIdleOrFailingLineIsNotPolledInATightLoop) {
    connect();
    const int idleBefore = fakeSerialCounters().reads;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LT(fakeSerialCounters().reads - idleBefore, 50) << "an idle line is waited on, not polled";
    fakeSerialFailReads(sensor, SP_ERR_FAIL);
    const int failingBefore = fakeSerialCounters().reads;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_LT(fakeSerialCounters().reads - failingBefore, 50) << "a failing port is not retried at once";
    mustReturn("disconnect", disconnect);
}

using WorkersExit = Workers;

TEST_F(WorkersExit, ClosingWithoutEverConnectingBringsBothWorkersDown) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ensureWorkerThreads();
            runExitSequence();
            const bool ok = appState.grabberExited && appState.handlerExited && appState.exitRequest &&
                            appState.shutdownRequest;
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(WorkersExit, ClosingWhileConnectedLeavesFromRunAndClosesThePort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ensureWorkerThreads();
            connect();
            fakeSerialPush(sensor, makeFrame(1));
            if (!eventually([] { return linkStatistics.get(framesProcessed) == 1; })) std::exit(3);
            runExitSequence();
            const bool exited = appState.grabberExited && appState.handlerExited && !appState.shutdownRequest;
            const bool notStopped = !appState.grabberStopped && !appState.handlerStopped;
            const bool closed = !appState.portOpen && fakeSerialOpenHandles() == 0;
            std::fprintf(stderr, "exited %d notStopped %d closed %d\n", exited, notStopped, closed);
            std::exit(exited && notStopped && closed ? 0 : 1);
        },
        testing::ExitedWithCode(0), "exited 1 notStopped 1 closed 1");
}

TEST_F(WorkersExit, ClosingWhileConnectedToAnIdleLineDoesNotWaitForData) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ensureWorkerThreads();
            connect();
            mustReturn("exit sequence", runExitSequence);
            std::exit(appState.grabberExited && appState.handlerExited ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

}  // namespace

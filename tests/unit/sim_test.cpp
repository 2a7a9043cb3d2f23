// The simulator's report against the link's own synchroniser: over any mix of injected faults, the
// counters the synchroniser reaches are the ones the simulator worked out, and the good frames
// carry the sequence numbers and the clock on across the faults between them. The in-process demo
// sensor built on it: a clean, paced stream in reads that respect the caller's limit; it refuses
// bad rates and reads while closed.
#include "link/link.h"
#include "link/sim.h"
#include "../fakes/scratch.h"

#include <gtest/gtest.h>

#include <libserialport.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

void collect(const uint8_t* record, void* context) {
    static_cast<std::vector<FrameHeader>*>(context)->push_back(readFrameHeader(record));
}

}  // namespace

TEST(Simulator, MixedFaultsOverManySeedsMatchTheReport) {
    SimConfig config;
    config.firstSequence = 65500;  // the sequence numbers wrap
    config.startMicros = 950000;   // and the clock carries into the seconds
    config.framePeriodMicros = 40000;
    config.faultShare[simFaultGarbage] = 0.15;
    config.faultShare[simFaultChecksum] = 0.1;
    config.faultShare[simFaultSize] = 0.15;
    config.faultShare[simFaultCutShort] = 0.15;
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE(seed);
        config.seed = seed;
        Simulator sim;
        simInit(sim, config);
        std::vector<uint8_t> bytes;
        for (int unit = 0; unit < 60; ++unit) simNextUnit(sim, bytes);

        // Fed in reads of 1..200 bytes, so patterns and fields split across reads.
        std::vector<FrameHeader> stamps;
        firstLink().synchroniser.reset();
        uint64_t state = seed;
        for (size_t at = 0, chunk = 0; at < bytes.size(); at += chunk) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            chunk = std::min<size_t>(bytes.size() - at, 1 + (state >> 33) % readChunkBytes);
            firstLink().synchroniser.synchroniseBytes(bytes.data() + at, static_cast<int>(chunk), collect, &stamps);
        }
        for (int counter = 0; counter < simStreamCounterCount; ++counter)
            EXPECT_EQ(firstLink().statistics.get(counter), sim.report.expected[counter]) << linkStatisticNames[counter];
        ASSERT_EQ(stamps.size(), sim.report.expected[counterGoodFrames]);
        // Frames lost to faults still used up their sequence numbers and their time.
        for (size_t i = 1; i < stamps.size(); ++i) {
            const auto step = static_cast<uint16_t>(stamps[i].sequence - stamps[i - 1].sequence);
            const int64_t micros = (int64_t{stamps[i].seconds} - stamps[i - 1].seconds) * microsPerSecond +
                                   stamps[i].micros - stamps[i - 1].micros;
            EXPECT_EQ(micros, int64_t{step} * config.framePeriodMicros) << "frame " << i;
        }
    }
}

TEST(DemoPort, RefusesABadRateAndDeliversConsecutiveCleanFramesInBoundedReadsUntilClosed) {
    uint8_t buffer[readChunkBytes + 16];
    Link link;  // a link of its own, its workers never started: the test reads as its grabber would
    EXPECT_EQ(demoSensorSource.open(link, demoPortName, 0), SP_ERR_ARG);
    EXPECT_LT(demoSensorSource.read(link, buffer, 37), 0);
    ASSERT_EQ(demoSensorSource.open(link, demoPortName, 1500000), SP_OK);
    link.synchroniser.reset();
    std::vector<FrameHeader> stamps;
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);  // only against a hang
    while (stamps.size() < 3 && std::chrono::steady_clock::now() < giveUp) {
        const int got = demoSensorSource.read(link, buffer, 37);  // an odd limit: frames split anywhere
        ASSERT_GE(got, 0);
        ASSERT_LE(got, 37);
        link.synchroniser.synchroniseBytes(buffer, got, collect, &stamps);
    }
    demoSensorSource.close(link);
    EXPECT_LT(demoSensorSource.read(link, buffer, 37), 0);
    ASSERT_EQ(stamps.size(), 3u);
    for (int k = 1; k < 3; ++k) EXPECT_EQ(stamps[k].sequence, static_cast<uint16_t>(stamps[0].sequence + k));
    for (int counter = 3; counter <= 6; ++counter) EXPECT_EQ(link.statistics.get(counter), 0u);
}

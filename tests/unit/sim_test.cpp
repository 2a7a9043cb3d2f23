// The simulator's report against the link's own synchroniser: over any mix of injected faults, the
// counters the synchroniser reaches are the ones the simulator worked out, and the good frames
// carry the sequence numbers and the clock on across the faults between them. The in-process demo
// sensor built on it: a clean, paced stream in reads that respect the caller's limit; it refuses
// bad rates and reads while closed.
#include "link/link.h"
#include "link/sim.h"

#include <gtest/gtest.h>

#include <libserialport.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

void collect(const uint8_t* record, void* context) {
    static_cast<std::vector<FrameStamp>*>(context)->push_back(readFrameStamp(record));
}

void countFrame(const uint8_t* record, void* context) {
    static_cast<std::vector<uint16_t>*>(context)->push_back(readFrameStamp(record).sequence);
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
        std::vector<FrameStamp> stamps;
        resetSynchroniser();
        uint64_t state = seed;
        for (size_t at = 0, chunk = 0; at < bytes.size(); at += chunk) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            chunk = std::min<size_t>(bytes.size() - at, 1 + (state >> 33) % readChunkBytes);
            synchroniseBytes(bytes.data() + at, static_cast<int>(chunk), collect, &stamps);
        }
        for (int counter = 0; counter < simStreamCounterCount; ++counter)
            EXPECT_EQ(linkStatistics.get(counter), sim.report.expected[counter]) << linkStatisticNames[counter];
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

TEST(DemoPort, DeliversConsecutiveCleanFramesInBoundedReads) {
    ASSERT_EQ(demoPortOpen(1500000), SP_OK);
    resetSynchroniser();
    std::vector<uint16_t> sequences;
    uint8_t buffer[readChunkBytes + 16];
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);  // only against a hang
    while (sequences.size() < 3 && std::chrono::steady_clock::now() < giveUp) {
        const int got = demoPortRead(buffer, 37);  // an odd limit: frames split anywhere
        ASSERT_GE(got, 0);
        ASSERT_LE(got, 37);
        synchroniseBytes(buffer, got, countFrame, &sequences);
    }
    demoPortClose();
    ASSERT_EQ(sequences.size(), 3u);
    EXPECT_EQ(sequences[1], static_cast<uint16_t>(sequences[0] + 1));
    EXPECT_EQ(sequences[2], static_cast<uint16_t>(sequences[0] + 2));
    for (int counter = 3; counter <= 6; ++counter) EXPECT_EQ(linkStatistics.get(counter), 0u);
}

TEST(DemoPort, RefusesABadRateAndReadsWhileClosed) {
    EXPECT_EQ(demoPortOpen(0), SP_ERR_ARG);
    uint8_t buffer[8];
    EXPECT_LT(demoPortRead(buffer, sizeof buffer), 0);
    ASSERT_EQ(demoPortOpen(57600), SP_OK);
    demoPortClose();
    EXPECT_LT(demoPortRead(buffer, sizeof buffer), 0);
}

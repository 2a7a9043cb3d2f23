// The simulator's frames and injected faults, checked against the link's own synchroniser: the
// counters it reaches must be the ones the simulator worked out.
#include "link/link.h"
#include "link/sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

struct Collected {
    std::vector<FrameStamp> stamps;
};

void collect(const uint8_t* record, void* context) {
    static_cast<Collected*>(context)->stamps.push_back(readFrameStamp(record));
}

struct Stream {
    std::vector<uint8_t> bytes;
    Simulator sim;
};

Stream simulate(const SimConfig& config, int units) {
    Stream stream;
    simInit(stream.sim, config);
    for (int i = 0; i < units; ++i) simNextUnit(stream.sim, stream.bytes);
    return stream;
}

// Feeds the stream in reads of varying length (1..200 bytes), so patterns and fields split across reads.
Collected synchronise(const std::vector<uint8_t>& bytes, uint32_t chunkSeed = 1) {
    Collected collected;
    resetSynchroniser();
    uint64_t state = chunkSeed;
    for (size_t at = 0; at < bytes.size();) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const size_t chunk = std::min<size_t>(bytes.size() - at, 1 + (state >> 33) % readChunkBytes);
        synchroniseBytes(bytes.data() + at, static_cast<int>(chunk), collect, &collected);
        at += chunk;
    }
    return collected;
}

void expectCountersMatch(const SimReport& report) {
    for (int counter = 0; counter < simStreamCounterCount; ++counter)
        EXPECT_EQ(linkStatistics.get(counter), report.expected[counter]) << linkStatisticNames[counter];
}

SimConfig onlyFault(SimFault kind) {
    SimConfig config;
    config.faultShare[kind] = 1.0;
    return config;
}

}  // namespace

TEST(Simulator, CleanFramesCountUpWrapAndCarryTheClock) {
    SimConfig config;
    config.firstSequence = 65534;
    config.startSeconds = 100;
    config.startMicros = 950000;
    config.framePeriodMicros = 40000;
    const Stream stream = simulate(config, 4);
    ASSERT_EQ(stream.bytes.size(), 4u * frameBytes);

    const Collected collected = synchronise(stream.bytes);
    ASSERT_EQ(collected.stamps.size(), 4u);
    const uint16_t sequences[] = {65534, 65535, 0, 1};
    const uint32_t seconds[] = {100, 100, 101, 101};
    const uint32_t micros[] = {950000, 990000, 30000, 70000};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(collected.stamps[i].sequence, sequences[i]);
        EXPECT_EQ(collected.stamps[i].seconds, seconds[i]);
        EXPECT_EQ(collected.stamps[i].micros, micros[i]);
    }
    EXPECT_EQ(linkStatistics.get(1), 4u);
    EXPECT_EQ(linkStatistics.get(3), 0u);
    expectCountersMatch(stream.sim.report);
}

TEST(Simulator, SameSeedSameBytesOtherSeedOtherNoise) {
    SimConfig config;
    config.seed = 42;
    config.faultShare[simFaultGarbage] = 0.3;
    config.faultShare[simFaultCutShort] = 0.3;
    EXPECT_EQ(simulate(config, 20).bytes, simulate(config, 20).bytes);
    SimConfig other = config;
    other.seed = 43;
    EXPECT_NE(simulate(config, 20).bytes, simulate(other, 20).bytes);
}

// Each fault on its own, with the counts worked out by hand for three units in a row.
TEST(Simulator, EachFaultKindHasItsOwnEffectOnTheCounters) {
    struct Case {
        SimFault kind;
        uint32_t goodFrames, goodSyncs, lostSyncs, sizeErrors, checksumErrors;
    };
    const Case cases[] = {
        // The first garbage byte comes before any sync: nothing is lost. The others follow a frame.
        {simFaultGarbage, 3, 3, 2, 0, 0},
        {simFaultChecksum, 0, 3, 0, 0, 3},
        // The rest of a frame with a wrong size starts no pattern; no lost sync at all.
        {simFaultSize, 0, 3, 0, 3, 0},
        // Each cut frame fails its checksum and the frame it swallowed costs one lost sync.
        {simFaultCutShort, 0, 3, 3, 0, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(simFaultNames[c.kind]);
        const Stream stream = simulate(onlyFault(c.kind), 3);
        const Collected collected = synchronise(stream.bytes);
        EXPECT_EQ(linkStatistics.get(1), c.goodFrames);
        EXPECT_EQ(linkStatistics.get(2), c.goodSyncs);
        EXPECT_EQ(linkStatistics.get(3), c.lostSyncs);
        EXPECT_EQ(linkStatistics.get(4), c.sizeErrors);
        EXPECT_EQ(linkStatistics.get(5), c.checksumErrors);
        EXPECT_EQ(collected.stamps.size(), c.goodFrames);
        EXPECT_EQ(stream.sim.report.units[c.kind], 3u);
        expectCountersMatch(stream.sim.report);
    }
}

TEST(Simulator, GarbageCostsALostSyncOnlyRightAfterAFrame) {
    Stream stream;
    simInit(stream.sim, SimConfig{});
    const SimFault order[] = {simFaultSize, simFaultGarbage, simFaultNone, simFaultGarbage, simFaultCutShort, simFaultGarbage};
    for (SimFault kind : order) {
        stream.sim.config.faultShare[simFaultSize] = kind == simFaultSize ? 1.0 : 0.0;
        stream.sim.config.faultShare[simFaultGarbage] = kind == simFaultGarbage ? 1.0 : 0.0;
        stream.sim.config.faultShare[simFaultCutShort] = kind == simFaultCutShort ? 1.0 : 0.0;
        ASSERT_EQ(simNextUnit(stream.sim, stream.bytes), kind);
    }
    synchronise(stream.bytes);
    // Lost: the garbage after the clean frame, and the frame swallowed by the cut. The garbage after
    // the size error and after the cut is skipped while hunting.
    EXPECT_EQ(linkStatistics.get(3), 2u);
    EXPECT_EQ(linkStatistics.get(1), 4u);
    expectCountersMatch(stream.sim.report);
}

TEST(Simulator, MixedFaultsOverManySeedsMatchTheReport) {
    SimConfig config;
    config.faultShare[simFaultGarbage] = 0.15;
    config.faultShare[simFaultChecksum] = 0.1;
    config.faultShare[simFaultSize] = 0.15;
    config.faultShare[simFaultCutShort] = 0.15;
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE(seed);
        config.seed = seed;
        const Stream stream = simulate(config, 60);
        const Collected collected = synchronise(stream.bytes, seed);
        expectCountersMatch(stream.sim.report);
        EXPECT_EQ(collected.stamps.size(), stream.sim.report.expected[1]);
        uint64_t units = 0;
        for (uint64_t count : stream.sim.report.units) units += count;
        EXPECT_EQ(units, 60u);
        // A cut-short frame swallows the next one, which uses up a sequence number too.
        EXPECT_EQ(stream.sim.report.framesEncoded, 60u + stream.sim.report.units[simFaultCutShort]);
    }
}

TEST(Simulator, SceneHasFloorWallAndAMovingObject) {
    int16_t first[pointsPerFrame][3];
    int16_t later[pointsPerFrame][3];
    simScene(1, 0, 33333, first);
    simScene(1, 15, 33333, later);
    int floorPoints = 0, wallPoints = 0, moved = 0;
    for (int p = 0; p < pointsPerFrame; ++p) {
        if (std::abs(first[p][2]) <= 5) ++floorPoints;
        if (std::abs(first[p][1] - 5000) <= 5) ++wallPoints;
        if (std::abs(first[p][0] - later[p][0]) > 50) ++moved;
        EXPECT_GT(first[p][1], 0) << "every point lies ahead of the sensor";
    }
    EXPECT_GE(floorPoints, 200);
    EXPECT_GE(wallPoints, 150);
    EXPECT_GT(moved, 40);
}

TEST(Simulator, LineTimeOfAFrame) {
    EXPECT_EQ(frameLineMicros(1500000), 19414u);  // 29120 bits
    EXPECT_EQ(frameLineMicros(57600), 505556u);
}

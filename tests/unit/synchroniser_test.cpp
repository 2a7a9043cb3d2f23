// The synchroniser against crafted byte streams: what it finds, what it drops and what it counts.
#include "link/link.h"
#include "app/app.h"
#include "link/sim.h"
#include "../fakes/test_frames.h"
#include "../../fuzz/reference_synchroniser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>

namespace {

struct Counts {
    uint32_t good, syncs, lost, size, checksum;
    bool operator==(const Counts&) const = default;
};

struct Outcome {
    Counts counts;
    std::vector<uint16_t> sequences;
    std::vector<Bytes> frames;
};

// Feeds the whole stream at once after a Start.
Outcome synchronise(const Bytes& stream) {
    resetSynchroniser();
    Outcome run;
    auto collect = [](const uint8_t* record, void* context) {
        static_cast<Outcome*>(context)->frames.emplace_back(record, record + frameBytes);
        static_cast<Outcome*>(context)->sequences.push_back(frameSequence(record));
    };
    synchroniseBytes(stream.data(), static_cast<int>(stream.size()), collect, &run);
    const LinkStatistics& s = linkStatistics;
    run.counts = {s.get(1), s.get(2), s.get(3), s.get(4), s.get(5)};
    EXPECT_EQ(s.get(0), stream.size());
    EXPECT_EQ(s.get(6), 0u);
    return run;
}

Bytes spoilt(Bytes frame, int offset, uint8_t value) {
    frame[offset] = value;
    return frame;
}

TEST(Synchroniser, CountsAndDropsAsTheWireRulesSay) {
    const Bytes victim = makeFrame(2);
    ASSERT_EQ(std::count(victim.begin() + 6, victim.end(), 0x5A), 0) << "the victim must hold no other pattern start";
    struct Case {
        const char* name;
        Bytes stream;
        Counts counts;
        std::vector<uint16_t> sequences;
    };
    const Case cases[] = {
        {"back to back", concat({makeFrame(1), makeFrame(2), makeFrame(3)}), {3, 3, 0, 0, 0}, {1, 2, 3}},
        {"garbage byte between", concat({makeFrame(1), {0x00}, makeFrame(2)}), {2, 2, 1, 0, 0}, {1, 2}},
        {"noise before the first sync", concat({{0x00, 0x5A, 0xA5, 0x11, 0x5A, 0x42}, makeFrame(4)}), {1, 1, 0, 0, 0}, {4}},
        // The stray byte starts a pattern that the victim's first byte breaks; its second byte is
        // taken in LostSync, its third and fourth start a pattern that its size field breaks.
        {"stray 0x5A before a frame", concat({makeFrame(1), {0x5A}, victim, makeFrame(3)}), {2, 2, 2, 0, 0}, {1, 3}},
        {"size 2905", concat({makeFrame(1), spoilt(makeFrame(2), 4, 0x59), makeFrame(3)}), {2, 3, 0, 1, 0}, {1, 3}},
        {"checksum off by one", concat({makeFrame(1), spoilt(makeFrame(2), 2908, makeFrame(2)[2908] + 1), makeFrame(3)}),
         {2, 3, 0, 0, 1}, {1, 3}},
        {"body byte flipped", concat({spoilt(makeFrame(5), 1000, 0x77), makeFrame(6)}), {1, 2, 0, 0, 1}, {6}},
    };
    for (const Case& c : cases) {
        const Outcome run = synchronise(c.stream);
        EXPECT_EQ(run.counts, c.counts) << c.name;
        EXPECT_EQ(run.sequences, c.sequences) << c.name;
    }
    EXPECT_EQ(synchronise(makeFrame(9, 3)).frames.at(0), makeFrame(9, 3)) << "delivered byte for byte";
}

// The wire layout pinned by a frame written out byte by byte, apart from the encoder and its offsets.
TEST(Synchroniser, DecodesAFrameWrittenOutByHand) {
    Bytes frame(2912, 0xFF);  // every point not written below is (-1, -1, -1) mm
    const std::pair<size_t, Bytes> fields[] = {
        {0, {0x5A, 0xA5, 0x5A, 0xA5}},                    // sync
        {4, {0x58, 0x0B, 0x00, 0x00}},                    // size 2904
        {8, {0xEF, 0xBE}},                                // sequence 48879
        {10, {0xAB, 0xCD}},                               // not interpreted
        {12, {0x00, 0x28, 0x6B, 0xEE}},                   // 4000000000 s
        {16, {0x4E, 0x46, 0x05, 0x00}},                   // 345678 us
        {20, {1, 2, 3, 4, 5, 6, 7, 8}},                   // not interpreted
        {28, {0x02, 0x01, 0xFE, 0xFE, 0x00, 0x00}},       // point 0: 258, -258, 0 mm
        {34, {0xFF, 0x7F, 0x00, 0x80, 0x01, 0x00}},       // point 1: 32767, -32768, 1
        {1468, {0xC7, 0xCF, 0x34, 0x12, 0xFF, 0xFF}},     // point 240: -12345, 4660, -1
        {2902, {0xE8, 0x03, 0xD0, 0x07, 0x48, 0xF4}},     // point 479: 1000, 2000, -3000
        // Bytes 8..2907: 476 points of six 0xFF (728280) and the fields above
        // (429 + 376 + 385 + 153 + 36 + 511 + 511 + 986 + 766): 732433 = 0x000B2D11.
        {2908, {0x11, 0x2D, 0x0B, 0x00}},
    };
    for (const auto& [offset, bytes] : fields) std::copy(bytes.begin(), bytes.end(), frame.begin() + offset);

    testing::internal::CaptureStdout();
    appState.debugPrint = true;
    const Outcome run = synchronise(frame);
    appState.debugPrint = false;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "4000000000.3457\n");
    ASSERT_EQ(run.counts, (Counts{1, 1, 0, 0, 0}));
    ASSERT_EQ(run.frames.at(0), frame);

    const FrameStamp stamp = readFrameStamp(run.frames[0].data());
    EXPECT_EQ(stamp.sequence, 48879);
    EXPECT_EQ(stamp.seconds, 4000000000u);
    EXPECT_EQ(stamp.micros, 345678u);
    PointFrame points;
    decodeFrame(run.frames[0].data(), points);
    EXPECT_EQ((std::array<uint32_t, 4>{points.stamped, points.sequence, points.timestampSeconds, points.timestampMicros}),
              (std::array<uint32_t, 4>{1, 48879, 4000000000u, 345678}))
        << "the decoded frame carries its sequence number and time stamp";
    const struct {
        int point;
        float x, y, z;
    } expected[] = {
        {0, 0.258f, -0.258f, 0.0f}, {1, 32.767f, -32.768f, 0.001f}, {2, -0.001f, -0.001f, -0.001f},
        {240, -12.345f, 4.66f, -0.001f}, {478, -0.001f, -0.001f, -0.001f}, {479, 1.0f, 2.0f, -3.0f},
    };
    for (const auto& e : expected) {
        EXPECT_EQ(points.valid[e.point], 1u) << "point " << e.point;
        EXPECT_FLOAT_EQ(points.xyz[e.point][0], e.x) << "point " << e.point;
        EXPECT_FLOAT_EQ(points.xyz[e.point][1], e.y) << "point " << e.point;
        EXPECT_FLOAT_EQ(points.xyz[e.point][2], e.z) << "point " << e.point;
    }
}

void collectFrame(const uint8_t* record, void* context) {
    static_cast<std::vector<Bytes>*>(context)->emplace_back(record, record + frameBytes);
}

// Simulated frames with every kind of fault, then bytes overwritten at random by sync and size bytes
// or noise.
Bytes faultyStream(uint32_t seed, std::mt19937& random) {
    SimConfig config;
    config.seed = seed;
    for (int kind = simFaultGarbage; kind < simFaultKindCount; ++kind) config.faultShare[kind] = 0.08;
    Simulator sim;
    simInit(sim, config);
    Bytes stream;
    while (stream.size() < 40 * frameBytes) simNextUnit(sim, stream);
    const uint8_t damage[] = {0x5A, 0xA5, 0x58, 0x0B, 0x00};
    for (int k = 0; k < 30; ++k) stream[random() % stream.size()] = k % 3 == 0 ? random() % 256 : damage[random() % 5];
    return stream;
}

// The synchroniser against the wire rules taken byte by byte (fuzz/reference_synchroniser.cpp) on
// faulty streams read in pieces of random size, single bytes and several frames among them: the
// same frames, the same state, counters and assembly area after every read, the same time stamp lines.
TEST(Synchroniser, MatchesTheByteByByteRulesOnFaultyStreams) {
    std::mt19937 random(12);
    for (uint32_t round = 1; round <= 40; ++round) {
        const Bytes stream = faultyStream(round, random);
        std::vector<size_t> reads;
        for (size_t taken = 0; taken < stream.size(); taken += reads.back()) {
            const size_t pick = random() % 8;
            const size_t size = pick < 3 ? 1 : pick < 7 ? 1 + random() % readChunkBytes : 1 + random() % (3 * frameBytes);
            reads.push_back(std::min(size, stream.size() - taken));
        }
        appState.debugPrint = round % 4 == 0;
        struct Run {
            std::vector<Bytes> frames;
            std::vector<SynchroniserSnapshot> afterReads;
            std::string printed;
        } fast, reference;
        ReferenceSynchroniser bytewise;
        bytewise.state = synchroniser;  // what a Start leaves as it was (assembly area, field index)
        testing::internal::CaptureStdout();
        resetSynchroniser();
        for (size_t read = 0, at = 0; read < reads.size(); at += reads[read++]) {
            synchroniseBytes(stream.data() + at, static_cast<int>(reads[read]), collectFrame, &fast.frames);
            fast.afterReads.push_back(takeSnapshot(synchroniser, linkStatistics));
        }
        fast.printed = testing::internal::GetCapturedStdout();
        testing::internal::CaptureStdout();
        referenceReset(bytewise);
        for (size_t read = 0, at = 0; read < reads.size(); at += reads[read++]) {
            referenceSynchronise(bytewise, stream.data() + at, static_cast<int>(reads[read]), collectFrame, &reference.frames);
            reference.afterReads.push_back(takeSnapshot(bytewise.state, bytewise.statistics));
        }
        reference.printed = testing::internal::GetCapturedStdout();
        appState.debugPrint = false;

        ASSERT_GT(reference.frames.size(), 4u) << "round " << round;
        ASSERT_EQ(fast.frames, reference.frames) << "round " << round;
        const auto differs = std::mismatch(fast.afterReads.begin(), fast.afterReads.end(), reference.afterReads.begin());
        ASSERT_TRUE(differs.first == fast.afterReads.end())
            << "round " << round << ": state differs after read " << differs.first - fast.afterReads.begin();
        ASSERT_EQ(fast.printed, reference.printed) << "round " << round;
    }
}

}  // namespace

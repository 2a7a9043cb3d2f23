// The synchroniser against crafted byte streams: what it finds, what it drops and what it counts.
#include "link/link.h"
#include "app/app.h"
#include "../fakes/test_frames.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

struct Found {
    std::vector<Bytes> frames;
};

void collect(const uint8_t* record, void* context) {
    static_cast<Found*>(context)->frames.emplace_back(record, record + frameBytes);
}

enum : int { totalBytes, goodFrames, goodSyncs, lostSyncs, sizeErrors, checksumErrors, invalidErrors };

struct Counts {
    uint32_t good, syncs, lost, size, checksum;
    bool operator==(const Counts&) const = default;
};

Counts counts() {
    return {linkStatistics.get(goodFrames), linkStatistics.get(goodSyncs), linkStatistics.get(lostSyncs),
            linkStatistics.get(sizeErrors), linkStatistics.get(checksumErrors)};
}

std::vector<uint16_t> sequences(const Found& found) {
    std::vector<uint16_t> result;
    for (const Bytes& frame : found.frames) result.push_back(frameSequence(frame.data()));
    return result;
}

class Synchroniser : public ::testing::Test {
protected:
    void SetUp() override { resetSynchroniser(); }
    void TearDown() override { appState.debugPrint = false; }

    void feed(const Bytes& bytes, size_t chunk = SIZE_MAX) {
        for (size_t at = 0; at < bytes.size(); at += chunk) {
            const size_t n = std::min(chunk, bytes.size() - at);
            synchroniseBytes(bytes.data() + at, static_cast<int>(n), collect, &found);
        }
    }

    Found found;
};

TEST_F(Synchroniser, FindsFramesBackToBackAndDeliversThemByteForByte) {
    const Bytes stream = concat({makeFrame(1), makeFrame(2, 5), makeFrame(3, 9)});
    feed(stream);
    EXPECT_EQ(counts(), (Counts{3, 3, 0, 0, 0}));
    EXPECT_EQ(linkStatistics.get(totalBytes), stream.size());
    ASSERT_EQ(found.frames.size(), 3u);
    EXPECT_EQ(found.frames[1], makeFrame(2, 5));
    EXPECT_EQ(linkStatistics.get(invalidErrors), 0u);
}

TEST_F(Synchroniser, CountsOneLostSyncForAGarbageByteBetweenFrames) {
    feed(concat({makeFrame(1), {0x00}, makeFrame(2)}));
    EXPECT_EQ(counts(), (Counts{2, 2, 1, 0, 0}));
    EXPECT_EQ(sequences(found), (std::vector<uint16_t>{1, 2}));
}

TEST_F(Synchroniser, NothingBeforeTheFirstSyncCountsAsLost) {
    feed(concat({{0x00, 0x5A, 0xA5, 0x11, 0x5A, 0x42}, makeFrame(4)}));
    EXPECT_EQ(counts(), (Counts{1, 1, 0, 0, 0}));
}

TEST_F(Synchroniser, AStrayPatternStartBeforeAFrameCostsThatFrame) {
    const Bytes victim = makeFrame(2);
    ASSERT_EQ(std::count(victim.begin() + 6, victim.end(), 0x5A), 0) << "the frame must hold no other pattern start";
    feed(concat({makeFrame(1), {0x5A}, victim, makeFrame(3)}));
    // The stray byte starts a pattern that the victim's first byte breaks; its second byte is taken
    // in LostSync (one lost sync), its third and fourth start a pattern that its size field breaks
    // (a second lost sync).
    EXPECT_EQ(counts(), (Counts{2, 2, 2, 0, 0}));
    EXPECT_EQ(sequences(found), (std::vector<uint16_t>{1, 3}));
}

TEST_F(Synchroniser, AWrongSizeIsCountedAndHuntingResumesWithoutALostSync) {
    Bytes badSize = makeFrame(2);
    badSize[4] = 0x59;  // 2905
    ASSERT_EQ(std::count(badSize.begin() + 8, badSize.end(), 0x5A), 0);
    feed(concat({makeFrame(1), badSize, makeFrame(3)}));
    EXPECT_EQ(counts(), (Counts{2, 3, 0, 1, 0}));
    EXPECT_EQ(sequences(found), (std::vector<uint16_t>{1, 3}));
}

TEST_F(Synchroniser, AChecksumOffByOneDropsOnlyThatFrame) {
    Bytes spoilt = makeFrame(2);
    spoilt[2908] += 1;
    feed(concat({makeFrame(1), spoilt, makeFrame(3)}));
    EXPECT_EQ(counts(), (Counts{2, 3, 0, 0, 1}));
    EXPECT_EQ(sequences(found), (std::vector<uint16_t>{1, 3}));

    // The frame behind a bad one is found without a lost sync, also when the body is spoilt.
    resetSynchroniser();
    found.frames.clear();
    spoilt = makeFrame(5);
    spoilt[1000] ^= 0x01;
    feed(concat({spoilt, makeFrame(6)}));
    EXPECT_EQ(counts(), (Counts{1, 2, 0, 0, 1}));
}

TEST_F(Synchroniser, ChecksumCoversSequenceAndBodyButNotTheHeader) {
    // A frame whose sum would include the sync and size bytes is refused.
    Bytes wrongSum = makeFrame(7);
    const uint32_t withHeader = frameChecksum(wrongSum.data()) + 0x5A + 0xA5 + 0x5A + 0xA5 + 0x58 + 0x0B;
    for (int i = 0; i < 4; ++i) wrongSum[2908 + i] = static_cast<uint8_t>(withHeader >> (8 * i));
    feed(concat({wrongSum, makeFrame(8)}));
    EXPECT_EQ(counts(), (Counts{1, 2, 0, 0, 1}));
    EXPECT_EQ(sequences(found), (std::vector<uint16_t>{8}));
}

TEST_F(Synchroniser, FindsTheSameFramesHoweverTheStreamIsSplit) {
    Bytes spoilt = makeFrame(3);
    spoilt[2000] ^= 0x10;
    const Bytes stream = concat({{0x11, 0x5A, 0x00}, makeFrame(1), {0x00}, makeFrame(2), spoilt, makeFrame(4), {0x5A, 0xA5, 0x5A}});
    feed(stream);
    const Counts whole = counts();
    const std::vector<Bytes> wholeFrames = found.frames;
    ASSERT_EQ(whole, (Counts{3, 4, 1, 0, 1}));

    // Every chunk size up to a whole read splits the stream at every byte boundary many times over.
    for (size_t chunk = 1; chunk <= static_cast<size_t>(readChunkBytes); ++chunk) {
        resetSynchroniser();
        found.frames.clear();
        feed(stream, chunk);
        ASSERT_EQ(counts(), whole) << "chunk " << chunk;
        ASSERT_EQ(found.frames, wholeFrames) << "chunk " << chunk;
    }
}

TEST_F(Synchroniser, StartHuntsAfreshAndZeroesTheStatistics) {
    const Bytes frame = makeFrame(1);
    feed(Bytes(frame.begin(), frame.begin() + 1500));
    resetSynchroniser();
    EXPECT_EQ(linkStatistics.get(totalBytes), 0u);
    // The rest of the interrupted frame is hunted through without counting lost syncs.
    feed(concat({Bytes(frame.begin() + 1500, frame.end()), makeFrame(2)}));
    EXPECT_EQ(counts(), (Counts{1, 1, 0, 0, 0}));
    EXPECT_EQ(sequences(found), (std::vector<uint16_t>{2}));
}

TEST_F(Synchroniser, PrintsTheTimeStampOfEachGoodFrameOnlyWhenDebugging) {
    testing::internal::CaptureStdout();
    feed(makeFrame(1, 0, 12, 345600));
    appState.debugPrint = true;
    feed(makeFrame(2, 0, 4000000000u, 345600));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "4000000000.3456\n");
}

}  // namespace

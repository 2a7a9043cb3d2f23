// The in-process demo sensor: what it delivers is a clean, paced stream of frames in reads that
// respect the caller's limit; it refuses bad rates and reads while closed.
#include "link/link.h"
#include "link/sim.h"

#include <gtest/gtest.h>

#include <libserialport.h>

#include <chrono>

namespace {

void countFrame(const uint8_t* record, void* context) {
    auto* sequences = static_cast<std::vector<uint16_t>*>(context);
    sequences->push_back(readFrameStamp(record).sequence);
}

}  // namespace

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

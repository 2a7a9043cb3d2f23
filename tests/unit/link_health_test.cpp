// The link health figures: rates from counter deltas that survive the grabber zeroing its counters
// at each connection, the refresh interval, and the line load at the chosen baud rate.
#include "ui/panel_state.h"

#include <gtest/gtest.h>

namespace {

LinkCounters counters(uint32_t bytes, uint32_t frames) { return LinkCounters{bytes, frames, 1, 2, 3, 4}; }

TEST(LinkHealth, RatesComeFromDeltasAtMostFourTimesASecond) {
    LinkHealth health;
    health.baudRate = 1500000;
    sampleLinkHealth(health, 10.0, counters(1000, 10), true);
    EXPECT_EQ(health.framesPerSecond, 0.0f) << "one sample gives no rate yet";
    EXPECT_EQ(health.goodFrames, 10u);

    sampleLinkHealth(health, 10.1, counters(99999, 999), true);
    EXPECT_EQ(health.goodFrames, 10u) << "too soon: the lines keep their figures";

    sampleLinkHealth(health, 10.5, counters(76000, 25), true);
    EXPECT_FLOAT_EQ(health.framesPerSecond, 30.0f);
    EXPECT_FLOAT_EQ(health.bytesPerSecond, 150000.0f);
    EXPECT_FLOAT_EQ(linkLoad(health), 1.0f) << "150000 bytes of 10 bits fill 1500000 baud";
    EXPECT_EQ(health.lostSyncs, 1u);
    EXPECT_EQ(health.sizeErrors, 2u);
    EXPECT_EQ(health.checksumErrors, 3u);
    EXPECT_EQ(health.overruns, 4u);
}

TEST(LinkHealth, ZeroedCountersCountAsNewGrowth) {
    LinkHealth health;
    health.baudRate = 460800;
    sampleLinkHealth(health, 1.0, counters(500000, 170), true);
    // A reconnect in between: the grabber started over from zero.
    sampleLinkHealth(health, 2.0, counters(23040, 8), true);
    EXPECT_FLOAT_EQ(health.framesPerSecond, 8.0f);
    EXPECT_FLOAT_EQ(health.bytesPerSecond, 23040.0f);
    EXPECT_FLOAT_EQ(linkLoad(health), 0.5f);
}

TEST(LinkHealth, DisconnectedLinkShowsNoRateButKeepsTheTotals) {
    LinkHealth health;
    health.baudRate = 57600;
    sampleLinkHealth(health, 1.0, counters(0, 0), true);
    sampleLinkHealth(health, 2.0, counters(5760, 2), true);
    ASSERT_GT(health.framesPerSecond, 0.0f);
    sampleLinkHealth(health, 3.0, counters(5760, 2), false);
    EXPECT_EQ(health.framesPerSecond, 0.0f);
    EXPECT_EQ(linkLoad(health), 0.0f);
    EXPECT_EQ(health.goodFrames, 2u);
    health.baudRate = 0;
    EXPECT_EQ(linkLoad(health), 0.0f);
}

}  // namespace

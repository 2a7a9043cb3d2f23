// The frame limiter's rest after each frame: frames come no faster than the monitor refreshes, even
// where the driver ignores the swap interval.
#include "main/frame_loop.h"

#include <gtest/gtest.h>

TEST(FramePacing, AFastFrameRestsUntilTheRefreshPeriodEnds) {
    EXPECT_NEAR(frameRestSeconds(0.001, 60), 1.0 / 60 - 0.001, 1e-12);
    EXPECT_NEAR(frameRestSeconds(0.0, 144), 1.0 / 144, 1e-12);
    EXPECT_NEAR(frameRestSeconds(0.002, 30), 1.0 / 30 - 0.002, 1e-12);
}

TEST(FramePacing, ASlowFrameDoesNotRest) {
    EXPECT_EQ(frameRestSeconds(1.0 / 60, 60), 0.0);
    EXPECT_EQ(frameRestSeconds(0.07, 60), 0.0);
    EXPECT_EQ(frameRestSeconds(0.01, 144), 0.0);
}

TEST(FramePacing, AnUnknownRefreshRateCountsAsSixtyHertz) {
    EXPECT_NEAR(frameRestSeconds(0.004, 0), 1.0 / 60 - 0.004, 1e-12);
    EXPECT_NEAR(frameRestSeconds(0.004, -1), 1.0 / 60 - 0.004, 1e-12);
}

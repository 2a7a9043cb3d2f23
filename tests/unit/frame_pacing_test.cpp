// The frame limiter's rest after each frame: a fast frame rests out the refresh period (or the loop
// would burn a core where the driver ignores the swap interval), a slow one not at all, and an
// unknown refresh rate counts as 60 Hz rather than a rest without end.
#include "main/frame_loop.h"

#include <gtest/gtest.h>

TEST(FramePacing, RestsOutTheRefreshPeriod) {
    EXPECT_NEAR(frameRestSeconds(0.002, 144), 1.0 / 144 - 0.002, 1e-12);
    EXPECT_EQ(frameRestSeconds(0.07, 60), 0.0);
    EXPECT_NEAR(frameRestSeconds(0.004, 0), 1.0 / 60 - 0.004, 1e-12);
}

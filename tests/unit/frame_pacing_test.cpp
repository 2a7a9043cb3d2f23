// The frame limiter's rest after each frame: a fast frame rests out the refresh period (or the loop
// would burn a core where the driver ignores the swap interval), a slow one not at all, and an
// unknown refresh rate counts as 60 Hz rather than a rest without end. Then when the loop draws its
// next frame, and how long it sleeps before.
#include "main/frame_loop.h"

#include <gtest/gtest.h>

#include <limits>

TEST(FramePacing, RestsOutTheRefreshPeriod) {
    EXPECT_NEAR(frameRestSeconds(0.002, 144), 1.0 / 144 - 0.002, 1e-12);
    EXPECT_EQ(frameRestSeconds(0.07, 60), 0.0);
    EXPECT_NEAR(frameRestSeconds(0.004, 0), 1.0 / 60 - 0.004, 1e-12);
}

TEST(FramePacing, SleepsUntilSomethingIsToBeDrawn) {
    constexpr double never = std::numeric_limits<double>::infinity();
    const struct {
        const char* what;
        FrameNeeds needs;
        double wait;
    } rows[] = {
        {"nothing happens: sleeps until an event", {false, 0, false, never}, never},
        {"a figure moves in 0.4 s", {false, 0, false, 0.4}, 0.4},
        {"a figure was due already", {false, 0, false, -0.2}, 0.0},
        {"a recording or a replay keeps the steady rate", {true, 0, false, never}, 0.0},
        {"the GUI is owed frames after an input", {false, 2, false, 5.0}, 0.0},
        {"a sensor frame or an input came while asleep", {false, 0, true, 5.0}, 0.0},
    };
    for (const auto& row : rows) EXPECT_EQ(secondsBeforeNextFrame(row.needs), row.wait) << row.what;
}

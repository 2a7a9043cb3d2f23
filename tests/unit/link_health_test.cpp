// The link health figures against streams of known rate, noted by a GUI whose clock the test runs:
// frame rate and line load within 5% and steady, 0 only a second after the last frame, counters
// zeroed by a reconnect taken as new growth.
#include "ui/panel_state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

struct Stream {
    const char* name;
    double framesPerSecond;  // as the line carries them
    int baudRate;
    double guiFramesPerSecond;
    double zeroedAt;         // the grabber zeroes its counters here (a reconnect); 0: never
};

constexpr double phase = 0.37;      // frames arrive at (k - phase) / rate, between GUI frames
constexpr double streamEnd = 8.0;   // no frame arrives after this
constexpr double warmUp = rateWindowSeconds + 0.5;
constexpr uint32_t readBytes = 200; // bytes come in reads of this size

TEST(LinkHealth, RatesAreCloseAndSteadyAndFallToZeroOnlyAfterASecondWithoutFrames) {
    const Stream streams[] = {
        {"57600 baud, GUI at 60 Hz", 5760.0 / frameBytes, 57600, 60, 0},
        {"57600 baud, GUI at 15 Hz", 5760.0 / frameBytes, 57600, 15, 0},
        {"1500000 baud, GUI at 60 Hz", 150000.0 / frameBytes, 1500000, 60, 0},
        {"1500000 baud, GUI at 500 Hz", 150000.0 / frameBytes, 1500000, 500, 0},
        {"1500000 baud, counters zeroed", 150000.0 / frameBytes, 1500000, 60, 4.0},
    };
    for (const Stream& s : streams) {
        SCOPED_TRACE(s.name);
        const auto framesBy = [&](double t) { return std::floor(std::min(t, streamEnd) * s.framesPerSecond + phase); };
        const double lastArrival = (framesBy(streamEnd) - phase) / s.framesPerSecond;
        const double expectedLoad = s.framesPerSecond * frameBytes * lineBitsPerByte / s.baudRate;
        LinkHealth health;
        health.baudRate = s.baudRate;
        float lowest = 1e9f, highest = 0.0f, lowestLoad = 1e9f, highestLoad = 0.0f;
        for (int tick = 0;; ++tick) {
            const double t = tick / s.guiFramesPerSecond;
            if (t > lastArrival + staleSeconds + 2 * linkHealthRefreshSeconds) break;
            const double zeroed = s.zeroedAt > 0 && t >= s.zeroedAt ? framesBy(s.zeroedAt) : 0.0;
            const double frames = framesBy(t) - zeroed;
            const auto bytes = static_cast<uint32_t>(frames * frameBytes / readBytes) * readBytes;
            sampleLinkHealth(health, t, LinkCounters{bytes, static_cast<uint32_t>(frames), 0, 0, 0, 0}, true);
            if (t >= warmUp && t <= streamEnd) {
                lowest = std::min(lowest, health.framesPerSecond);
                highest = std::max(highest, health.framesPerSecond);
                lowestLoad = std::min(lowestLoad, linkLoad(health));
                highestLoad = std::max(highestLoad, linkLoad(health));
            } else if (t > streamEnd && t < lastArrival + staleSeconds) {
                EXPECT_GT(health.framesPerSecond, 0.0f) << "at " << t << " s, a frame came " << t - lastArrival << " s ago";
            }
        }
        EXPECT_NEAR(lowest, s.framesPerSecond, 0.05 * s.framesPerSecond);
        EXPECT_NEAR(highest, s.framesPerSecond, 0.05 * s.framesPerSecond);
        EXPECT_NEAR(lowestLoad, expectedLoad, 0.05 * expectedLoad);
        EXPECT_NEAR(highestLoad, expectedLoad, 0.05 * expectedLoad);
        EXPECT_EQ(health.framesPerSecond, 0.0f) << "a second after the last frame";
        EXPECT_EQ(health.bytesPerSecond, 0.0f);
    }
}

}  // namespace

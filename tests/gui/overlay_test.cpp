// The corner overlay under a fake clock (F2 shows it, as the end-to-end settings test checks): the
// shown frame's points, rate, sequence and time stamp, the stale marker and when it must be
// redrawn; when the GUI asks the frame loop for frames.
#include "app/app.h"
#include "harness.h"
#include "link/link.h"
#include "record/record.h"
#include "ui/panel_state.h"
#include "ui/ui.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

class OverlayTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetLink();
        overlay = OverlayState{};
        linkHealth = LinkHealth{};
        overlayShown = false;
        appState.windowWidth = 1024.0f;
        appState.windowHeight = 768.0f;
    }
    void TearDown() override {
        firstLink().portOpen = false;
        resetLink();
    }
    void publish(int validPoints, uint32_t sequence) {
        PointFrame frame{};
        for (int p = 0; p < validPoints; ++p) frame.valid[p] = 1;
        frame.stamped = 1;
        frame.sequence = sequence;
        frame.timestampSeconds = 12;
        frame.timestampMicros = 500000;
        firstLink().publish(frame);
    }
    Lines at(double time) {
        now = time;
        gui.frame(draw);
        return overlay.lines;
    }

    GuiHarness gui;
    double now = 100.0;
    std::function<void()> draw = [this] { takeFrameOnShow(), drawOverlay(now); };
};

TEST_F(OverlayTest, FollowsTheSensorAndMarksAFrameStaleAfterASecond) {
    overlayShown = true;
    firstLink().portOpen = true;
    publish(300, 7);
    EXPECT_EQ(at(100.0), (Lines{"Valid points: 300", "Sensor: 0.0 frames/s", "Sequence: 7", "Time stamp: 12.5000 s"}));

    // Eight frames in each half second: 16 a second.
    for (double t : {100.5, 101.0}) {
        for (int i = 0; i < 8; ++i) firstLink().statistics.increment(counterGoodFrames);
        publish(480, 8);
        at(t);
    }
    EXPECT_EQ(overlay.lines, (Lines{"Valid points: 480", "Sensor: 16.0 frames/s", "Sequence: 8", "Time stamp: 12.5000 s"}));

    // Exactly a second without a frame is not yet stale; the loop is told to look just after it.
    EXPECT_EQ(at(102.0).size(), 4u);
    EXPECT_NEAR(secondsUntilFiguresMove(102.0), 0.0, 0.01);
    EXPECT_EQ(at(102.5).back(), "stale: no frame for 1 s");
    EXPECT_NEAR(secondsUntilFiguresMove(102.5), 0.5, 1e-9) << "the count moves at the next whole second";
    EXPECT_EQ(at(104.2).back(), "stale: no frame for 3 s");
    EXPECT_EQ(at(104.2)[1], "Sensor: 0.0 frames/s");
    publish(480, 9);
    EXPECT_EQ(at(104.3).back(), "Time stamp: 12.5000 s") << "a new frame is not stale";

    // Not connected: the last frame stays, never stale, and nothing moves by itself.
    firstLink().portOpen = false;
    EXPECT_EQ(at(110.0), (Lines{"Valid points: 480", "Sequence: 9", "Time stamp: 12.5000 s", "Not connected"}));
    EXPECT_EQ(secondsUntilFiguresMove(110.0), std::numeric_limits<double>::infinity());
    // A new connection restarts the clock even before its first frame.
    firstLink().portOpen = true;
    EXPECT_EQ(at(120.0).size(), 4u);
    EXPECT_EQ(at(121.5).back(), "stale: no frame for 1 s");

    // A capture replay that is paused (or stepped) sends no frames and is no stale sensor; playing
    // on, it is a sensor again.
    firstLink().source = &captureReplaySource;  // as if the replay had opened
    firstLink().capture.playing = false;
    EXPECT_EQ(at(130.0), (Lines{"Valid points: 480", "Sequence: 9", "Time stamp: 12.5000 s"}));
    firstLink().capture.playing = true;
    EXPECT_EQ(at(131.0).size(), 4u) << "the clock restarts as it plays on";
    firstLink().source = nullptr;
    firstLink().portOpen = false;

    // A recording replayed shows rows from 1, keeps its length once ended, and no sensor stamps.
    appState.replayActive = true;
    replayState.index.rowCount = 399;
    for (const auto& [playRow, rowCount, shown] : {std::tuple(0, 399, "row 1 of 399 (paused)"),
                                                   std::tuple(400, 0, "row 399 of 399 (ended)")}) {
        replayState.playRow = playRow;
        replayState.rowCount = rowCount;
        EXPECT_EQ(at(140.0), (Lines{"Valid points: 480", std::string("Replay: ") + shown}));
    }
    appState.replayActive = false;
    replayState.index = ReplayIndex{};
}

// With several sensors: a line for each one connected, named, with its own frame, and its own stale marker.
TEST_F(OverlayTest, NamesEachConnectedSensorWithItsOwnFrame) {
    overlayShown = true;
    Link& second = *addLink();
    sensorHealth[1] = LinkHealth{};
    firstLink().name = "Front", second.name = "Left";
    firstLink().portOpen = true, second.portOpen = true;
    PointFrame frame{};
    frame.valid[0] = 1, frame.stamped = 1, frame.sequence = 40;
    second.publish(frame);
    publish(300, 7);
    EXPECT_EQ(at(100.0), (Lines{"Front: valid points 300, 0.0 frames/s, sequence 7, 12.5000 s",
                                "Left: valid points 1, 0.0 frames/s, sequence 40, 0.0000 s"}));
    publish(300, 8);
    EXPECT_EQ(at(101.5).back(), "stale: Left, no frame for 1 s");
    EXPECT_EQ(at(101.5).size(), 3u) << "the sensor with a new frame is not stale";
    second.portOpen = false;
}

// What the GUI asks of the frame loop: nothing once left alone, a frame when a change made late in a
// frame shows or a figure moves by itself, and a few frames while a pop-up fades in.
TEST_F(OverlayTest, AsksTheFrameLoopForFramesOnlyWhileSomethingChanges) {
    const auto quiet = [this] {
        gui.frame(draw);
        const GuiActivity activity = guiActivity(ImGui::GetTime());
        return !activity.steady && !activity.settling && std::isinf(activity.secondsUntilMove);
    };
    quiet();
    EXPECT_TRUE(quiet()) << "left alone";
    firstLink().portLost = true;  // as the port check does after the menu bar is drawn
    EXPECT_FALSE(quiet()) << "the banner shows in the next frame";
    EXPECT_TRUE(quiet());
    firstLink().portLost = false;
    showScreenshotNotice("saved");
    gui.frame(draw);
    EXPECT_NEAR(guiActivity(ImGui::GetTime()).secondsUntilMove, 4.0, 0.05) << "the notice goes";
    screenshotNotice = ScreenshotNotice{};

    bool opening = true;
    const auto withModal = [&] {
        draw();
        if (opening) ImGui::OpenPopup("Modal");
        opening = false;
        if (ImGui::BeginPopupModal("Modal")) ImGui::EndPopup();
    };
    int frames = 0;
    do gui.frame(withModal);
    while (guiActivity(ImGui::GetTime()).settling && ++frames < 100);
    EXPECT_GT(frames, 1) << "the pop-up takes its size, then its dimming fades in";
    EXPECT_LT(frames, 30);
}

}  // namespace

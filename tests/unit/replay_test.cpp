// The replay reader frame by frame on generated files: scene or recording, the row count, the play
// sequence, pause, stop and the end, slider moves, and rows that do not parse.
#include "record/record.h"

#include "app/app.h"
#include "../fakes/scratch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

// Row n of a generated recording has every coordinate n / 1000.
PointFrame rowFrame(int row) {
    PointFrame frame{};
    for (int p = 0; p < pointsPerFrame; ++p)
        for (int k = 0; k < 3; ++k) frame.xyz[p][k] = static_cast<float>(row) / 1000.0f;
    return frame;
}

std::string recordingText(int rows) {
    std::string text;
    appendRecordingHeader(text);
    for (int row = 1; row <= rows; ++row) appendRecordingRow(text, "20261206-101500", rowFrame(row));
    return text;
}

// The row the point array shows: every coordinate is row / 1000. -1 when none is valid.
int shownRow() {
    PointFrame frame;
    firstLink().readLatest(frame);
    if (frame.valid[0] == 0) return -1;
    return static_cast<int>(frame.xyz[0][0] * 1000.0f + 0.5f);
}

class Replay : public ::testing::Test {
protected:
    void SetUp() override {
        firstLink().portOpen = false;
        firstLink().publish(PointFrame{});
    }
    void TearDown() override {
        dismissReplayEnd();
        advanceReplay();
        replayState.playing = false;
    }
    std::string write(const std::string& name, const std::string& text) {
        const fs::path path = directory / name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    // Opens as the viewer does and waits for the rows to be indexed.
    bool open(const std::string& path) {
        const bool opened = openReplay(path);
        waitForReplayIndex();
        return opened;
    }
    // A slider move to `row`, and one frame played from where the replay stands.
    void seek(int row) {
        replayState.playRow = row;
        seekReplayRow(row);
    }
    void playOneFrame() {
        replayState.playing = true;
        advanceReplay();
        replayState.playing = false;
    }

    ScratchFolder scratch;
    const fs::path directory = scratch.path;
};

}  // namespace

TEST_F(Replay, AFirstLineOfUpTo50CharactersMakesASceneAndMissingPointsAreNotValid) {
    const std::string line50 = "1.23456,2.34567,3.45678," + std::string(26, ' ');
    std::string scene = line50 + "\n\n   \n4,5,6,\nbroken\n";  // blank lines are passed over
    for (int p = 3; p < 100; ++p) scene += "0.5,-0.25,1e-05,\n";
    EXPECT_TRUE(open(write("scene.csv", scene + "\n")));
    EXPECT_FALSE(appState.replayActive);
    EXPECT_FALSE(replayFileOpen());
    PointFrame frame;
    firstLink().readLatest(frame);
    EXPECT_EQ(frame.xyz[0][2], 3.45678f);
    EXPECT_EQ(frame.xyz[1][0], 4.0f);
    EXPECT_EQ(frame.xyz[99][1], -0.25f);
    const std::vector<int> valid{frame.valid[0] != 0, frame.valid[1] != 0, frame.valid[2] != 0, frame.valid[99] != 0,
                                 frame.valid[100] != 0, frame.valid[479] != 0};
    EXPECT_EQ(valid, (std::vector<int>{1, 1, 0, 1, 0, 0}));

    std::string row;
    appendRecordingRow(row, "20261206-101500", rowFrame(1));
    EXPECT_TRUE(open(write("recording.csv", line50 + " \n" + row)));  // 51 characters: a recording
    EXPECT_TRUE(appState.replayActive);
    EXPECT_EQ(replayState.rowCount, 1);
}

TEST_F(Replay, PlaysRowByRowAfterTheHeaderHoldsWhilePausedSeeksAndEnds) {
    ASSERT_TRUE(open(write("run.csv", recordingText(50))));
    EXPECT_EQ(replayState.rowCount, 50);
    seek(20);  // a slider move before the first play counts as having passed the header
    for (int frame = 0; frame < 3; ++frame) EXPECT_FALSE(advanceReplay());
    EXPECT_EQ(shownRow(), -1);  // paused: the position is held, nothing new shown
    playOneFrame();
    EXPECT_EQ(shownRow(), 20);
    EXPECT_EQ(replayState.playRow, 21);
    for (int row : {7, 33, 50, 1}) {
        seek(row);
        advanceReplay();
        showReplayRow();  // the slider let go: the row under it shows, and the position holds
        EXPECT_EQ(shownRow(), row);
        playOneFrame();
        EXPECT_EQ(shownRow(), row);
        EXPECT_EQ(replayState.playRow, row + 1);
    }
    seek(0);  // rewinds: the header is skipped again
    replayState.playing = true;
    advanceReplay();
    EXPECT_EQ(shownRow(), 1);
    seekReplayRow(500);  // beyond the end: the last row
    EXPECT_FALSE(advanceReplay());
    EXPECT_EQ(shownRow(), 50);

    EXPECT_TRUE(advanceReplay());  // past the last row: "File End!"
    EXPECT_FALSE(replayState.playing);
}

TEST_F(Replay, StopAnEmptyLineOrATruncationEndTheReplayAsTheEndOfTheFileDoes) {
    ASSERT_TRUE(open(write("run.csv", recordingText(10))));
    replayState.playing = true;
    advanceReplay();
    replayState.stopRequested = true;
    EXPECT_TRUE(advanceReplay());
    EXPECT_FALSE(replayState.stopRequested);
    EXPECT_TRUE(replayState.headerPending);

    std::string text = recordingText(4);
    text.insert(text.find('\n', text.find('\n') + 1) + 1, "\n");
    ASSERT_TRUE(open(write("gap.csv", text)));
    replayState.playing = true;
    int frames = 1;
    while (!advanceReplay() && frames < 20) ++frames;
    EXPECT_EQ(frames, 3);

    // Rows cut off by a truncation meanwhile are not shown from what was read before.
    const std::string path = write("cut.csv", recordingText(3));
    ASSERT_TRUE(open(path));
    replayState.playing = true;
    advanceReplay();
    advanceReplay();
    EXPECT_EQ(shownRow(), 1);
    fs::resize_file(path, replayState.readPosition);
    EXPECT_TRUE(advanceReplay());
    EXPECT_EQ(shownRow(), 1);
}

TEST_F(Replay, RowsThatDoNotParseAreNotShownAndTheReplayStillEnds) {
    std::string text = recordingText(2);
    std::string row3;
    appendRecordingRow(row3, "20261206-101500", rowFrame(3));
    text += row3.substr(0, row3.size() / 2) + "\n";          // truncated
    text += "20261206-101500,1,2,nan,garbage\n";            // hand-edited
    text += std::string(longestReplayLine + 10, '7') + "\n";  // far too long
    text += row3.substr(0, row3.size() - 1);                // last row without its line end
    ASSERT_TRUE(open(write("broken.csv", text)));
    EXPECT_EQ(replayState.rowCount, 5);
    replayState.playing = true;
    int shown[8];
    int frames = 0;
    while (!advanceReplay() && frames < 8) shown[frames++] = shownRow();
    ASSERT_EQ(frames, 7);
    EXPECT_EQ(shown[2], 2);
    EXPECT_EQ(shown[3], 2);  // the previous points stay
    EXPECT_EQ(shown[5], 2);
    EXPECT_EQ(shown[6], 3);
    EXPECT_EQ(replaySkippedLines(), std::vector<std::string>{"3 rows could not be read."});
}

// The recording writer on a temporary directory: recordings row by row, scene names, and failure
// paths (a file deleted meanwhile; a write failing part-way is tried by tests/e2e/test_record.sh).
#include "record/record.h"

#include "app/app.h"
#include "../fakes/link_test_support.h"
#include "../fakes/scratch.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

// A stamp is the local time of writing: read back with strptime, it lies between the clock read
// before and after. Run in a zone far from UTC so that a stamp in UTC cannot pass.
void expectStampedBetween(const std::string& stamp, std::time_t before, std::time_t after) {
    std::tm local{};
    const char* end = ::strptime(stamp.c_str(), "%Y%m%d-%H%M%S", &local);
    local.tm_isdst = -1;
    ASSERT_TRUE(end != nullptr && *end == '\0') << "not a %Y%m%d-%H%M%S stamp: " << stamp;
    EXPECT_TRUE(std::mktime(&local) >= before && std::mktime(&local) <= after) << stamp << " is not the time of writing";
}

PointFrame frameOf(float base) {
    PointFrame frame{};
    for (int p = 0; p < pointsPerFrame; ++p) {
        frame.valid[p] = p % 2;
        for (int k = 0; k < 3; ++k) frame.xyz[p][k] = base + static_cast<float>(p) / 1000.0f;
    }
    return frame;
}

class RecordWriter : public ::testing::Test {
protected:
    void SetUp() override {
        previous = fs::current_path();
        fs::current_path(directory);
        firstLink().portOpen = true;
        appState.recordingActive = false;
        recordingState.sceneRequested = false;
        firstLink().publish(frameOf(1.0f));
    }
    void TearDown() override {
        appState.recordingActive = false;
        recordingState.sceneRequested = false;
        closeRecording();
        firstLink().portOpen = false;
        fs::current_path(previous);
    }
    ScratchFolder scratch;
    const fs::path directory = scratch.path;
    fs::path previous;
};

}  // namespace

TEST_F(RecordWriter, RecordingHoldsTheHeaderAndOneRowPerFrameAndReplacesAnOlderFile) {
    const fs::path path = directory / "run.csv";
    std::ofstream(path) << std::string(100000, 'x');
    ::setenv("TZ", "QST-5:45", 1);
    ::tzset();
    const std::time_t before = std::time(nullptr);
    ASSERT_TRUE(beginRecording(path));
    std::string expected;
    appendRecordingHeader(expected);
    for (int frame = 0; frame < 3; ++frame) {
        firstLink().publish(frameOf(static_cast<float>(frame)));
        writeRecordingFrame(latestFrame());
    }
    appState.recordingActive = false;
    writeRecordingFrame(latestFrame());  // stopped: nothing more is written
    ASSERT_TRUE(closeRecording());
    const std::string text = readWholeFile(path);
    for (int frame = 0; frame < 3; ++frame) {  // each row stamped when it was written
        const std::string stamp = text.substr(expected.size(), timestampLength);
        expectStampedBetween(stamp, before, std::time(nullptr));
        appendRecordingRow(expected, stamp, frameOf(static_cast<float>(frame)));
    }
    EXPECT_EQ(text, expected);

    // A scene is named after the moment it is saved.
    const std::time_t sceneBefore = std::time(nullptr);
    ASSERT_TRUE(beginScene());
    const std::string name = recordingState.sceneFileName;
    EXPECT_TRUE(name.size() == timestampLength + 4 && name.ends_with(".csv")) << name;
    expectStampedBetween(name.substr(0, timestampLength), sceneBefore, std::time(nullptr));
    ::unsetenv("TZ");
    ::tzset();
}

TEST_F(RecordWriter, RecordingWhoseFileIsDeletedIsNeverReportedAsKept) {
    // The file, or its folder, is removed; the writer notices at its next row or at the stop.
    for (const bool wholeFolder : {false, true}) {
        fs::create_directories(directory / "takes");
        const fs::path path = directory / "takes" / "run.csv";
        ASSERT_TRUE(beginRecording(path));
        writeRecordingFrame(latestFrame());
        writeRecordingFrame(latestFrame());
        fs::remove_all(wholeFolder ? path.parent_path() : path);
        if (wholeFolder) {  // noticed at the stop
            appState.recordingActive = false;
            EXPECT_FALSE(closeRecording());
        } else {  // noticed at the next row
            writeRecordingFrame(latestFrame());
            EXPECT_FALSE(appState.recordingActive);
            EXPECT_FALSE(recordingFileOpen());
        }
        EXPECT_EQ(recordingState.notice.kind, RecordFailure::fileDeleted);
        EXPECT_EQ(recordNoticeLines(recordingState.notice),
                  (std::vector<std::string>{path.string() + " was deleted while recording.",
                                            "Recording stopped; the 2 rows written are gone."}));
    }
}

// A scene saved twice in a second keeps both files.
TEST_F(RecordWriter, StampedNamesTakeASuffixRatherThanReplaceAFile) {
    std::string name;
    for (const char* wanted : {"20261206-101500.csv", "20261206-101500-2.csv", "20261206-101500-3.csv"}) {
        const int file = createStampedFile("20261206-101500", ".csv", name);
        ASSERT_GE(file, 0);
        ::close(file);
        EXPECT_EQ(name, wanted);
    }
}

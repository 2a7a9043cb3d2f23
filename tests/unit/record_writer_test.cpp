// The recording writer on a temporary directory: recordings row by row, scenes and their names, and
// failure paths (a file that cannot be opened, a write that fails part-way, a file deleted meanwhile).
#include "record/record.h"

#include "app/app.h"
#include "../fakes/scratch.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

// Runs `write` with the file size limited to `bytes`, as a full disk would.
template <typename Write>
void withFileLimit(rlim_t bytes, Write write) {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit limited = saved;
    limited.rlim_cur = bytes;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    write();
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &saved), 0);
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
        appState.portOpen = true;
        appState.recordingActive = false;
        recordingState.sceneRequested = false;
        publishPointCloud(frameOf(1.0f));
    }
    void TearDown() override {
        appState.recordingActive = false;
        recordingState.sceneRequested = false;
        closeRecording();
        appState.portOpen = false;
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
    const uint64_t serial = recordingState.notice.serial;
    ASSERT_TRUE(beginRecording(path));
    std::string expected;
    appendRecordingHeader(expected);
    for (int frame = 0; frame < 3; ++frame) {
        publishPointCloud(frameOf(static_cast<float>(frame)));
        writeRecordingFrame();
    }
    appState.recordingActive = false;
    writeRecordingFrame();  // stopped: nothing more is written
    ASSERT_TRUE(closeRecording());
    EXPECT_EQ(recordingState.notice.serial, serial);
    const std::string text = readWholeFile(path);
    for (int frame = 0; frame < 3; ++frame) {  // each row stamped when it was written
        const std::string stamp = text.substr(expected.size(), timestampLength);
        EXPECT_EQ(stamp[8], '-');
        appendRecordingRow(expected, stamp, frameOf(static_cast<float>(frame)));
    }
    EXPECT_EQ(text, expected);
}

TEST_F(RecordWriter, FileThatCannotBeOpenedOrIsNoRegularFileIsReportedAndNothingRecords) {
    // A FIFO with a reader would take the rows, and block or kill the viewer once the reader goes
    // (devices and directories go through the same check, tried by the replay test).
    const fs::path fifo = directory / "pipe.csv";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const struct {
        fs::path path;
        const char* reason;
    } cases[] = {
        {directory / "missing" / "run.csv", "No such file or directory."},
        {fifo, "It is a named pipe (FIFO), not a regular file."},
    };
    for (const auto& file : cases) {
        const uint64_t serial = recordingState.notice.serial;
        EXPECT_FALSE(beginRecording(file.path)) << file.path;
        EXPECT_FALSE(appState.recordingActive);
        EXPECT_FALSE(recordingFileOpen());
        EXPECT_EQ(recordingState.notice.serial, serial + 1);
        EXPECT_EQ(recordingState.notice.kind, RecordFailure::openFailed);
        EXPECT_STREQ(recordNoticeTitle(recordingState.notice), "Recording Error");
        EXPECT_EQ(recordNoticeLines(recordingState.notice),
                  (std::vector<std::string>{"Cannot record to " + file.path.string(), file.reason}));
    }
    ::close(reader);
}

TEST_F(RecordWriter, WriteErrorStopsTheRecordingAndKeepsOnlyCompleteRows) {
    const fs::path path = directory / "limited.csv";
    std::string header, row;
    appendRecordingHeader(header);
    appendRecordingRow(row, makeTimestamp(), frameOf(1.0f));
    ASSERT_TRUE(beginRecording(path));
    withFileLimit(header.size() + 3 * row.size() + row.size() / 2, [] {  // the room ends inside the fourth row
        for (int frame = 0; frame < 6; ++frame) writeRecordingFrame();
    });

    EXPECT_FALSE(appState.recordingActive);
    EXPECT_FALSE(recordingFileOpen());
    EXPECT_EQ(recordingState.notice.kind, RecordFailure::writeFailed);
    EXPECT_EQ(recordingState.notice.rowsKept, 3);
    EXPECT_EQ(recordNoticeLines(recordingState.notice)[2], "Recording stopped; 3 rows kept.");
    EXPECT_EQ(readWholeFile(path).size(), header.size() + 3 * row.size());
}

TEST_F(RecordWriter, RecordingWhoseFileIsDeletedIsNeverReportedAsKept) {
    // The file, or its folder, is removed; the writer notices at its next row or at the stop.
    for (const bool wholeFolder : {false, true}) {
        fs::create_directories(directory / "takes");
        const fs::path path = directory / "takes" / "run.csv";
        ASSERT_TRUE(beginRecording(path));
        writeRecordingFrame();
        writeRecordingFrame();
        fs::remove_all(wholeFolder ? path.parent_path() : path);
        if (wholeFolder) {  // noticed at the stop
            appState.recordingActive = false;
            EXPECT_FALSE(closeRecording());
        } else {  // noticed at the next row
            writeRecordingFrame();
            EXPECT_FALSE(appState.recordingActive);
            EXPECT_FALSE(recordingFileOpen());
        }
        EXPECT_EQ(recordingState.notice.kind, RecordFailure::fileDeleted);
        EXPECT_EQ(recordNoticeLines(recordingState.notice),
                  (std::vector<std::string>{path.string() + " was deleted while recording.",
                                            "Recording stopped; the 2 rows written are gone."}));
    }
}

// A scene saved twice in a second keeps both files (the record panel test saves them).
TEST_F(RecordWriter, StampedNamesTakeASuffixRatherThanReplaceAFile) {
    std::string name;
    for (const char* wanted : {"20261206-101500.csv", "20261206-101500-2.csv", "20261206-101500-3.csv"}) {
        const int file = createStampedFile("20261206-101500", ".csv", name);
        ASSERT_GE(file, 0);
        ::close(file);
        EXPECT_EQ(name, wanted);
    }
}

TEST_F(RecordWriter, SceneThatCannotBeWrittenWholeIsReportedAndLeavesNoFile) {
    recordingState.sceneRequested = true;
    ASSERT_TRUE(beginScene());
    const std::string name = recordingState.sceneFileName;
    withFileLimit(1000, writeRecordingFrame);  // room for a part of the scene only
    EXPECT_FALSE(recordingFileOpen());
    EXPECT_FALSE(recordingState.sceneRequested);
    EXPECT_EQ(recordingState.notice.kind, RecordFailure::sceneFailed);
    EXPECT_EQ(recordNoticeLines(recordingState.notice)[1], "File too large.");
    EXPECT_FALSE(fs::exists(name));
}

// Raw captures: the capture tap's ring (wrap-around, a full ring that stops copying), and the capture
// writer thread behind it with a stalled and a full disk and a lost port. The test thread
// stands in for the grabber (tapBatch) and for the GUI thread (pollCapture).
#include "link/link_state.h"
#include "record/record.h"

#include "app/app.h"
#include "../fakes/scratch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

std::string bytesOf(const ByteSpans& spans) {
    return std::string(reinterpret_cast<const char*>(spans.data[0]), spans.size[0]) +
           std::string(reinterpret_cast<const char*>(spans.data[1]), spans.size[1]);
}

std::string pattern(size_t size, int seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + seed * 13) & 0xFF);
    return bytes;
}

void push(const std::string& bytes) {
    tapBatch(firstLink(), reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size()));
}

// A disk that takes nothing while stalled, at most 333 bytes a write, and fills up after `diskRoom`
// bytes.
std::atomic<bool> diskStalled{false};
std::atomic<size_t> diskRoom{SIZE_MAX};
ssize_t fakeDiskWrite(int file, const void* data, size_t size) {
    while (diskStalled) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    size = std::min({size, diskRoom.load(), size_t{333}});
    if (size == 0) {
        errno = ENOSPC;
        return -1;
    }
    diskRoom -= size;
    return ::write(file, data, size);
}

class Capture : public ::testing::Test {
protected:
    void SetUp() override {
        firstLink().portOpen = true;  // the grabber runs: only its next batch releases the tap
        firstLink().portLost = false;
        captureState.writeBytes = fakeDiskWrite;
    }
    void TearDown() override {
        diskStalled = false;
        diskRoom = SIZE_MAX;
        if (captureRunning()) finishCapture();
        captureState.writeBytes = ::write;
        firstLink().portOpen = false;
    }
    // The GUI thread's polls and, unless it is parked, the grabber's empty batches until the capture
    // has ended.
    void untilEnded(bool grabberRuns = true) {
        for (int i = 0; i < 5000 && captureRunning(); ++i) {
            pollCapture();
            if (grabberRuns) tapBatch(firstLink(), nullptr, 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_FALSE(captureRunning());
    }
    ScratchFolder scratch;
    const fs::path directory = scratch.path;
};

}  // namespace

TEST_F(Capture, TheRingWrapsAroundAndAFullRingCopiesNothingMoreUntilOpenedAgain) {
    ASSERT_TRUE(firstLink().openCaptureTap(1024));
    const std::string first = pattern(700, 1), second = pattern(700, 2), whole = pattern(1024, 3);
    push(first);
    EXPECT_EQ(bytesOf(firstLink().captureTapPending()), first);
    firstLink().captureTapTake(700);
    push(second);  // 324 bytes up to the end of the ring, 376 from its start
    const ByteSpans pending = firstLink().captureTapPending();
    EXPECT_EQ(pending.size[0], 324u);
    EXPECT_EQ(bytesOf(pending), second);
    firstLink().captureTapTake(700);
    push(whole);   // exactly fills it
    push("x");     // does not fit: the tap stops copying
    EXPECT_TRUE(firstLink().captureTapOverflowed());
    EXPECT_EQ(bytesOf(firstLink().captureTapPending()), whole);
    firstLink().captureTapTake(1024);
    push("y");     // room again, but a capture never goes on after a gap
    EXPECT_EQ(bytesOf(firstLink().captureTapPending()), "");

    firstLink().closeCaptureTap();
    EXPECT_FALSE(firstLink().captureTapReleased());  // the grabber may be copying a batch right now
    tapBatch(firstLink(), nullptr, 0);
    EXPECT_TRUE(firstLink().captureTapReleased());
    ASSERT_TRUE(firstLink().openCaptureTap(1024));
    EXPECT_FALSE(firstLink().captureTapOverflowed());
    push("z");
    EXPECT_EQ(bytesOf(firstLink().captureTapPending()), "z");
    firstLink().closeCaptureTap();
    tapBatch(firstLink(), nullptr, 0);
}

TEST_F(Capture, AStalledDiskLosesNoByteAndADiskThatCannotKeepUpEndsTheCaptureAtABatch) {
    // Stalled while the grabber reads: every byte is in the file once the disk comes back.
    const fs::path kept = directory / "kept.ostrel";
    ASSERT_TRUE(beginCapture(kept.string(), 4096));
    diskStalled = true;
    std::string expected;
    for (int batch = 0; batch < 15; ++batch) {
        expected += pattern(200, batch);
        push(pattern(200, batch));
        pollCapture();
    }
    EXPECT_TRUE(captureRunning());
    stopCapture();  // asked to finish while the disk stalls: the last drain has nearly all to write
    tapBatch(firstLink(), nullptr, 0);
    pollCapture();
    diskStalled = false;
    untilEnded();
    EXPECT_EQ(readWholeFile(kept), expected);
    EXPECT_EQ(captureNoticeLines(captureState.notice)[0], "3.0 kB captured into");

    // Stalled for longer than the ring lasts: the capture stops, holding every batch before the
    // first one that did not fit, and says so.
    const fs::path cut = directory / "cut.ostrel";
    ASSERT_TRUE(beginCapture(cut.string(), 4096));
    diskStalled = true;
    expected.clear();
    for (int batch = 0; batch < 6; ++batch) {
        if (batch < 4) expected += pattern(1000, batch);
        push(pattern(1000, batch));
    }
    pollCapture();
    EXPECT_TRUE(captureRunning());  // stopping: the file is not complete before the disk takes it
    diskStalled = false;
    untilEnded();
    EXPECT_EQ(readWholeFile(cut), expected);
    EXPECT_STREQ(captureNoticeTitle(captureState.notice), "Capture Error");
    EXPECT_EQ(captureNoticeLines(captureState.notice)[1], "Capture stopped; 4.0 kB kept in");
}

TEST_F(Capture, FailuresEndTheCaptureWithEveryByteBeforeThemAndSaySo) {
    const fs::path full = directory / "full.ostrel";
    ASSERT_TRUE(beginCapture(full.string()));
    diskRoom = 250;
    push(pattern(200, 0));
    push(pattern(200, 1));
    untilEnded();
    EXPECT_EQ(captureNoticeLines(captureState.notice)[1], "No space left on device.");
    EXPECT_EQ(captureNoticeLines(captureState.notice)[2], "Capture stopped; 250 bytes kept in");
    EXPECT_EQ(readWholeFile(full), pattern(200, 0) + pattern(200, 1).substr(0, 50));
    diskRoom = SIZE_MAX;

    // The cable is pulled: the viewer has disconnected (the grabber is parked).
    const fs::path lost = directory / "lost.ostrel";
    ASSERT_TRUE(beginCapture(lost.string()));
    push(pattern(300, 1));
    firstLink().portLost = true;
    firstLink().portOpen = false;
    untilEnded(false);
    EXPECT_STREQ(captureNoticeTitle(captureState.notice), "Capture Stopped");
    EXPECT_EQ(readWholeFile(lost), pattern(300, 1));
}

// What a capture must never do to a file: empty it when nothing came, report it kept when it was
// deleted, overwrite the capture being replayed, or wait on a FIFO.
TEST_F(Capture, AFileIsReplacedOnlyByBytesAndNeverWhenDeletedReplayedOrNotRegular) {
    const fs::path old = directory / "old.ostrel", fifo = directory / "fifo.ostrel";
    std::ofstream(old) << pattern(500, 9);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string notRegular = "It is a named pipe (FIFO), not a regular file.";

    ASSERT_TRUE(beginCapture(old.string()));  // the port then fails to open: no byte ever comes
    discardCapture();
    EXPECT_EQ(readWholeFile(old), pattern(500, 9));

    ASSERT_TRUE(beginCapture(old.string()));
    push(pattern(300, 1));
    pollCapture();
    fs::remove(old);
    untilEnded();
    EXPECT_STREQ(captureNoticeTitle(captureState.notice), "Capture Error");
    EXPECT_EQ(captureNoticeLines(captureState.notice),
              (std::vector<std::string>{old.string() + " was deleted while capturing.",
                                        "Capture stopped; the 300 bytes captured are gone."}));

    std::ofstream(old) << pattern(500, 9);
    fs::create_hard_link(old, directory / "same.ostrel");
    ASSERT_EQ(firstLink().openCapture(old.string()), "");
    EXPECT_FALSE(beginCapture((directory / "same.ostrel").string()));
    firstLink().releaseCapture();
    EXPECT_EQ(captureNoticeLines(captureState.notice)[1], "It is the capture being replayed.");
    EXPECT_EQ(readWholeFile(old), pattern(500, 9));

    EXPECT_FALSE(beginCapture(fifo.string()));
    EXPECT_EQ(captureNoticeLines(captureState.notice)[1], notRegular);
    EXPECT_EQ(firstLink().openCapture(fifo.string()), notRegular);
}

// The record and replay panel driven as a user drives it, in a headless ImGui context on a
// temporary directory: each situation of the panel (what is live, what is greyed, what is hidden)
// and every pop-up, with the writer and the reader running every frame as in the viewer.
#include "../gui/harness.h"

#include "app/app.h"
#include "filechooser/filechooser.h"
#include "record/record.h"
#include "ui/panel_common.h"
#include "ui/ui.h"
#include "ui/panel_state.h"
#include "view/view.h"
#include "link/link.h"
#include "../fakes/link_test_support.h"
#include "../fakes/test_frames.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

namespace {

namespace fs = std::filesystem;

size_t lineCount(const fs::path& path) {
    std::ifstream in(path);
    size_t count = 0;
    for (std::string line; std::getline(in, line);) ++count;
    return count;
}

std::string recordingText(int rows) {
    std::string text;
    appendRecordingHeader(text);
    PointFrame frame{};
    for (int row = 1; row <= rows; ++row) {
        for (auto& point : frame.xyz) point[0] = static_cast<float>(row);
        appendRecordingRow(text, "20261206-101500", frame);
    }
    return text;
}

class RecordPanel : public ::testing::Test {
protected:
    void SetUp() override {
        firstLink().portOpen = false;
        appState.inputCaptured = false;
        firstLink().publish(PointFrame{});
        gui.frames(2, draw);
    }
    void TearDown() override {
        firstLink().closeCapture();
        appState.recordingActive = false;
        closeRecording();
        dismissReplayEnd();
        replayState.playing = false;
        firstLink().portOpen = false;
        gui.frames(2, draw);
    }
    // Clicks a widget and lets any pop-up it opens lay out.
    void click(const std::string& label) {
        ASSERT_TRUE(gui.click(label, draw)) << label << " is not drawn";
        gui.frames(2, draw);
    }
    // Clicking a greyed widget changes nothing.
    void clickGreyed(const std::string& label) {
        const bool captured = appState.inputCaptured;
        click(label);
        EXPECT_EQ(appState.inputCaptured, captured) << label;
    }
    // Makes the working directory one that no longer exists, so nothing can be written into it.
    void loseWorkingDirectory() {
        fs::create_directory(directory / "gone");
        fs::current_path(directory / "gone");
        fs::remove(directory / "gone");
    }
    // Connected, the button's chooser answered with the path.
    void start(const char* button, const fs::path& path) {
        firstLink().portOpen = true;
        click(button);
        EXPECT_TRUE(appState.inputCaptured);
        recordPanelChooserResult(true, path);
        gui.frames(2, draw);
    }

    GuiHarness gui;
    bool shown = true;
    std::function<void()> draw = [this] {
        takeFrameOnShow();
        if (shown) drawRecordPanel(&shown);
        writeRecordingFrame(frameOnShow.frame);
        pollCapture();
        readReplayFrame();
        stepCaptureReplay();
    };
    ScratchDirectory scratch;
    const fs::path directory = scratch.path;
};

}  // namespace

// Every refusal and failure ends in its pop-up, never in one that says all went well; notices of
// the same frame each show, one after the other.
TEST_F(RecordPanel, RefusalsAndFailuresShowTheirPopUpAndNoSuccess) {
    ASSERT_EQ(::mkfifo((directory / "pipe.csv").c_str(), 0600), 0);
    std::ofstream(directory / "words.csv") << "not,a,recording\n";
    struct Case {
        const char* what;
        std::function<void()> act;  // from an idle panel, not connected
        const char* popup;
        const char* close;
        const char* nextPopup = nullptr;  // raised in the same frame, shown once the first is closed
        const char* nextClose = nullptr;
    };
    auto replay = [this](const char* name) {
        click("OPEN RECORDING FILE");
        recordPanelChooserResult(true, (directory / name).string());
    };
    const Case cases[] = {
        {"scene while not connected", [&] { click("Scene Save"); }, "Scene not saved", "Scene not saved/Close"},
        {"replay while connected", [&] { firstLink().portOpen = true; click("OPEN RECORDING FILE"); }, "Opening Warning",
         "Opening Warning/Close"},
        {"record into no folder", [&] { start("Record Start", directory / "no" / "dir.csv"); }, "Recording Error",
         "Recording Notice/Close"},
        // An existing FIFO or device is not offered for replacing: it is refused, without blocking.
        {"record into a FIFO", [&] { start("Record Start", directory / "pipe.csv"); }, "Recording Error", "Recording Notice/Close"},
        {"capture into a device", [&] { start("Capture Start", "/dev/null"); }, "Capture Error", "Capture Notice/Close"},
        {"the port lost while recording and capturing, panel hidden",
         [&] {
             start("Capture Start", directory / "lost.ostrel");
             start("Record Start", directory / "lost.csv");
             shown = false;
             firstLink().portOpen = false;
             gui.until([] { return !captureRunning(); }, draw);
             EXPECT_FALSE(recordingFileOpen());
             EXPECT_GE(lineCount(directory / "lost.csv"), 3u);
             shown = true;
         },
         "Recording Stopped", "Recording Notice/Close", "Capture Saved", "Capture Notice/Close"},
        {"a scene into a folder gone", [&] { firstLink().portOpen = true; loseWorkingDirectory(); click("Scene Save"); },
         "Scene not saved", "Recording Notice/Close"},
        {"export before any frame", [&] { click("Export PLY"); }, "Export Failed", "Export Notice/Close"},
        // Files that are not replayed say why, naming the file; a FIFO does not block.
        {"replay a FIFO", [&] { replay("pipe.csv"); }, "Open Error", "Open Error/Close"},
        {"replay no recording", [&] { replay("words.csv"); }, "Open Error", "Open Error/Close"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.act();
        gui.frames(3, draw);  // what the writer answers in the next frame, its pop-up opened and laid out
        EXPECT_TRUE(GuiHarness::popupOpen(c.popup));
        for (const char* success : {"Recording Succeed", "Saved Current Scene", "Exported"})
            EXPECT_FALSE(GuiHarness::popupOpen(success));
        EXPECT_FALSE(appState.recordingActive || appState.replayActive || captureRunning() || appState.inputCaptured);
        click(c.close);
        EXPECT_FALSE(GuiHarness::popupOpen(c.popup));
        if (c.nextPopup != nullptr) {
            EXPECT_TRUE(GuiHarness::popupOpen(c.nextPopup));
            click(c.nextClose);
            EXPECT_FALSE(GuiHarness::popupOpen(c.nextPopup));
        }
        firstLink().portOpen = false;
        fs::current_path(directory);
    }
    EXPECT_EQ(replayState.notice.path, (directory / "words.csv").string());
}

// Cancel (or Escape) starts nothing and an existing file is replaced only when the user says so;
// while nothing is connected, or a recording runs beside a capture, what would start another is
// greyed. Escape closes what is open and quits only from the scene.
TEST_F(RecordPanel, RecordsBesideACaptureUntilStopAndAsksBeforeReplacingAFile) {
    for (const char* greyed : {"Record Start", "Capture Start"}) clickGreyed(greyed);
    firstLink().portOpen = true;
    click("Record Start");
    recordPanelChooserResult(false, "");
    gui.frame(draw);
    EXPECT_FALSE(appState.inputCaptured || recordingFileOpen());
    auto escape = [&] {
        bool quits = false;
        gui.frame([&] { quits = escapeFromScene(); draw(); });
        gui.frames(2, draw);
        return quits;
    };
    click("Capture Start");
    EXPECT_FALSE(escape() || appState.inputCaptured || GuiHarness::popupOpen("Capture as.."));
    start("Capture Start", directory / "no" / "dir.ostrel");
    gui.frame(draw);
    ASSERT_TRUE(GuiHarness::popupOpen("Capture Error"));
    EXPECT_FALSE(escape() || GuiHarness::popupOpen("Capture Error"));
    EXPECT_TRUE(escape()) << "from the scene";

    start("Capture Start", directory / "raw.ostrel");
    const fs::path path = directory / "old.csv";
    std::ofstream(path) << "keep me\n";
    start("Record Start", path);
    click("Replace File/Cancel");
    EXPECT_FALSE(recordingFileOpen());
    EXPECT_EQ(lineCount(path), 1u);

    start("Record Start", path);
    click("Replace File/Replace");
    ASSERT_TRUE(appState.recordingActive);
    for (const char* greyed : {"Record Start", "Scene Save", "Capture Start"}) clickGreyed(greyed);
    click("Record Stop");
    EXPECT_FALSE(recordingFileOpen());
    EXPECT_GE(lineCount(path), 3u);
    EXPECT_EQ(shownNoticeLines().back().rfind("old.csv, ", 0), 0u) << "the file completed and its size";
    click("Recording Succeed/Close");
    click("Capture Stop");
    EXPECT_EQ(captureState.phase, CaptureState::stopping);
    firstLink().portOpen = false;  // no grabber runs here to release the tap, as after a disconnect
    gui.until([] { return !captureRunning(); }, draw);
    EXPECT_TRUE(GuiHarness::popupOpen("Capture Saved"));
}

TEST_F(RecordPanel, ReplaysWithPlayAndTheSlider) {
    std::ofstream(directory / "run.csv") << recordingText(100);
    // The rows are indexed first: a progress bar stands where the controls will be.
    click("OPEN RECORDING FILE");
    recordPanelChooserResult(true, (directory / "run.csv").string());
    gui.frame(draw);
    ASSERT_TRUE(appState.replayActive);
    EXPECT_TRUE(gui.drawn("Replay Progress"));
    EXPECT_FALSE(gui.drawn("##Play Slinder"));
    waitForReplayIndex();
    gui.frame(draw);
    for (const char* greyed : {"OPEN RECORDING FILE", "Record Start", "Scene Save", "Replay Stop"}) clickGreyed(greyed);
    // Stop, live once playing, ends the replay as its end does.
    click("Play");
    click("Replay Stop");
    click("File End!/Close");
    EXPECT_FALSE(appState.replayActive);
    click("OPEN RECORDING FILE");
    recordPanelChooserResult(true, (directory / "run.csv").string());
    waitForReplayIndex();
    gui.frame(draw);

    // The slider's right end is the last row, shown when the slider is let go; play goes on from it
    // to the end, whose pop-up shows with the panel hidden as well.
    const ImRect slider = gui.rect("##Play Slinder");
    gui.clickAt(ImVec2(slider.Max.x - 2, slider.GetCenter().y), draw);
    PointFrame frame;
    firstLink().readLatest(frame);
    EXPECT_EQ(frame.xyz[0][0], 100.0f);
    click("Play");
    shown = false;
    gui.frames(2, draw);
    EXPECT_TRUE(replayFileOpen()) << "rewound and held while the pop-up shows";
    click("File End!/Close");
    EXPECT_FALSE(appState.replayActive || replayFileOpen());
    firstLink().readLatest(frame);
    EXPECT_EQ(frame.xyz[0][0], 100.0f) << "the last row stays on screen";
}

// Each kind of file has its own chooser (opening and saving recordings share theirs): it opens in the
// folder of the file last chosen in it, at the same place every time, lists only its kind, and a name
// typed in it shows in no other kind's.
TEST_F(RecordPanel, EachKindOfFileHasItsOwnChooserFolderAndName) {
    fs::create_directory(directory / "runs");
    for (const char* name : {"runs/run.csv", "demo.ostrel", "notes.txt"}) std::ofstream(directory / name) << "x";
    click("OPEN RECORDING FILE");
    recordPanelChooserResult(true, (directory / "runs/gone.csv").string());
    gui.frames(3, draw);
    click("Open Error/Close");
    ImVec2 first(-1, -1);
    // Button, connected, the one file listed, the name field as the chooser opens, then typed into it.
    using Case = std::tuple<const char*, bool, std::string, const char*, const char*>;
    for (const auto& [button, connected, listed, field, typed] :
         {Case{"OPEN CAPTURE", false, "demo.ostrel", "", "demo1"}, Case{"Record Start", true, "run.csv", "", "sim60"},
          Case{"Capture Start", true, "demo.ostrel", "demo1", ""}, Case{"OPEN RECORDING FILE", false, "run.csv", "sim60", ""}}) {
        firstLink().portOpen = connected;
        click(button);
        for (const char* name : {"run.csv", "demo.ostrel", "notes.txt"})
            EXPECT_EQ(gui.drawn(std::string("[File] ") + name), name == listed) << button << " " << name;
        EXPECT_STREQ(recordChooser(fs::path(listed).extension().c_str()).fileNameField, field) << button;
        EXPECT_TRUE(*typed == 0 || gui.type("##FileName", typed, draw)) << button;
        if (first.x < 0) first = gui.rect("OK").Min;
        EXPECT_TRUE(gui.rect("OK").Min.x == first.x && gui.rect("OK").Min.y == first.y) << button;
        click("Cancel");
    }
}

TEST_F(RecordPanel, ExportsTheFrameOnScreenIntoANewFileEveryTime) {
    PointFrame frame{};
    frame.valid[7] = 1;
    firstLink().publish(frame);
    for (const char* label : {"Export PLY", "Export PCD", "Export PCD"}) {
        click(label);
        EXPECT_TRUE(GuiHarness::popupOpen("Exported")) << label;
        click("Export Notice/Close");
    }
    std::multiset<fs::path> extensions;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory)) extensions.insert(entry.path().extension());
    EXPECT_EQ(extensions, (std::multiset<fs::path>{".pcd", ".pcd", ".ply"}));
}

TEST_F(RecordPanel, ReplaysACaptureThroughTheLinkWithItsControls) {
    ensureWorkerThreads();
    resetLinkForTest();
    // Three seconds at 30 frames a second, with stray bytes before the first frame.
    const int frameCount = 90;
    Bytes capture{0x13, 0x5A, 0x00};
    for (int k = 0; k < frameCount; ++k) {
        const Bytes frame = makeFrame(static_cast<uint16_t>(100 + k), 0, 7, static_cast<uint32_t>(k * 33333));
        capture.insert(capture.end(), frame.begin(), frame.end());
    }
    const fs::path path = directory / "capture.bin";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(capture.data()), static_cast<std::streamsize>(capture.size()));
    click("OPEN CAPTURE");
    recordPanelChooserResult(true, path.string());
    ASSERT_TRUE(gui.until([] { return firstLink().portOpen && firstLink().generation() > 0; }, draw));
    EXPECT_EQ(firstLink().capture.shownFrame, 0);

    // Paused: the slider three quarters along.
    const ImRect slider = gui.rect("##Capture Time");
    gui.clickAt(ImVec2(slider.Min.x + (slider.Max.x - slider.Min.x) * 0.75f, slider.GetCenter().y), draw);
    EXPECT_TRUE(gui.until([] { return firstLink().capture.shownFrame > frameCount / 2 && firstLink().capture.shownFrame < frameCount - 5; }, draw));

    // Play at eight times the speed, looping past the end.
    click("##Capture Speed");
    click("8x");
    click("Capture Loop");
    const uint32_t goodBefore = firstLink().statistics.get(counterGoodFrames);
    click("Capture Play");
    EXPECT_TRUE(gui.until([&] { return firstLink().statistics.get(counterGoodFrames) > goodBefore + frameCount / 2; }, draw));

    click("Close Capture");
    EXPECT_FALSE(firstLink().portOpen);
    EXPECT_FALSE(firstLink().captureOpen());
}

// Two sensors over fake ports: one press of Capture writes a file per sensor, each holding its own
// stream and named after it; the recording holds the frames of the sensor chosen in the combo.
TEST_F(RecordPanel, CapturesEverySensorIntoItsOwnFileAndRecordsTheChosenOne) {
    ensureWorkerThreads();
    resetLinkForTest();
    const char* const ports[2] = {"/dev/ttyUSB0", "/dev/ttyUSB1"};
    Link* links[2] = {&firstLink(), addLink()};
    for (int i = 0; i < 2; ++i) {
        fakeSerialAddPort(ports[i]);
        ASSERT_EQ(links[i]->open(ports[i], 460800), 0);
    }
    gui.frames(2, draw);  // laid out with the sensor combo
    Bytes sent[2];
    auto sendFrames = [&](uint16_t n) {
        for (int i = 0; i < 2; ++i) {
            const Bytes frame = makeFrame(static_cast<uint16_t>(100 * i + n), static_cast<int16_t>(7 * i));
            sent[i].insert(sent[i].end(), frame.begin(), frame.end());
            const uint64_t generation = links[i]->generation();
            fakeSerialPush(ports[i], frame);
            ASSERT_TRUE(gui.until([&] { return links[i]->generation() > generation; }, draw));
        }
    };
    click("Capture Start");
    recordPanelChooserResult(true, (directory / "run1.ostrel").string());
    sendFrames(0);
    click("##Record Sensor");
    click("Sensor 2");
    click("Record Start");
    recordPanelChooserResult(true, (directory / "two.csv").string());
    for (uint16_t n = 1; n < 3; ++n) sendFrames(n);
    click("Record Stop");
    click("Recording Succeed/Close");
    click("Capture Stop");
    ASSERT_TRUE(gui.until([] { return !captureRunning(); }, draw));
    for (int i = 0; i < 2; ++i) {
        std::ifstream in(directory / ("run1-Sensor_" + std::to_string(i + 1) + ".ostrel"), std::ios::binary);
        EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), sent[i]) << "sensor " << i + 1;
        links[i]->close();
    }
    // Every row after the header holds sensor 2's points: z of point 0 is its 7 mm.
    std::ifstream csv(directory / "two.csv");
    std::string line;
    for (int row = 0; std::getline(csv, line); ++row)
        EXPECT_TRUE(row == 0 || line.substr(16, 10) == "0,0,0.007,") << "row " << row << ": " << line.substr(0, 40);
    EXPECT_GE(lineCount(directory / "two.csv"), 2u);
    removeLink(*links[1]);
    recordingState.sensor = 0;
}

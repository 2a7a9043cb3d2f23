// The connection panel driven headlessly as a user would, against the fake serial ports and the real
// worker threads: port listing and rescans, connect and disconnect with their refusals, failed opens
// and the health lines. (A port that vanishes is left to the soak.)
#include "app/app.h"
#include "../fakes/fake_serialport.h"
#include "../fakes/link_test_support.h"
#include "../fakes/test_frames.h"
#include "harness.h"
#include "link/link.h"
#include "ui/panel_state.h"
#include "ui/ui.h"

#include <gtest/gtest.h>
#include <libserialport.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

constexpr const char* portA = "/dev/ttyFAKE0";
constexpr const char* portB = "/dev/ttyFAKE1";

class ConnectionPanelTest : public ::testing::Test {
protected:
    // The grabber and the handler live for the whole test binary, as they do in the viewer.
    void SetUp() override {
        ensureWorkerThreads();
        resetLinkForTest();
        fakeSerialAddPort(portA);
        fakeSerialAddPort(portB);
        connectionPanel = ConnectionPanelState{};
        linkHealth = LinkHealth{};
        appState.replayActive = false;
        appState.recordingActive = false;
        appState.windowHeight = 768.0f;
        gui.frames(2, draw);
    }
    void TearDown() override { resetLinkForTest(); }

    void openCombo(const char* id) { ASSERT_TRUE(gui.openCombo(id, draw)) << id; }
    void clickAway() { gui.clickAt(ImVec2(900, 700), draw); }
    void pick(const std::string& combo, const std::string& entry) {
        openCombo(combo.c_str());
        ASSERT_TRUE(gui.click(entry, draw)) << entry;
    }
    // `section`: the probe names' prefix of a sensor's section, with several sensors.
    void choosePortAndBaud(const std::string& port, const std::string& baud, const std::string& section = "") {
        pick(section + "##Baud Combo", baud);
        pick(section + "##Port Combo", port);
    }
    void connect(const char* port) {
        choosePortAndBaud(port, "1500000");
        ASSERT_TRUE(gui.click("Connect to Sensor", draw));
        gui.frame(draw);
        ASSERT_TRUE(firstLink().portOpen);
    }
    GuiHarness gui;
    bool shown = true;
    // One GUI frame as the frame loop runs it: the panel when shown, then the probe.
    std::function<void()> draw = [this] {
        if (shown) drawConnectionPanel(&shown);
        checkPortAlive();
    };
};

// The first opening lists every port the system has, opening none (a refusal shows only on
// Connect); the list is made afresh at the next opening after a pick or the rescan button, never
// otherwise.
TEST_F(ConnectionPanelTest, ListsEveryPortWithoutOpeningAnyAndRescansAfterAPickOrTheButton) {
    const char* late = "/dev/ttyFAKE3";
    openCombo("##Port Combo");
    EXPECT_TRUE(gui.drawn(portA) && gui.drawn(portB));
    EXPECT_EQ(fakeSerialCounters().opens, 0) << "listing opens no port";

    clickAway();
    fakeSerialAddPort(late);
    openCombo("##Port Combo");
    EXPECT_FALSE(gui.drawn(late)) << "no rescan without a pick or the rescan button";
    clickAway();
    ASSERT_TRUE(gui.click("##Rescan", draw));
    openCombo("##Port Combo");
    EXPECT_TRUE(gui.drawn(late));
    ASSERT_TRUE(gui.click(portA, draw));
    fakeSerialRemovePort(portA);
    openCombo("##Port Combo");
    EXPECT_FALSE(gui.drawn(portA));
    EXPECT_EQ(connectionPanel.portLabel, portPlaceholder);
}

// Connecting is refused during a replay and disconnecting during a recording; while connected
// only Disconnect reacts.
TEST_F(ConnectionPanelTest, RefusalsChangeNothingAndAConnectedPanelGreysAllButDisconnect) {
    choosePortAndBaud(portA, "460800");
    appState.replayActive = true;
    int opensBefore = fakeSerialCounters().opens;
    ASSERT_TRUE(gui.click("Connect to Sensor", draw));
    gui.frame(draw);
    EXPECT_TRUE(GuiHarness::popupOpen("Connect Warning"));
    EXPECT_EQ(fakeSerialCounters().opens, opensBefore) << "nothing is opened during a replay";
    ASSERT_TRUE(gui.click("Close", draw));

    appState.replayActive = false;
    firstLink().portLost = true;  // the banner of an earlier failure
    ASSERT_TRUE(gui.click("Connect to Sensor", draw));
    gui.frame(draw);
    ASSERT_TRUE(firstLink().portOpen);
    EXPECT_FALSE(firstLink().portLost) << "a successful connect clears the banner";
    EXPECT_EQ(fakeSerialBaudRate(portA), 460800);
    EXPECT_EQ(fakeSerialParity(portA), SP_PARITY_NONE);
    for (const char* inert : {"##Port Combo", "##Baud Combo"}) {
        ASSERT_TRUE(gui.click(inert, draw));
        gui.frame(draw);
        EXPECT_FALSE(GuiHarness::popupOpen("##Combo")) << inert;
    }
    opensBefore = fakeSerialCounters().opens;
    ASSERT_TRUE(gui.click("Connect to Sensor", draw));
    EXPECT_EQ(fakeSerialCounters().opens, opensBefore) << "a greyed Connect opens nothing";

    appState.recordingActive = true;
    ASSERT_TRUE(gui.click("Disconnect from Sensor", draw));
    gui.frame(draw);
    EXPECT_TRUE(GuiHarness::popupOpen("Disconnect Warning"));
    EXPECT_TRUE(firstLink().portOpen);
    ASSERT_TRUE(gui.click("Close", draw));
    appState.recordingActive = false;
    ASSERT_TRUE(gui.click("Disconnect from Sensor", draw));
    EXPECT_FALSE(firstLink().portOpen);
    EXPECT_EQ(fakeSerialOpenHandles(), 0);
    EXPECT_TRUE(firstLink().workers.grabber.stopped && firstLink().workers.handler.stopped);
    ASSERT_TRUE(gui.click("Connect to Sensor", draw));
    EXPECT_TRUE(firstLink().portOpen) << "Connect works again";
}

// A refused open says why and how to get access; the banner shows and the choice of port falls back.
TEST_F(ConnectionPanelTest, FailedConnectShowsTheBannerAndWhyAndFallsBackToThePlaceholder) {
    choosePortAndBaud(portA, "921600");
    fakeSerialFailStep(portA, FakeSerialStep::open, SP_ERR_FAIL, EACCES);
    ASSERT_TRUE(gui.click("Connect to Sensor", draw));
    gui.frame(draw);
    EXPECT_TRUE(firstLink().portLost) << "the banner shows as well";
    EXPECT_FALSE(firstLink().portOpen);
    EXPECT_EQ(connectionPanel.portLabel, portPlaceholder);
    EXPECT_TRUE(GuiHarness::popupOpen("Connect Error"));
    EXPECT_EQ(connectionPanel.connectErrorLines,
              (std::vector<std::string>{"Cannot open /dev/ttyFAKE0 at 921600 baud:", "Permission denied.",
                                        "To get access, add yourself to the dialout group",
                                        "(sudo adduser $USER dialout), then log out and in."}));
}

TEST_F(ConnectionPanelTest, HealthLinesCountTheConnectionAndOutliveIt) {
    connect(portA);
    const Bytes spoilt = [] {
        Bytes frame = makeFrame(7);
        frame[frameBytes - 1] ^= 1;  // checksum off by one
        return frame;
    }();
    fakeSerialPush(portA, concat({makeFrame(1), makeFrame(2), spoilt, makeFrame(3)}));
    // GUI time runs 1/60 s a frame, so the lines refresh every 15 frames.
    gui.until([] { return linkHealth.goodFrames >= 3 && linkHealth.checksumErrors >= 1; }, draw);
    EXPECT_EQ(linkHealth.goodFrames, 3u);
    EXPECT_EQ(linkHealth.checksumErrors, 1u);

    ASSERT_TRUE(gui.click("Disconnect from Sensor", draw));
    gui.frames(20, draw);
    EXPECT_EQ(linkHealth.framesPerSecond, 0.0f);
    EXPECT_EQ(linkHealth.goodFrames, 3u) << "the totals of the last connection stay";
}

// The choices of the last run: the baud rate is picked at once, the port only while it is listed;
// the port of the latest successful connect is what is remembered next.
TEST_F(ConnectionPanelTest, RememberedChoicesArePreselectedOnlyWhereTheyStillApply) {
    preselectConnections({ConnectionChoice{portB, 921600, ""}});
    EXPECT_EQ(firstLink().baudRate, 921600);
    gui.frame(draw);
    EXPECT_EQ(connectionPanel.portLabel, portB);

    connectionPanel = ConnectionPanelState{};
    fakeSerialRemovePort(portB);
    preselectConnections({ConnectionChoice{portB, 115200, ""}});
    gui.frame(draw);
    EXPECT_EQ(connectionPanel.portLabel, portPlaceholder) << "a port not listed now";
    EXPECT_EQ(connectionPanel.baudLabel, baudPlaceholder) << "a rate not offered";

    connect(portA);
    EXPECT_EQ(connectionChoices(), (std::vector<ConnectionChoice>{{portA, 1500000, ""}}));
}

// "Add sensor" turns the panel into a section per sensor. The second connects while the first runs,
// its failed open named in the banner; one pulled cable closes only its own link; Remove waits for
// Disconnect.
TEST_F(ConnectionPanelTest, SensorsAddedConnectBesideTheFirstAndOutliveItsPulledCable) {
    connect(portA);
    ASSERT_TRUE(gui.click("Add sensor", draw));
    gui.frame(draw);
    ASSERT_EQ(linkCount(), 2);
    EXPECT_TRUE(gui.drawn("1/Disconnect from Sensor")) << "the first sensor's own section";
    EXPECT_FALSE(gui.drawn("1/Remove"));
    EXPECT_EQ(linkAt(1).name, "Sensor 2");

    choosePortAndBaud("2/" + std::string(portB), "2/1500000", "2/");
    fakeSerialFailStep(portB, FakeSerialStep::open, SP_ERR_FAIL, EBUSY);
    ASSERT_TRUE(gui.click("2/Connect to Sensor", draw));
    gui.frame(draw);
    EXPECT_TRUE(GuiHarness::popupOpen("Connect Error"));
    EXPECT_EQ(lostPortBanner(), "The Port is Disconnected: Sensor 2 (/dev/ttyFAKE1)");
    ASSERT_TRUE(gui.click("Connect Error/Close", draw));
    fakeSerialFailStep(portB, FakeSerialStep::open, 0);
    choosePortAndBaud("2/" + std::string(portB), "2/1500000", "2/");
    ASSERT_TRUE(gui.click("2/Connect to Sensor", draw));
    ASSERT_TRUE(firstLink().portOpen && linkAt(1).portOpen);
    EXPECT_EQ(lostPortBanner(), "");
    EXPECT_EQ(linkAt(1).name, portB) << "named after its port";

    fakeSerialVanish(portA);
    fakeSerialPush(portB, concat({makeFrame(1), makeFrame(2)}));
    EXPECT_TRUE(gui.until([] { return !firstLink().portOpen && sensorHealth[1].goodFrames == 2; }, draw));
    EXPECT_TRUE(linkAt(1).portOpen) << "the other sensor runs on";
    EXPECT_EQ(lostPortBanner(), "The Port is Disconnected: /dev/ttyFAKE0");

    ASSERT_TRUE(gui.click("2/Remove", draw));
    EXPECT_EQ(linkCount(), 2) << "not while connected";
    ASSERT_TRUE(gui.click("2/Disconnect from Sensor", draw));
    ASSERT_TRUE(gui.click("2/Remove", draw));
    EXPECT_EQ(linkCount(), 1);
}

}  // namespace

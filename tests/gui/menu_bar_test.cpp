// The main menu bar as a user drives it, headless: the panel toggles' four states, a press showing
// its panel from the next frame on, at most one panel at a time, and the lost-port banner's place.
#include "app/app.h"
#include "main/frame_loop.h"
#include "ui/ui.h"

#include "../gui/harness.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

// Which stand-in panels drew themselves in the latest frame.
std::string drawnPanels;
void connectionStandIn(bool*) { drawnPanels += "connection"; }
void viewStandIn(bool*) {
    drawnPanels += "view";
    appState.panelFocused = true;  // as a panel the user has just clicked into
}
void recordStandIn(bool*) { drawnPanels += "record"; }
void selfClosingStandIn(bool* open) {
    drawnPanels += "closing";
    *open = false;
}

class MenuBarTest : public ::testing::Test {
protected:
    void SetUp() override { resetFlags(); }
    void TearDown() override { resetFlags(); }
    static void resetFlags() {
        appState.showConnectionPanel = false;
        appState.showViewPanel = false;
        appState.showRecordPanel = false;
        appState.portLost = false;
        appState.panelFocused = false;
        appState.windowWidth = 0.0f;
        appState.windowHeight = 0.0f;
    }
    // The frame loop's GUI part: window size from the GUI, panels first, then the menu bar.
    void drawFrame() {
        drawnPanels.clear();
        appState.windowWidth = ImGui::GetIO().DisplaySize.x;
        appState.windowHeight = ImGui::GetIO().DisplaySize.y;
        drawPanels(panels);
        drawMainMenuBar();
    }
    std::function<void()> draw = [this] { drawFrame(); };
    void press(const char* label) {
        ASSERT_TRUE(gui.click(label, draw)) << label << " was not drawn";
    }
    // Which panel flag is on, for the state-machine check.
    static std::string shownPanel() {
        std::string shown;
        if (appState.showConnectionPanel) shown += "connection";
        if (appState.showViewPanel) shown += "view";
        if (appState.showRecordPanel) shown += "record";
        return shown;
    }
    GuiHarness gui;
    PanelSet panels{connectionStandIn, viewStandIn, recordStandIn};
};

}  // namespace

TEST_F(MenuBarTest, StartsWithNoPanelAndThreeButtonsSideBySide) {
    gui.frames(2, draw);
    EXPECT_EQ(drawnPanels, "");
    const ItemRect ostrel = gui.rect("Ostrel"), window = gui.rect("Window"), record = gui.rect("Record");
    EXPECT_EQ(ostrel.min.x, 0.0f);
    EXPECT_EQ(ostrel.min.y, 0.0f);
    EXPECT_EQ(ostrel.max.x - ostrel.min.x, 60.0f);
    EXPECT_EQ(ostrel.max.y - ostrel.min.y, 31.0f);
    const float spacing = ImGui::GetStyle().ItemSpacing.x;
    EXPECT_EQ(window.min.x, ostrel.max.x + spacing);
    EXPECT_EQ(record.min.x, window.max.x + spacing);
    EXPECT_EQ(record.min.y, 0.0f);
    EXPECT_FALSE(gui.drawn("The Port is Disconnected"));
}

TEST_F(MenuBarTest, APressShowsItsPanelFromTheNextFrameAndASecondPressHidesIt) {
    gui.frames(2, draw);
    press("Ostrel");
    EXPECT_TRUE(appState.showConnectionPanel);
    EXPECT_EQ(drawnPanels, "") << "panels are drawn before the menu bar, so not in the frame of the press";
    gui.frame(draw);
    EXPECT_EQ(drawnPanels, "connection");

    press("Ostrel");
    EXPECT_EQ(shownPanel(), "");
    gui.frame(draw);
    EXPECT_EQ(drawnPanels, "");
}

TEST_F(MenuBarTest, AnySequenceOfPressesShowsAtMostOnePanel) {
    const char* labels[3] = {"Ostrel", "Window", "Record"};
    const char* panelsOf[3] = {"connection", "view", "record"};
    std::mt19937 random(7);
    std::string expected;
    gui.frames(2, draw);
    for (int n = 0; n < 40; ++n) {
        const int button = static_cast<int>(random() % 3);
        press(labels[button]);
        expected = expected == panelsOf[button] ? "" : panelsOf[button];
        ASSERT_EQ(shownPanel(), expected) << "after press " << n;
        gui.frame(draw);
        ASSERT_EQ(drawnPanels, expected);
    }
}

TEST_F(MenuBarTest, APanelThatClosesItselfClearsItsFlag) {
    panels.view = selfClosingStandIn;
    gui.frames(2, draw);
    press("Window");
    gui.frame(draw);
    EXPECT_EQ(drawnPanels, "closing");
    EXPECT_FALSE(appState.showViewPanel);
    gui.frame(draw);
    EXPECT_EQ(drawnPanels, "");
}

TEST_F(MenuBarTest, BannerStandsTwoHundredPixelsFromTheRightEdgeWhileThePortIsLost) {
    gui.frames(2, draw);
    appState.portLost = true;
    gui.frame(draw);
    ASSERT_TRUE(gui.drawn("The Port is Disconnected"));
    EXPECT_EQ(gui.rect("The Port is Disconnected").min.x, 1024.0f - 200.0f);
    // The cursor drops 5 pixels; the text then sits on the buttons' text line like any text beside a button.
    EXPECT_EQ(gui.rect("The Port is Disconnected").min.y,
              gui.rect("Ostrel").min.y + 5.0f + ImGui::GetStyle().FramePadding.y);

    // Resized: the bar spans the new width in the first frame that reports it, the banner follows.
    gui.io().DisplaySize = ImVec2(1400, 900);
    gui.frame(draw);
    EXPECT_EQ(gui.rect("The Port is Disconnected").min.x, 1400.0f - 200.0f);
    ImGuiWindow* bar = ImGui::FindWindowByName("##Main Menu bar");
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->Size.x, 1400.0f);
    EXPECT_LE(bar->Size.y, ImGui::GetStyle().WindowMinSize.y) << "31 pixels, or ImGui's least window height";
    EXPECT_EQ(bar->Pos.x, 0.0f);
    EXPECT_EQ(bar->Pos.y, 0.0f);

    appState.portLost = false;
    gui.frame(draw);
    EXPECT_FALSE(gui.drawn("The Port is Disconnected"));
}

TEST_F(MenuBarTest, APanelsChangeToThePortShowsInTheBannerOfTheSameFrame) {
    panels.connection = [](bool*) {
        drawnPanels += "connection";
        appState.portLost = true;  // as a failed connect does
    };
    gui.frames(2, draw);
    press("Ostrel");
    gui.frame(draw);
    EXPECT_TRUE(gui.drawn("The Port is Disconnected"));
}

TEST_F(MenuBarTest, HidingAFocusedPanelGivesTheCameraItsInputBack) {
    gui.frames(2, draw);
    press("Window");
    gui.frame(draw);
    EXPECT_TRUE(appState.panelFocused);
    press("Window");
    gui.frame(draw);
    EXPECT_EQ(drawnPanels, "");
    EXPECT_FALSE(appState.panelFocused) << "no panel is drawn, so none can hold the focus";
}

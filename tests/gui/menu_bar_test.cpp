// The main menu bar as a user drives it, headless: the panel toggles, a press showing its panel from
// the next frame on, at most one panel at a time, and the focus only a shown panel holds.
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

class MenuBarTest : public ::testing::Test {
protected:
    void SetUp() override { resetFlags(); }
    void TearDown() override { resetFlags(); }
    static void resetFlags() {
        appState.showConnectionPanel = appState.showViewPanel = appState.showRecordPanel = false;
        appState.panelFocused = false;
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
    void press(const char* label) { ASSERT_TRUE(gui.click(label, draw)) << label << " was not drawn"; }
    GuiHarness gui;
    PanelSet panels{connectionStandIn, viewStandIn, recordStandIn};
};

}  // namespace

TEST_F(MenuBarTest, AnySequenceOfPressesShowsAtMostOnePanelFromTheNextFrameOn) {
    const char* labels[3] = {"Ostrel", "Window", "Record"};
    const char* panelsOf[3] = {"connection", "view", "record"};
    std::mt19937 random(7);
    std::string expected;
    gui.frames(2, draw);
    for (int n = 0; n < 40; ++n) {
        const int button = static_cast<int>(random() % 3);
        const std::string before = expected;
        press(labels[button]);
        // Panels are drawn before the menu bar, so not yet in the frame of the press.
        ASSERT_EQ(drawnPanels, before) << "press " << n;
        expected = expected == panelsOf[button] ? "" : panelsOf[button];
        gui.frame(draw);
        ASSERT_EQ(drawnPanels, expected) << "after press " << n;
        // Only a drawn panel holds the focus: a hidden one must not leave the camera deaf.
        ASSERT_EQ(appState.panelFocused, expected == "view") << "after press " << n;
    }
    // A panel's own close button hides it.
    panels.view = [](bool* open) { *open = false; };
    appState.showViewPanel = true;
    gui.frame(draw);
    EXPECT_FALSE(appState.showViewPanel);
}

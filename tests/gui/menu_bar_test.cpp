// The main menu bar as a user drives it, headless: the panel toggles, a press showing its panel from
// the next frame on, at most one panel at a time, the focus only a shown panel holds, and the
// lost-port banner.
#include "app/app.h"
#include "link/link.h"
#include "main/frame_loop.h"
#include "ui/ui.h"

#include "../gui/harness.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

// Which stand-in panels drew themselves in the latest frame.
std::string drawnPanels;

TEST(MenuBar, AnySequenceOfPressesShowsAtMostOnePanelFromTheNextFrameOnAndTheBannerWhileThePortIsLost) {
    PanelSet panels{[](bool*) { drawnPanels += "connection"; },
                    [](bool*) {
                        drawnPanels += "view";
                        appState.panelFocused = true;  // as a panel the user has just clicked into
                    },
                    [](bool*) { drawnPanels += "record"; }};
    GuiHarness gui;
    // The frame loop's GUI part: window size from the GUI, panels first, then the menu bar.
    const std::function<void()> draw = [&] {
        drawnPanels.clear();
        appState.windowWidth = ImGui::GetIO().DisplaySize.x;
        appState.windowHeight = ImGui::GetIO().DisplaySize.y;
        drawPanels(panels);
        drawMainMenuBar();
    };
    const char* labels[3] = {"Ostrel", "Window", "Record"};
    const char* panelsOf[3] = {"connection", "view", "record"};
    std::mt19937 random(7);
    std::string expected;
    gui.frames(2, draw);
    for (int n = 0; n < 40; ++n) {
        const int button = static_cast<int>(random() % 3);
        const std::string before = expected;
        ASSERT_TRUE(gui.click(labels[button], draw)) << labels[button];
        // Panels are drawn before the menu bar, so not yet in the frame of the press.
        ASSERT_EQ(drawnPanels, before) << "press " << n;
        expected = expected == panelsOf[button] ? "" : panelsOf[button];
        gui.frame(draw);
        ASSERT_EQ(drawnPanels, expected) << "after press " << n;
        // Only a drawn panel holds the focus: a hidden one must not leave the camera deaf.
        ASSERT_EQ(appState.panelFocused, expected == "view") << "after press " << n;
    }
    // The banner shows, right of the buttons, while the port is lost.
    firstLink().portLost = true;
    gui.frame(draw);
    EXPECT_GT(gui.rect("The Port is Disconnected").Min.x, gui.rect("Record").Max.x);
    firstLink().portLost = false;
    gui.frame(draw);
    EXPECT_FALSE(gui.drawn("The Port is Disconnected"));
    // A panel's own close button hides it.
    panels.view = [](bool* open) { *open = false; };
    appState.showViewPanel = true;
    gui.frame(draw);
    EXPECT_FALSE(appState.showViewPanel);
    appState.showConnectionPanel = appState.showRecordPanel = appState.panelFocused = false;
}

}  // namespace

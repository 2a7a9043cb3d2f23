// The view settings panel driven headlessly as a user would: the preset combo, the two numeric
// fields with typing and validation, the point colour modes with their range and legend.
#include "app/app.h"
#include "harness.h"
#include "ui/panel_state.h"
#include "ui/ui.h"
#include "view/view.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr int enterKey = 1;  // our slot for Enter in io.KeysDown

class ViewPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        pointSize = 2.0f;
        gridSpacing = 100;
        viewRequest = nullptr;
        pointColorMode = colorWhite;
        colorRangeAuto = true;
        colorRangeLow = 0.0f;
        colorRangeHigh = 3.0f;
        viewPanel = ViewPanelState{};
        appState.windowHeight = 768.0f;
        appState.panelFocused = false;
        appState.inputCaptured = false;
        GuiHarness::io().KeyMap[ImGuiKey_Enter] = enterKey;
        gui.frames(2, draw);
    }

    // Click the field, type over its whole text, press Enter.
    void typeInto(const char* field, const std::string& text) {
        ASSERT_TRUE(gui.click(field, draw)) << field;
        for (char c : text) GuiHarness::io().AddInputCharacter(static_cast<unsigned>(c));
        gui.frame(draw);
        GuiHarness::io().KeysDown[enterKey] = true;
        gui.frame(draw);
        GuiHarness::io().KeysDown[enterKey] = false;
        gui.frames(2, draw);
    }

    GuiHarness gui;
    bool shown = true;
    std::function<void()> draw = [this] {
        drawViewPanel(&shown);
        drawViewOverlays();
    };
};

TEST_F(ViewPanelTest, ChosenViewIsRequestedOnceAndStaysInThePreviewUntilTheCameraMoves) {
    ASSERT_TRUE(gui.openCombo("##Alt Views", draw));
    ASSERT_TRUE(gui.click("TOP VIEW", draw));
    EXPECT_EQ(viewRequest, viewNames[1]);  // the table entry itself, not a copy of its text
    EXPECT_EQ(viewPanel.viewLabel, viewNames[1]);
    viewRequest = viewAnswered;  // the camera took it
    gui.frame(draw);
    EXPECT_EQ(viewPanel.viewLabel, viewNames[1]);
    cameraMoves += 1;
    gui.frame(draw);
    EXPECT_STREQ(viewPanel.viewLabel, "ALTERNATE VIEWS");
}

// Typed values take effect on Enter inside the range; outside it the value in force comes back.
TEST_F(ViewPanelTest, PointSizeAndGridSpacingTakeOnlyValuesInTheirRange) {
    for (const auto& [text, size] : {std::pair{"0", 2.0f}, {"-1", 2.0f}, {"100", 100.0f}, {"100.01", 100.0f}, {"3.5", 3.5f}}) {
        typeInto("##Point Size", text);
        EXPECT_FLOAT_EQ(pointSize, size) << text;
        EXPECT_FLOAT_EQ(viewPanel.editPointSize, size) << text;
    }
    for (const auto& [text, spacing] : {std::pair{"9", 100}, {"10", 10}, {"499", 499}, {"500", 499}}) {
        typeInto("##cm", text);
        EXPECT_EQ(gridSpacing, spacing) << text;
        EXPECT_EQ(viewPanel.editGridSpacing, spacing) << text;
    }
}

TEST_F(ViewPanelTest, PointColourModesWithTheirRangeAndLegend) {
    auto legendShown = [] {
        ImGuiWindow* legend = ImGui::FindWindowByName("##Color Legend");
        return legend != nullptr && legend->WasActive;
    };
    auto chooseMode = [this](const char* mode) {
        ASSERT_TRUE(gui.openCombo("##Point Color Mode", draw));
        ASSERT_TRUE(gui.click(mode, draw)) << mode;
        gui.frame(draw);
    };
    chooseMode("By Height (z)");
    EXPECT_EQ(pointColorMode, colorByHeight);
    EXPECT_TRUE(legendShown());
    EXPECT_FALSE(gui.drawn("##Range Low")) << "the range is automatic at first";
    ASSERT_TRUE(gui.click("Automatic Range", draw));
    EXPECT_FALSE(colorRangeAuto);
    gui.frame(draw);
    // The low end must stay below the high one, and both be numbers; a refused edit puts them back.
    for (const auto& [field, text, low, high] :
         {std::tuple{"##Range Low", "5", 0.0f, 3.0f}, std::tuple{"##Range High", "1e39", 0.0f, 3.0f},
          std::tuple{"##Range Low", "-2.5", -2.5f, 3.0f}, std::tuple{"##Range High", "-2.5", -2.5f, 3.0f}}) {
        SCOPED_TRACE(std::string(field) + " " + text);
        typeInto(field, text);
        EXPECT_FLOAT_EQ(colorRangeLow, low);
        EXPECT_FLOAT_EQ(colorRangeHigh, high);
        EXPECT_FLOAT_EQ(viewPanel.editRangeLow, low);
    }
    chooseMode("White");
    EXPECT_FALSE(legendShown());
}

}  // namespace

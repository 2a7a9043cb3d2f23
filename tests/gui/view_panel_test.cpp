// The view settings panel driven headlessly as a user would: the preset combo, the two numeric
// fields with typing and validation, the point colour modes with their range and legend.
#include "app/app.h"
#include "harness.h"
#include "ui/panel_state.h"
#include "ui/ui.h"
#include "view/view.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

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

TEST_F(ViewPanelTest, ChosenViewIsRequestedOnceAndStaysInThePreviewUntilTheStartView) {
    ASSERT_TRUE(gui.openCombo("##Alt Views", draw));
    ASSERT_TRUE(gui.click("TOP VIEW", draw));
    EXPECT_EQ(viewRequest, viewNames[1]);  // the table entry itself, not a copy of its text
    EXPECT_EQ(viewPanel.viewLabel, viewNames[1]);
    viewRequest = viewAnswered;  // the camera took it
    gui.frame(draw);
    EXPECT_EQ(viewPanel.viewLabel, viewNames[1]);
    Plotter plotter;
    for (const int key : {keyW, keyW, keyHome}) {  // flying on keeps the name; the start view does not
        CameraInput input{};
        input.keys[key] = true;
        input.time = ImGui::GetTime();
        appState.panelFocused = false;  // the camera takes keys while the pointer is over the scene
        applyCameraInput(plotter, input);
        gui.frame(draw);
        if (key == keyW) { EXPECT_EQ(viewPanel.viewLabel, viewNames[1]); }
    }
    EXPECT_STREQ(viewPanel.viewLabel, "ALTERNATE VIEWS");
}

// Typed values take effect on Enter inside their range; outside it the value in force comes back. The
// colour range, shown once it is no longer automatic, keeps its low end below the high one.
TEST_F(ViewPanelTest, ColourModesAndTypedValuesThatTakeEffectOnlyInsideTheirRange) {
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
    gui.frame(draw);
    // Field, text typed, then the point size, grid spacing and range in force afterwards.
    using Case = std::tuple<const char*, const char*, float, int, float, float>;
    const Case cases[] = {
        {"##Point Size", "0", 2, 100, 0, 3},       {"##Point Size", "-1", 2, 100, 0, 3},    {"##Point Size", "100", 100, 100, 0, 3},
        {"##Point Size", "100.01", 100, 100, 0, 3}, {"##Point Size", "3.5", 3.5, 100, 0, 3}, {"##cm", "9", 3.5, 100, 0, 3},
        {"##cm", "10", 3.5, 10, 0, 3},              {"##cm", "499", 3.5, 499, 0, 3},         {"##cm", "500", 3.5, 499, 0, 3},
        {"##Range Low", "5", 3.5, 499, 0, 3},       {"##Range High", "1e39", 3.5, 499, 0, 3}, {"##Range Low", "-2.5", 3.5, 499, -2.5, 3},
        {"##Range High", "-2.5", 3.5, 499, -2.5, 3},
    };
    for (const auto& [field, text, size, spacing, low, high] : cases) {
        typeInto(field, text);
        const auto inForce = std::tuple(size, spacing, low, high);
        EXPECT_EQ(std::tuple(pointSize, gridSpacing, colorRangeLow, colorRangeHigh), inForce) << field << " " << text;
        EXPECT_EQ(std::tuple(viewPanel.editPointSize, viewPanel.editGridSpacing, viewPanel.editRangeLow, viewPanel.editRangeHigh), inForce)
            << "the fields show the values in force: " << field << " " << text;
        // A refusal says so under its field until a value is taken.
        const bool sizeField = field == std::string("##Point Size"), spacingField = field == std::string("##cm");
        const bool refused = sizeField ? size != std::stof(text) : spacingField && spacing != std::stoi(text);
        if (sizeField || spacingField) {
            EXPECT_EQ(gui.drawn(sizeField ? "Point Size Refused" : "Grid Spacing Refused"), refused) << text;
        }
    }
    ASSERT_TRUE(gui.click("##cm", draw));
    bool quits = true;
    gui.frame([&] { quits = escapeFromScene(); draw(); });
    EXPECT_FALSE(quits) << "Escape in a field being edited ends the edit, not the viewer";
    chooseMode("White");
    EXPECT_FALSE(legendShown());
}

// While any swatch is held the camera leaves the mouse alone; letting go gives it back, and a capture
// held elsewhere (the record panel's open file chooser) is not let go by the panel.
TEST_F(ViewPanelTest, AHeldSwatchKeepsTheMouseFromTheCameraUntilLetGo) {
    pointColorMode = colorChosen;
    gui.frame(draw);
    for (const char* swatch : {"##BgColor", "##GridColor", "##PointColor"}) {
        for (const ImVec2 at : {gui.rect(swatch).GetCenter(), gui.rect(swatch).GetCenter(), ImVec2(1000, 700)}) {
            GuiHarness::io().MousePos = at;  // dragged off at last, so letting go opens no picker
            GuiHarness::io().MouseDown[0] = true;
            gui.frame(draw);
            EXPECT_TRUE(appState.inputCaptured) << swatch;
        }
        gui.frames(2, draw);
        EXPECT_FALSE(appState.inputCaptured) << swatch << " let go";
    }
    appState.inputCaptured = true;
    gui.frames(2, draw);
    EXPECT_TRUE(appState.inputCaptured) << "another panel's capture";
}

}  // namespace

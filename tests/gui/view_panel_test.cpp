// The view settings panel driven headlessly as a user would: the preset combo, the two numeric
// fields with typing, steps and validation, the colour picker pop-up, the point colour modes with
// their range and legend, round points and the screenshot button.
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
        backgroundColor[0] = 0.14f, backgroundColor[1] = 0.14f, backgroundColor[2] = 0.15f, backgroundColor[3] = 1.0f;
        gridColor[0] = 0.32f, gridColor[1] = 0.32f, gridColor[2] = 0.32f, gridColor[3] = 1.0f;
        pointSize = 2.0f;
        gridSpacing = 100;
        viewRequest = nullptr;
        pointColorMode = colorWhite;
        colorRangeAuto = true;
        colorRangeLow = 0.0f;
        colorRangeHigh = 3.0f;
        roundPoints = false;
        screenshotRequested = false;
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

    // The − and + buttons sit at the right end of a field, each a square of the frame height.
    void step(const char* field, char sign, bool withCtrl) {
        const ItemRect box = gui.rect(field);
        const float side = box.max.y - box.min.y;
        const float inner = ImGui::GetStyle().ItemInnerSpacing.x;
        const float plusX = box.max.x - side * 0.5f;
        const float x = sign == '+' ? plusX : plusX - side - inner;
        GuiHarness::io().KeyCtrl = withCtrl;
        gui.clickAt(ImVec2(x, (box.min.y + box.max.y) * 0.5f), draw);
        GuiHarness::io().KeyCtrl = false;
        gui.frame(draw);
    }

    // A combo that was open in the last frame reports its box again after one idle frame.
    void openCombo(const char* id) {
        gui.frame(draw);
        ASSERT_TRUE(gui.click(id, draw)) << id;
        gui.frame(draw);  // a combo lays out again one frame after it opens
    }

    // Ordinary pop-ups are windows named by a hash of their id within the panel.
    static bool pickerOpen() {
        ImGuiWindow* panel = ImGui::FindWindowByName("##Window App");
        if (panel == nullptr) return false;
        const ImGuiID id = ImHashStr("mypicker", 0, panel->ID);
        for (const ImGuiPopupData& popup : GImGui->OpenPopupStack)
            if (popup.PopupId == id) return true;
        return false;
    }

    GuiHarness gui;
    bool shown = true;
    std::function<void()> draw = [this] {
        drawViewPanel(&shown);
        drawViewOverlays();
    };
};

TEST_F(ViewPanelTest, ChosenViewIsRequestedOnceAndStaysInThePreview) {
    EXPECT_STREQ(viewPanel.viewLabel, "ALTERNATE VIEWS");
    openCombo("##Alt Views");
    ASSERT_TRUE(gui.click("TOP VIEW", draw));
    EXPECT_EQ(viewRequest, viewNames[1]);  // the table entry itself, not a copy of its text
    EXPECT_EQ(viewPanel.viewLabel, viewNames[1]);
    EXPECT_FALSE(GuiHarness::popupOpen("##Combo"));

    // Opened again before the camera took the request: the pending entry has the default focus.
    openCombo("##Alt Views");
    ImGuiContext& g = *GImGui;
    ASSERT_NE(g.NavWindow, nullptr);
    const ImGuiID topViewId = g.NavWindow->GetID("TOP VIEW");
    EXPECT_EQ(g.NavId, topViewId);
    gui.clickAt(ImVec2(900, 700), draw);  // close it by clicking elsewhere
    EXPECT_FALSE(GuiHarness::popupOpen("##Combo"));

    // The camera answers with a text that is none of the seven: nothing is highlighted any more,
    // and the preview keeps the name.
    viewRequest = viewAnswered;
    openCombo("##Alt Views");
    EXPECT_NE(g.NavId, topViewId);
    EXPECT_EQ(viewPanel.viewLabel, viewNames[1]);
    EXPECT_EQ(viewRequest, viewAnswered);

    // Once the user moves the camera away, the combo shows its placeholder again.
    gui.clickAt(ImVec2(900, 700), draw);
    cameraMoves += 1;
    gui.frame(draw);
    EXPECT_STREQ(viewPanel.viewLabel, "ALTERNATE VIEWS");
}

TEST_F(ViewPanelTest, PointSizeAcceptsAboveZeroUpToAHundred) {
    EXPECT_FLOAT_EQ(viewPanel.editPointSize, 2.0f);
    typeInto("##Point Size", "0");
    EXPECT_FLOAT_EQ(viewPanel.editPointSize, 2.0f);
    EXPECT_FLOAT_EQ(pointSize, 2.0f);
    typeInto("##Point Size", "-1");
    EXPECT_FLOAT_EQ(viewPanel.editPointSize, 2.0f);
    typeInto("##Point Size", "100");
    EXPECT_FLOAT_EQ(pointSize, 100.0f);
    typeInto("##Point Size", "100.01");
    EXPECT_FLOAT_EQ(pointSize, 100.0f);
    EXPECT_FLOAT_EQ(viewPanel.editPointSize, 100.0f);
    typeInto("##Point Size", "3.5");
    EXPECT_FLOAT_EQ(pointSize, 3.5f);
}

TEST_F(ViewPanelTest, GridSpacingAcceptsTenTo499) {
    typeInto("##cm", "9");
    EXPECT_EQ(gridSpacing, 100);
    EXPECT_EQ(viewPanel.editGridSpacing, 100);
    typeInto("##cm", "10");
    EXPECT_EQ(gridSpacing, 10);
    typeInto("##cm", "499");
    EXPECT_EQ(gridSpacing, 499);
    typeInto("##cm", "500");
    EXPECT_EQ(gridSpacing, 499);
    EXPECT_EQ(viewPanel.editGridSpacing, 499);
}

TEST_F(ViewPanelTest, StepButtonsUseTheFastStepWithCtrl) {
    step("##Point Size", '+', false);
    EXPECT_FLOAT_EQ(pointSize, 2.5f);
    step("##Point Size", '+', true);
    EXPECT_FLOAT_EQ(pointSize, 3.5f);
    step("##Point Size", '-', false);
    EXPECT_FLOAT_EQ(pointSize, 3.0f);
    step("##Point Size", '-', true);
    EXPECT_FLOAT_EQ(pointSize, 2.0f);

    step("##cm", '+', false);
    EXPECT_EQ(gridSpacing, 110);
    step("##cm", '+', true);
    EXPECT_EQ(gridSpacing, 210);
    step("##cm", '-', true);
    step("##cm", '-', true);
    EXPECT_EQ(gridSpacing, 10);
    // One more step would leave the range: the field goes back to the spacing in force.
    step("##cm", '-', false);
    EXPECT_EQ(gridSpacing, 10);
    EXPECT_EQ(viewPanel.editGridSpacing, 10);
}

TEST_F(ViewPanelTest, PickerEditsItsTargetLiveAndPreviousRestoresIt) {
    const float grid[4] = {gridColor[0], gridColor[1], gridColor[2], gridColor[3]};
    ASSERT_TRUE(gui.click("##BgColor", draw));
    ASSERT_TRUE(pickerOpen());
    for (int i = 0; i < 4; ++i) {
        EXPECT_FLOAT_EQ(viewPanel.pickerColour[i], backgroundColor[i]);
        EXPECT_FLOAT_EQ(viewPanel.pickerPrevious[i], backgroundColor[i]);
    }
    gui.frame(draw);
    EXPECT_TRUE(appState.panelFocused) << "the pop-up counts as the panel for the camera";

    // Top left of the saturation/value square is white.
    const ItemRect picker = gui.rect("##picker");
    gui.clickAt(ImVec2(picker.min.x + 2, picker.min.y + 2), draw);
    EXPECT_GT(backgroundColor[0], 0.9f);
    EXPECT_GT(backgroundColor[2], 0.9f);
    for (int i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(gridColor[i], grid[i]);
    ASSERT_TRUE(pickerOpen());

    ASSERT_TRUE(gui.click("##previous", draw));
    EXPECT_FLOAT_EQ(backgroundColor[0], 0.14f);
    EXPECT_FLOAT_EQ(backgroundColor[2], 0.15f);

    // Closing keeps the colour; the grid swatch then opens the picker on the grid colour only.
    gui.clickAt(ImVec2(900, 700), draw);
    EXPECT_FALSE(pickerOpen());
    ASSERT_TRUE(gui.click("##GridColor", draw));
    gui.frame(draw);
    const ItemRect again = gui.rect("##picker");
    gui.clickAt(ImVec2(again.min.x + 2, again.min.y + 2), draw);
    EXPECT_GT(gridColor[0], 0.9f);
    EXPECT_FLOAT_EQ(backgroundColor[0], 0.14f);
}

TEST_F(ViewPanelTest, PointColourModesRangeRoundPointsAndScreenshot) {
    auto legendShown = [] {
        ImGuiWindow* legend = ImGui::FindWindowByName("##Color Legend");
        return legend != nullptr && legend->WasActive;
    };
    auto chooseMode = [this](const char* mode) {
        openCombo("##Point Color Mode");
        ASSERT_TRUE(gui.click(mode, draw)) << mode;
        gui.frame(draw);
    };
    EXPECT_FALSE(gui.drawn("##PointColor"));
    chooseMode("Single Color");
    EXPECT_EQ(pointColorMode, colorChosen);
    EXPECT_FALSE(legendShown());
    ASSERT_TRUE(gui.click("##PointColor", draw));
    ASSERT_TRUE(pickerOpen());
    const ItemRect picker = gui.rect("##picker");
    gui.clickAt(ImVec2(picker.min.x + 2, picker.min.y + 2), draw);  // white
    EXPECT_GT(pointColor[2], 0.9f);
    EXPECT_FLOAT_EQ(backgroundColor[0], 0.14f);
    gui.clickAt(ImVec2(900, 700), draw);

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
          std::tuple{"##Range High", "10", 0.0f, 10.0f}, std::tuple{"##Range Low", "-2.5", -2.5f, 10.0f},
          std::tuple{"##Range Low", "10", -2.5f, 10.0f}}) {
        SCOPED_TRACE(std::string(field) + " " + text);
        typeInto(field, text);
        EXPECT_FLOAT_EQ(colorRangeLow, low);
        EXPECT_FLOAT_EQ(colorRangeHigh, high);
        EXPECT_FLOAT_EQ(viewPanel.editRangeLow, low);
        EXPECT_FLOAT_EQ(viewPanel.editRangeHigh, high);
    }
    chooseMode("White");
    EXPECT_FALSE(legendShown());

    ASSERT_TRUE(gui.click("Round Points", draw));
    EXPECT_TRUE(roundPoints);
    ASSERT_TRUE(gui.click("Save Screenshot", draw));
    EXPECT_TRUE(screenshotRequested);
}

TEST_F(ViewPanelTest, HeldSwatchCapturesTheInput) {
    const ItemRect swatch = gui.rect("##GridColor");
    GuiHarness::io().MousePos = swatch.centre();
    gui.frame(draw);
    GuiHarness::io().MouseDown[0] = true;
    ImGui::NewFrame();
    draw();
    ImGui::Render();
    EXPECT_TRUE(appState.inputCaptured);
    GuiHarness::io().MouseDown[0] = false;
    gui.frames(2, draw);
    EXPECT_FALSE(appState.inputCaptured);
}

}  // namespace

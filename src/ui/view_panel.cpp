// View settings panel: the camera presets, background and grid colours with their picker pop-up,
// point size and grid spacing, then the point colour (white, one colour, or mapped by height or
// range over an automatic or fixed range), round points, the overlay's checkbox and the screenshot
// button. Called by the frame loop on the GUI thread.
#include "app/app.h"
#include "ui/panel_state.h"
#include "filechooser/filechooser.h"
#include "ui/ui.h"
#include "ui/panel_common.h"
#include "view/view.h"

#include <imgui.h>

#include <cmath>
#include <cstdio>
#include <string>

// Process-wide state of the view settings panel (GUI thread only); see panel_state.h.
ViewPanelState viewPanel;

namespace {

constexpr float fieldWidth = 226.0f;
constexpr float swatchColumn = 221.0f;
const ImVec2 previewSize(60, 40);
constexpr const char* pickerPopup = "mypicker";

constexpr float pointSizeStep = 0.5f, pointSizeFastStep = 1.0f, largestPointSize = 100.0f;
constexpr int gridSpacingStep = 10, gridSpacingFastStep = 100;
constexpr int smallestGridSpacing = 10, gridSpacingLimit = 500;  // 10 up to 499 centimetres
// The ranges as the panel states them beside the fields, from the limits above.
constexpr const char* pointSizeRange = "(above 0, up to 100)";
constexpr const char* gridSpacingRange = "(10 to 499)";
const ImVec4 refusalColour(1.0f, 0.72f, 0.2f, 1.0f);

constexpr int backgroundTarget = 1, gridTarget = 2, pointTarget = 3;
constexpr float halfFieldWidth = 108.0f;  // the two range fields side by side
const char* const colorModeLabels[pointColorModeCount] = {"White", "Single Color", "By Height (z)", "By Range"};

float* targetColour(int target) {
    if (target == pointTarget) return pointColor;
    return target == backgroundTarget ? backgroundColor : gridColor;
}

void copyColour(float* to, const float* from) {
    for (int i = 0; i < 4; ++i) to[i] = from[i];
}

// The combo keeps showing the view last chosen, however the camera moves on from it; the start-view
// key puts it back to its placeholder, as at the start.
void drawViewCombo() {
    if (viewPanel.seenStartViews != startViewsTaken) {
        viewPanel.seenStartViews = startViewsTaken;
        viewPanel.viewLabel = viewAnswered;
    }
    if (!ImGui::BeginCombo("##Alt Views", viewPanel.viewLabel, 0)) {
        probeLastItem("##Alt Views");
        return;
    }
    for (const char* name : viewNames) {
        const bool selected = viewRequest == name;
        if (ImGui::Selectable(name, selected, 0, ImVec2(0, 0))) {
            viewPanel.viewLabel = name;
            viewRequest = name;
        }
        probeLastItem(name);
        if (selected) ImGui::SetItemDefaultFocus();
    }
    ImGui::EndCombo();
}

// A labelled swatch; true when clicked. `held` is set while it is held down.
bool drawSwatch(const char* text, const char* id, const float* colour, bool& held) {
    moveCursor(10);
    ImGui::Text("%s", text);
    ImGui::SameLine(swatchColumn, -1);
    const bool clicked =
        ImGui::ColorButton(id, ImVec4(colour[0], colour[1], colour[2], colour[3]), ImGuiColorEditFlags_NoLabel, ImVec2(0, 0));
    probeLastItem(id);
    held |= ImGui::IsItemActive();
    return clicked;
}

// While any swatch is held the camera leaves the mouse alone. Only the panel's own hold is let go
// here, never a capture another panel holds (the record panel's open file chooser).
void holdInputWhile(bool swatchHeld) {
    if (swatchHeld) appState.inputCaptured = true;
    else if (viewPanel.swatchHeld) appState.inputCaptured = false;
    viewPanel.swatchHeld = swatchHeld;
}

// Why the last value typed was refused, under its field, until a value is taken.
void refusalLine(const std::string& refusal, const char* probe) {
    if (refusal.empty()) return;
    moveCursor(2);
    ImGui::TextColored(refusalColour, "%s", refusal.c_str());
    probeLastItem(probe);
}

// Values are checked only when an edit ends; a refused one puts the setting in force back and says why.
void drawPointSizeField() {
    moveCursor(10);
    ImGui::Text("Point Size");
    ImGui::SameLine(0, -1);
    ImGui::TextDisabled("%s", pointSizeRange);
    moveCursor(5);
    ImGui::InputFloat("##Point Size", &viewPanel.editPointSize, pointSizeStep, pointSizeFastStep, "%.2f", 0);
    probeLastItem("##Point Size");
    if (ImGui::IsItemDeactivatedAfterEdit()) {
        if (!acceptablePointSize(viewPanel.editPointSize)) {
            char refusal[96];
            std::snprintf(refusal, sizeof refusal, "%g px is outside %s; %g kept.", viewPanel.editPointSize,
                          pointSizeRange, pointSize);
            viewPanel.pointSizeRefusal = refusal;
            viewPanel.editPointSize = pointSize;
        } else {
            viewPanel.pointSizeRefusal.clear();
            pointSize = viewPanel.editPointSize;
        }
    }
    refusalLine(viewPanel.pointSizeRefusal, "Point Size Refused");
}

void drawGridSpacingField() {
    moveCursor(10);
    ImGui::Text("Cartesian Grid (cm)");
    ImGui::SameLine(0, -1);
    ImGui::TextDisabled("%s", gridSpacingRange);
    moveCursor(5);
    ImGui::InputInt("##cm", &viewPanel.editGridSpacing, gridSpacingStep, gridSpacingFastStep, 0);
    probeLastItem("##cm");
    if (ImGui::IsItemDeactivatedAfterEdit()) {
        if (!acceptableGridSpacing(viewPanel.editGridSpacing)) {
            viewPanel.gridSpacingRefusal = std::to_string(viewPanel.editGridSpacing) + " cm is outside " +
                                           gridSpacingRange + "; " + std::to_string(gridSpacing) + " kept.";
            viewPanel.editGridSpacing = gridSpacing;
        } else {
            viewPanel.gridSpacingRefusal.clear();
            gridSpacing = viewPanel.editGridSpacing;
        }
    }
    refusalLine(viewPanel.gridSpacingRefusal, "Grid Spacing Refused");
}

// The picker edits its target live; "Previous" brings back the colour it had when the pop-up opened.
void drawPicker() {
    if (!ImGui::BeginPopup(pickerPopup, 0)) return;
    ImGui::Text("Color Picker");
    ImGui::Separator();
    ImGui::ColorPicker4("##picker", viewPanel.pickerColour,
                        ImGuiColorEditFlags_NoSmallPreview | ImGuiColorEditFlags_NoSidePreview | ImGuiColorEditFlags_DisplayHex,
                        nullptr);
    probeLastItem("##picker");
    ImGui::SameLine(0, -1);
    ImGui::BeginGroup();
    const ImGuiColorEditFlags previewFlags = ImGuiColorEditFlags_NoPicker | ImGuiColorEditFlags_AlphaPreviewHalf;
    const float* current = viewPanel.pickerColour;
    const float* previous = viewPanel.pickerPrevious;
    ImGui::Text("Current");
    ImGui::ColorButton("##current", ImVec4(current[0], current[1], current[2], current[3]), previewFlags, previewSize);
    probeLastItem("##current");
    ImGui::Text("Previous");
    if (ImGui::ColorButton("##previous", ImVec4(previous[0], previous[1], previous[2], previous[3]), previewFlags, previewSize))
        copyColour(viewPanel.pickerColour, viewPanel.pickerPrevious);
    probeLastItem("##previous");
    if (viewPanel.pickerTarget == backgroundTarget || viewPanel.pickerTarget == gridTarget || viewPanel.pickerTarget == pointTarget)
        copyColour(targetColour(viewPanel.pickerTarget), viewPanel.pickerColour);
    ImGui::EndGroup();
    ImGui::EndPopup();
}

// Mode combo; the chosen colour's swatch beside the heading; the range of the mapped modes.
// True when the swatch was clicked.
bool drawPointColour(bool& held) {
    moveCursor(10);
    ImGui::Text("Point Color");
    bool clicked = false;
    if (pointColorMode == colorChosen) {
        ImGui::SameLine(swatchColumn, -1);
        clicked = ImGui::ColorButton("##PointColor", ImVec4(pointColor[0], pointColor[1], pointColor[2], 1.0f),
                                     ImGuiColorEditFlags_NoLabel, ImVec2(0, 0));
        probeLastItem("##PointColor");
        held |= ImGui::IsItemActive();
    }
    moveCursor(5);
    if (ImGui::BeginCombo("##Point Color Mode", colorModeLabels[pointColorMode], 0)) {
        for (int32_t mode = 0; mode < pointColorModeCount; ++mode) {
            if (ImGui::Selectable(colorModeLabels[mode], mode == pointColorMode, 0, ImVec2(0, 0))) pointColorMode = mode;
            probeLastItem(colorModeLabels[mode]);
        }
        ImGui::EndCombo();
    }
    probeLastItem("##Point Color Mode");
    if (pointColorMode != colorByHeight && pointColorMode != colorByRange) return clicked;
    moveCursor(5);
    ImGui::Checkbox("Automatic Range", &colorRangeAuto);
    probeLastItem("Automatic Range");
    if (colorRangeAuto) return clicked;
    // Checked when an edit ends, like the fields above: two numbers, the low end below the high one.
    moveCursor(5);
    ImGui::PushItemWidth(halfFieldWidth);
    ImGui::InputFloat("##Range Low", &viewPanel.editRangeLow, 0.0f, 0.0f, "%.2f", 0);
    probeLastItem("##Range Low");
    bool edited = ImGui::IsItemDeactivatedAfterEdit();
    ImGui::SameLine(0, -1);
    ImGui::InputFloat("##Range High", &viewPanel.editRangeHigh, 0.0f, 0.0f, "%.2f", 0);
    probeLastItem("##Range High");
    edited = ImGui::IsItemDeactivatedAfterEdit() || edited;
    ImGui::PopItemWidth();
    if (edited) {
        if (acceptableColorRange(viewPanel.editRangeLow, viewPanel.editRangeHigh)) {
            colorRangeLow = viewPanel.editRangeLow;
            colorRangeHigh = viewPanel.editRangeHigh;
        } else {
            viewPanel.editRangeLow = colorRangeLow;
            viewPanel.editRangeHigh = colorRangeHigh;
        }
    }
    return clicked;
}

}  // namespace

bool acceptablePointSize(float pixels) { return pixels > 0.0f && pixels <= largestPointSize; }
bool acceptableGridSpacing(int32_t centimetres) {
    return centimetres >= smallestGridSpacing && centimetres < gridSpacingLimit;
}
bool acceptableColorRange(float low, float high) { return std::isfinite(low) && std::isfinite(high) && low < high; }

void drawViewPanel(bool* open) {
    if (!beginPanel("##Window App", open)) return;
    if (!viewPanel.editsFilled) {
        viewPanel.editPointSize = pointSize;
        viewPanel.editGridSpacing = gridSpacing;
        viewPanel.editRangeLow = colorRangeLow;
        viewPanel.editRangeHigh = colorRangeHigh;
        viewPanel.editsFilled = true;
    }

    moveCursor(15);
    ImGui::PushItemWidth(fieldWidth);
    drawViewCombo();
    int clickedTarget = 0;
    bool swatchHeld = false;
    if (drawSwatch("Background Color", "##BgColor", backgroundColor, swatchHeld)) clickedTarget = backgroundTarget;
    if (drawSwatch("Grid Color", "##GridColor", gridColor, swatchHeld)) clickedTarget = gridTarget;
    drawPointSizeField();
    drawGridSpacingField();
    if (drawPointColour(swatchHeld)) clickedTarget = pointTarget;
    holdInputWhile(swatchHeld);
    moveCursor(10);
    ImGui::Checkbox("Round Points", &roundPoints);
    probeLastItem("Round Points");
    moveCursor(10);
    ImGui::Checkbox("Show Overlay (F2)", &overlayShown);
    probeLastItem("Show Overlay (F2)");
    moveCursor(10);
    if (ImGui::Button("Save Screenshot", ImVec2(fieldWidth, 0))) screenshotRequested = true;
    probeLastItem("Save Screenshot");
    ImGui::PopItemWidth();

    if (clickedTarget != 0) {
        viewPanel.pickerTarget = clickedTarget;
        ImGui::OpenPopup(pickerPopup);
        copyColour(viewPanel.pickerColour, targetColour(clickedTarget));
        copyColour(viewPanel.pickerPrevious, viewPanel.pickerColour);
    }
    drawPicker();
    ImGui::End();
}

// Small windows over the 3-D view that take no input: the colour legend of the height and range
// modes (bottom right) and the notice of the latest screenshot (bottom left). Called by the frame
// loop once per frame after the scene is filled, and by the Window panel's button through
// screenshotRequested. GUI thread only.
#include "ui/panel_common.h"
#include "ui/panel_state.h"
#include "ui/ui.h"
#include "filechooser/filechooser.h"
#include "view/view.h"

#include <imgui.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>

// Process-wide state of the overlays (GUI thread only).
bool screenshotRequested = false;
ScreenshotNotice screenshotNotice;

namespace {

const ImVec2 legendBarSize(200, 14);
constexpr int legendSteps = 32;  // the bar is drawn as this many blended strips
constexpr double noticeSeconds = 4.0;

// Metres with two decimals; a value that rounds to zero shows as 0.00, not -0.00.
void legendValue(char (&text)[32], float value) {
    std::snprintf(text, sizeof text, "%.2f", std::fabs(value) < 0.005f ? 0.0f : value);
}

ImU32 mapColour(float t, MapSpan span) {
    const glm::vec3 c = colorMapAt(t, span);
    return ImGui::GetColorU32(ImVec4(c.r, c.g, c.b, 1.0f));
}

// pivot (0, 1) is the bottom left corner of the scene beside the side panel, (1, 1) the bottom right.
bool beginOverlay(const char* name, ImVec2 pivot) {
    const ImVec2 display = ImGui::GetIO().DisplaySize;
    const float left = sidePanelRight() + sceneOverlayMargin;
    const ImVec2 corner(pivot.x > 0 ? display.x - sceneOverlayMargin : left, display.y - sceneOverlayMargin);
    ImGui::SetNextWindowPos(corner, ImGuiCond_Always, pivot);
    // No wider than the scene: a long text wraps instead of running off the window.
    ImGui::SetNextWindowSizeConstraints(ImVec2(0, 0), ImVec2(std::max(display.x - left - sceneOverlayMargin, 1.0f), FLT_MAX));
    ImGui::SetNextWindowBgAlpha(sceneOverlayAlpha);
    return ImGui::Begin(name, nullptr, sceneOverlayFlags);
}

void drawColorLegend() {
    if (pointColorMode != colorByHeight && pointColorMode != colorByRange) return;
    if (beginOverlay("##Color Legend", ImVec2(1, 1))) {
        ImGui::Text("%s", pointColorMode == colorByHeight ? "Height (m)" : "Range (m)");
        const ImVec2 start = ImGui::GetCursorScreenPos();
        ImGui::Dummy(legendBarSize);
        probeLastItem("##Color Legend");
        ImDrawList* draw = ImGui::GetWindowDrawList();
        const float strip = legendBarSize.x / legendSteps;
        const MapSpan span = colorMapSpan(backgroundColor);  // as the points are drawn
        for (int i = 0; i < legendSteps; ++i) {
            const ImU32 left = mapColour(static_cast<float>(i) / legendSteps, span);
            const ImU32 right = mapColour(static_cast<float>(i + 1) / legendSteps, span);
            const ImVec2 from(start.x + strip * i, start.y);
            draw->AddRectFilledMultiColor(from, ImVec2(from.x + strip, start.y + legendBarSize.y), left, right, right, left);
        }
        char low[32], high[32];
        legendValue(low, scene.mapLow);
        legendValue(high, scene.mapHigh);
        ImGui::Text("%s", low);
        ImGui::SameLine(ImGui::GetCursorStartPos().x + legendBarSize.x - ImGui::CalcTextSize(high).x, -1);
        ImGui::Text("%s", high);
    }
    ImGui::End();
}

void drawScreenshotNotice() {
    if (screenshotNotice.text.empty() || ImGui::GetTime() > screenshotNotice.shownUntil) return;
    if (beginOverlay("##Screenshot Notice", ImVec2(0, 1))) {
        const float widest = ImGui::GetIO().DisplaySize.x - sidePanelRight() - 2 * sceneOverlayMargin -
                             2 * ImGui::GetStyle().WindowPadding.x;
        ImGui::PushTextWrapPos(ImGui::GetCursorPosX() + std::max(widest, 1.0f));
        ImGui::TextUnformatted(screenshotNotice.text.c_str());
        ImGui::PopTextWrapPos();
        probeLastItem("##Screenshot Notice");
    }
    ImGui::End();
}

}  // namespace

void showScreenshotNotice(const std::string& text) {
    screenshotNotice.text = text;
    screenshotNotice.shownUntil = ImGui::GetTime() + noticeSeconds;
}

void drawViewOverlays() {
    drawColorLegend();
    drawScreenshotNotice();
}

// Shared pieces of the side panels (see panel_common.h). GUI thread only.
#include "ui/panel_common.h"

#include "app/app.h"
#include "filechooser/filechooser.h"

#include <imgui_internal.h>

namespace {

constexpr ImGuiWindowFlags panelWindowFlags =
    ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoCollapse;
constexpr float halfGlyphWidth = 15.0f;
constexpr float panelWidth = 266.0f;
constexpr float panelIndent = 10.0f;

// Every side panel stands in the same place: under the menu bar, full height, square corners.
void placePanel() {
    ImGui::SetNextWindowPos(ImVec2(0, menuBarHeight), ImGuiCond_Always, ImVec2(0, 0));
    ImGui::SetNextWindowSize(ImVec2(panelWidth, appState.windowHeight - menuBarHeight), ImGuiCond_Always);
    ImGuiStyle& style = ImGui::GetStyle();
    style.WindowRounding = 0;
    style.ChildRounding = 0;
    style.FrameRounding = 0;
    style.GrabRounding = 0;
    style.PopupRounding = 0;
    style.ScrollbarRounding = 0;
}

}  // namespace

bool beginPanel(const char* name, bool* open) {
    placePanel();
    if (!ImGui::Begin(name, open, panelWindowFlags)) {
        ImGui::End();
        return false;
    }
    appState.panelFocused = ImGui::IsWindowFocused(ImGuiFocusedFlags_ChildWindows);
    return true;
}

float sidePanelRight() {
    const bool anyShown = appState.showConnectionPanel || appState.showViewPanel || appState.showRecordPanel;
    return anyShown ? panelWidth : 0.0f;
}

void moveCursor(float down) {
    ImGui::SetCursorPosX(ImGui::GetCursorPosX() + panelIndent);
    ImGui::SetCursorPosY(ImGui::GetCursorPosY() + down);
}

void popupGlyph(const char* glyph) {
    ImGui::SetCursorPosX(ImGui::GetCursorPosX() + ImGui::GetWindowSize().x / 2 - halfGlyphWidth);
    ImGui::Text("%s", glyph);
}

bool beginModal(const char* title) {
    // Centred at every opening. Left to itself, ImGui places a pop-up that reappears beside a
    // two-pixel box around its old corner, one pixel further right each time.
    ImGui::SetNextWindowPos(ImGui::GetMainViewport()->GetCenter(), ImGuiCond_Appearing, ImVec2(0.5f, 0.5f));
    return ImGui::BeginPopupModal(title, nullptr, ImGuiWindowFlags_AlwaysAutoResize);
}

bool drawMessagePopup(const MessagePopup& popup, const std::vector<std::string>& lines) {
    if (!beginModal(popup.title)) return false;
    if (popup.glyph != nullptr) popupGlyph(popup.glyph);
    for (const std::string& line : lines) ImGui::Text("%s", line.c_str());
    const bool close = ImGui::Button("Close", popup.closeSize);
    probeLastItem(popup.closeProbe);
    if (close) ImGui::CloseCurrentPopup();
    ImGui::EndPopup();
    return close;
}

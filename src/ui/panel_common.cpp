// Shared pieces of the side panels (see panel_common.h). GUI thread only.
#include "ui/panel_common.h"

#include "app/app.h"
#include "ui/ui.h"

#include <imgui_internal.h>

namespace {

constexpr ImGuiWindowFlags panelWindowFlags =
    ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoScrollbar | ImGuiWindowFlags_NoCollapse;
constexpr float halfGlyphWidth = 15.0f;

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

void beginDisabledLook(bool disabled) {
    if (!disabled) return;
    ImGui::PushItemFlag(ImGuiItemFlags_Disabled, true);
    ImGui::PushStyleVar(ImGuiStyleVar_Alpha, ImGui::GetStyle().Alpha * 0.5f);
}

void endDisabledLook(bool disabled) {
    if (!disabled) return;
    ImGui::PopItemFlag();
    ImGui::PopStyleVar();
}

void popupGlyph(const char* glyph) {
    ImGui::SetCursorPosX(ImGui::GetCursorPosX() + ImGui::GetWindowSize().x / 2 - halfGlyphWidth);
    ImGui::Text("%s", glyph);
}

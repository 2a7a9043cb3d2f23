// The main menu bar: three toggles that choose the one side panel shown, and the lost-port banner.
// Drawn by the frame loop every frame, after the panels, on the GUI thread.
#include "app/app.h"
#include "link/link.h"
#include "ui/panel_common.h"
#include "ui/ui.h"
#include "filechooser/filechooser.h"

#include <imgui.h>

#include <algorithm>
#include <string>

namespace {

constexpr const char* menuBarName = "##Main Menu bar";
constexpr float menuButtonWidth = 60.0f;
constexpr float bannerFromRight = 200.0f;
constexpr float bannerDrop = 5.0f;
const ImVec4 menuButtonColor(0.06f, 0.06f, 0.06f, 0.94f);

// A toggle shows its own panel, or none when its panel is already shown.
void menuButton(const char* label, std::atomic<bool>& own) {
    const bool pressed = ImGui::Button(label, ImVec2(menuButtonWidth, menuBarHeight));
    probeLastItem(label);
    if (!pressed) return;
    const bool show = !own;
    appState.showConnectionPanel = false;
    appState.showViewPanel = false;
    appState.showRecordPanel = false;
    own = show;
}

}  // namespace

void drawMainMenuBar() {
    const float width = appState.windowWidth;
    ImGui::SetNextWindowPos(ImVec2(0.0f, 0.0f), ImGuiCond_Always, ImVec2(0.0f, 0.0f));
    ImGui::SetNextWindowSize(ImVec2(width, menuBarHeight), ImGuiCond_Always);
    ImGui::PushStyleVar(ImGuiStyleVar_WindowRounding, 0.0f);
    ImGui::PushStyleVar(ImGuiStyleVar_ChildRounding, 0.0f);
    ImGui::PushStyleVar(ImGuiStyleVar_FrameRounding, 0.0f);
    ImGui::PushStyleVar(ImGuiStyleVar_WindowPadding, ImVec2(0.0f, 0.0f));
    ImGui::Begin(menuBarName, nullptr,
                 ImGuiWindowFlags_NoTitleBar | ImGuiWindowFlags_NoResize | ImGuiWindowFlags_NoScrollbar |
                     ImGuiWindowFlags_NoCollapse);
    ImGui::PushStyleColor(ImGuiCol_Button, menuButtonColor);
    menuButton("Ostrel", appState.showConnectionPanel);
    ImGui::SameLine();
    menuButton("Window", appState.showViewPanel);
    ImGui::SameLine();
    menuButton("Record", appState.showRecordPanel);
    ImGui::PopStyleColor();
    // A banner naming several sensors starts further left, so that all of it shows.
    const std::string banner = lostPortBanner();
    const float bannerWidth = ImGui::CalcTextSize(banner.c_str()).x + ImGui::GetStyle().ItemSpacing.x;
    ImGui::SameLine(width - (linkCount() > 1 ? std::max(bannerFromRight, bannerWidth) : bannerFromRight));
    if (!banner.empty()) {
        ImGui::SetCursorPosY(ImGui::GetCursorPosY() + bannerDrop);
        ImGui::TextUnformatted(banner.c_str());
        probeLastItem("The Port is Disconnected");
    }
    ImGui::PopStyleVar(4);
    ImGui::End();
}

// What the GUI asks of the frame loop so that it can sleep while nothing changes: a steady frame
// rate, a few more frames while it settles, or a frame when a figure on screen moves by itself.
// Called by the frame loop after every frame, on the GUI thread.
#include "ui/ui.h"
#include "ui/panel_state.h"

#include "app/app.h"
#include "link/link.h"
#include "record/record.h"

#include <imgui.h>
#include <imgui_internal.h>

#include <algorithm>
#include <chrono>
#include <cmath>

namespace {

constexpr double portProbeSeconds = 1.0;  // while connected the port is probed (and the figures kept) this often
constexpr double progressSeconds = 0.1;   // a progress bar moves this often

// A mouse button or a key is held: a drag, a held − or + button, or a camera flying on its keys.
bool inputHeld() {
    const ImGuiIO& io = ImGui::GetIO();
    return std::any_of(std::begin(io.MouseDown), std::end(io.MouseDown), [](bool down) { return down; }) ||
           std::any_of(std::begin(io.KeysDown), std::end(io.KeysDown), [](bool down) { return down; });
}

// A window hidden for a frame while it takes its size (a pop-up or combo just opened), or a modal
// pop-up's dimming fading in or out.
bool imguiSettling() {
    const ImGuiContext& g = *GImGui;
    if (ImGui::GetTopMostPopupModal() != nullptr ? g.DimBgRatio < 1.0f : g.DimBgRatio > 0.0f) return true;
    return std::any_of(g.Windows.begin(), g.Windows.end(), [](const ImGuiWindow* window) {
        return window->Active && (window->HiddenFramesCanSkipItems > 0 || window->HiddenFramesCannotSkipItems > 0);
    });
}

// What the panels, the menu bar and the overlay show of the connection, the files and the capture.
// Some of it changes late in a frame (the port found lost after the menu bar is drawn, a replay at
// its end), when the widgets drawn earlier show it only in the next frame.
// Whether any sensor's port is open, or lost.
bool anyLink(bool (*test)(const Link& link)) {
    for (int i = 0; i < linkCount(); ++i)
        if (test(linkAt(i))) return true;
    return false;
}
bool anyOpen() { return anyLink([](const Link& link) { return link.portOpen.load(); }); }

unsigned shownState() {
    const bool flags[] = {anyOpen(), anyLink([](const Link& link) { return link.portLost.load(); }),
                          appState.recordingActive,
                          appState.replayActive, replayState.playing, replayIndexing(),
                          captureRunning(),      firstLink().captureOpen(),       firstLink().capture.indexing,
                          firstLink().capture.playing};
    unsigned state = 0;
    for (bool flag : flags) state = state << 1 | (flag ? 1u : 0u);
    return state;
}
unsigned lastShownState = 0;  // GUI thread only: shownState() after the previous frame

double untilNextSecond(double elapsed) { return 1.0 - std::fmod(elapsed, 1.0); }

}  // namespace

GuiActivity guiActivity(double now) {
    GuiActivity activity;
    const bool captureStopping = captureState.phase == CaptureState::stopping;
    activity.steady = appState.recordingActive || (appState.replayActive && replayState.playing) ||
                      (firstLink().captureOpen() && firstLink().capture.playing) || captureStopping || inputHeld();
    const unsigned state = shownState();
    activity.settling = imguiSettling() || state != lastShownState;
    lastShownState = state;

    double until = secondsUntilFiguresMove(now);
    if (anyOpen()) until = std::min(until, portProbeSeconds);
    if (replayIndexing() || firstLink().capture.indexing) until = std::min(until, progressSeconds);
    if (captureState.phase == CaptureState::running) {
        const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - captureState.started;
        until = std::min(until, untilNextSecond(elapsed.count()));
    }
    if (!screenshotNotice.text.empty() && now <= screenshotNotice.shownUntil)
        until = std::min(until, screenshotNotice.shownUntil - now);
    // The GUI writes its window layout (imgui.ini) in a frame a few seconds after a change.
    if (GImGui->SettingsDirtyTimer > 0.0f) until = std::min(until, static_cast<double>(GImGui->SettingsDirtyTimer));
    activity.secondsUntilMove = until;
    return activity;
}

// The corner overlay: valid points of the shown frame, the sensor's frame rate, sequence number and
// time stamp, a stale marker, the replay position and the recording (or capture) indicator. Drawn
// by the frame loop after the menu bar, on the GUI thread.
#include "app/app.h"
#include "link/link.h"
#include "record/record.h"
#include "ui/panel_common.h"
#include "ui/panel_state.h"
#include "ui/ui.h"
#include "view/probe.h"
#include "view/view.h"

#include <imgui.h>

#include <cmath>
#include <cstdio>
#include <limits>

// Process-wide state of the overlay (GUI thread only); see ui.h and panel_state.h.
bool overlayShown = false;
bool overlayToggleRequested = false;
OverlayState overlay;

namespace {

constexpr const char* overlayName = "##Overlay";
constexpr double staleAfterSeconds = 1.0;   // "more than a second" without a frame while connected
constexpr double countStepSeconds = 1.0;    // the stale and capture counts go in whole seconds
constexpr double staleLookSlack = 1e-3;     // the marker is looked for just after the second has passed
const ImVec4 staleColour(1.0f, 0.72f, 0.2f, 1.0f);
const ImVec4 recordingColour(0.83f, 0.17f, 0.31f, 1.0f);

// A new frame, or a new connection, restarts the stale clock.
void followFrames(double now) {
    const uint64_t generation = frameOnShow.generation;
    const bool connected = firstLink().portOpen;
    if (!overlay.started || generation != overlay.seenGeneration || (connected && !overlay.wasConnected))
        overlay.lastFrameAt = now;
    overlay.started = true;
    overlay.seenGeneration = generation;
    overlay.wasConnected = connected;
}

bool stale(double now) { return firstLink().portOpen && now - overlay.lastFrameAt > staleAfterSeconds; }

std::string baseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

template <typename... Values>
std::string format(const char* pattern, Values... values) {
    char text[512];
    std::snprintf(text, sizeof text, pattern, values...);
    return text;
}

// One line, remembered for the tests as it was drawn.
void line(const std::string& text, const ImVec4* colour = nullptr) {
    if (colour != nullptr) ImGui::TextColored(*colour, "%s", text.c_str());
    else ImGui::TextUnformatted(text.c_str());
    overlay.lines.push_back(text);
}

void drawFrameLines(double now) {
    const PointFrame& frame = frameOnShow.frame;
    int valid = 0;
    for (uint32_t flag : frame.valid) valid += flag != 0;
    line(format("Valid points: %d", valid));
    if (firstLink().portOpen) {
        sampleLinkHealth(linkHealth, now, readLinkCounters(firstLink()), true);
        line(format("Sensor: %.1f frames/s", linkHealth.framesPerSecond));
    }
    if (frame.stamped != 0) {
        line(format("Sequence: %u", frame.sequence));
        line(format("Time stamp: %.4f s", frame.timestampSeconds + frame.timestampMicros * 1e-6));
    }
    if (stale(now)) line(format("stale: no frame for %d s", static_cast<int>(now - overlay.lastFrameAt)), &staleColour);
    if (!firstLink().portOpen && !appState.replayActive) line("Not connected");
}

void drawActivityLines() {
    const int64_t shown = firstLink().capture.shownFrame;
    if (firstLink().portOpen && firstLink().sourceIs(captureReplaySource) && shown >= 0)
        line(format("Capture replay: frame %lld of %zu%s", static_cast<long long>(shown + 1),
                    firstLink().capture.index.frames.size(), firstLink().capture.playing ? "" : " (paused)"));
    if (appState.replayActive)
        line(format("Replay: row %lld of %lld%s", static_cast<long long>(replayState.playRow),
                    static_cast<long long>(replayState.rowCount), replayState.playing ? "" : " (paused)"));
    if (appState.recordingActive && !recordingState.sceneRequested)
        line(format("%s Recording %d s: %s", recordGlyph, recordingState.recordSeconds,
                    baseName(recordingState.recordPath).c_str()),
             &recordingColour);
    // Captures of several sensors: the first file, and how many more run beside it.
    int busy = 0;
    const CaptureState* first = nullptr;
    for (const CaptureState& capture : captures) {
        if (capture.phase == CaptureState::idle) continue;
        if (busy++ == 0) first = &capture;
    }
    if (first != nullptr)
        line(format("%s Capture %d s: %s%s", recordGlyph, captureSeconds(), baseName(first->path).c_str(),
                    busy > 1 ? format(" (+%d)", busy - 1).c_str() : ""),
             &recordingColour);
}

// Seconds until the next whole second of a count that started `elapsed` seconds ago.
double untilNextCount(double elapsed) { return countStepSeconds - std::fmod(elapsed, countStepSeconds); }

}  // namespace

void drawOverlay(double now) {
    followFrames(now);
    if (overlayToggleRequested) overlayShown = !overlayShown;
    overlayToggleRequested = false;
    if (!overlayShown) return;
    overlay.lines.clear();
    ImGui::SetNextWindowPos(ImVec2(appState.windowWidth - sceneOverlayMargin, menuBarHeight + sceneOverlayMargin),
                            ImGuiCond_Always, ImVec2(1.0f, 0.0f));
    ImGui::SetNextWindowBgAlpha(sceneOverlayAlpha);
    if (ImGui::Begin(overlayName, nullptr, sceneOverlayFlags)) {
        drawFrameLines(now);
        drawActivityLines();
        const ImVec2 corner = ImGui::GetWindowPos();
        const ImVec2 size = ImGui::GetWindowSize();
        if (itemProbe != nullptr) itemProbe("Overlay", corner, ImVec2(corner.x + size.x, corner.y + size.y));
    }
    ImGui::End();
}

double secondsUntilFiguresMove(double now) {
    double until = std::numeric_limits<double>::infinity();
    if (firstLink().portOpen && appState.showConnectionPanel && linkHealth.sampled)
        until = std::max(0.0, linkHealth.lastRefreshTime + linkHealthRefreshSeconds - now);
    if (!overlayShown) return until;
    if (firstLink().portOpen) {
        const double elapsed = now - overlay.lastFrameAt;
        until = std::min(until, elapsed <= staleAfterSeconds ? staleAfterSeconds - elapsed + staleLookSlack : untilNextCount(elapsed));
    }
    return until;
}

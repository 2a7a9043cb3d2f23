// The corner overlay: valid points of the shown frame, the sensor's frame rate, sequence number and
// time stamp, a stale marker, the replay position and the recording (or capture) indicator. Drawn
// by the frame loop after the menu bar, on the GUI thread.
#include "app/app.h"
#include "link/link.h"
#include "record/record.h"
#include "ui/panel_common.h"
#include "ui/panel_state.h"
#include "ui/ui.h"
#include "filechooser/filechooser.h"
#include "view/view.h"

#include <imgui.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

// Process-wide state of the overlay (GUI thread only); see ui.h and panel_state.h.
bool overlayShown = false;
bool overlayToggleRequested = false;
OverlayState overlay;

namespace {

constexpr const char* overlayName = "##Overlay";
constexpr double countStepSeconds = 1.0;    // the stale and capture counts go in whole seconds
constexpr double staleLookSlack = 1e-3;     // the marker is looked for just after the second has passed
const ImVec4 staleColour(1.0f, 0.72f, 0.2f, 1.0f);

// Frames are due from a sensor while it is connected, or connected to a capture that plays; a
// paused (or stepped) capture replay sends none and is no stale sensor.
bool framesDue(int index) {
    const Link& link = linkAt(index);
    return link.portOpen && !(link.sourceIs(captureReplaySource) && !link.capture.playing);
}

// A new frame, or frames becoming due (a connection, a capture replay playing on), restarts a
// sensor's stale clock.
void followFrames(double now) {
    for (int i = 0; i < linkCount(); ++i) {
        OverlayState::SensorFollow& follow = overlay.sensors[i];
        const uint64_t generation = i == 0 ? frameOnShow.generation : linkAt(i).generation();
        const bool due = framesDue(i);
        if (!overlay.started || generation != follow.seenGeneration || (due && !follow.wasConnected))
            follow.lastFrameAt = now;
        follow.seenGeneration = generation;
        follow.wasConnected = due;
    }
    overlay.started = true;
}

double secondsWithoutFrame(int index, double now) { return now - overlay.sensors[index].lastFrameAt; }
bool stale(int index, double now) { return framesDue(index) && secondsWithoutFrame(index, now) > staleSeconds; }

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

int validPoints(const PointFrame& frame) {
    int valid = 0;
    for (uint32_t flag : frame.valid) valid += flag != 0;
    return valid;
}

void drawFrameLines(double now) {
    const PointFrame& frame = frameOnShow.frame;
    line(format("Valid points: %d", validPoints(frame)));
    if (firstLink().portOpen) sampleLinkHealth(linkHealth, now, readLinkCounters(firstLink()), true);
    if (framesDue(0)) line(format("Sensor: %.1f frames/s", linkHealth.framesPerSecond));
    // A recording holds no sequence or time stamp: those of an earlier sensor frame are not its own.
    if (frame.stamped != 0 && !appState.replayActive) {
        line(format("Sequence: %u", frame.sequence));
        line(format("Time stamp: %.4f s", frame.timestampSeconds + frame.timestampMicros / static_cast<double>(microsPerSecond)));
    }
    if (stale(0, now)) line(format("stale: no frame for %d s", static_cast<int>(secondsWithoutFrame(0, now))), &staleColour);
    if (!firstLink().portOpen && !appState.replayActive) line("Not connected");
}

// With several sensors, a line for each one connected, named, with its own frame's figures.
void drawSensorLines(double now) {
    bool anyConnected = false;
    for (int i = 0; i < linkCount(); ++i) {
        const Link& link = linkAt(i);
        if (!link.portOpen) continue;
        anyConnected = true;
        PointFrame& latest = overlay.sensorFrame;
        if (i == 0) latest = frameOnShow.frame;
        else link.readLatest(latest);
        sampleLinkHealth(sensorHealth[i], now, readLinkCounters(link), true);
        std::string text = format("%s: valid points %d, %.1f frames/s", link.name.c_str(), validPoints(latest),
                                  sensorHealth[i].framesPerSecond);
        if (latest.stamped != 0)
            text += format(", sequence %u, %.4f s", latest.sequence, latest.timestampSeconds + latest.timestampMicros * 1e-6);
        line(text);
        if (stale(i, now))
            line(format("stale: %s, no frame for %d s", link.name.c_str(), static_cast<int>(secondsWithoutFrame(i, now))),
                 &staleColour);
    }
    if (!anyConnected && !appState.replayActive) line("Not connected");
}

void drawActivityLines() {
    const int64_t shown = firstLink().capture.shownFrame;
    if (firstLink().portOpen && firstLink().sourceIs(captureReplaySource) && shown >= 0)
        line(format("Capture replay: frame %lld of %zu%s", static_cast<long long>(shown + 1),
                    firstLink().capture.index.frames.size(), firstLink().capture.playing ? "" : " (paused)"));
    if (appState.replayActive) {
        // Rows count from 1 as capture frames do; an ended replay keeps its length until dismissed.
        const int64_t rows = replayState.index.rowCount;
        const bool ended = replayState.rowCount == 0 && !replayIndexing();
        const int64_t row = std::clamp<int64_t>(replayState.playRow, std::min<int64_t>(rows, 1), rows);
        line(format("Replay: row %lld of %lld%s", static_cast<long long>(row), static_cast<long long>(rows),
                    replayState.playing ? "" : ended ? " (ended)" : " (paused)"));
    }
    if (appState.recordingActive && !recordingState.sceneRequested)
        line(format("%s Recording %d s: %s", recordGlyph, recordingState.recordSeconds,
                    baseName(recordingState.recordPath).c_str()),
             &recordingRed);
    if (captureRunning())
        line(format("%s Capture %d s: %s", recordGlyph, captureSeconds(), baseName(captureState.path).c_str()),
             &recordingRed);
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
        if (linkCount() == 1) drawFrameLines(now);
        else drawSensorLines(now);
        drawActivityLines();
        const ImVec2 corner = ImGui::GetWindowPos();
        const ImVec2 size = ImGui::GetWindowSize();
        if (itemProbe != nullptr) itemProbe("Overlay", corner.x, corner.y, corner.x + size.x, corner.y + size.y);
    }
    ImGui::End();
}

double secondsUntilFiguresMove(double now) {
    double until = std::numeric_limits<double>::infinity();
    for (int i = 0; i < linkCount(); ++i) {
        if (!linkAt(i).portOpen) continue;
        const LinkHealth& health = sensorHealth[i];
        if (appState.showConnectionPanel && health.sampled)
            until = std::min(until, std::max(0.0, health.lastRefreshTime + linkHealthRefreshSeconds - now));
        if (!overlayShown || !framesDue(i)) continue;
        const double elapsed = secondsWithoutFrame(i, now);
        until = std::min(until, elapsed <= staleSeconds ? staleSeconds - elapsed + staleLookSlack : untilNextCount(elapsed));
    }
    return until;
}

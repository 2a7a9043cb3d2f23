// The record panel's "Capture Replay" section (open a capture, indexing progress, play, pause, steps,
// speed, loop, time slider, position readout, close) and the per-frame step of a capture replay
// (connect the link once indexed, notices, tell the source a frame was drawn). GUI thread only:
// drawCaptureReplaySection is called by the record panel, stepCaptureReplay by the frame loop every frame.
#include "ui/ui.h"
#include "ui/panel_common.h"
#include "ui/panel_state.h"

#include "app/app.h"
#include "link/link.h"
#include "filechooser/filechooser.h"

#include <imgui.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

// Process-wide state of the capture section (GUI thread only); see panel_state.h.
CaptureReplaySectionState captureReplaySection;

namespace {

constexpr const char* stepBackGlyph = "\xef\x81\x88";     // U+F048
constexpr const char* stepForwardGlyph = "\xef\x81\x91";  // U+F051
constexpr double microsPerSecondF = microsPerSecond;  // for times shown with decimals

struct SpeedChoice {
    const char* label;
    float speed;
};
const SpeedChoice speedChoices[] = {{"0.25x", 0.25f}, {"0.5x", 0.5f}, {"1x", 1.0f},
                                    {"2x", 2.0f},     {"4x", 4.0f},   {"8x", 8.0f},
                                    {"Fastest", captureFastest}};

const MessagePopup captureNoticePopup{"Capture Replay", exclamationGlyph, ImVec2(173, 30), "Capture Replay/Close"};

void notice(std::vector<std::string> lines) { queueNotice(captureNoticePopup, std::move(lines)); }

const std::vector<CaptureFrame>& frames() { return captureReplay.index.frames; }

// The link reads the capture (indexed, connected).
bool replaying() { return captureOpen() && !captureReplay.indexing && serialLink.portIsCapture && appState.portOpen; }

// Indexing has ended: replay what was found, or say why not.
void startReplay() {
    CaptureReplay& c = captureReplay;
    const std::string name = baseName(c.path);
    if (c.indexError != 0 || frames().empty()) {
        if (c.indexError != ECANCELED) {
            notice(c.indexError != 0 ? std::vector<std::string>{"Cannot read " + name + ":", std::strerror(c.indexError)}
                                     : std::vector<std::string>{"No sensor frames found in " + name + "."});
        }
        releaseCapture();
        return;
    }
    const int code = connectLink(capturePortName, appState.baudRate);
    if (code != 0) {
        notice({"Cannot replay " + name + ":", "the link did not open (code " + std::to_string(code) + ")."});
        releaseCapture();
        return;
    }
    linkHealth.everConnected = true;
    linkHealth.baudRate = appState.baudRate;
}

void drawOpenButton() {
    const bool greyed = captureOpen();
    beginDisabledLook(greyed);
    if (probedButton("OPEN CAPTURE", ImVec2(230, 30), "OPEN CAPTURE")) {
        if (appState.portOpen) {
            notice({"Disconnect the sensor first."});
        } else if (appState.replayActive) {
            notice({"Stop the recorded file playing first."});
        } else {
            captureReplaySection.openPending = true;
            openRecordChooser("Choose Capture", captureExtension);
        }
    }
    endDisabledLook(greyed);
}

void drawIndexing() {
    if (probedButton(stopGlyph, ImVec2(0, 0), "Capture Cancel")) closeCapture();
    ImGui::SameLine(0, -1);
    const uint64_t total = captureReplay.fileBytes;
    const float progress = total == 0 ? 0.0f : static_cast<float>(static_cast<double>(captureReplay.scannedBytes.load()) / total);
    char overlay[32];
    std::snprintf(overlay, sizeof overlay, "Indexing %d%%", static_cast<int>(progress * 100.0f));
    ImGui::ProgressBar(progress, ImVec2(ImGui::CalcItemWidth(), 0), overlay);
    probeLastItem("Capture Progress");
}

void drawTransport(int64_t shown) {
    CaptureReplay& c = captureReplay;
    const bool playing = c.playing;
    if (playing) {
        if (probedButton(pauseGlyph, ImVec2(0, 0), "Capture Pause")) c.playing = false;
    } else if (probedButton(playGlyph, ImVec2(0, 0), "Capture Play")) {
        if (c.atEnd && !c.loop) seekCapture(0);
        c.playing = true;
    }
    // One frame either way, while paused.
    beginDisabledLook(playing);
    ImGui::SameLine(0, -1);
    if (probedButton(stepBackGlyph, ImVec2(0, 0), "Capture Step Back")) seekCapture(shown - 1);
    ImGui::SameLine(0, -1);
    if (probedButton(stepForwardGlyph, ImVec2(0, 0), "Capture Step Forward")) seekCapture(shown + 1);
    endDisabledLook(playing);
    ImGui::SameLine(0, -1);
    bool loop = c.loop;
    if (ImGui::Checkbox("Loop", &loop)) c.loop = loop;
    probeLastItem("Capture Loop");
}

void drawSpeedCombo() {
    const float speed = captureReplay.speed;
    const char* preview = "1x";
    for (const SpeedChoice& choice : speedChoices)
        if (choice.speed == speed) preview = choice.label;
    if (!ImGui::BeginCombo("##Capture Speed", preview, 0)) {
        probeLastItem("##Capture Speed");
        return;
    }
    for (const SpeedChoice& choice : speedChoices) {
        const bool selected = choice.speed == speed;
        if (ImGui::Selectable(choice.label, selected)) captureReplay.speed = choice.speed;
        probeLastItem(choice.label);
        if (selected) ImGui::SetItemDefaultFocus();
    }
    ImGui::EndCombo();
}

// The slider follows the replay, except while the user holds it; each move shows the frame due at
// the time under it.
void drawTimeSlider(int64_t shown) {
    const float duration = static_cast<float>(frames().back().playMicros / microsPerSecondF);
    if (!captureReplaySection.sliderHeld) captureReplaySection.sliderSeconds = static_cast<float>(frames()[static_cast<size_t>(shown)].playMicros / microsPerSecondF);
    const bool moved = ImGui::SliderFloat("##Capture Time", &captureReplaySection.sliderSeconds, 0.0f, duration, "%.2f s");
    captureReplaySection.sliderHeld = ImGui::IsItemActive();
    probeLastItem("##Capture Time");
    if (moved) seekCapture(captureFrameAt(captureReplay.index, static_cast<int64_t>(captureReplaySection.sliderSeconds * microsPerSecondF)));
}

void drawReadout(int64_t shown) {
    const CaptureFrame& frame = frames()[static_cast<size_t>(shown)];
    // Two short lines: one would run past the panel's edge once the figures grow.
    ImGui::BeginGroup();
    ImGui::Text("frame %lld of %zu", static_cast<long long>(shown + 1), frames().size());
    ImGui::Text("%.3f s   seq %u", frame.playMicros / microsPerSecondF, static_cast<unsigned>(frame.sequence));
    ImGui::EndGroup();
    probeLastItem("Capture Position");
}

void drawCloseButton() {
    if (!probedButton("Close Capture", ImVec2(230, 30), "Close Capture")) return;
    if (appState.recordingActive) notice({"Stop recording first."});
    else closeCapture();
}

}  // namespace

void drawCaptureReplaySection() {
    moveCursor(5);
    ImGui::Text("Capture Replay");
    moveCursor(5);
    drawOpenButton();
    if (!captureOpen()) return;
    moveCursor(5);
    if (captureReplay.indexing) {
        drawIndexing();
        return;
    }
    if (!replaying()) return;
    const int64_t shown = std::max<int64_t>(captureReplay.shownFrame, 0);
    drawTransport(shown);
    moveCursor(5);
    drawSpeedCombo();
    moveCursor(5);
    drawTimeSlider(shown);
    moveCursor(5);
    drawReadout(shown);
    moveCursor(5);
    drawCloseButton();
}

bool captureReplayChooserResult(bool accepted, const std::string& path) {
    if (!captureReplaySection.openPending) return false;
    captureReplaySection.openPending = false;
    if (accepted) {
        if (appState.portOpen) {
            notice({"Disconnect the sensor first."});
        } else if (appState.replayActive) {
            notice({"Stop the recorded file playing first."});
        } else if (const std::string problem = openCapture(path); !problem.empty()) {
            notice({"Cannot open " + baseName(path) + ":", problem});
        }
    }
    appState.inputCaptured = false;
    closeRecordChooser();
    return true;
}

void stepCaptureReplay() {
    CaptureReplay& c = captureReplay;
    c.framesDrawn.fetch_add(1);
    if (pollCaptureIndexing()) startReplay();
    // The link left the capture on its own (a read of the file failed): let the file go.
    if (captureOpen() && !c.indexing && !replaying()) {
        notice({"Reading " + baseName(c.path) + " failed;", "the capture replay has stopped."});
        releaseCapture();
    }
    if (c.atEnd && c.playing && !c.loop) c.playing = false;
}

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

// The captures open, one per link at most; the longest leads: the controls show its state and every
// replay follows them on one clock, each capture's time measured from its own first frame.
std::vector<Link*> replayLinks() {
    std::vector<Link*> links;
    for (int index = 0; index < linkCount(); ++index)
        if (linkAt(index).captureOpen()) links.push_back(&linkAt(index));
    return links;
}

// The link a capture opened now goes to: the first one neither connected nor replaying.
Link* freeLink() {
    for (int index = 0; index < linkCount(); ++index)
        if (!linkAt(index).portOpen && !linkAt(index).captureOpen()) return &linkAt(index);
    return nullptr;
}

// The link reads its capture (indexed, connected).
bool replaying(const Link& link) {
    return link.captureOpen() && !link.capture.indexing && link.sourceIs(captureReplaySource) && link.portOpen;
}

const std::vector<CaptureFrame>& frames(const Link& link) { return link.capture.index.frames; }

// The leading replay, once every capture open is indexed and replaying (null before): the longest,
// so that the controls show a replay still under way until every one has ended.
Link* leader() {
    Link* lead = nullptr;
    for (Link* link : replayLinks()) {
        if (!replaying(*link)) return nullptr;
        if (lead == nullptr || frames(*link).back().playMicros > frames(*lead).back().playMicros) lead = link;
    }
    return lead;
}

// Every replay to the frame due at `playMicros` into its own capture.
void seekAll(int64_t playMicros) {
    for (Link* link : replayLinks()) link->seekCapture(captureFrameAt(link->capture.index, playMicros));
}

int64_t shownMicros(const Link& link) {
    return frames(link)[static_cast<size_t>(std::max<int64_t>(link.capture.shownFrame, 0))].playMicros;
}

// Indexing has ended: replay what was found (paused at its first frame), or say why not.
void startReplay(Link& link) {
    CaptureReplay& c = link.capture;
    const std::string name = baseName(c.path);
    if (c.indexError != 0 || frames(link).empty()) {
        if (c.indexError != ECANCELED) {
            notice(c.indexError != 0 ? std::vector<std::string>{"Cannot read " + name + ":", std::strerror(c.indexError)}
                                     : std::vector<std::string>{"No sensor frames found in " + name + "."});
        }
        link.releaseCapture();
        return;
    }
    const int code = link.open(capturePortName, link.baudRate);
    if (code != 0) {
        notice({"Cannot replay " + name + ":", "the link did not open (code " + std::to_string(code) + ")."});
        link.releaseCapture();
        return;
    }
    if (&link != &firstLink()) return;
    linkHealth.everConnected = true;
    linkHealth.baudRate = link.baudRate;
}

void drawOpenButton() {
    bool greyed = true;  // every link replays a capture
    for (int index = 0; index < linkCount(); ++index) greyed = greyed && linkAt(index).captureOpen();
    beginDisabledLook(greyed);
    if (probedButton("OPEN CAPTURE", ImVec2(230, 30), "OPEN CAPTURE")) {
        if (freeLink() == nullptr) {
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

// Progress of the capture being indexed; the stop button gives that file up.
void drawIndexing(Link& link) {
    if (probedButton(stopGlyph, ImVec2(0, 0), "Capture Cancel")) link.closeCapture();
    ImGui::SameLine(0, -1);
    const uint64_t total = link.capture.fileBytes;
    const float progress = total == 0 ? 0.0f : static_cast<float>(static_cast<double>(link.capture.scannedBytes.load()) / total);
    char overlay[32];
    std::snprintf(overlay, sizeof overlay, "Indexing %d%%", static_cast<int>(progress * 100.0f));
    ImGui::ProgressBar(progress, ImVec2(ImGui::CalcItemWidth(), 0), overlay);
    probeLastItem("Capture Progress");
}

// A step moves the leader one frame and the others to the time it then shows.
void stepAll(Link& lead, int64_t frame) {
    lead.seekCapture(frame);
    const int64_t shown = std::clamp<int64_t>(frame, 0, static_cast<int64_t>(frames(lead).size()) - 1);
    const int64_t micros = frames(lead)[static_cast<size_t>(shown)].playMicros;
    for (Link* link : replayLinks())
        if (link != &lead) link->seekCapture(captureFrameAt(link->capture.index, micros));
}

void drawTransport(Link& lead, int64_t shown) {
    const std::vector<Link*> links = replayLinks();
    const bool playing = lead.capture.playing;
    if (playing) {
        if (probedButton(pauseGlyph, ImVec2(0, 0), "Capture Pause"))
            for (Link* link : links) link->capture.playing = false;
    } else if (probedButton(playGlyph, ImVec2(0, 0), "Capture Play")) {
        // From one instant: all from the start after the leader's end, else the others to its time.
        if (lead.capture.atEnd && !lead.capture.loop) {
            seekAll(0);
        } else {
            for (Link* link : links)
                if (link != &lead) link->seekCapture(captureFrameAt(link->capture.index, shownMicros(lead)));
        }
        for (Link* link : links) link->capture.playing = true;
    }
    // One frame either way, while paused.
    beginDisabledLook(playing);
    ImGui::SameLine(0, -1);
    if (probedButton(stepBackGlyph, ImVec2(0, 0), "Capture Step Back")) stepAll(lead, shown - 1);
    ImGui::SameLine(0, -1);
    if (probedButton(stepForwardGlyph, ImVec2(0, 0), "Capture Step Forward")) stepAll(lead, shown + 1);
    endDisabledLook(playing);
    ImGui::SameLine(0, -1);
    bool loop = lead.capture.loop;
    if (ImGui::Checkbox("Loop", &loop))
        for (Link* link : links) link->capture.loop = loop;
    probeLastItem("Capture Loop");
}

void drawSpeedCombo(const Link& lead) {
    const float speed = lead.capture.speed;
    const char* preview = "1x";
    for (const SpeedChoice& choice : speedChoices)
        if (choice.speed == speed) preview = choice.label;
    if (!ImGui::BeginCombo("##Capture Speed", preview, 0)) {
        probeLastItem("##Capture Speed");
        return;
    }
    for (const SpeedChoice& choice : speedChoices) {
        const bool selected = choice.speed == speed;
        if (ImGui::Selectable(choice.label, selected))
            for (Link* link : replayLinks()) link->capture.speed = choice.speed;
        probeLastItem(choice.label);
        if (selected) ImGui::SetItemDefaultFocus();
    }
    ImGui::EndCombo();
}

// The slider spans the leader, the longest capture, and follows it, except while the user holds it;
// each move shows every capture's frame due at the time under it.
void drawTimeSlider(const Link& lead) {
    const float duration = static_cast<float>(frames(lead).back().playMicros / microsPerSecondF);
    if (!captureReplaySection.sliderHeld) captureReplaySection.sliderSeconds = static_cast<float>(shownMicros(lead) / microsPerSecondF);
    const bool moved = ImGui::SliderFloat("##Capture Time", &captureReplaySection.sliderSeconds, 0.0f, duration, "%.2f s");
    captureReplaySection.sliderHeld = ImGui::IsItemActive();
    probeLastItem("##Capture Time");
    if (moved) seekAll(static_cast<int64_t>(captureReplaySection.sliderSeconds * microsPerSecondF));
}

void drawReadout(const Link& lead, int64_t shown) {
    const CaptureFrame& frame = frames(lead)[static_cast<size_t>(shown)];
    // Two short lines: one would run past the panel's edge once the figures grow.
    ImGui::BeginGroup();
    ImGui::Text("frame %lld of %zu", static_cast<long long>(shown + 1), frames(lead).size());
    ImGui::Text("%.3f s   seq %u", frame.playMicros / microsPerSecondF, static_cast<unsigned>(frame.sequence));
    ImGui::EndGroup();
    probeLastItem("Capture Position");
}

void drawCloseButton() {
    if (!probedButton("Close Capture", ImVec2(230, 30), "Close Capture")) return;
    if (appState.recordingActive) {
        notice({"Stop recording first."});
        return;
    }
    for (Link* link : replayLinks()) link->closeCapture();
}

}  // namespace

void drawCaptureReplaySection() {
    moveCursor(5);
    ImGui::Text("Capture Replay");
    moveCursor(5);
    drawOpenButton();
    const std::vector<Link*> links = replayLinks();
    if (links.empty()) return;
    moveCursor(5);
    for (Link* link : links) {
        if (!link->capture.indexing) continue;
        drawIndexing(*link);
        return;
    }
    Link* lead = leader();
    if (lead == nullptr) return;
    if (links.size() > 1) {
        std::string names;
        for (const Link* link : links) names += (names.empty() ? "" : ", ") + link->name;
        ImGui::TextWrapped("%zu captures: %s", links.size(), names.c_str());
        probeLastItem("Capture Sensors");
        moveCursor(5);
    }
    const int64_t shown = std::max<int64_t>(lead->capture.shownFrame, 0);
    drawTransport(*lead, shown);
    moveCursor(5);
    drawSpeedCombo(*lead);
    moveCursor(5);
    drawTimeSlider(*lead);
    moveCursor(5);
    drawReadout(*lead, shown);
    moveCursor(5);
    drawCloseButton();
}

bool captureReplayChooserResult(bool accepted, const std::string& path) {
    if (!captureReplaySection.openPending) return false;
    captureReplaySection.openPending = false;
    if (accepted) {
        Link* link = freeLink();
        if (link == nullptr) {
            notice({"Disconnect the sensor first."});
        } else if (appState.replayActive) {
            notice({"Stop the recorded file playing first."});
        } else if (const std::string problem = link->openCapture(path); !problem.empty()) {
            notice({"Cannot open " + baseName(path) + ":", problem});
        } else {
            // A capture joining others already replaying plays with them, from their time.
            Link* lead = leader();
            if (lead != nullptr) {
                link->capture.speed = lead->capture.speed.load();
                link->capture.loop = lead->capture.loop.load();
            }
        }
    }
    appState.inputCaptured = false;
    closeRecordChooser();
    return true;
}

void stepCaptureReplay() {
    for (int index = 0; index < linkCount(); ++index) {
        Link& link = linkAt(index);
        CaptureReplay& c = link.capture;
        c.framesDrawn.fetch_add(1);
        if (link.pollCaptureIndexing()) startReplay(link);
        // The link left the capture on its own (a read of the file failed): let the file go.
        if (link.captureOpen() && !c.indexing && !replaying(link)) {
            notice({"Reading " + baseName(c.path) + " failed;", "the capture replay has stopped."});
            link.releaseCapture();
        }
        if (c.atEnd && c.playing && !c.loop) c.playing = false;
    }
}

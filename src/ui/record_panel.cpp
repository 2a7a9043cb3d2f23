// The record and replay panel: opens recordings and scenes for replay and drives the replay, starts
// and stops recordings and raw captures, saves scenes, exports the frame on screen, and shows their
// pop-ups. Called by the frame loop while showRecordPanel is set. GUI thread only.
//
// Index: Widgets | Sections | File chooser and scene completion | Pop-ups.
#include "ui/ui.h"
#include "ui/panel_common.h"
#include "ui/panel_state.h"

#include "app/app.h"
#include "filechooser/filechooser.h"
#include "record/mcap.h"
#include "record/record.h"
#include "view/view.h"

#include <imgui.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

// A kind of file the panel asks for. Adding a kind is adding its row.
struct ChooserKind {
    const char* type;  // its extension, which is also the chooser's filter
    const char* key;
    ImVec4 colour;     // of its files in the listing
};
const ChooserKind chooserKinds[] = {
    {".csv", "ChooseFileDlgKey", ImVec4(1.0f, 1.0f, 0.0f, 0.5f)},
    {captureExtension, "ChooseCaptureDlgKey", ImVec4(0.0f, 1.0f, 1.0f, 0.5f)},
    {sessionExtension, "ChooseSessionDlgKey", ImVec4(1.0f, 0.5f, 0.0f, 0.5f)},
};
constexpr size_t chooserKindCount = std::size(chooserKinds);

struct KindChooser {
    FileChooser chooser;
    std::string folder;  // of the file last chosen in it; the first kind's is chooserFolder
};

}  // namespace

// Process-wide state of the record panel (GUI thread only); see panel_state.h and ui.h.
RecordPanelState recordPanel;
std::string chooserFolder;
namespace {
KindChooser kindChoosers[chooserKindCount];
size_t openKind = 0;  // the kind whose chooser was opened last
}  // namespace

namespace {

const std::string recordLabel = std::string(recordGlyph) + " Record";
const std::string stopLabel = std::string(stopGlyph) + " Stop";
const std::string saveLabel = std::string(recordGlyph) + " Save";
const std::string captureLabel = std::string(recordGlyph) + " Capture";
const std::string captureStopLabel = std::string(stopGlyph) + " Stop##Capture";
const std::string sessionLabel = std::string(recordGlyph) + " Record session";
const std::string sessionStopLabel = std::string(stopGlyph) + " Stop##Session";
const ImVec2 sectionButtonSize(110, 30);
const ImVec2 replaceButtonSize(85, 30);
const ImVec2 noticeCloseSize(173, 30);

const MessagePopup recordingSucceedPopup{"Recording Succeed", checkGlyph, ImVec2(180, 30), "Recording Succeed/Close"};
const MessagePopup openingWarningPopup{"Opening Warning", exclamationGlyph, noticeCloseSize, "Opening Warning/Close"};
const MessagePopup savedScenePopup{"Saved Current Scene", checkGlyph, noticeCloseSize, "Saved Current Scene/Close"};
const MessagePopup sceneNotSavedPopup{"Scene not saved", exclamationGlyph, noticeCloseSize, "Scene not saved/Close"};
const char* const disconnectFirstLine = "Disconnect the sensor first.";
const char* const notConnectedLines[] = {"Sensor is not connected.", "Connect first and try again."};
const char* const connectFirstTip = "Connect a sensor first: it records what the sensor sends.";
const char* const replacePopupName = "Replace File";

// ---- Widgets ----------------------------------------------------------------------------------------

void rule() {
    ImGui::SetCursorPosY(ImGui::GetCursorPosY() + 10);
    ImGui::Separator();
}

// The name of a file just completed and its size, the line under a completion pop-up's text.
std::string fileLine(const std::string& path) {
    struct stat status {};
    const std::string name = baseName(path);
    if (::stat(path.c_str(), &status) != 0) return name;
    return name + ", " + formatByteCount(static_cast<uint64_t>(status.st_size));
}

// Why a greyed control does nothing, when the pointer rests on it.
void greyedTip(bool greyed, const char* why) {
    if (greyed && ImGui::IsItemHovered(ImGuiHoveredFlags_AllowWhenDisabled)) ImGui::SetTooltip("%s", why);
}

// A recording (not a scene) is being written.
bool recordingOpen() { return recordingFileOpen() && !recordingState.sceneRequested; }

bool isFolder(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

size_t kindOf(const char* fileType) {
    for (size_t kind = 0; kind < chooserKindCount; ++kind)
        if (std::strcmp(chooserKinds[kind].type, fileType) == 0) return kind;
    IM_ASSERT(false && "a file type without a chooser");
    return 0;
}

std::string& folderOf(size_t kind) { return kind == 0 ? chooserFolder : kindChoosers[kind].folder; }

// The chooser opens where the user last chose a file of its kind, while that folder is still there.
void openChooser(const char* title, const char* fileType = ".csv") {
    int selectionLimit = 1;
    appState.inputCaptured = true;
    openKind = kindOf(fileType);
    const std::string& folder = folderOf(openKind);
    const std::string start = isFolder(folder) ? joinPath(folder, ".") : std::string(".");
    kindChoosers[openKind].chooser.Open(chooserKinds[openKind].key, title, fileType, start, selectionLimit, nullptr);
}

// Some link is connected: a capture has something to record.
bool anyLinkOpen() {
    for (int index = 0; index < linkCount(); ++index)
        if (linkAt(index).portOpen) return true;
    return false;
}

// The files a capture into `path` writes, one per connected link.
std::vector<std::string> capturePaths(const std::string& path) {
    std::vector<std::string> paths;
    for (int index = 0; index < linkCount(); ++index)
        if (linkAt(index).portOpen) paths.push_back(capturePathFor(path, linkAt(index).name, linkCount() > 1));
    return paths;
}

// ---- Sections -------------------------------------------------------------------------------------

// With several sensors, which one recordings and scenes hold; fixed while one is written.
void drawSensorCombo() {
    if (linkCount() < 2) return;
    const bool busy = recordingFileOpen();
    beginDisabledLook(busy);
    moveCursor(5);
    const Link& chosen = recordedLink();
    if (!ImGui::BeginCombo("Sensor##Record Sensor", chosen.name.c_str(), 0)) {
        probeLastItem("##Record Sensor");
        endDisabledLook(busy);
        return;
    }
    for (int index = 0; index < linkCount(); ++index) {
        const bool selected = &linkAt(index) == &chosen;
        ImGui::PushID(index);
        if (ImGui::Selectable(linkAt(index).name.c_str(), selected) && !busy) recordingState.sensor = index;
        ImGui::PopID();
        probeLastItem(linkAt(index).name.c_str());
    }
    ImGui::EndCombo();
    endDisabledLook(busy);
}

void drawOpenSection() {
    moveCursor(10);
    ImGui::Text("Open & Replay");
    moveCursor(5);
    const bool greyed = replayFileOpen();
    beginDisabledLook(greyed);
    if (probedButton("OPEN RECORDING FILE", ImVec2(230, 30), "OPEN RECORDING FILE")) {
        if (firstLink().portOpen) {
            queueNotice(openingWarningPopup, {disconnectFirstLine});
        } else {
            recordPanel.openPending = true;
            openChooser("Choose File");
        }
    }
    endDisabledLook(greyed);
}

// While the rows are being indexed, a progress bar stands where the controls will be, beside the
// stop button, which gives the file up.
void drawIndexProgress() {
    if (probedButton(stopGlyph, ImVec2(0, 0), "Replay Stop")) replayState.stopRequested = true;
    ImGui::SameLine(0, -1);
    const float progress = replayIndexProgress();
    char overlay[32];
    std::snprintf(overlay, sizeof overlay, "Reading rows %d%%", static_cast<int>(progress * 100.0f));
    ImGui::ProgressBar(progress, ImVec2(ImGui::CalcItemWidth(), 0), overlay);
    probeLastItem("Replay Progress");
}

void drawReplayControls() {
    if (!appState.replayActive) return;
    ReplayState& replay = replayState;
    moveCursor(5);
    if (replayIndexing()) {
        drawIndexProgress();
        return;
    }
    if (replay.playing) {
        if (probedButton(pauseGlyph, ImVec2(0, 0), "Pause")) replay.playing = false;
    } else {
        if (probedButton(playGlyph, ImVec2(0, 0), "Play")) replay.playing = true;
    }
    ImGui::SameLine(0, -1);
    const bool paused = !replay.playing;
    beginDisabledLook(paused);
    if (probedButton(stopGlyph, ImVec2(0, 0), "Replay Stop")) replay.stopRequested = true;
    endDisabledLook(paused);
    ImGui::SameLine(0, -1);
    const int64_t first = 0;
    const int64_t last = replay.rowCount;
    const bool moved = ImGui::SliderScalar("##Play Slinder", ImGuiDataType_S64, &replay.playRow, &first, &last, "");
    const bool released = ImGui::IsItemDeactivated();
    probeLastItem("##Play Slinder");
    if (moved) seekReplayRow(replay.playRow);
    // Paused or not, the row under the slider shows once it is let go.
    if (released) showReplayRow();
}

// The start and stop buttons that every section writing a file lays out alike: start greyed while
// `busy` (saying why when nothing is connected), stop greyed unless `stoppable`. Which was pressed.
enum class SectionPress { none, start, stop };
SectionPress drawStartStop(const std::string& startLabel, const char* startProbe, bool busy, bool unconnected,
                           const std::string& stopText, const char* stopProbe, bool stoppable) {
    SectionPress press = SectionPress::none;
    beginDisabledLook(busy);
    moveCursor(5);
    if (probedButton(startLabel.c_str(), sectionButtonSize, startProbe)) press = SectionPress::start;
    endDisabledLook(busy);
    greyedTip(unconnected, connectFirstTip);
    ImGui::SameLine(0, -1);
    beginDisabledLook(!stoppable);
    if (probedButton(stopText.c_str(), sectionButtonSize, stopProbe) && stoppable) press = SectionPress::stop;
    endDisabledLook(!stoppable);
    return press;
}

void drawRecordSection() {
    moveCursor(5);
    ImGui::Text("Record");
    drawSensorCombo();
    const bool unconnected = !recordedLink().portOpen;
    const bool busy = replayFileOpen() || recordingFileOpen() || unconnected;
    const SectionPress press = drawStartStop(recordLabel, "Record Start", busy, unconnected, stopLabel, "Record Stop",
                                             !replayFileOpen() && recordingOpen());
    if (press == SectionPress::start) {
        recordPanel.savePending = true;
        openChooser("Save as..");
    } else if (press == SectionPress::stop) {
        appState.recordingActive = false;
        const std::string path = recordingState.recordPath;
        if (closeRecording()) queueNotice(recordingSucceedPopup, {"Recording data is completed.", fileLine(path)});
    }
    if (appState.recordingActive) {
        moveCursor(10);
        ImGui::TextColored(recordingRed, "%s", recordGlyph);
        ImGui::SameLine(0, -1);
        ImGui::Text("%d sec", recordingState.recordSeconds);
        probeLastItem("Recording Seconds");
    }
}

// A raw capture beside (and independent of) a recording: start, stop, and what it has written.
void drawCaptureSection() {
    moveCursor(5);
    ImGui::Text("Capture");
    const bool unconnected = !anyLinkOpen();
    const bool busy = replayFileOpen() || captureRunning() || unconnected;
    bool capturing = false;
    for (const CaptureState& capture : captures) capturing = capturing || capture.phase == CaptureState::running;
    const SectionPress press =
        drawStartStop(captureLabel, "Capture Start", busy, unconnected, captureStopLabel, "Capture Stop", capturing);
    if (press == SectionPress::start) {
        recordPanel.capturePending = true;
        openChooser("Capture as..", captureExtension);
    } else if (press == SectionPress::stop) {
        stopCapture();
    }
    if (captureRunning()) {
        moveCursor(10);
        ImGui::TextColored(recordingRed, "%s", recordGlyph);
        ImGui::SameLine(0, -1);
        ImGui::Text("%s, %d sec", formatByteCount(captureBytes()).c_str(), captureSeconds());
        probeLastItem("Capture Bytes");
    }
}

// Every connected sensor into one session file, named as the links are.
void startSession(const std::string& path) {
    std::vector<Link*> links;
    std::vector<std::string> names;
    for (int i = 0; i < linkCount(); ++i) {
        if (!linkAt(i).portOpen) continue;
        links.push_back(&linkAt(i));
        names.push_back(linkAt(i).name);
    }
    if (!links.empty()) beginSession(path, links, names);
}

// A session file beside (and independent of) recording and capture: start, stop, what it holds.
void drawSessionSection() {
    moveCursor(5);
    ImGui::Text("Session");
    const bool unconnected = !anyLinkOpen();
    const bool busy = replayFileOpen() || sessionRunning() || unconnected;
    const SectionPress press = drawStartStop(sessionLabel, "Session Start", busy, unconnected, sessionStopLabel,
                                             "Session Stop", sessionState.phase == SessionState::running);
    if (press == SectionPress::start) {
        recordPanel.sessionPending = true;
        openChooser("Record session as..", sessionExtension);
    } else if (press == SectionPress::stop) {
        stopSession();
    }
    if (sessionRunning()) {
        moveCursor(10);
        ImGui::TextColored(recordingRed, "%s", recordGlyph);
        ImGui::SameLine(0, -1);
        ImGui::Text("%llu frames, %d sec", static_cast<unsigned long long>(sessionState.shared.framesWritten.load()),
                    sessionSeconds());
        probeLastItem("Session Frames");
    }
}

void drawSceneSection() {
    moveCursor(5);
    ImGui::Text("Save Current Scene");
    const bool busy = replayFileOpen() || recordingFileOpen();
    beginDisabledLook(busy);
    moveCursor(5);
    if (probedButton(saveLabel.c_str(), sectionButtonSize, "Scene Save")) {
        // "Saved Current Scene" opens once the scene is written whole (next frame), not before.
        if (recordedLink().portOpen) {
            recordingState.sceneRequested = true;
        } else {
            queueNotice(sceneNotSavedPopup, {notConnectedLines[0], notConnectedLines[1]});
        }
    }
    endDisabledLook(busy);
    ImGui::SameLine(0, -1);
}

// Writes the frame on screen to a new file in the working directory and says where, or why not.
void exportFrame(CloudFormat format) {
    const CloudExport result = exportFrameOnScreen(format, frameOnShow.frame);
    const bool saved = result.points > 0 && result.error == 0;
    const MessagePopup popup{saved ? "Exported" : "Export Failed", saved ? checkGlyph : exclamationGlyph,
                             noticeCloseSize, "Export Notice/Close"};
    if (result.points == 0) {
        queueNotice(popup, {"Nothing to export:", "the frame on screen has no points."});
    } else if (!saved) {
        queueNotice(popup, {"Cannot write " + result.name + " in", result.folder + ":", systemReason(result.error)});
    } else {
        queueNotice(popup, {std::to_string(result.points) + " points written to " + result.name, "in " + result.folder});
    }
}

void drawExportSection() {
    moveCursor(5);
    ImGui::Text("Export Current Frame");
    moveCursor(5);
    if (probedButton("Export PLY", sectionButtonSize, "Export PLY")) exportFrame(CloudFormat::ply);
    ImGui::SameLine(0, -1);
    if (probedButton("Export PCD", sectionButtonSize, "Export PCD")) exportFrame(CloudFormat::pcd);
}

// ---- File chooser and scene completion ----------------------------------------------------------

// Only a regular file is offered for replacing; anything else of that name is refused by the writer.
bool regularFileExists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

void drawChooser() {
    const ChooserKind& kind = chooserKinds[openKind];
    FileChooser& chooser = kindChoosers[openKind].chooser;
    chooser.SetTypeColour(kind.type, kind.colour);
    if (!chooser.Show(kind.key, ImGuiWindowFlags_NoCollapse)) return;
    recordPanelChooserResult(chooser.accepted, chooser.accepted ? chooser.SelectedPathName() : std::string());
}

// While a scene is requested: create it (the writer fills it later this frame), then, once the
// writer has written it, close it and say so. A failure on the way is the writer's notice.
void completeScene() {
    if (!recordingState.sceneRequested) return;
    if (!recordingFileOpen()) {
        if (recordedLink().portOpen && !beginScene()) recordingState.sceneRequested = false;
        return;
    }
    if (appState.recordingActive) return;
    recordingState.sceneRequested = false;
    if (closeRecording()) queueNotice(savedScenePopup, {"Saved successfully.", fileLine(recordingState.sceneFileName)});
}

// ---- Pop-ups --------------------------------------------------------------------------------------

// Recording or capturing into an existing file replaces it only when the user says so.
void drawReplacePopup() {
    if (recordPanel.replaceRequested) {
        recordPanel.replaceRequested = false;
        ImGui::OpenPopup(replacePopupName);
    }
    if (!beginModal(replacePopupName)) return;
    popupGlyph(exclamationGlyph);
    ImGui::Text("%s already exists.", recordPanel.replacePath.c_str());
    ImGui::Text("Do you want to replace it?");
    if (probedButton("Replace", replaceButtonSize, "Replace File/Replace")) {
        if (recordPanel.replaceForSession) {
            if (!sessionRunning() && anyLinkOpen()) startSession(recordPanel.replacePath);
        } else if (recordPanel.replaceForCapture) {
            if (!captureRunning() && anyLinkOpen()) beginCaptures(recordPanel.captureChosenPath);
        } else if (!recordingFileOpen() && !replayFileOpen() && recordedLink().portOpen) {
            beginRecording(recordPanel.replacePath);
        }
        ImGui::CloseCurrentPopup();
    }
    ImGui::SameLine(0, -1);
    if (probedButton("Cancel", replaceButtonSize, "Replace File/Cancel")) ImGui::CloseCurrentPopup();
    ImGui::EndPopup();
}

}  // namespace

void openRecordChooser(const char* title, const char* fileType) { openChooser(title, fileType); }

FileChooser& recordChooser(const char* fileType) { return kindChoosers[kindOf(fileType)].chooser; }

void closeRecordChooser() { kindChoosers[openKind].chooser.Close(chooserKinds[openKind].key); }

bool recordChooserOpen() { return kindChoosers[openKind].chooser.armed; }

void openFileAtStart(const std::string& path) {
    const std::string extension = captureExtension;
    const bool capture = path.size() >= extension.size() && path.compare(path.size() - extension.size(), extension.size(), extension) == 0;
    if (capture) captureReplaySection.openPending = true;
    else recordPanel.openPending = true;
    recordPanelChooserResult(true, path);
}

void recordPanelChooserResult(bool accepted, const std::string& path) {
    ParsedPathName parsed;
    if (accepted && parsePathName(path, parsed) && !parsed.directory.empty() && parsed.directory[0] == '/')
        folderOf(openKind) = parsed.directory;
    if (captureReplayChooserResult(accepted, path)) return;
    if (recordPanel.openPending) {
        if (accepted) {
            // A file that is not replayed opens "Open Error" through the reader's notice.
            if (firstLink().portOpen) queueNotice(openingWarningPopup, {disconnectFirstLine});
            else openReplay(path);
        }
        recordPanel.openPending = false;
    } else if (recordPanel.savePending) {
        if (accepted && !recordingFileOpen() && !replayFileOpen() && recordedLink().portOpen) {
            if (regularFileExists(path)) {
                recordPanel.replacePath = path;
                recordPanel.replaceForCapture = false;
                recordPanel.replaceForSession = false;
                recordPanel.replaceRequested = true;
            } else {
                beginRecording(path);
            }
        }
        recordPanel.savePending = false;
    } else if (recordPanel.capturePending) {
        if (accepted && !captureRunning() && anyLinkOpen()) {
            // One question covers every file: the first that exists is named.
            std::string existing;
            for (const std::string& file : capturePaths(path))
                if (existing.empty() && regularFileExists(file)) existing = file;
            if (!existing.empty()) {
                recordPanel.replacePath = existing;
                recordPanel.captureChosenPath = path;
                recordPanel.replaceForCapture = true;
                recordPanel.replaceForSession = false;
                recordPanel.replaceRequested = true;
            } else {
                beginCaptures(path);
            }
        }
        recordPanel.capturePending = false;
    } else if (recordPanel.sessionPending) {
        if (accepted && !sessionRunning() && anyLinkOpen()) {
            if (regularFileExists(path)) {
                recordPanel.replacePath = path;
                recordPanel.replaceForCapture = false;
                recordPanel.replaceForSession = true;
                recordPanel.replaceRequested = true;
            } else {
                startSession(path);
            }
        }
        recordPanel.sessionPending = false;
    } else {
        return;
    }
    appState.inputCaptured = false;
    closeRecordChooser();
}

void drawRecordPanel(bool* open) {
    if (!beginPanel("##Record App", open)) return;
    drawOpenSection();
    drawReplayControls();
    rule();
    drawCaptureReplaySection();
    rule();
    drawRecordSection();
    rule();
    drawCaptureSection();
    rule();
    drawSessionSection();
    rule();
    drawSceneSection();
    ImGui::NewLine();
    rule();
    drawExportSection();
    drawChooser();
    completeScene();
    drawReplacePopup();
    ImGui::End();
}

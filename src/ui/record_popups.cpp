// The pop-ups of the record files, drawn by the frame loop's per-frame reader step outside any panel
// window, so they show whichever panel is open: "File End!" of the replay and the writer's failures
// ("Recording Error", "Recording Stopped"). GUI thread only.
#include "record/record.h"

#include "app/app.h"
#include "ui/panel_common.h"
#include "view/probe.h"
#include "ui/ui.h"

#include <imgui.h>

namespace {

const ImVec2 noticeCloseSize(173, 30);

// GUI thread only: the notice shown last, so each failure opens its pop-up once.
uint64_t shownNoticeSerial = 0;

void drawReplayEnd(bool ended) {
    if (ended) ImGui::OpenPopup("File End!");
    if (!ImGui::BeginPopupModal("File End!", nullptr, ImGuiWindowFlags_AlwaysAutoResize)) return;
    ImGui::Text("Reading data is over.");
    const bool close = ImGui::Button("Close");
    probeLastItem("File End!/Close");
    if (close) {
        dismissReplayEnd();
        ImGui::CloseCurrentPopup();
    }
    ImGui::EndPopup();
}

void drawRecordingNotice() {
    const RecordingNotice& notice = recordingState.notice;
    const char* title = recordNoticeTitle(notice);
    if (notice.serial != shownNoticeSerial) {
        shownNoticeSerial = notice.serial;
        ImGui::OpenPopup(title);
    }
    if (!ImGui::BeginPopupModal(title, nullptr, ImGuiWindowFlags_AlwaysAutoResize)) return;
    popupGlyph(exclamationGlyph);
    for (const std::string& line : recordNoticeLines(notice)) ImGui::Text("%s", line.c_str());
    const bool close = ImGui::Button("Close", noticeCloseSize);
    probeLastItem("Recording Notice/Close");
    if (close) ImGui::CloseCurrentPopup();
    ImGui::EndPopup();
}

}  // namespace

void readReplayFrame() {
    drawReplayEnd(advanceReplay());
    drawRecordingNotice();
}

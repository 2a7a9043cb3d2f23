// The pop-ups of the record files, drawn by the frame loop's per-frame reader step outside any panel
// window, so they show whichever panel is open: "File End!" of the replay and the writer's failures
// ("Recording Error", "Recording Stopped"). GUI thread only.
#include "record/record.h"

#include "app/app.h"
#include "ui/panel_common.h"
#include "ui/ui.h"

#include <imgui.h>

#include <string>
#include <vector>

namespace {

const MessagePopup replayEndPopup{"File End!", nullptr, ImVec2(0, 0), "File End!/Close"};
const std::vector<std::string> replayEndLines{"Reading data is over."};
const ImVec2 noticeCloseSize(173, 30);

// GUI thread only: the notice shown last, so each failure opens its pop-up once, and its lines.
uint64_t shownNoticeSerial = 0;
std::vector<std::string> shownNoticeLines;

void drawReplayEnd(bool ended) {
    if (ended) ImGui::OpenPopup(replayEndPopup.title);
    if (drawMessagePopup(replayEndPopup, replayEndLines)) dismissReplayEnd();
}

void drawRecordingNotice() {
    const RecordingNotice& notice = recordingState.notice;
    const MessagePopup popup{recordNoticeTitle(notice), exclamationGlyph, noticeCloseSize, "Recording Notice/Close"};
    if (notice.serial != shownNoticeSerial) {
        shownNoticeSerial = notice.serial;
        shownNoticeLines = recordNoticeLines(notice);
        ImGui::OpenPopup(popup.title);
    }
    drawMessagePopup(popup, shownNoticeLines);
}

}  // namespace

void readReplayFrame() {
    drawReplayEnd(advanceReplay());
    drawRecordingNotice();
}

// The pop-ups of the record files, drawn by the frame loop's per-frame reader step outside any panel
// window, so they show whichever panel is open: "File End!" of the replay, "Open Error" for a file
// that is not replayed, the writer's failures ("Recording Error", "Recording Stopped") and the end of
// every raw capture ("Capture Saved", "Capture Error", "Capture Stopped"). GUI thread only.
#include "record/record.h"

#include "app/app.h"
#include "ui/panel_common.h"
#include "ui/ui.h"

#include <imgui.h>

#include <string>
#include <vector>

namespace {

const MessagePopup replayEndPopup{"File End!", nullptr, ImVec2(0, 0), "File End!/Close"};
const char* const replayEndText = "Reading data is over.";
const ImVec2 noticeCloseSize(173, 30);
const MessagePopup replayNoticePopup{"Open Error", exclamationGlyph, noticeCloseSize, "Open Error/Close"};

// GUI thread only: the notices shown last, so each failure opens its pop-up once, and the lines of
// each pop-up, taken when it opens.
uint64_t shownNoticeSerial = 0;
std::vector<std::string> shownNoticeLines;
uint64_t shownReplayNoticeSerial = 0;
std::vector<std::string> shownReplayNoticeLines;
std::vector<std::string> shownReplayEndLines;
uint64_t shownCaptureNoticeSerial[maxLinks] = {};  // per capture slot
std::vector<std::string> shownCaptureNoticeLines;
const CaptureNotice* shownCaptureNotice = nullptr;    // the one whose title the pop-up bears

void drawReplayEnd(bool ended) {
    if (ended) {
        shownReplayEndLines = {replayEndText};
        for (std::string& line : replaySkippedLines()) shownReplayEndLines.push_back(std::move(line));
        ImGui::OpenPopup(replayEndPopup.title);
    }
    if (drawMessagePopup(replayEndPopup, shownReplayEndLines)) dismissReplayEnd();
}

void drawReplayNotice() {
    const ReplayNotice& notice = replayState.notice;
    if (notice.serial != shownReplayNoticeSerial) {
        shownReplayNoticeSerial = notice.serial;
        shownReplayNoticeLines = replayNoticeLines(notice);
        ImGui::OpenPopup(replayNoticePopup.title);
    }
    drawMessagePopup(replayNoticePopup, shownReplayNoticeLines);
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

// The captures that end in the same frame (several sensors stopped together) share one pop-up, titled
// after the first that did not end as saved, if one did not.
void drawCaptureNotice() {
    bool fresh = false;
    for (int slot = 0; slot < maxLinks; ++slot) {
        const CaptureNotice& notice = captures[slot].notice;
        if (notice.serial == shownCaptureNoticeSerial[slot]) continue;
        shownCaptureNoticeSerial[slot] = notice.serial;
        if (!fresh) shownCaptureNoticeLines.clear();
        if (!fresh || (shownCaptureNotice->kind == CaptureEnd::saved && notice.kind != CaptureEnd::saved))
            shownCaptureNotice = &notice;
        fresh = true;
        for (std::string& line : captureNoticeLines(notice)) shownCaptureNoticeLines.push_back(std::move(line));
    }
    if (shownCaptureNotice == nullptr) return;
    const bool saved = shownCaptureNotice->kind == CaptureEnd::saved;
    const MessagePopup popup{captureNoticeTitle(*shownCaptureNotice), saved ? checkGlyph : exclamationGlyph,
                             noticeCloseSize, "Capture Notice/Close"};
    if (fresh) ImGui::OpenPopup(popup.title);
    drawMessagePopup(popup, shownCaptureNoticeLines);
}

}  // namespace

void readReplayFrame() {
    drawReplayEnd(advanceReplay());
    drawReplayNotice();
    drawRecordingNotice();
    drawCaptureNotice();
}

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
uint64_t shownCaptureNoticeSerial = 0;
std::vector<std::string> shownCaptureNoticeLines;

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

void drawCaptureNotice() {
    const CaptureNotice& notice = captureState.notice;
    const bool saved = notice.kind == CaptureEnd::saved;
    const MessagePopup popup{captureNoticeTitle(notice), saved ? checkGlyph : exclamationGlyph, noticeCloseSize,
                             "Capture Notice/Close"};
    if (notice.serial != shownCaptureNoticeSerial) {
        shownCaptureNoticeSerial = notice.serial;
        shownCaptureNoticeLines = captureNoticeLines(notice);
        ImGui::OpenPopup(popup.title);
    }
    drawMessagePopup(popup, shownCaptureNoticeLines);
}

}  // namespace

void readReplayFrame() {
    drawReplayEnd(advanceReplay());
    drawReplayNotice();
    drawRecordingNotice();
    drawCaptureNotice();
}

// The pop-ups of the record files, drawn by the frame loop's per-frame reader step outside any panel
// window, so they show whichever panel is open: "File End!" of the replay, "Open Error" for a file
// that is not replayed, the writer's failures ("Recording Error", "Recording Stopped") and the end of
// every raw capture ("Capture Saved", "Capture Error", "Capture Stopped"). GUI thread only.
#include "record/mcap.h"
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

// GUI thread only: the notices queued last, so each failure opens its pop-up once.
uint64_t shownNoticeSerial = 0;
uint64_t shownReplayNoticeSerial = 0;
uint64_t shownCaptureNoticeSerial[maxLinks] = {};  // per capture slot
uint32_t shownSessionNoticeSerial = 0;

void queueReplayEnd() {
    std::vector<std::string> lines = {replayEndText};
    for (std::string& line : replaySkippedLines()) lines.push_back(std::move(line));
    queueNotice(replayEndPopup, std::move(lines), dismissReplayEnd);
}

void queueReplayNotice() {
    const ReplayNotice& notice = replayState.notice;
    if (notice.serial == shownReplayNoticeSerial) return;
    shownReplayNoticeSerial = notice.serial;
    queueNotice(replayNoticePopup, replayNoticeLines(notice));
}

void queueRecordingNotice() {
    const RecordingNotice& notice = recordingState.notice;
    if (notice.serial == shownNoticeSerial) return;
    shownNoticeSerial = notice.serial;
    queueNotice(MessagePopup{recordNoticeTitle(notice), exclamationGlyph, noticeCloseSize, "Recording Notice/Close"},
                recordNoticeLines(notice));
}

// Each capture's end in its own notice, queued: several sensors stopped together say one after the other.
void queueCaptureNotice() {
    for (int slot = 0; slot < maxLinks; ++slot) {
        const CaptureNotice& notice = captures[slot].notice;
        if (notice.serial == shownCaptureNoticeSerial[slot]) continue;
        shownCaptureNoticeSerial[slot] = notice.serial;
        const bool saved = notice.kind == CaptureEnd::saved;
        queueNotice(MessagePopup{captureNoticeTitle(notice), saved ? checkGlyph : exclamationGlyph, noticeCloseSize,
                                 "Capture Notice/Close"},
                    captureNoticeLines(notice));
    }
}

void queueSessionNotice() {
    const SessionNotice& notice = sessionState.notice;
    if (notice.serial == shownSessionNoticeSerial) return;
    shownSessionNoticeSerial = notice.serial;
    const bool saved = notice.kind == SessionEnd::saved;
    queueNotice(MessagePopup{sessionNoticeTitle(notice), saved ? checkGlyph : exclamationGlyph, noticeCloseSize,
                             "Session Notice/Close"},
                sessionNoticeLines(notice));
}

}  // namespace

void readReplayFrame() {
    if (advanceReplay()) queueReplayEnd();
    queueReplayNotice();
    queueRecordingNotice();
    queueCaptureNotice();
    queueSessionNotice();
    drawNotices();
}

// The queue of message pop-ups, and what Escape ends first. Notices raised in the same frame (a lost
// port stops a recording and a capture at once) are each shown, one after the other; Escape closes
// the open pop-up or ends a text edit before it quits. Called by the panels and the frame loop; GUI
// thread only.
#include "ui/panel_common.h"
#include "ui/panel_state.h"
#include "ui/ui.h"

#include <imgui.h>
#include <imgui_internal.h>

#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Notice {
    MessagePopup popup;
    std::vector<std::string> lines;
    void (*closed)() = nullptr;
};

// Process-wide state of the notices (GUI thread only): waiting oldest first, the front one shown
// once headOpened. Written by queueNotice and drawNotices.
std::deque<Notice> notices;
bool headOpened = false;

}  // namespace

void queueNotice(const MessagePopup& popup, std::vector<std::string> lines, void (*closed)()) {
    notices.push_back(Notice{popup, std::move(lines), closed});
}

void drawNotices() {
    if (notices.empty()) return;
    Notice& head = notices.front();
    if (!headOpened) {
        // A question or the file chooser on screen keeps its place; the notice follows it.
        if (ImGui::IsPopupOpen("", ImGuiPopupFlags_AnyPopupId)) return;
        ImGui::OpenPopup(head.popup.title);
        headOpened = true;
    }
    // Closed by "Close", or by Escape (which closes the pop-up on screen, whichever it is).
    const bool closed = drawMessagePopup(head.popup, head.lines) || !ImGui::IsPopupOpen(head.popup.title);
    if (!closed) return;
    void (*whenClosed)() = head.closed;
    notices.pop_front();
    headOpened = false;
    if (whenClosed != nullptr) whenClosed();
}

std::vector<std::string> shownNoticeLines() {
    return headOpened ? notices.front().lines : std::vector<std::string>();
}

bool escapeFromScene() {
    // A text field being edited sees Escape itself this frame and ends the edit (its text reverted).
    if (ImGui::GetIO().WantTextInput) return false;
    ImGuiContext& g = *GImGui;
    const int openPopups = g.OpenPopupStack.Size;
    if (openPopups == 0) return true;
    // The file chooser asked for an answer: Escape is its Cancel. Anything open over it closes first.
    if (openPopups == 1 && recordChooserOpen()) {
        recordPanelChooserResult(false, std::string());
    } else {
        ImGui::ClosePopupToLevel(openPopups - 1, true);
    }
    return false;
}

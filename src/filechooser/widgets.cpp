// The widgets the file chooser and the panels above it share: probed buttons, the disabled look, and
// the report of where a widget was drawn, to the test-only probe or (QUARVIS_PROBE_LOG=FILE, for the
// end-to-end tests) to a log file. GUI thread only.
#include "filechooser/filechooser.h"

#include "app/app.h"

#include <imgui_internal.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace {

struct LoggedItem {
    ImVec4 rect;
    int frame;  // the GUI frame in which the label was last drawn
};

// GUI thread only: the probe log and what was last logged per label.
FILE* probeLog = nullptr;
std::map<std::string, LoggedItem> loggedItems;

// One line "label<TAB>x0<TAB>y0<TAB>x1<TAB>y1" whenever a label appears (it was not drawn in the
// frame before) or moves, so a test can both find a widget and wait for it to show.
void logProbe(const char* label, float minX, float minY, float maxX, float maxY) {
    const ImVec4 rect(minX, minY, maxX, maxY);
    const int frame = ImGui::GetFrameCount();
    auto [entry, added] = loggedItems.try_emplace(label, LoggedItem{rect, frame});
    LoggedItem& last = entry->second;
    const bool moved = last.rect.x != rect.x || last.rect.y != rect.y || last.rect.z != rect.z || last.rect.w != rect.w;
    const bool appeared = last.frame < frame - 1;
    last = LoggedItem{rect, frame};
    if (!added && !moved && !appeared) return;
    std::fprintf(probeLog, "%s\t%.0f\t%.0f\t%.0f\t%.0f\n", label, minX, minY, maxX, maxY);
    std::fflush(probeLog);
}

// At start-up, before any widget is drawn: the viewer logs where its widgets go when asked to.
bool installProbeLog() {
    const char* path = std::getenv("QUARVIS_PROBE_LOG");
    if (path == nullptr || *path == '\0') return false;
    probeLog = std::fopen(path, "w");
    if (probeLog == nullptr) return false;
    itemProbe = &logProbe;
    return true;
}
const bool probeLogInstalled = installProbeLog();

}  // namespace

void probeLastItem(const char* label) {
    if (itemProbe == nullptr) return;
    const ImVec2 min = ImGui::GetItemRectMin(), max = ImGui::GetItemRectMax();
    itemProbe(label, min.x, min.y, max.x, max.y);
}

bool probedButton(const char* label, ImVec2 size, const char* probe) {
    const bool pressed = ImGui::Button(label, size);
    probeLastItem(probe != nullptr ? probe : label);
    return pressed;
}

void beginDisabledLook(bool disabled) {
    if (!disabled) return;
    ImGui::PushItemFlag(ImGuiItemFlags_Disabled, true);
    ImGui::PushStyleVar(ImGuiStyleVar_Alpha, ImGui::GetStyle().Alpha * 0.5f);
}

void endDisabledLook(bool disabled) {
    if (!disabled) return;
    ImGui::PopItemFlag();
    ImGui::PopStyleVar();
}

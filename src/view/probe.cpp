// The test-only item probe (see probe.h). Headless tests install their own; end-to-end tests start
// the viewer with QUARVIS_PROBE_LOG=FILE and read from that file where each widget was drawn.
#include "view/probe.h"

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
void logProbe(const char* label, ImVec2 min, ImVec2 max) {
    const ImVec4 rect(min.x, min.y, max.x, max.y);
    const int frame = ImGui::GetFrameCount();
    auto [entry, added] = loggedItems.try_emplace(label, LoggedItem{rect, frame});
    LoggedItem& last = entry->second;
    const bool moved = last.rect.x != rect.x || last.rect.y != rect.y || last.rect.z != rect.z || last.rect.w != rect.w;
    const bool appeared = last.frame < frame - 1;
    last = LoggedItem{rect, frame};
    if (!added && !moved && !appeared) return;
    std::fprintf(probeLog, "%s\t%.0f\t%.0f\t%.0f\t%.0f\n", label, min.x, min.y, max.x, max.y);
    std::fflush(probeLog);
}

ItemProbe probeFromEnvironment() {
    const char* path = std::getenv("QUARVIS_PROBE_LOG");
    if (path == nullptr || *path == '\0') return nullptr;
    probeLog = std::fopen(path, "w");
    return probeLog != nullptr ? &logProbe : nullptr;
}

}  // namespace

// Process-wide: set by tests, or from the environment at start-up.
ItemProbe itemProbe = probeFromEnvironment();

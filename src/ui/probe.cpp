// The test-only item probe (see probe.h). Headless tests install their own; end-to-end tests start
// the viewer with QUARVIS_PROBE_LOG=FILE and read from that file where each widget was drawn.
#include "ui/probe.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace {

// GUI thread only: the probe log and the rectangle last logged per label.
FILE* probeLog = nullptr;
std::map<std::string, ImVec4> loggedRects;

// One line "label<TAB>x0<TAB>y0<TAB>x1<TAB>y1" whenever a label is drawn somewhere new.
void logProbe(const char* label, ImVec2 min, ImVec2 max) {
    const ImVec4 rect(min.x, min.y, max.x, max.y);
    auto [entry, added] = loggedRects.try_emplace(label, rect);
    const ImVec4& last = entry->second;
    if (!added && last.x == rect.x && last.y == rect.y && last.z == rect.z && last.w == rect.w) return;
    entry->second = rect;
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

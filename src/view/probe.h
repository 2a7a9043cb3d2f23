// Test-only hook through which widgets (file chooser and panels alike) report where they were drawn, so headless tests can click
// them by label. Null in the viewer, where a report costs one pointer test. GUI thread only.
#pragma once

#include <imgui.h>

using ItemProbe = void (*)(const char* label, ImVec2 min, ImVec2 max);
extern ItemProbe itemProbe;

// Reports the rectangle of the item just submitted under the given label.
inline void probeLastItem(const char* label) {
    if (itemProbe != nullptr) itemProbe(label, ImGui::GetItemRectMin(), ImGui::GetItemRectMax());
}

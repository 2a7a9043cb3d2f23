// The link health lines under the connection panel's buttons: frame rate, good frames, error
// counters and the line's load, refreshed a few times a second. Drawn by the connection panel.
#include "app/app.h"
#include "link/link.h"
#include "ui/panel_state.h"

#include <imgui.h>

// Process-wide state of the health lines (GUI thread only); see panel_state.h.
LinkHealth linkHealth;

namespace {

constexpr float healthTopGap = 20.0f;
constexpr float healthIndent = 10.0f;

// Growth of a counter since the last sample. A smaller value means the grabber zeroed the counters
// in between (a new connection), so everything counted since then is new.
uint32_t growth(uint32_t previous, uint32_t current) {
    return current >= previous ? current - previous : current;
}

}  // namespace

LinkCounters readLinkCounters() {
    return LinkCounters{linkStatistics.get(counterTotalBytes),  linkStatistics.get(counterGoodFrames),
                        linkStatistics.get(counterLostSyncs),   linkStatistics.get(counterSizeErrors),
                        linkStatistics.get(counterChecksumErrors), linkStatistics.get(counterOverruns)};
}

void sampleLinkHealth(LinkHealth& health, double now, const LinkCounters& counters, bool connected) {
    if (health.sampled && now - health.lastSampleTime < linkHealthRefreshSeconds) return;
    if (connected && health.sampled && now > health.lastSampleTime) {
        const float seconds = static_cast<float>(now - health.lastSampleTime);
        health.framesPerSecond = static_cast<float>(growth(health.lastFrames, counters.goodFrames)) / seconds;
        health.bytesPerSecond = static_cast<float>(growth(health.lastBytes, counters.bytes)) / seconds;
    } else {
        health.framesPerSecond = 0.0f;
        health.bytesPerSecond = 0.0f;
    }
    health.sampled = true;
    health.lastSampleTime = now;
    health.lastBytes = counters.bytes;
    health.lastFrames = counters.goodFrames;
    health.goodFrames = counters.goodFrames;
    health.lostSyncs = counters.lostSyncs;
    health.sizeErrors = counters.sizeErrors;
    health.checksumErrors = counters.checksumErrors;
    health.overruns = counters.overruns;
}

float linkLoad(const LinkHealth& health) {
    if (health.baudRate <= 0) return 0.0f;
    return health.bytesPerSecond * static_cast<float>(lineBitsPerByte) / static_cast<float>(health.baudRate);
}

void drawLinkHealth() {
    if (!linkHealth.everConnected) return;
    sampleLinkHealth(linkHealth, ImGui::GetTime(), readLinkCounters(), appState.portOpen);
    ImGui::SetCursorPosY(ImGui::GetCursorPosY() + healthTopGap);
    ImGui::Separator();
    ImGui::Indent(healthIndent);
    ImGui::Text("%s", appState.portOpen ? "Link health" : "Link health (last connection)");
    ImGui::Text("Frames per second: %.1f", linkHealth.framesPerSecond);
    ImGui::Text("Good frames: %u", linkHealth.goodFrames);
    ImGui::Text("Lost syncs: %u", linkHealth.lostSyncs);
    ImGui::Text("Size errors: %u", linkHealth.sizeErrors);
    ImGui::Text("Checksum errors: %u", linkHealth.checksumErrors);
    ImGui::Text("Overruns: %u", linkHealth.overruns);
    ImGui::Text("Link load: %.0f%% of %d baud", linkLoad(linkHealth) * 100.0f, linkHealth.baudRate);
    ImGui::Unindent(healthIndent);
}

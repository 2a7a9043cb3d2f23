// The link health lines under the connection panel's buttons: frame rate, good frames, error
// counters and the line's load, refreshed a few times a second, the rates taken over the arrivals
// of the last seconds. Drawn by the connection panel.
#include "app/app.h"
#include "link/link.h"
#include "ui/panel_state.h"

#include <imgui.h>

#include <cinttypes>

// Process-wide state of the health lines, one per link (GUI thread only); see panel_state.h.
LinkHealth sensorHealth[maxLinks];
LinkHealth& linkHealth = sensorHealth[0];

namespace {

constexpr float healthTopGap = 20.0f;
constexpr float healthIndent = 10.0f;
// Arrivals closer together than this share one entry, so the ring always spans the whole window
// however fast the GUI runs.
constexpr double arrivalSpacing = rateWindowSeconds / (ArrivalWindow::capacity - 1);

// Growth of a counter since the last frame. A smaller value means the grabber zeroed the counters
// in between (a new connection), so everything counted since then is new.
uint64_t growth(uint64_t previous, uint64_t current) {
    return current >= previous ? current - previous : current;
}

}  // namespace

void ArrivalWindow::note(double now, uint64_t growth) {
    if (growth == 0) return;
    total += growth;
    const int newest = (oldest + count - 1) % capacity;
    if (count > 0 && now - times[newest] < arrivalSpacing) {
        times[newest] = now;
        totals[newest] = total;
        return;
    }
    if (count == capacity) {
        oldest = (oldest + 1) % capacity;
        --count;
    }
    const int next = (oldest + count) % capacity;
    times[next] = now;
    totals[next] = total;
    ++count;
}

float ArrivalWindow::rate(double now) const {
    if (count < 2) return 0.0f;
    const int newest = (oldest + count - 1) % capacity;
    if (now - times[newest] > staleSeconds) return 0.0f;
    int first = oldest;
    while (first != newest && times[first] < now - rateWindowSeconds) first = (first + 1) % capacity;
    const double span = times[newest] - times[first];
    if (span <= 0.0) return 0.0f;
    return static_cast<float>(static_cast<double>(totals[newest] - totals[first]) / span);
}

void ArrivalWindow::clear() {
    oldest = 0;
    count = 0;
}

LinkCounters readLinkCounters(const Link& link) {
    const LinkStatistics& s = link.statistics;
    return LinkCounters{s.get(counterTotalBytes), s.get(counterGoodFrames),     s.get(counterLostSyncs),
                        s.get(counterSizeErrors), s.get(counterChecksumErrors), s.get(counterOverruns)};
}

void sampleLinkHealth(LinkHealth& health, double now, const LinkCounters& counters, bool connected) {
    if (!connected) {
        health.frameArrivals.clear();
        health.byteArrivals.clear();
    } else if (health.sampled) {
        health.frameArrivals.note(now, growth(health.lastFrames, counters.goodFrames));
        health.byteArrivals.note(now, growth(health.lastBytes, counters.bytes));
    }
    health.lastBytes = counters.bytes;
    health.lastFrames = counters.goodFrames;
    const bool firstSample = !health.sampled;
    health.sampled = true;
    if (!firstSample && now - health.lastRefreshTime < linkHealthRefreshSeconds) return;
    health.lastRefreshTime = now;
    health.framesPerSecond = health.frameArrivals.rate(now);
    health.bytesPerSecond = health.byteArrivals.rate(now);
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

void drawLinkHealth(const Link& link, LinkHealth& health) {
    if (!health.everConnected) return;
    sampleLinkHealth(health, ImGui::GetTime(), readLinkCounters(link), link.portOpen);
    ImGui::SetCursorPosY(ImGui::GetCursorPosY() + healthTopGap);
    ImGui::Separator();
    ImGui::Indent(healthIndent);
    ImGui::Text("%s", link.portOpen ? "Link health" : "Link health (last connection)");
    ImGui::Text("Frames per second: %.1f", health.framesPerSecond);
    ImGui::Text("Good frames: %" PRIu64, health.goodFrames);
    ImGui::Text("Lost syncs: %" PRIu64, health.lostSyncs);
    ImGui::Text("Size errors: %" PRIu64, health.sizeErrors);
    ImGui::Text("Checksum errors: %" PRIu64, health.checksumErrors);
    ImGui::Text("Overruns: %" PRIu64, health.overruns);
    ImGui::Text("Link load: %.0f%% of %d baud", linkLoad(health) * 100.0f, health.baudRate);
    ImGui::Unindent(healthIndent);
}

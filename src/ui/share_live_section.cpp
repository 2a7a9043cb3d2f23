// The connection panel's "Share live": the connected sensors served to Foxglove clients on the
// address of the settings, the address bound or why it could not be, and the clients with what each
// was sent and dropped. GUI thread only; drawn by the connection panel, stopped by the exit sequence.
#include "app/app.h"
#include "bridge/live_share.h"
#include "link/link.h"
#include "ui/panel_common.h"
#include "ui/panel_state.h"
#include "ui/ui.h"

#include <imgui.h>

#include <cstdio>
#include <memory>

namespace {

constexpr const char* defaultShareAddress = "127.0.0.1:8765";
constexpr size_t shareAddressRoom = 128;

// Process-wide state of the live share, GUI thread only (written and read here; the settings read
// and set the address through shareLiveAddress/setShareLiveAddress).
struct ShareLiveState {
    std::unique_ptr<LiveShare> share;      // while sharing
    char address[shareAddressRoom] = {};   // the field as the user edits it
    std::string served;                    // "127.0.0.1:8765" while sharing
    std::string failure;                   // why the last start failed, for the user
};
ShareLiveState shareLive;

void ensureAddress() {
    if (shareLive.address[0] == '\0') std::snprintf(shareLive.address, shareAddressRoom, "%s", defaultShareAddress);
}

void startSharing() {
    std::string host;
    uint16_t port = 0;
    if (!parseShareAddress(shareLive.address, host, port)) {
        shareLive.failure = std::string("Cannot share live on ") + shareLive.address +
                            ": not an address with a port, such as 127.0.0.1:8765";
        return;
    }
    auto share = std::make_unique<LiveShare>();
    const BridgeStartResult started = share->start(host, port);
    if (!started.ok) {
        shareLive.failure = "Cannot share live: " + started.error;
        if (appState.debugPrint) logPrintf("share live: %s\n", started.error.c_str());
        return;
    }
    const bool v6 = host.find(':') != std::string::npos;
    shareLive.served = (v6 ? "[" + host + "]" : host) + ":" + std::to_string(started.port);
    shareLive.failure.clear();
    shareLive.share = std::move(share);
    if (appState.debugPrint) logPrintf("share live: serving on %s\n", shareLive.served.c_str());
}

void shareLinksExcept(const Link* left) {
    std::vector<Link*> links;
    for (int index = 0; index < linkCount(); ++index)
        if (&linkAt(index) != left) links.push_back(&linkAt(index));
    shareLive.share->setSensors(links);
}

}  // namespace

void unshareSensor(const Link& link) {
    if (shareLive.share) shareLinksExcept(&link);
}

void stopSharingLive() {
    shareLive.share.reset();
    shareLive.served.clear();
}

std::string shareLiveAddress() {
    ensureAddress();
    return shareLive.address;
}

void setShareLiveAddress(const std::string& address) {
    if (!address.empty()) std::snprintf(shareLive.address, shareAddressRoom, "%s", address.c_str());
}

void drawShareLiveSection() {
    ensureAddress();
    moveCursor(15);
    bool sharing = shareLive.share != nullptr;
    if (sharing) beginDisabledLook();
    ImGui::SetNextItemWidth(160);
    ImGui::InputText("##share address", shareLive.address, shareAddressRoom,
                     sharing ? ImGuiInputTextFlags_ReadOnly : ImGuiInputTextFlags_None);
    probeLastItem("Share address");
    if (sharing) endDisabledLook();
    ImGui::SameLine();
    if (ImGui::Checkbox("Share live", &sharing)) {
        if (sharing) startSharing();
        else stopSharingLive();
    }
    probeLastItem("Share live");
    if (!shareLive.failure.empty()) ImGui::TextWrapped("%s", shareLive.failure.c_str());
    if (!shareLive.share) return;

    // Sensors added while sharing are advertised here (removed ones by unshareSensor).
    shareLinksExcept(nullptr);
    ImGui::Text("Serving on %s", shareLive.served.c_str());
    const std::vector<BridgeClientInfo> clients = shareLive.share->clients();
    if (clients.empty()) ImGui::TextUnformatted("No client connected");
    for (const BridgeClientInfo& client : clients) {
        ImGui::Text("%s: sent %llu, dropped %llu", client.address.c_str(),
                    static_cast<unsigned long long>(client.sent), static_cast<unsigned long long>(client.dropped));
        probeLastItem(("Share client " + std::to_string(client.id)).c_str());
    }
}

// The connection panel (port and baud rate, connect, disconnect) and the per-frame liveness probe of
// an open port. Called by the frame loop on the GUI thread.
//
// Index: placePanel / resetPortList / disabled look / connect and disconnect / liveness probe /
//        the panel / warning pop-ups / remembered choices
#include "app/app.h"
#include "link/link.h"
#include "ui/panel_state.h"
#include "view/probe.h"
#include "ui/ui.h"
#include "ui/panel_common.h"

#include <imgui.h>

#include <cstdlib>
#include <string>
#include <vector>

const char* const baudLabels[baudLabelCount] = {"57600", "460800", "921600", "1500000"};
const char* const baudPlaceholder = "SELECT BAUDRATE";

// Process-wide state of the connection panel (GUI thread only); see panel_state.h.
ConnectionPanelState connectionPanel;

namespace {

const ImVec2 linkButtonSize(210, 30);
const ImVec2 closeButtonSize(173, 30);
const MessagePopup connectWarning{"Connect Warning", exclamationGlyph, closeButtonSize, "Close"};
const MessagePopup disconnectWarning{"Disconnect Warning", exclamationGlyph, closeButtonSize, "Close"};
const std::vector<std::string> connectWarningLines{"Stop the recorded file playing first."};
const std::vector<std::string> disconnectWarningLines{"Stop recording first."};

// Opens the chosen port and starts the workers. The port is open and portOpen set before the
// workers wake, so the grabber never reads a closed port. True on success.
bool connectToSensor() {
    const int code = connectLink(connectionPanel.portLabel.c_str(), appState.baudRate);
    if (appState.debugPrint) logPrintf("serial open code: %d\n", code);
    if (code != 0) {
        appState.portLost = true;
        resetPortList();
        return false;
    }
    appState.portLost = false;
    connectionPanel.connectedPort = connectionPanel.portLabel;
    linkHealth.everConnected = true;
    linkHealth.baudRate = appState.baudRate;
    return true;
}

// A remembered port is offered again only when it is there now: listing opens every port, so it is
// done once, when the user first looks at the panel, not at start.
void preselectRememberedPort() {
    if (!connectionPanel.preselectPending) return;
    connectionPanel.preselectPending = false;
    resetPortList();
    enumeratePorts();
    for (size_t i = 1; i < portList.size(); ++i) {
        if (portList[i] != connectionPanel.connectedPort) continue;
        connectionPanel.portLabel = portList[i];
        break;
    }
    connectionPanel.portRescanPending = true;  // as after a pick: the next opening lists afresh
}

void drawPortCombo() {
    // An open combo's last item is its pop-up, so the box reports itself only while closed.
    if (!ImGui::BeginCombo("##Port Combo", connectionPanel.portLabel.c_str(), 0)) {
        probeLastItem("##Port Combo");
        return;
    }
    if (connectionPanel.portRescanPending) {
        resetPortList();
        enumeratePorts();
        connectionPanel.portRescanPending = false;
    }
    for (size_t i = 1; i < portList.size(); ++i) {
        const std::string& name = portList[i];
        const bool selected = name == connectionPanel.portLabel;
        if (ImGui::Selectable(name.c_str(), selected, 0, ImVec2(0, 0))) {
            connectionPanel.portLabel = name;
            connectionPanel.portRescanPending = true;
        }
        probeLastItem(name.c_str());
        if (selected) ImGui::SetItemDefaultFocus();
    }
    ImGui::EndCombo();
}

void drawRescanButton() {
    ImGui::SameLine(0, -1);
    ImGui::PushStyleVar(ImGuiStyleVar_ButtonTextAlign, ImVec2(0.5f, 0.5f));
    if (ImGui::Button(rescanGlyph, ImVec2(0, 0))) connectionPanel.portRescanPending = true;
    probeLastItem("##Rescan");
    ImGui::PopStyleVar();
}

void drawBaudCombo() {
    if (!ImGui::BeginCombo("##Baud Combo", connectionPanel.baudLabel, 0)) {
        probeLastItem("##Baud Combo");
        return;
    }
    for (const char* entry : baudLabels) {
        const bool selected = entry == connectionPanel.baudLabel;
        if (ImGui::Selectable(entry, selected, 0, ImVec2(0, 0))) {
            connectionPanel.baudLabel = entry;
            appState.baudRate = std::atoi(entry);
        }
        probeLastItem(entry);
        if (selected) ImGui::SetItemDefaultFocus();
    }
    ImGui::EndCombo();
}

}  // namespace

void resetPortList() {
    portList.clear();
    portList.emplace_back(portPlaceholder);
    connectionPanel.portLabel = portPlaceholder;
}

// Runs every frame after the panels, whether or not the connection panel is shown, so a pulled
// cable is noticed at once: the banner shows, the workers stop polling a dead port, and the panel
// offers a fresh choice the next time it is drawn.
void checkPortAlive() {
    if (!appState.portOpen) return;
    if (!serialLink.lost()) return;
    if (appState.debugPrint) logPrintf("code: %d\n", 1);
    appState.portLost = true;
    disconnect();
    connectionPanel.panelConnected = false;
    resetPortList();
}

void drawConnectionPanel(bool* open) {
    if (!beginPanel("##Ostrel App", open)) return;
    const bool connected = connectionPanel.panelConnected;
    if (!connected) preselectRememberedPort();

    moveCursor(15);
    if (connected) beginDisabledLook();
    drawPortCombo();
    drawRescanButton();
    moveCursor(15);
    drawBaudCombo();
    if (connected) endDisabledLook();

    bool toggle = false;
    const bool chosen = connectionPanel.baudLabel != baudPlaceholder && connectionPanel.portLabel != portPlaceholder;
    if (chosen) {
        moveCursor(50);
        if (connected) beginDisabledLook();
        if (ImGui::Button("Connect to Sensor", linkButtonSize)) {
            if (appState.replayActive) ImGui::OpenPopup(connectWarning.title);
            else if (connectToSensor()) toggle = true;
        }
        probeLastItem("Connect to Sensor");
        if (connected) endDisabledLook();

        moveCursor(10);
        if (!connected) beginDisabledLook();
        if (ImGui::Button("Disconnect from Sensor", linkButtonSize)) {
            if (appState.recordingActive) {
                ImGui::OpenPopup(disconnectWarning.title);
            } else {
                toggle = true;
                disconnect();
            }
        }
        probeLastItem("Disconnect from Sensor");
        if (!connected) endDisabledLook();
    }
    if (toggle) connectionPanel.panelConnected = !connectionPanel.panelConnected;

    drawLinkHealth();

    drawMessagePopup(connectWarning, connectWarningLines);
    drawMessagePopup(disconnectWarning, disconnectWarningLines);
    ImGui::End();
}

bool offeredBaudRate(int32_t baudRate) {
    for (const char* entry : baudLabels)
        if (std::atoi(entry) == baudRate) return true;
    return false;
}

ConnectionChoice connectionChoice() {
    const bool picked = connectionPanel.baudLabel != baudPlaceholder;
    return ConnectionChoice{connectionPanel.connectedPort, picked ? appState.baudRate.load() : 0};
}

void preselectConnection(const ConnectionChoice& choice) {
    for (const char* entry : baudLabels) {
        if (std::atoi(entry) != choice.baudRate) continue;
        connectionPanel.baudLabel = entry;
        appState.baudRate = choice.baudRate;
    }
    connectionPanel.connectedPort = choice.port;
    connectionPanel.preselectPending = !choice.port.empty();
}

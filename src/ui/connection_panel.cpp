// The connection panel (port and baud rate, connect, disconnect) and the per-frame liveness probe of
// an open port. Called by the frame loop on the GUI thread.
//
// Index: Pop-ups and their texts | Connect | Port combo, rescan, ports left out, baud combo | Ports
//        left out, port list, liveness probe, the panel | Remembered choices.
#include "app/app.h"
#include "link/link.h"
#include "ui/panel_state.h"
#include "filechooser/filechooser.h"
#include "ui/ui.h"
#include "ui/panel_common.h"

#include <imgui.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
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
const MessagePopup connectError{"Connect Error", exclamationGlyph, closeButtonSize, "Connect Error/Close"};
// Serial devices belong to this group on Debian; its members may open them.
constexpr const char* serialGroup = "dialout";

bool refusedForPermission(const PortFailure& failure) { return failure.error == EACCES || failure.error == EPERM; }

// ---- Pop-ups and their texts --------------------------------------------------------------------

std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> connectErrorLines(const PortFailure& failure, int baudRate) {
    std::vector<std::string> lines{"Cannot open " + failure.port + " at " + std::to_string(baudRate) + " baud:",
                                   failure.reason + "."};
    if (refusedForPermission(failure)) {
        lines.push_back(std::string("To get access, add yourself to the ") + serialGroup + " group");
        lines.push_back(std::string("(sudo adduser $USER ") + serialGroup + "), then log out and in.");
    }
    return lines;
}

// ---- Connect ------------------------------------------------------------------------------------

// Opens the chosen port and starts the workers. The port is open and portOpen set before the
// workers wake, so the grabber never reads a closed port. True on success.
bool connectToSensor() {
    const int code = firstLink().open(connectionPanel.portLabel.c_str(), firstLink().baudRate);
    if (appState.debugPrint) logPrintf("serial open code: %d\n", code);
    if (code != 0) {
        firstLink().portLost = true;
        connectionPanel.connectErrorLines = connectErrorLines(firstLink().failure, firstLink().baudRate);
        ImGui::OpenPopup(connectError.title);
        resetPortList();
        return false;
    }
    firstLink().portLost = false;
    connectionPanel.connectedPort = connectionPanel.portLabel;
    linkHealth.everConnected = true;
    linkHealth.baudRate = firstLink().baudRate;
    return true;
}

// A remembered port is offered again only when it is there now: the list is made once, when the
// user first looks at the panel, not at start.
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

// ---- Port combo, rescan, ports left out, baud combo ---------------------------------------------

const PortDetails* portDetailsOf(const std::string& name) {
    for (const PortDetails& details : portDetails)
        if (details.name == name) return &details;
    return nullptr;
}

// Beside a listed port: a mark when the user may not open it; on hover, what the system says of it.
void drawPortDetails(const PortDetails& details) {
    if (!details.permitted) {
        ImGui::SameLine(0, -1);
        ImGui::TextDisabled("(no permission)");
        probeLastItem("No Permission");
    }
    if (!ImGui::IsItemHovered()) return;
    ImGui::BeginTooltip();
    if (!details.description.empty()) ImGui::Text("%s", details.description.c_str());
    if (!details.usbIds.empty()) ImGui::Text("USB %s", details.usbIds.c_str());
    if (!details.serialNumber.empty()) ImGui::Text("Serial number %s", details.serialNumber.c_str());
    if (!details.permitted) ImGui::Text("You may not open this port.");
    ImGui::EndTooltip();
}

// The list drops down as wide as its longest name (a by-id path runs to 60 characters and more).
void fitPortListWidth() {
    float widest = ImGui::CalcItemWidth();
    for (const std::string& name : portList)
        widest = std::max(widest, ImGui::CalcTextSize(name.c_str()).x + 2 * ImGui::GetStyle().FramePadding.x);
    ImGui::SetNextWindowSizeConstraints(ImVec2(widest, 0.0f), ImVec2(FLT_MAX, FLT_MAX));
}

void drawPortCombo() {
    fitPortListWidth();
    // An open combo's last item is its pop-up, so the box reports itself only while closed.
    if (!ImGui::BeginCombo("##Port Combo", connectionPanel.portLabel.c_str(), 0)) {
        probeLastItem("##Port Combo");
        // A name longer than the box shows whole when the pointer rests on it.
        if (ImGui::IsItemHovered() && ImGui::CalcTextSize(connectionPanel.portLabel.c_str()).x > ImGui::GetItemRectSize().x)
            ImGui::SetTooltip("%s", connectionPanel.portLabel.c_str());
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
        const PortDetails* details = portDetailsOf(name);
        if (ImGui::Selectable(name.c_str(), selected, 0, ImVec2(0, 0))) {
            connectionPanel.portLabel = name;
            connectionPanel.portRescanPending = true;
        }
        probeLastItem(name.c_str());
        if (details != nullptr) drawPortDetails(*details);
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

// Ports the user may not open are named, with their reasons, on hover.
void drawPortsLeftOut() {
    if (portsLeftOut.empty()) return;
    moveCursor(5);
    ImGui::TextWrapped("%s", portsLeftOutLine().c_str());
    probeLastItem("Ports Left Out");
    if (!ImGui::IsItemHovered()) return;
    ImGui::BeginTooltip();
    for (const PortFailure& failure : portsLeftOut) ImGui::Text("%s: %s", failure.port.c_str(), failure.reason.c_str());
    ImGui::EndTooltip();
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
            firstLink().baudRate = std::atoi(entry);
        }
        probeLastItem(entry);
        if (selected) ImGui::SetItemDefaultFocus();
    }
    ImGui::EndCombo();
}

}  // namespace

// ---- Ports left out, port list, liveness probe, the panel ---------------------------------------

std::string portsLeftOutLine() {
    std::vector<std::string> reasons;
    bool permission = false;
    for (const PortFailure& failure : portsLeftOut) {
        const std::string reason = lowerCase(failure.reason);
        if (std::find(reasons.begin(), reasons.end(), reason) == reasons.end()) reasons.push_back(reason);
        permission = permission || refusedForPermission(failure);
    }
    const size_t count = portsLeftOut.size();
    std::string line = std::to_string(count) + (count == 1 ? " port" : " ports") + " cannot be opened: ";
    for (size_t i = 0; i < reasons.size(); ++i) line += (i == 0 ? "" : ", ") + reasons[i];
    if (permission) line += std::string(" (join the ") + serialGroup + " group, then log out and in)";
    return line;
}

void resetPortList() {
    portsLeftOut.clear();
    portDetails.clear();
    portList.clear();
    portList.emplace_back(portPlaceholder);
    connectionPanel.portLabel = portPlaceholder;
}

// Runs every frame after the panels, whether or not the connection panel is shown, so a pulled
// cable is noticed at once: the banner shows, the workers stop polling a dead port, and the panel
// offers a fresh choice the next time it is drawn.
void checkPortAlive() {
    if (!firstLink().checkLost()) return;
    if (appState.debugPrint) logPrintf("code: %d\n", 1);
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
    drawPortsLeftOut();
    moveCursor(15);
    drawBaudCombo();
    if (connected) endDisabledLook();

    bool toggle = false;
    const bool chosen = connectionPanel.baudLabel != baudPlaceholder && connectionPanel.portLabel != portPlaceholder;
    if (chosen) {
        moveCursor(50);
        if (connected) beginDisabledLook();
        if (ImGui::Button("Connect to Sensor", linkButtonSize)) {
            if (appState.replayActive || firstLink().captureOpen()) ImGui::OpenPopup(connectWarning.title);
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
                firstLink().close();
            }
        }
        probeLastItem("Disconnect from Sensor");
        if (!connected) endDisabledLook();
    }
    if (toggle) connectionPanel.panelConnected = !connectionPanel.panelConnected;

    drawLinkHealth();

    drawMessagePopup(connectWarning, connectWarningLines);
    drawMessagePopup(disconnectWarning, disconnectWarningLines);
    drawMessagePopup(connectError, connectionPanel.connectErrorLines);
    ImGui::End();
}

// ---- Remembered choices -------------------------------------------------------------------------

bool offeredBaudRate(int32_t baudRate) {
    for (const char* entry : baudLabels)
        if (std::atoi(entry) == baudRate) return true;
    return false;
}

ConnectionChoice connectionChoice() {
    const bool picked = connectionPanel.baudLabel != baudPlaceholder;
    return ConnectionChoice{connectionPanel.connectedPort, picked ? firstLink().baudRate.load() : 0};
}

void preselectConnection(const ConnectionChoice& choice) {
    for (const char* entry : baudLabels) {
        if (std::atoi(entry) != choice.baudRate) continue;
        connectionPanel.baudLabel = entry;
        firstLink().baudRate = choice.baudRate;
    }
    connectionPanel.connectedPort = choice.port;
    connectionPanel.preselectPending = !choice.port.empty();
}

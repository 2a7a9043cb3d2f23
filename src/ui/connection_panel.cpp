// The connection panel (port and baud rate, connect, disconnect; with several sensors a section for
// each, with its name), the per-frame liveness probe of every open port and the lost-port banner's
// text. Called by the frame loop on the GUI thread.
//
// Index: Pop-ups and their texts | Connect | Names | Port combo, rescan, ports left out, baud combo |
//        A sensor's controls (with its mounting) | Ports left out, port list, liveness probe, the panel |
//        Remembered choices.
#include "app/app.h"
#include "link/link.h"
#include "record/record.h"
#include "ui/panel_state.h"
#include "filechooser/filechooser.h"
#include "ui/ui.h"
#include "ui/panel_common.h"
#include "view/view.h"

#include <imgui.h>
#include <imgui_internal.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cfloat>
#include <cstdlib>
#include <string>
#include <vector>

const char* const baudLabels[baudLabelCount] = {"57600", "460800", "921600", "1500000"};
const char* const baudPlaceholder = "SELECT BAUDRATE";

// Process-wide state of the connection panel (GUI thread only); see panel_state.h. probePrefix
// (below) is the panel's own: the probe names of the section being drawn.
ConnectionPanelState sensorPanels[maxLinks];
ConnectionPanelState& connectionPanel = sensorPanels[0];
int connectErrorSensor = 0;
bool connectErrorRequested = false;

namespace {

const ImVec2 linkButtonSize(210, 30);
const ImVec2 closeButtonSize(173, 30);
const MessagePopup connectWarning{"Connect Warning", exclamationGlyph, closeButtonSize, "Close"};
const MessagePopup disconnectWarning{"Disconnect Warning", exclamationGlyph, closeButtonSize, "Close"};
const std::vector<std::string> connectWarningLines{"Stop the recorded file playing first."};
const std::vector<std::string> disconnectWarningLines{"Stop recording first."};
const MessagePopup connectError{"Connect Error", exclamationGlyph, closeButtonSize, "Connect Error/Close"};
constexpr const char* bannerText = "The Port is Disconnected";
constexpr const char* addSensorLabel = "Add sensor";
constexpr float sectionGap = 20.0f;

// Widgets report themselves to the probe under their own labels while there is one sensor; with
// several, each section's labels start with its number, "2/Connect to Sensor".
std::string probePrefix;
void probe(const char* label) {
    if (itemProbe != nullptr) probeLastItem((probePrefix + label).c_str());
}
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

// Opens the sensor's chosen port and starts its workers. The port is open and portOpen set before
// the workers wake, so the grabber never reads a closed port. True on success; a failure sets the
// banner and asks for "Connect Error" (opened by the panel, outside the sensors' sections).
bool connectToSensor(int index) {
    Link& link = linkAt(index);
    ConnectionPanelState& panel = sensorPanels[index];
    const int code = link.open(panel.portLabel.c_str(), link.baudRate);
    if (appState.debugPrint) logPrintf("serial open code: %d\n", code);
    if (code != 0) {
        link.portLost = true;
        panel.connectErrorLines = connectErrorLines(link.failure, link.baudRate);
        connectErrorSensor = index;
        connectErrorRequested = true;
        resetPortList(panel);
        return false;
    }
    link.portLost = false;
    panel.connectedPort = panel.portLabel;
    sensorHealth[index].everConnected = true;
    sensorHealth[index].baudRate = link.baudRate;
    return true;
}

// A remembered port is offered again only when it is there now: the list is made once, when the
// user first looks at the sensor, not at start.
void preselectRememberedPort(ConnectionPanelState& panel) {
    if (!panel.preselectPending) return;
    panel.preselectPending = false;
    resetPortList(panel);
    enumeratePorts();
    for (size_t i = 1; i < portList.size(); ++i) {
        if (portList[i] != panel.connectedPort) continue;
        panel.portLabel = portList[i];
        break;
    }
    panel.portRescanPending = true;  // as after a pick: the next opening lists afresh
}

// ---- Names --------------------------------------------------------------------------------------

// Until the user names it, a sensor is called after its port once one is chosen.
std::string defaultSensorName(int index) {
    const ConnectionPanelState& panel = sensorPanels[index];
    if (panel.portLabel != portPlaceholder) return panel.portLabel;
    if (!panel.connectedPort.empty()) return panel.connectedPort;
    return "Sensor " + std::to_string(index + 1);
}

void followSensorNames() {
    for (int i = 0; i < linkCount(); ++i)
        if (!sensorPanels[i].nameEdited) linkAt(i).name = defaultSensorName(i);
}

std::string trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : text.substr(first, text.find_last_not_of(' ') + 1 - first);
}

// The field shows the link's name, except while the user types in it; an emptied field gives the
// sensor back its default name.
void drawNameField(int index) {
    Link& link = linkAt(index);
    ConnectionPanelState& panel = sensorPanels[index];
    moveCursor(5);
    if (ImGui::GetActiveID() != ImGui::GetID("Name")) {
        const size_t length = std::min(link.name.size(), sizeof panel.nameField - 1);
        link.name.copy(panel.nameField, length);
        panel.nameField[length] = '\0';
    }
    if (ImGui::InputText("Name", panel.nameField, sizeof panel.nameField)) {
        const std::string typed = trimmed(panel.nameField);
        panel.nameEdited = !typed.empty();
        link.name = typed.empty() ? defaultSensorName(index) : typed;
    }
    probe("Name");
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
        probe("No Permission");
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

void drawPortCombo(ConnectionPanelState& panel) {
    fitPortListWidth();
    // An open combo's last item is its pop-up, so the box reports itself only while closed.
    if (!ImGui::BeginCombo("##Port Combo", panel.portLabel.c_str(), 0)) {
        probe("##Port Combo");
        // A name longer than the box shows whole when the pointer rests on it.
        if (ImGui::IsItemHovered() && ImGui::CalcTextSize(panel.portLabel.c_str()).x > ImGui::GetItemRectSize().x)
            ImGui::SetTooltip("%s", panel.portLabel.c_str());
        return;
    }
    if (panel.portRescanPending) {
        resetPortList(panel);
        enumeratePorts();
        panel.portRescanPending = false;
    }
    for (size_t i = 1; i < portList.size(); ++i) {
        const std::string& name = portList[i];
        const bool selected = name == panel.portLabel;
        const PortDetails* details = portDetailsOf(name);
        if (ImGui::Selectable(name.c_str(), selected, 0, ImVec2(0, 0))) {
            panel.portLabel = name;
            panel.portRescanPending = true;
        }
        probe(name.c_str());
        if (details != nullptr) drawPortDetails(*details);
        if (selected) ImGui::SetItemDefaultFocus();
    }
    ImGui::EndCombo();
}

void drawRescanButton(ConnectionPanelState& panel) {
    ImGui::SameLine(0, -1);
    ImGui::PushStyleVar(ImGuiStyleVar_ButtonTextAlign, ImVec2(0.5f, 0.5f));
    if (ImGui::Button(rescanGlyph, ImVec2(0, 0))) panel.portRescanPending = true;
    probe("##Rescan");
    ImGui::PopStyleVar();
}

// Ports the user may not open are named, with their reasons, on hover.
void drawPortsLeftOut() {
    if (portsLeftOut.empty()) return;
    moveCursor(5);
    ImGui::TextWrapped("%s", portsLeftOutLine().c_str());
    probe("Ports Left Out");
    if (!ImGui::IsItemHovered()) return;
    ImGui::BeginTooltip();
    for (const PortFailure& failure : portsLeftOut) ImGui::Text("%s: %s", failure.port.c_str(), failure.reason.c_str());
    ImGui::EndTooltip();
}

void drawBaudCombo(Link& link, ConnectionPanelState& panel) {
    if (!ImGui::BeginCombo("##Baud Combo", panel.baudLabel, 0)) {
        probe("##Baud Combo");
        return;
    }
    for (const char* entry : baudLabels) {
        const bool selected = entry == panel.baudLabel;
        if (ImGui::Selectable(entry, selected, 0, ImVec2(0, 0))) {
            panel.baudLabel = entry;
            link.baudRate = std::atoi(entry);
        }
        probe(entry);
        if (selected) ImGui::SetItemDefaultFocus();
    }
    ImGui::EndCombo();
}

// ---- A sensor's controls -------------------------------------------------------------------------

// The gaps of the one-sensor panel, and the closer ones of a section among several.
struct ControlGaps {
    float top, baud, connect, disconnect;
};
constexpr ControlGaps panelGaps{15, 15, 50, 10};
constexpr ControlGaps sectionGaps{5, 5, 10, 5};

// The one-sensor panel's controls for any sensor: port, rescan, baud rate, Connect, Disconnect and
// the health lines. A refusal names the warning to open in `warning`.
void drawSensorControls(int index, const ControlGaps& gaps, const char*& warning) {
    Link& link = linkAt(index);
    ConnectionPanelState& panel = sensorPanels[index];
    const bool connected = panel.panelConnected;
    if (!connected) preselectRememberedPort(panel);

    moveCursor(gaps.top);
    beginDisabledLook(connected);
    drawPortCombo(panel);
    drawRescanButton(panel);
    drawPortsLeftOut();
    moveCursor(gaps.baud);
    drawBaudCombo(link, panel);
    endDisabledLook(connected);

    bool toggle = false;
    const bool chosen = panel.baudLabel != baudPlaceholder && panel.portLabel != portPlaceholder;
    if (chosen) {
        moveCursor(gaps.connect);
        beginDisabledLook(connected);
        if (ImGui::Button("Connect to Sensor", linkButtonSize)) {
            if (appState.replayActive || link.captureOpen()) warning = connectWarning.title;
            else if (connectToSensor(index)) toggle = true;
        }
        probe("Connect to Sensor");
        endDisabledLook(connected);

        moveCursor(gaps.disconnect);
        beginDisabledLook(!connected);
        if (ImGui::Button("Disconnect from Sensor", linkButtonSize)) {
            if (appState.recordingActive) {
                warning = disconnectWarning.title;
            } else {
                toggle = true;
                link.close();
            }
        }
        probe("Disconnect from Sensor");
        endDisabledLook(!connected);
    }
    if (toggle) panel.panelConnected = !panel.panelConnected;

    drawLinkHealth(link, sensorHealth[index]);
}

// The sensor's place on the robot and its colour, folded away until asked for.
void drawMounting(int index) {
    moveCursor(15);
    const bool mountingOpen = ImGui::CollapsingHeader("Mounting");
    probe("Mounting");
    if (mountingOpen) drawSensorPlacement(index);
}

// Entries from `index` on move up one place, with their links and placements; the last becomes fresh.
void forgetSensor(int index) {
    forgetSensorPlacement(index);
    for (int i = index; i + 1 < maxLinks; ++i) {
        sensorPanels[i] = std::move(sensorPanels[i + 1]);
        sensorHealth[i] = sensorHealth[i + 1];
    }
    sensorPanels[maxLinks - 1] = ConnectionPanelState{};
    sensorHealth[maxLinks - 1] = LinkHealth{};
    if (connectErrorSensor >= index) connectErrorSensor = 0;
}

// With several sensors, each is a section under its name; true when its Remove was pressed.
bool drawSensorSection(int index, const char*& warning) {
    Link& link = linkAt(index);
    probePrefix = std::to_string(index + 1) + "/";
    ImGui::PushID(index);
    bool remove = false;
    const bool open = ImGui::CollapsingHeader((link.name + "###Sensor").c_str(), ImGuiTreeNodeFlags_DefaultOpen);
    probe("Section");
    if (open) {
        drawNameField(index);
        drawSensorControls(index, sectionGaps, warning);
        if (index > 0) {
            const bool busy = link.portOpen || link.captureOpen();
            moveCursor(sectionGaps.disconnect);
            beginDisabledLook(busy);
            remove = ImGui::Button("Remove", linkButtonSize) && !busy;
            probe("Remove");
            endDisabledLook(busy);
        }
        drawMounting(index);
        ImGui::SetCursorPosY(ImGui::GetCursorPosY() + sectionGap);
    }
    ImGui::PopID();
    probePrefix.clear();
    return remove;
}

void drawAddSensorButton() {
    const bool full = linkCount() >= maxLinks;
    moveCursor(sectionGap);
    beginDisabledLook(full);
    if (ImGui::Button(addSensorLabel, linkButtonSize) && !full) addSensor();
    probe(addSensorLabel);
    endDisabledLook(full);
    if (full && ImGui::IsItemHovered(ImGuiHoveredFlags_AllowWhenDisabled))
        ImGui::SetTooltip("Up to %d sensors can be connected at once.", maxLinks);
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

void resetPortList(ConnectionPanelState& panel) {
    portsLeftOut.clear();
    portDetails.clear();
    portList.clear();
    portList.emplace_back(portPlaceholder);
    panel.portLabel = portPlaceholder;
}

void resetPortList() { resetPortList(connectionPanel); }

// Runs every frame after the panels, whether or not the connection panel is shown, so a pulled
// cable is noticed at once: the banner shows, that sensor's workers stop polling a dead port (the
// others run on), and its section offers a fresh choice the next time it is drawn. Names that
// follow their ports follow them here.
void checkPortAlive() {
    for (int i = 0; i < linkCount(); ++i) {
        if (!linkAt(i).checkLost()) continue;
        if (appState.debugPrint) logPrintf("code: %d\n", 1);
        sensorPanels[i].panelConnected = false;
        resetPortList(sensorPanels[i]);
    }
    followSensorNames();
}

void drawConnectionPanel(bool* open) {
    if (!beginPanel("##Ostrel App", open)) return;
    const char* warning = nullptr;
    if (linkCount() == 1) {
        drawSensorControls(0, panelGaps, warning);
        drawMounting(0);
    } else {
        int removed = -1;
        for (int i = 0; i < linkCount(); ++i)
            if (drawSensorSection(i, warning)) removed = i;
        if (removed > 0) {
            unshareSensor(linkAt(removed));
            removeLink(linkAt(removed));
            forgetSensor(removed);
        }
    }
    drawAddSensorButton();
    drawShareLiveSection();

    if (warning != nullptr) ImGui::OpenPopup(warning);
    if (connectErrorRequested) ImGui::OpenPopup(connectError.title);
    connectErrorRequested = false;
    drawMessagePopup(connectWarning, connectWarningLines);
    drawMessagePopup(disconnectWarning, disconnectWarningLines);
    drawMessagePopup(connectError, sensorPanels[connectErrorSensor].connectErrorLines);
    ImGui::End();
}

// ---- The sensors and the banner -----------------------------------------------------------------

Link* addSensor() {
    Link* link = addLink();
    if (link == nullptr) return nullptr;
    const int index = linkCount() - 1;
    sensorPanels[index] = ConnectionPanelState{};
    sensorHealth[index] = LinkHealth{};
    return link;
}

bool connectSensorAtStart(const std::string& port, int32_t baudRate, std::string& reason) {
    if (appState.replayActive || replayFileOpen()) {
        reason = connectWarningLines.front();
        return false;
    }
    int index = 0;
    while (index < linkCount() && (linkAt(index).portOpen || linkAt(index).captureOpen())) ++index;
    if (index == linkCount() && addSensor() == nullptr) {
        reason = "up to " + std::to_string(maxLinks) + " sensors can be connected at once";
        return false;
    }
    ConnectionPanelState& panel = sensorPanels[index];
    if (baudRate != 0) linkAt(index).baudRate = baudRate;
    for (const char* entry : baudLabels)
        if (std::atoi(entry) == linkAt(index).baudRate) panel.baudLabel = entry;
    panel.portLabel = port;
    panel.preselectPending = false;
    if (!connectToSensor(index)) {
        reason = linkAt(index).failure.reason;
        return false;
    }
    panel.panelConnected = true;
    return true;
}

std::string lostPortBanner() {
    if (linkCount() == 1) return firstLink().portLost ? bannerText : std::string();
    std::string named;
    for (int i = 0; i < linkCount(); ++i) {
        const Link& link = linkAt(i);
        if (!link.portLost) continue;
        const std::string port = link.failure.status != 0 ? link.failure.port : sensorPanels[i].connectedPort;
        named += (named.empty() ? "" : ", ") + link.name;
        if (!port.empty() && port != link.name) named += " (" + port + ")";
    }
    return named.empty() ? std::string() : std::string(bannerText) + ": " + named;
}

// ---- Remembered choices -------------------------------------------------------------------------

bool offeredBaudRate(int32_t baudRate) {
    for (const char* entry : baudLabels)
        if (std::atoi(entry) == baudRate) return true;
    return false;
}

std::vector<ConnectionChoice> connectionChoices() {
    std::vector<ConnectionChoice> choices;
    for (int i = 0; i < linkCount(); ++i) {
        const ConnectionPanelState& panel = sensorPanels[i];
        const bool picked = panel.baudLabel != baudPlaceholder;
        ConnectionChoice choice{panel.connectedPort, picked ? linkAt(i).baudRate.load() : 0,
                                panel.nameEdited ? linkAt(i).name : std::string(), {}, {}};
        const SensorPlacement& placed = sensorPlacements[i];
        const SensorPlacement fresh = defaultSensorPlacement(i);
        const auto poseOf = [](const SensorPlacement& p) {
            return std::array<float, 6>{p.position.x, p.position.y, p.position.z, p.rollDeg, p.pitchDeg, p.yawDeg};
        };
        if (poseOf(placed) != poseOf(fresh)) choice.pose = poseOf(placed);
        if (placed.colour != fresh.colour)
            choice.colour = std::array<float, 4>{placed.colour.r, placed.colour.g, placed.colour.b, placed.colour.a};
        choices.push_back(choice);
    }
    return choices;
}

void preselectConnections(const std::vector<ConnectionChoice>& choices) {
    for (size_t i = 0; i < choices.size() && i < static_cast<size_t>(maxLinks); ++i) {
        if (static_cast<int>(i) >= linkCount() && addSensor() == nullptr) break;
        const ConnectionChoice& choice = choices[i];
        ConnectionPanelState& panel = sensorPanels[i];
        for (const char* entry : baudLabels) {
            if (std::atoi(entry) != choice.baudRate) continue;
            panel.baudLabel = entry;
            linkAt(static_cast<int>(i)).baudRate = choice.baudRate;
        }
        panel.connectedPort = choice.port;
        panel.preselectPending = !choice.port.empty();
        panel.nameEdited = !choice.name.empty();
        if (panel.nameEdited) linkAt(static_cast<int>(i)).name = choice.name;
        SensorPlacement& placed = sensorPlacements[i];
        if (const auto& pose = choice.pose) {
            placed.position = glm::vec3((*pose)[0], (*pose)[1], (*pose)[2]);
            placed.rollDeg = (*pose)[3], placed.pitchDeg = (*pose)[4], placed.yawDeg = (*pose)[5];
        }
        if (const auto& colour = choice.colour) placed.colour = glm::vec4((*colour)[0], (*colour)[1], (*colour)[2], (*colour)[3]);
    }
}

// State the three side panels and the link health lines keep across frames, all of it in one
// place. Private to src/ui (and read by the GUI tests). GUI thread only.
#pragma once

#include "link/link.h"
#include "view/view.h"

#include <cstdint>
#include <string>

// The four rates the sensor runs at, as offered in the baud combo.
constexpr int baudLabelCount = 4;
extern const char* const baudLabels[baudLabelCount];  // "57600", "460800", "921600", "1500000"
extern const char* const baudPlaceholder;             // "SELECT BAUDRATE"

struct ConnectionPanelState {
    std::string portLabel = portPlaceholder;    // a copy of the chosen name, or the placeholder
    const char* baudLabel = baudPlaceholder;    // the placeholder or an entry of baudLabels
    bool portRescanPending = true;              // the next opening of the port combo rebuilds portList
    bool panelConnected = false;                // the panel draws the connected layout
};

struct ViewPanelState {
    const char* viewLabel = viewAnswered;  // preview of the view combo: "ALTERNATE VIEWS" or a view name
    bool editsFilled = false;                   // the two fields were copied from the settings
    float editPointSize = 0.0f;
    int editGridSpacing = 0;
    int pickerTarget = 0;                       // 1: background colour, 2: grid colour
    float pickerColour[4] = {};
    float pickerPrevious[4] = {};
};

// The record panel's message pop-ups, in drawing order.
enum RecordPopup {
    recordingFailedPopup,
    recordingSucceedPopup,
    openErrorPopup,
    openingWarningPopup,
    savedScenePopup,
    sceneNotSavedPopup,
    recordPopupCount
};

struct RecordPanelState {
    bool openPending = false;   // the chooser's answer is a file to replay
    bool savePending = false;   // the chooser's answer is a recording file name
    bool popupRequested[recordPopupCount] = {};  // opened at the panel's next drawing
    bool replaceRequested = false;
    std::string replacePath;    // an existing file the user chose to record into, awaiting "Replace"
};

// What the link health lines show: refreshed a few times a second from linkStatistics. The grabber
// zeroes the counters each time a connection starts, so rates come from deltas that tolerate that.
struct LinkHealth {
    bool everConnected = false;   // the lines appear after the first connect and stay afterwards
    double lastSampleTime = 0.0;  // GUI time of the last refresh
    bool sampled = false;         // lastSampleTime and the snapshots below hold a sample
    uint32_t lastBytes = 0;
    uint32_t lastFrames = 0;
    float framesPerSecond = 0.0f;
    float bytesPerSecond = 0.0f;
    int baudRate = 0;             // the rate of the connection the figures belong to
    uint32_t goodFrames = 0, lostSyncs = 0, sizeErrors = 0, checksumErrors = 0, overruns = 0;
};

// Process-wide state of the side panels, each defined in its panel's file.
extern ConnectionPanelState connectionPanel;
extern ViewPanelState viewPanel;
extern RecordPanelState recordPanel;
extern LinkHealth linkHealth;

// The health lines are refreshed at most this often.
constexpr double linkHealthRefreshSeconds = 0.25;

// Counters as the grabber left them at one moment, in the order the health lines need.
struct LinkCounters {
    uint32_t bytes, goodFrames, lostSyncs, sizeErrors, checksumErrors, overruns;
};
LinkCounters readLinkCounters();
// Takes a new sample when the refresh interval has passed (or none was taken yet). While not
// connected the rates are zero and the totals of the last connection stay.
void sampleLinkHealth(LinkHealth& health, double now, const LinkCounters& counters, bool connected);
// Share of the line's capacity in use: bytes per second × 10 bits over the baud rate, 0..1 and beyond.
float linkLoad(const LinkHealth& health);
void drawLinkHealth();

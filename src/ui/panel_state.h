// State the three side panels, the overlay and the link health lines keep across frames. (The record
// files' pop-ups in record_popups.cpp, the notice queue in notices.cpp and the record panel's file
// choosers keep theirs in their own files.) Private to src/ui (and read by the GUI tests). GUI thread only.
#pragma once

#include "filechooser/filechooser.h"
#include "link/link.h"
#include "ui/ui.h"
#include "view/view.h"

#include <cstdint>
#include <string>
#include <vector>

// The four rates the sensor runs at, as offered in the baud combo.
constexpr int baudLabelCount = 4;
extern const char* const baudLabels[baudLabelCount];  // "57600", "460800", "921600", "1500000"
extern const char* const baudPlaceholder;             // "SELECT BAUDRATE"

struct ConnectionPanelState {
    std::string portLabel = portPlaceholder;    // a copy of the chosen name, or the placeholder
    const char* baudLabel = baudPlaceholder;    // the placeholder or an entry of baudLabels
    bool portRescanPending = true;              // the next opening of the port combo rebuilds portList
    bool panelConnected = false;                // the panel draws the connected layout
    std::string connectedPort;                  // the port of the latest successful connect
    bool preselectPending = false;              // the first drawing looks for connectedPort in the list
    std::vector<std::string> connectErrorLines; // what "Connect Error" says about the last failed connect
    bool nameEdited = false;                    // the user named the sensor: its name no longer follows its port
    char nameField[sensorNameCapacity] = {};    // the name field's text while it is being edited
};

// The sensors' sections of the panel, one per link in registry order: the first is what the panel
// shows alone while there is one sensor. Removing a link removes its entry and moves the later
// ones up with their links.
extern ConnectionPanelState sensorPanels[maxLinks];
extern ConnectionPanelState& connectionPanel;  // the first sensor's
// The sensor whose failed connect "Connect Error" speaks of, and a connect made outside the panel
// (the command line) that failed: the panel opens the pop-up when next drawn.
extern int connectErrorSensor;
extern bool connectErrorRequested;

// Empties portList down to its placeholder entry and puts this sensor's port combo on the placeholder.
void resetPortList(ConnectionPanelState& panel);

// The line under the port combo when the last listing left ports out: how many, and why.
std::string portsLeftOutLine();

struct ViewPanelState {
    const char* viewLabel = viewAnswered;  // preview of the view combo: "ALTERNATE VIEWS" or a view name
    bool editsFilled = false;                   // the two fields were copied from the settings
    float editPointSize = 0.0f;
    int editGridSpacing = 0;
    int pickerTarget = 0;                       // 1: background colour, 2: grid colour, 3: point colour
    float pickerColour[4] = {};
    float pickerPrevious[4] = {};
    uint32_t seenStartViews = 0;                // startViewsTaken when the combo last showed a view
    float editRangeLow = 0.0f;                  // the fixed range's fields, filled with editPointSize
    float editRangeHigh = 0.0f;
    std::string pointSizeRefusal;               // why the last point size typed was refused; empty: taken
    std::string gridSpacingRefusal;
    bool swatchHeld = false;                    // a colour swatch was held down in the last drawing
};

struct RecordPanelState {
    bool openPending = false;   // the chooser's answer is a file to replay
    bool savePending = false;   // the chooser's answer is a recording file name
    bool capturePending = false;  // the chooser's answer is a capture file name
    bool replaceRequested = false;
    std::string replacePath;    // an existing file the user chose to record into, awaiting "Replace"
    bool replaceForCapture = false;  // replacePath is to hold a capture, not a recording
    std::string captureChosenPath;   // the name the user gave a capture awaiting "Replace"
    // The result of the latest export: "Exported" or "Export Failed", with its lines.
    bool exportNoticeRequested = false;
    bool exportSaved = false;
    std::vector<std::string> exportNoticeLines;
    bool sessionPending = false;     // the chooser's answer is a session file name
    bool replaceForSession = false;  // replacePath is to hold a session
};

// The latest screenshot's notice, shown for a few seconds (GUI thread only).
struct ScreenshotNotice {
    std::string text;
    double shownUntil = 0.0;  // ImGui time
};
extern ScreenshotNotice screenshotNotice;

// Arrivals of a growing count (good frames, bytes) as the GUI notes them each frame: pairs of
// (time, running total) over the last few seconds. The rate is the growth after the oldest arrival
// over the time to the newest, so it holds steady however the arrivals fall against the GUI frames.
struct ArrivalWindow {
    static constexpr int capacity = 256;
    double times[capacity] = {};
    uint64_t totals[capacity] = {};
    int oldest = 0;                // ring index of the oldest arrival kept
    int count = 0;
    uint64_t total = 0;            // everything noted so far

    void note(double now, uint64_t growth);  // growth seen by the GUI frame at `now` (0: no arrival)
    float rate(double now) const;            // per second; 0 after a second without an arrival
    void clear();
};

// The record panel's file choosers, one per kind of file (named by its extension), each with its own
// name field, folder and filter, so a name of one kind never lands in another kind's dialog. One is
// open at a time; it opens in the folder of the file last chosen in it. GUI thread only.
void openRecordChooser(const char* title, const char* fileType);
// The chooser of that kind (for tests: what it lists and holds).
FileChooser& recordChooser(const char* fileType);
// Disarms the chooser that is open, once its answer is taken.
void closeRecordChooser();
// A chooser is open, waiting for an answer.
bool recordChooserOpen();

// The record panel's capture replay section.
struct CaptureReplaySectionState {
    bool openPending = false;       // the chooser's answer is a capture to replay
    bool sliderHeld = false;        // the time slider is being dragged
    float sliderSeconds = 0.0f;     // its value
};
// The section in the record panel, and its handling of the chooser's answer: false when the answer
// is not for a capture.
void drawCaptureReplaySection();
bool captureReplayChooserResult(bool accepted, const std::string& path);

// What the link health lines show, with the arrivals their rates come from. The GUI notes the
// counters every frame and refreshes the figures a few times a second. The grabber zeroes the
// counters each time a connection starts, so growth is taken in a way that tolerates that.
struct LinkHealth {
    bool everConnected = false;   // the lines appear after the first connect and stay afterwards
    bool sampled = false;         // the snapshots below hold the counters of an earlier frame
    uint64_t lastBytes = 0;
    uint64_t lastFrames = 0;
    ArrivalWindow frameArrivals;
    ArrivalWindow byteArrivals;
    double lastRefreshTime = 0.0; // GUI time of the last refresh of the figures
    float framesPerSecond = 0.0f;
    float bytesPerSecond = 0.0f;
    int baudRate = 0;             // the rate of the connection the figures belong to
    uint64_t goodFrames = 0, lostSyncs = 0, sizeErrors = 0, checksumErrors = 0, overruns = 0;
};

// What the overlay follows from frame to frame, shown or not, for each sensor by link index (the
// first follows the frame on show).
struct OverlayState {
    struct SensorFollow {
        uint64_t seenGeneration = 0;  // the sensor's generation at the latest look
        double lastFrameAt = 0.0;     // GUI time the latest frame came, or the connection started
        bool wasConnected = false;
    };
    bool started = false;            // the fields below hold a first look
    SensorFollow sensors[maxLinks];
    std::vector<std::string> lines;  // the lines drawn in the latest shown frame
    PointFrame sensorFrame;          // a sensor's latest frame, read for its line
};

// Process-wide state of the side panels and the overlay, each defined in its own file.
extern ViewPanelState viewPanel;
extern RecordPanelState recordPanel;
extern CaptureReplaySectionState captureReplaySection;
extern LinkHealth sensorHealth[maxLinks];  // by link index, as sensorPanels
extern LinkHealth& linkHealth;             // the first sensor's
extern OverlayState overlay;

// The figures of the health lines change at most this often; the rates look back over the arrivals
// of the last rateWindowSeconds, and fall to 0 once staleSeconds pass without one (after which the
// overlay also marks the frame on screen stale).
constexpr double linkHealthRefreshSeconds = 0.25;
constexpr double rateWindowSeconds = 2.0;
constexpr double staleSeconds = 1.0;

// Counters as the grabber left them at one moment, in the order the health lines need.
struct LinkCounters {
    uint64_t bytes, goodFrames, lostSyncs, sizeErrors, checksumErrors, overruns;
};
LinkCounters readLinkCounters(const Link& link);
// Once per GUI frame: notes what arrived since the last frame, and refreshes the figures when the
// refresh interval has passed (or on the first call). While not connected the rates are zero and
// the totals of the last connection stay.
void sampleLinkHealth(LinkHealth& health, double now, const LinkCounters& counters, bool connected);
// Share of the line's capacity in use: bytes per second × 10 bits over the baud rate, 0..1 and beyond.
float linkLoad(const LinkHealth& health);
void drawLinkHealth(const Link& link, LinkHealth& health);

// Control panels: the three side panels opened from the main menu bar. Each panel
// function takes the address of its show flag (passed to ImGui as the window's open flag).
// Called by the frame loop on the GUI thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct Link;

void drawConnectionPanel(bool* open);
void drawViewPanel(bool* open);
void drawRecordPanel(bool* open);
// The mounting fields of the link at this index (0 <= linkIndex < maxLinks): its place on the robot
// and its colour, edited in sensorPlacements. Inside a panel's window.
void drawSensorPlacement(int linkIndex);
// The record panel's handling of the file chooser's answer (OK with the chosen path, or Cancel):
// called by the panel when the chooser reports, and by tests directly.
void recordPanelChooserResult(bool accepted, const std::string& path);
// A file named on the command line, opened as the record panel opens a file chosen in it: a capture
// (".ostrel") for capture replay, anything else as a recording to replay. Refusals are the panel's.
void openFileAtStart(const std::string& path);

// Once per frame while connected, whether or not the connection panel is shown: probes the port and
// disconnects when it is gone (banner, port list reset, not-connected layout on the next drawing).
void checkPortAlive();

// Empties portList down to its placeholder entry and puts the first sensor's port combo back on
// the placeholder.
void resetPortList();

// Escape was pressed (after the GUI's new frame, before any window is drawn): closes the open
// pop-up (the file chooser answers Cancel), or leaves a text field being edited to end its edit.
// True when neither was open: Escape came from the scene and the viewer is to quit.
bool escapeFromScene();

// The menu bar with its three panel toggles and the lost-port banner. Inside an ImGui frame.
void drawMainMenuBar();

// A screenshot is wanted: set by the Window panel's button and the F12 key, cleared by the frame
// loop when it saves the frame. GUI thread only.
extern bool screenshotRequested;
// The short notice of a saved (or failed) screenshot, drawn for a few seconds from now.
void showScreenshotNotice(const std::string& text);
// The overlays over the scene, each frame after the scene is filled: the colour legend (height and
// range modes) and the screenshot notice. Neither takes input.
void drawViewOverlays();

// ---- The corner overlay (overlay.cpp) ----------------------------------------------------------
// Shown while overlayShown: toggled by F2 and the Window panel's checkbox, remembered between runs.
extern bool overlayShown;
// F2 was pressed: set by the frame loop's key callback, taken by the next drawOverlay.
extern bool overlayToggleRequested;

// Once per GUI frame after the menu bar, shown or not: follows the frames for the stale marker,
// toggles on overlayToggleRequested and, when shown, draws the overlay. `now`: seconds on the GUI's clock.
void drawOverlay(double now);
// Seconds from `now` until a figure on screen changes by itself (the overlay's stale count, the
// link health lines of a live connection), or infinity when none will.
double secondsUntilFiguresMove(double now);

// ---- What the GUI needs of the frame loop (gui_activity.cpp) -------------------------------------
struct GuiActivity {
    bool steady = false;    // a recording runs, a replay plays, input is held: a frame every refresh period
    bool settling = false;  // the GUI takes one more frame to show what it has (a pop-up, a new state)
    double secondsUntilMove = 0.0;  // until something on screen moves by itself; infinity: nothing will
};
// After each frame; `now` on the GUI's clock. Remembers what the panels showed, for the next call.
GuiActivity guiActivity(double now);

// Once per GUI frame, after writeRecordingFrame: advances the replay, and draws the pop-ups of the
// record files ("File End!" and the writer's failures) whichever panel is shown.
void readReplayFrame();
// Once per GUI frame, after readReplayFrame: connects the link to a capture once it is indexed,
// notes the frame drawn for the capture source, and draws the "Capture Replay" notice.
void stepCaptureReplay();

// ---- What is remembered between runs (loaded and saved by main/settings) -------------------------
// The values the view settings panel accepts: point size above 0 up to 100 pixels, grid spacing 10
// to 499 centimetres, a colour range; and the baud rates the connection panel offers.
bool acceptablePointSize(float pixels);
bool acceptableGridSpacing(int32_t centimetres);
// A fixed range of the colour map: two finite numbers of metres, the low one below the high one.
bool acceptableColorRange(float low, float high);
bool offeredBaudRate(int32_t baudRate);

// A sensor's choices in the connection panel: the port of its latest successful connect (empty: none
// yet), the baud rate picked in its combo (0: none picked yet) and the name the user gave it (empty:
// it follows its port).
struct ConnectionChoice {
    std::string port;
    int32_t baudRate = 0;
    std::string name;
    // The sensor's mounting, kept only where it differs from a new sensor's: x, y, z in metres and
    // roll, pitch, yaw in degrees; its colour as RGBA in 0..1.
    std::optional<std::array<float, 6>> pose = std::nullopt;
    std::optional<std::array<float, 4>> colour = std::nullopt;
    bool operator==(const ConnectionChoice&) const = default;
};
// A sensor's name as the user may type it, terminator included.
constexpr int sensorNameCapacity = 64;
// Every sensor's choices, in link order (the first sensor's first).
std::vector<ConnectionChoice> connectionChoices();
// Before the first frame: a sensor for each choice (added as needed), each preselected: the baud
// rate (when offered) and the name at once, the port the first time the panel is drawn, only if it
// is then listed.
void preselectConnections(const std::vector<ConnectionChoice>& choices);

// ---- The sensors (connection_panel.cpp) ----------------------------------------------------------
// A new sensor with its section of the panel; null when maxLinks are there.
Link* addSensor();
// Connects the next free sensor (neither open nor holding a capture; a new one when all are busy)
// to a port, as Connect does in the panel. False, with the reason, when it cannot: the banner shows
// and the panel opens "Connect Error" when next drawn.
bool connectSensorAtStart(const std::string& port, int32_t baudRate, std::string& reason);
// The lost-port banner: "The Port is Disconnected" for one sensor; with several, the sensors lost
// named after it. Empty when no port is lost.
std::string lostPortBanner();

// ---- "Share live" (share_live_section.cpp) -------------------------------------------------------
// Its address as the settings keep it ("127.0.0.1:8765" until one is given).
std::string shareLiveAddress();
void setShareLiveAddress(const std::string& address);
void drawShareLiveSection();
// A sensor taken out of the share before its link is removed.
void unshareSensor(const Link& link);
// Part of the exit sequence, before the links go.
void stopSharingLive();

// The folder the chooser of recordings (.csv) opens in: that of the file last chosen in it; empty: the working
// folder. Written by the record panel and the settings load; read by the record panel and the save.
extern std::string chooserFolder;

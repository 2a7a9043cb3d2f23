// The GUI frame loop (the menu bar is drawn by src/ui). Called by the entry on the main thread; the pieces below
// the loop itself are exposed for the headless GUI tests.
#pragma once

#include <functional>

// Sets up the window and the GUI, runs frames until the window is to close, tears down. The
// settings of the last run are applied first (unless resetSettings) and saved as they change.
// `atStart` runs once, after the first frame (the settings applied and every window of the GUI up).
// Returns 0, or non-zero when the window or the GL context could not be made (already reported).
int runFrameLoop(bool resetSettings, const std::function<void()>& atStart);

// The side panel whose toggle is on. The panel functions are passed in so tests can stand in for them.
using PanelFunction = void (*)(bool* open);
struct PanelSet {
    PanelFunction connection;
    PanelFunction view;
    PanelFunction record;
};
void drawPanels(const PanelSet& panels);

// How long to rest after a frame that took elapsedSeconds, so that frames come no faster than the
// monitor refreshes (refreshHz 0 or less: unknown, 60 is assumed). 0 when no rest is due.
double frameRestSeconds(double elapsedSeconds, int refreshHz);

// What the loop weighs after a frame, and again after each wait, to decide when to draw the next.
struct FrameNeeds {
    bool steady = false;            // a recording runs, a replay plays, input is held
    int settleFrames = 0;           // frames the GUI is still owed after input or while it settles
    bool news = false;              // input, a new sensor frame or a frame report came since the frame
    double secondsToDeadline = 0.0; // until a figure on screen must move (infinity: none will)
};
// Seconds to wait for events before the next frame: 0 draws it now (after the rest above), infinity
// waits for an event however long it takes.
double secondsBeforeNextFrame(const FrameNeeds& needs);

// The text printed on standard output (with --debug) once the first frame is on screen.
extern const char* const firstFrameLine;

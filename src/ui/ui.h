// Control panels: the three side panels opened from the main menu bar. Each panel
// function takes the address of its show flag (passed to ImGui as the window's open flag).
// Called by the frame loop on the GUI thread.
#pragma once

#include <string>

void drawConnectionPanel(bool* open);
void drawViewPanel(bool* open);
void drawRecordPanel(bool* open);
// The record panel's handling of the file chooser's answer (OK with the chosen path, or Cancel):
// called by the panel when the chooser reports, and by tests directly.
void recordPanelChooserResult(bool accepted, const std::string& path);

// Once per frame while connected, whether or not the connection panel is shown: probes the port and
// disconnects when it is gone (banner, port list reset, not-connected layout on the next drawing).
void checkPortAlive();

// Empties portList down to its placeholder entry and puts the port combo back on the placeholder.
void resetPortList();

// The menu bar with its three panel toggles and the lost-port banner. Inside an ImGui frame.
void drawMainMenuBar();

// Once per GUI frame, after writeRecordingFrame: advances the replay, and draws the pop-ups of the
// record files ("File End!" and the writer's failures) whichever panel is shown.
void readReplayFrame();

// The GUI frame loop and the main menu bar. Called by the entry on the main thread.
#pragma once

// Sets up the window and the GUI, runs frames until the window is to close, tears down.
// Returns 0, or non-zero when the window or the GL context could not be made.
int runFrameLoop();
void drawMainMenuBar();

// Main menu bar (placeholder until the window is built).
#include "app/frame_loop.h"

void drawMainMenuBar() {}

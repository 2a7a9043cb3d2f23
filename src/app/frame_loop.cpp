// Frame loop (placeholder until the window is built).
#include "app/frame_loop.h"

int runFrameLoop() { return 0; }

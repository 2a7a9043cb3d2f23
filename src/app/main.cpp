// Process entry of the viewer: parses the command line, starts the workers, runs the frame loop and
// the exit sequence.
#include "app/app.h"
#include "app/frame_loop.h"
#include "link/link.h"

int main() {
    startWorkerThreads(&serialLink);
    const int status = runFrameLoop();
    runExitSequence();
    return status;
}

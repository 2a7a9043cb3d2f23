// Process entry of the viewer: parses the command line, starts the workers, runs the frame loop and
// the exit sequence.
#include "app/app.h"
#include "main/frame_loop.h"
#include "link/link.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int usageStatus = 2;

void printUsage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s [--debug] [--demo]\n"
                 "  --debug  print diagnostic lines on standard output (SIGUSR1: a frame report)\n"
                 "  --demo   offer a simulated sensor (\"DEMO SENSOR\") in the port list\n",
                 program);
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--debug") == 0) {
            appState.debugPrint = true;
        } else if (std::strcmp(argv[i], "--demo") == 0) {
            demoSensorEnabled = true;
        } else {
            std::fprintf(stderr, "%s: unknown option '%s'\n", argv[0], argv[i]);
            printUsage(argv[0]);
            return usageStatus;
        }
    }
    startLinkWorkers();
    const int status = runFrameLoop();
    runExitSequence();
    return status;
}

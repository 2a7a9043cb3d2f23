// Process entry of the viewer: parses the command line, starts the workers, runs the frame loop and
// the exit sequence.
#include "app/app.h"
#include "app/version.h"
#include "main/frame_loop.h"
#include "link/link.h"
#include "record/record.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

constexpr int usageStatus = 2;
constexpr int outputFailedStatus = 1;

constexpr const char* programName = "quarvis";

void printUsage(FILE* stream) {
    std::fprintf(stream,
                 "Usage: %s [--debug] [--demo] [--reset-settings]\n"
                 "Shows the live point cloud of an Ostrel range sensor on a serial port, records it to\n"
                 "CSV files and replays them. Scenes are saved in the working folder.\n"
                 "\n"
                 "  --debug           print diagnostic lines on standard output (SIGUSR1: a frame report)\n"
                 "  --demo            offer a simulated sensor (\"DEMO SENSOR\") in the port list\n"
                 "  --reset-settings  start from the default settings (saved over the remembered ones)\n"
                 "  --help            this text\n"
                 "  --version         the version\n",
                 programName);
}

// The status after --help or --version: 0 once standard output has taken all of it.
int outputStatus() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
    std::fprintf(stderr, "%s: cannot write standard output: %s\n", programName, std::strerror(errno));
    return outputFailedStatus;
}

}  // namespace

int main(int argc, char** argv) {
    bool resetSettings = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--debug") == 0) {
            appState.debugPrint = true;
        } else if (std::strcmp(argv[i], "--demo") == 0) {
            demoSensorEnabled = true;
        } else if (std::strcmp(argv[i], "--reset-settings") == 0) {
            resetSettings = true;
        } else if (std::strcmp(argv[i], "--help") == 0) {
            printUsage(stdout);
            return outputStatus();
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s %s\n", programName, quarvisVersion);
            return outputStatus();
        } else {
            std::fprintf(stderr, "%s: unknown option '%s'\n", programName, argv[i]);
            printUsage(stderr);
            return usageStatus;
        }
    }
    // A write to a pipe or socket whose reader went away fails with EPIPE and is reported like any
    // other failed write, instead of killing the viewer.
    std::signal(SIGPIPE, SIG_IGN);
    firstLink().startWorkers();
    const int status = runFrameLoop(resetSettings);
    closeReplay();
    shutDownLinks();
    finishCapture();  // the grabber has stopped: the capture holds every byte it read
    return status;
}

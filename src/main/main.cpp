// Process entry of the viewer: parses the command line, starts the workers, runs the frame loop and
// the exit sequence.
#include "app/app.h"
#include "app/version.h"
#include "main/frame_loop.h"
#include "link/link.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

constexpr int usageStatus = 2;
constexpr int outputFailedStatus = 1;

void printUsage(FILE* stream, const char* program) {
    std::fprintf(stream,
                 "usage: %s [--debug] [--demo]\n"
                 "  --debug    print diagnostic lines on standard output (SIGUSR1: a frame report)\n"
                 "  --demo     offer a simulated sensor (\"DEMO SENSOR\") in the port list\n"
                 "  --help     this text\n"
                 "  --version  the version\n",
                 program);
}

// The status after --help or --version: 0 once standard output has taken all of it.
int outputStatus(const char* program) {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
    std::fprintf(stderr, "%s: cannot write standard output: %s\n", program, std::strerror(errno));
    return outputFailedStatus;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--debug") == 0) {
            appState.debugPrint = true;
        } else if (std::strcmp(argv[i], "--demo") == 0) {
            demoSensorEnabled = true;
        } else if (std::strcmp(argv[i], "--help") == 0) {
            printUsage(stdout, argv[0]);
            return outputStatus(argv[0]);
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("quarvis %s\n", quarvisVersion);
            return outputStatus(argv[0]);
        } else {
            std::fprintf(stderr, "%s: unknown option '%s'\n", argv[0], argv[i]);
            printUsage(stderr, argv[0]);
            return usageStatus;
        }
    }
    startLinkWorkers();
    const int status = runFrameLoop();
    runExitSequence();
    return status;
}

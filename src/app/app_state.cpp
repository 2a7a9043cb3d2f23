// The process-wide AppState and the diagnostics printers.
#include "app/app.h"

#include <cstdarg>
#include <cstdio>

// Process-wide mutable state of the application core (every other subsystem declares its own; each
// worker pair holds its own flags, mutex and threads).
AppState appState;
ItemProbe itemProbe = nullptr;  // set by tests, or by the probe log at start-up

int logPrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int written = std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
    return written;
}

void logLine(const char* text) {
    std::printf("%s\n", text);
    std::fflush(stdout);
}

// The process-wide AppState, the parking mutex and condition variable, the worker thread handles,
// and the diagnostics printers.
#include "app/app.h"

#include <cstdarg>
#include <cstdio>

// Process-wide mutable state of the application core (every other subsystem declares its own).
AppState appState;
std::mutex parkMutex;
std::condition_variable parkSignal;
std::thread grabberThread;
std::thread handlerThread;
const WorkerRole* workerRoles[2] = {nullptr, nullptr};  // grabber, handler; set with the threads
void (*exitAfterJoin)() = nullptr;                      // the last step of the exit sequence
ItemProbe itemProbe = nullptr;                          // set by tests, or by the probe log at start-up

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

// Application core (the ground floor, including nothing of ours): the flags through which the GUI
// thread and the two workers talk, the worker life cycle and its two handshakes, the exit sequence,
// and the diagnostics switch and printer.
// Used by every subsystem; implemented in app_state.cpp, workers.cpp and files.cpp.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

constexpr int32_t defaultBaudRate = 460800;

// Process-wide state shared by the GUI thread, the grabber and the handler, grouped by who writes
// it. Every field is atomic and sequentially consistent access serves; each names its writer and
// its readers. A tool's main thread stands in for the GUI thread.
struct AppState {
    // ---- Set once by the entry (--debug), before any thread starts; read by every thread ----------
    std::atomic<bool> debugPrint{false};

    // ---- GUI -> workers: requests ----------------------------------------------------------------
    // Written under parkMutex with a wake-up by the handshakes and the exit sequence (GUI thread).
    std::atomic<bool> grabberStartRequest{false};  // startWorkers sets, stopWorkers clears; read by the parked grabber
    std::atomic<bool> grabberStopRequest{false};   // stopWorkers sets, startWorkers clears; read by the grabber
    std::atomic<bool> handlerStartRequest{false};  // startWorkers sets, stopWorkers clears; read by the parked handler
    std::atomic<bool> handlerStopRequest{false};   // stopWorkers sets, startWorkers clears; read by the handler
    std::atomic<bool> shutdownRequest{false};      // exit sequence with no port open; read by the parked workers
    // Exit sequence with a port open, or the first parked worker that sees shutdownRequest; read by
    // both workers, which leave their loops on it.
    std::atomic<bool> exitRequest{false};

    // ---- Workers -> GUI: acknowledgements ----------------------------------------------------------
    std::atomic<bool> grabberStopped{false};  // grabber on stopping; startWorkers clears; stopWorkers waits for it
    std::atomic<bool> handlerStopped{false};  // handler on stopping; startWorkers clears; stopWorkers waits for it
    std::atomic<bool> grabberExited{false};   // grabber on leaving its loop; the exit sequence waits for it
    std::atomic<bool> handlerExited{false};   // handler on leaving its loop; the exit sequence waits for it

    // ---- GUI thread only ---------------------------------------------------------------------------
    // Connection: connectLink sets portOpen, disconnect and the exit sequence clear it; read by the
    // panels, the recording writer and the exit sequence.
    std::atomic<bool> portOpen{false};
    std::atomic<bool> portLost{false};               // connection panel (failed open or probe); read by the menu bar
    std::atomic<int32_t> baudRate{defaultBaudRate};  // connection panel; read by it and by enumeratePorts
    // Input and window, all read by the camera.
    std::atomic<bool> panelFocused{false};      // each open panel; the frame loop clears it every frame
    std::atomic<bool> inputCaptured{false};     // colour swatches, the record panel while its file chooser is open
    std::atomic<float> windowWidth{0.0f};       // frame loop, every frame; read by the menu bar too
    std::atomic<float> windowHeight{0.0f};      // frame loop, every frame; read by the panels' placement too
    // The one side panel shown: written by the menu bar's toggles, read by the frame loop.
    std::atomic<bool> showConnectionPanel{false};
    std::atomic<bool> showViewPanel{false};
    std::atomic<bool> showRecordPanel{false};
    // Recording and replay, both read by the connection and record panels.
    std::atomic<bool> recordingActive{false};   // recording writer and record panel; read by the writer too
    std::atomic<bool> replayActive{false};      // replay reader; read by the reader too
};

extern AppState appState;

// Test-only: widgets report where they were drawn (label and screen rectangle) so that tests can
// click them by label. Null in the viewer unless it runs with QUARVIS_PROBE_LOG (see the chooser's
// widgets). Free of GUI types, so every floor that draws can report. GUI thread only.
using ItemProbe = void (*)(const char* label, float minX, float minY, float maxX, float maxY);
extern ItemProbe itemProbe;

// The only mutex and condition variable of the program: they serve the parking of the workers.
extern std::mutex parkMutex;
extern std::condition_variable parkSignal;

// The two worker threads: empty until the entry starts them, joined by the exit sequence (GUI thread).
extern std::thread grabberThread;
extern std::thread handlerThread;
struct WorkerRole;
extern const WorkerRole* workerRoles[2];  // grabber, handler: set by startWorkerThreads
extern void (*exitAfterJoin)();           // set by startWorkerThreads

// printf-style diagnostics to standard output, flushed; returns what printf returns.
int logPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The text and a line end to standard output, flushed (the "line" of the diagnostics table).
void logLine(const char* text);

// The whole buffer into the file, through interrupted and partial writes; false with errno set.
bool writeWhole(int file, const void* data, size_t size);
// Opens `path` with `flags` (O_CREAT creates a missing file) only when it is a regular file, never
// blocking on a FIFO, a terminal or a device, and closed on exec. The descriptor in blocking mode, or
// -1 with `problem` set to a sentence for the user ("It is a named pipe (FIFO), not a regular file.",
// "Permission denied."). Every open of a file a user named goes through it.
int openRegularFile(const std::string& path, int flags, std::string& problem);
// The system's text for an errno value as a sentence: "No space left on device."
std::string systemReason(int error);

// What tells one worker from the other: its flags in AppState, its lines and its work. The subsystem
// that owns the work (the sensor link) hands the two roles to startWorkerThreads.
struct WorkerRole {
    std::atomic<bool>& startRequest;
    std::atomic<bool>& stopRequest;
    std::atomic<bool>& stopped;
    std::atomic<bool>& exited;
    const char* startedLine;
    const char* haltedLine;
    void (*enter)();                 // worker thread: once, before its loop
    void (*start)();                 // worker thread: run state Start
    void (*runOnce)(void* context);  // worker thread: one batch of run state Run (may wait briefly)
    void (*wake)();                  // any thread: cuts a wait in runOnce short (stop request, exit)
};

// The loop of a worker over its run states, from Parked until exitRequest; returns 0. Worker thread.
int runWorker(const WorkerRole& role, void* context);
// Entry steps 1 and 2: start the grabber and the handler threads, each running its role's enter
// step and then runWorker with `context`; both park at once. `afterJoin` ends the exit sequence, once
// no worker runs.
void startWorkerThreads(const WorkerRole& grabber, const WorkerRole& handler, void* context, void (*afterJoin)());
// Connect handshake (after the port is open and portOpen set) and disconnect handshake.
void startWorkers();
void stopWorkers();
// Exit sequence: brings both workers down, joins them, then runs the afterJoin step.
void runExitSequence();

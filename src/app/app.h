// Application core: the flags through which the GUI thread and the two workers talk, the worker
// life cycle and its two handshakes, the exit sequence, and the diagnostics switch and printer.
// Used by every subsystem; implemented in app_state.cpp and workers.cpp.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

constexpr int32_t defaultBaudRate = 460800;

// Process-wide state shared by the GUI thread, the grabber and the handler. Every field is atomic;
// sequentially consistent access serves. Each field names its writers in the comment.
struct AppState {
    std::atomic<bool> portOpen{false};          // connection panel sets; disconnect clears
    std::atomic<bool> portLost{false};          // connection panel (failed open, failed probe)
    std::atomic<bool> debugPrint{false};        // --debug on the command line, before any thread starts
    std::atomic<bool> exitRequest{false};       // exit sequence, or a parked worker seeing shutdownRequest
    std::atomic<bool> shutdownRequest{false};   // exit sequence when no port is open
    std::atomic<bool> grabberStartRequest{false};
    std::atomic<bool> grabberStopRequest{false};
    std::atomic<bool> grabberStopped{false};    // raised by the grabber
    std::atomic<bool> grabberExited{false};     // raised by the grabber
    std::atomic<bool> handlerStartRequest{false};
    std::atomic<bool> handlerStopRequest{false};
    std::atomic<bool> handlerStopped{false};    // raised by the handler
    std::atomic<bool> handlerExited{false};     // raised by the handler
    std::atomic<bool> panelFocused{false};      // each open panel, every frame
    std::atomic<bool> inputCaptured{false};     // colour editor, file chooser
    std::atomic<float> windowWidth{0.0f};       // frame loop, every frame
    std::atomic<float> windowHeight{0.0f};
    std::atomic<bool> showConnectionPanel{false};  // main menu bar
    std::atomic<bool> showViewPanel{false};
    std::atomic<bool> showRecordPanel{false};
    std::atomic<bool> recordingActive{false};   // record panel and recording writer
    std::atomic<bool> replayActive{false};      // record panel and replay reader
    std::atomic<int32_t> baudRate{defaultBaudRate};  // connection panel
};

extern AppState appState;

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

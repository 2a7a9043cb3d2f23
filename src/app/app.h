// Application core (the ground floor, including nothing of ours): the process-wide flags, the worker
// pair (a grabber and a handler with their life cycle, handshakes and exit sequence) that each sensor
// link owns, and the diagnostics switch and printer.
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

// Process-wide state: what is one per process whatever the number of sensors. Every field is atomic
// and sequentially consistent access serves; each names its writer and its readers. A tool's main
// thread stands in for the GUI thread.
struct AppState {
    // ---- Set once by the entry (--debug), before any thread starts; read by every thread ----------
    std::atomic<bool> debugPrint{false};

    // ---- GUI thread only ---------------------------------------------------------------------------
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

// What tells one worker from the other: its lines and its work. The subsystem that owns the work
// (a sensor link) hands the two roles to WorkerPair::startThreads with its own context.
struct WorkerRole {
    const char* startedLine;
    const char* haltedLine;
    void (*enter)(void* context);    // worker thread: once, before its loop (may be null)
    void (*start)(void* context);    // worker thread: run state Start
    void (*runOnce)(void* context);  // worker thread: one batch of run state Run (may wait briefly)
    void (*wake)(void* context);     // any thread: cuts a wait in runOnce short (may be null)
};

// One worker's requests and acknowledgements. The requests are written under the pair's parkMutex
// with a wake-up by the handshakes and the exit sequence (the controlling thread: the GUI thread or
// a tool's main thread); the acknowledgements by the worker, read by the controlling thread.
struct WorkerFlags {
    std::atomic<bool> startRequest{false};  // start sets, stop clears; read by the parked worker
    std::atomic<bool> stopRequest{false};   // stop sets, start clears; read by the worker
    std::atomic<bool> stopped{false};       // the worker on stopping; start clears; stop waits for it
    std::atomic<bool> exited{false};        // the worker on leaving its loop; the exit sequence waits for it
};

// A grabber and a handler thread with their life cycle (Start, Run, Stop, Parked), the connect and
// disconnect handshakes and the exit sequence. One per sensor link, owned by it; the controlling
// thread calls every method, the workers run runWorker.
struct WorkerPair {
    WorkerFlags grabber;
    WorkerFlags handler;
    // Written by the exit sequence (the controlling thread), or exitRequest by the first parked worker
    // that sees shutdownRequest; read by both workers, which leave their loops on exitRequest.
    std::atomic<bool> shutdownRequest{false};  // the exit sequence while parked
    std::atomic<bool> exitRequest{false};
    // Between start and stop (controlling thread): the workers run and must be asked to leave.
    std::atomic<bool> running{false};

    // The mutex and condition variable of the parking; the handshakes take them.
    std::mutex parkMutex;
    std::condition_variable parkSignal;

    WorkerPair() = default;
    WorkerPair(const WorkerPair&) = delete;
    WorkerPair& operator=(const WorkerPair&) = delete;
    ~WorkerPair();  // the exit sequence, when the threads still run

    // Start both threads, each running its role's enter step and then its loop with `context`; both
    // park at once.
    void startThreads(const WorkerRole& grabberRole, const WorkerRole& handlerRole, void* context);
    bool threadsStarted() const { return threads[0].joinable(); }
    // Connect handshake (after the source is open) and disconnect handshake (returns once both are parked).
    void start();
    void stop();
    // Brings both workers down and joins them; afterwards the threads can be started again.
    void exit();

    // Worker thread: the loop of one worker over its run states until exitRequest; returns 0.
    int runWorker(int which);

private:
    const WorkerRole* roles[2] = {nullptr, nullptr};  // grabber, handler; set with the threads
    void* context = nullptr;
    std::thread threads[2];
    WorkerFlags& flags(int which) { return which == 0 ? grabber : handler; }
    int parkedAction(int which);
    int workerAction(int which, int state);
    void wakeWorkers();
};

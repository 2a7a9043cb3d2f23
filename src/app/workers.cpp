// The worker life cycle shared by the frame grabber and the frame handler (Start, Run, Stop,
// Parked), driven by the roles the sensor link hands in; the connect and disconnect handshakes and
// the exit sequence. The handshakes and the exit sequence run on the GUI thread; runWorker runs on
// each worker thread.
#include "app/app.h"

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

enum WorkerState : int { stateStart = 0, stateRun = 1, stateStop = 2, stateParked = 3 };

// Off only in the busy-polling build kept for benchmark comparison.
constexpr bool pausePolls = QUARVIS_BUSY_POLL == 0;
// Between two looks at the workers' acknowledgements: short against the 50 ms a stop may take.
constexpr auto acknowledgementPoll = std::chrono::microseconds(100);

void pollPause() {
    if (pausePolls) std::this_thread::sleep_for(acknowledgementPoll);
}

void debugLine(const char* text) {
    if (appState.debugPrint) logLine(text);
}

// Parked: wait for a start request, a shutdown or exit. Worker thread.
int parkedAction(const WorkerRole& role) {
    debugLine(role.haltedLine);
    std::unique_lock lock(parkMutex);
    if (role.startRequest) return stateStart;
    // A disconnect that came before this worker left Parked after its connect: acknowledge it here,
    // or stopWorkers would wait for ever.
    if (role.stopRequest) role.stopped = true;
    if (appState.shutdownRequest) {
        appState.exitRequest = true;
        return stateParked;
    }
    if (!appState.exitRequest) parkSignal.wait(lock);
    return stateParked;
}

// One state action; returns the next state. Worker thread.
int workerAction(const WorkerRole& role, int state, void* context) {
    switch (state) {
    case stateStart:
        role.start();
        debugLine(role.startedLine);
        return stateRun;
    case stateRun:
        role.runOnce(context);
        return role.stopRequest ? stateStop : stateRun;
    case stateStop:
        role.stopped = true;
        return stateParked;
    default:
        return parkedAction(role);
    }
}

// Change flags that parked workers test, then wake them all.
template <typename Change>
void changeParkFlags(Change change) {
    {
        std::lock_guard lock(parkMutex);
        change();
    }
    parkSignal.notify_all();
}

void wakeWorkers() {
    for (const WorkerRole* role : workerRoles)
        if (role != nullptr && role->wake != nullptr) role->wake();
}

int workerThread(const WorkerRole* role, void* context) {
    if (role->enter != nullptr) role->enter();
    return runWorker(*role, context);
}

}  // namespace

int runWorker(const WorkerRole& role, void* context) {
    int state = stateParked;
    for (;;) {
        if (appState.exitRequest) {
            role.exited = true;
            return 0;
        }
        state = workerAction(role, state, context);
    }
}

void startWorkerThreads(const WorkerRole& grabber, const WorkerRole& handler, void* context, void (*afterJoin)()) {
    workerRoles[0] = &grabber;
    workerRoles[1] = &handler;
    exitAfterJoin = afterJoin;
    grabberThread = std::thread(workerThread, &grabber, context);
    handlerThread = std::thread(workerThread, &handler, context);
    // A process that ends through exit() rather than through the entry (Xlib ends it that way when
    // the X server goes away) still brings the workers down and closes the port; destroying a
    // running thread's handle would abort instead. After a normal exit sequence this does nothing.
    std::atexit(runExitSequence);
}

void startWorkers() {
    changeParkFlags([] {
        appState.grabberStopRequest = false;
        appState.grabberStopped = false;
        appState.grabberStartRequest = true;
        appState.handlerStopRequest = false;
        appState.handlerStopped = false;
        appState.handlerStartRequest = true;
    });
}

void stopWorkers() {
    // Under the park mutex and with a wake-up, so that a worker still parked sees the request too.
    changeParkFlags([] {
        appState.grabberStartRequest = false;
        appState.handlerStartRequest = false;
        appState.grabberStopRequest = true;
        appState.handlerStopRequest = true;
    });
    wakeWorkers();
    while (!(appState.grabberStopped && appState.handlerStopped)) {
        debugLine("waiting..");
        pollPause();
    }
}

void runExitSequence() {
    if (appState.portOpen) {
        // Both workers run; they leave at the top of their next iteration.
        changeParkFlags([] { appState.exitRequest = true; });
        wakeWorkers();
    } else {
        changeParkFlags([] { appState.shutdownRequest = true; });
        const bool started = grabberThread.joinable() && handlerThread.joinable();
        while (started && !(appState.handlerExited && appState.grabberExited)) pollPause();
    }
    if (handlerThread.joinable()) handlerThread.join();
    if (grabberThread.joinable()) grabberThread.join();
    // Only now that no worker reads it may the port be closed.
    if (exitAfterJoin != nullptr) exitAfterJoin();
}

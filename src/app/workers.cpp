// The worker pair: the life cycle shared by a frame grabber and a frame handler (Start, Run, Stop,
// Parked), driven by the roles a sensor link hands in; the connect and disconnect handshakes and the
// exit sequence. The handshakes and the exit sequence run on the controlling thread (GUI thread or a
// tool's main thread); runWorker runs on each worker thread.
#include "app/app.h"

#include <chrono>
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

}  // namespace

// Parked: wait for a start request, a shutdown or exit. Worker thread.
int WorkerPair::parkedAction(int which) {
    WorkerFlags& own = flags(which);
    debugLine(roles[which]->haltedLine);
    std::unique_lock lock(parkMutex);
    if (own.startRequest) return stateStart;
    // A disconnect that came before this worker left Parked after its connect: acknowledge it here,
    // or stop would wait for ever.
    if (own.stopRequest) own.stopped = true;
    if (shutdownRequest) {
        exitRequest = true;
        return stateParked;
    }
    if (!exitRequest) parkSignal.wait(lock);
    return stateParked;
}

// One state action; returns the next state. Worker thread.
int WorkerPair::workerAction(int which, int state) {
    const WorkerRole& role = *roles[which];
    switch (state) {
    case stateStart:
        role.start(context);
        debugLine(role.startedLine);
        return stateRun;
    case stateRun:
        role.runOnce(context);
        return flags(which).stopRequest ? stateStop : stateRun;
    case stateStop:
        flags(which).stopped = true;
        return stateParked;
    default:
        return parkedAction(which);
    }
}

void WorkerPair::wakeWorkers() {
    for (const WorkerRole* role : roles)
        if (role != nullptr && role->wake != nullptr) role->wake(context);
}

int WorkerPair::runWorker(int which) {
    int state = stateParked;
    for (;;) {
        if (exitRequest) {
            flags(which).exited = true;
            return 0;
        }
        state = workerAction(which, state);
    }
}

void WorkerPair::startThreads(const WorkerRole& grabberRole, const WorkerRole& handlerRole, void* workerContext) {
    roles[0] = &grabberRole;
    roles[1] = &handlerRole;
    context = workerContext;
    shutdownRequest = false;
    exitRequest = false;
    for (int which = 0; which < 2; ++which) {
        flags(which).exited = false;
        threads[which] = std::thread([this, which] {
            if (roles[which]->enter != nullptr) roles[which]->enter(context);
            runWorker(which);
        });
    }
}

void WorkerPair::start() {
    {
        std::lock_guard lock(parkMutex);
        for (WorkerFlags* f : {&grabber, &handler}) {
            f->stopRequest = false;
            f->stopped = false;
            f->startRequest = true;
        }
    }
    running = true;
    parkSignal.notify_all();
}

void WorkerPair::stop() {
    // Under the park mutex and with a wake-up, so that a worker still parked sees the request too.
    {
        std::lock_guard lock(parkMutex);
        for (WorkerFlags* f : {&grabber, &handler}) {
            f->startRequest = false;
            f->stopRequest = true;
        }
    }
    parkSignal.notify_all();
    if (!threadsStarted()) return;
    wakeWorkers();
    while (!(grabber.stopped && handler.stopped)) {
        debugLine("waiting..");
        pollPause();
    }
    running = false;
}

void WorkerPair::exit() {
    if (!threadsStarted()) return;
    if (running) {
        // Both workers run; they leave at the top of their next iteration.
        {
            std::lock_guard lock(parkMutex);
            exitRequest = true;
        }
        parkSignal.notify_all();
        wakeWorkers();
    } else {
        {
            std::lock_guard lock(parkMutex);
            shutdownRequest = true;
        }
        parkSignal.notify_all();
        while (!(handler.exited && grabber.exited)) pollPause();
    }
    for (std::thread& thread : threads)
        if (thread.joinable()) thread.join();
    running = false;
}

WorkerPair::~WorkerPair() { exit(); }

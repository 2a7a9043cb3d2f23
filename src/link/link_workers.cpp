// The sensor link's two worker roles (grabber and handler) handed to the worker life cycle, the
// connect step shared by the viewer and the tools, and the link's reset for tests. The roles run on
// their worker threads; everything else on the GUI thread (or a tool's main thread).
#include "link/link.h"
#include "link/link_state.h"
#include "app/app.h"

#include <libserialport.h>

namespace {

void grabberRunOnce(void* context) { grabberRunBatch(static_cast<SerialLink*>(context)); }
void handlerStart() {}
void handlerRunOnce(void*) { handlerRunPass(); }

const WorkerRole grabberRole{appState.grabberStartRequest, appState.grabberStopRequest, appState.grabberStopped,
                             appState.grabberExited,       "grabber started",            "grabber halted",
                             grabberEnter,                 grabberStart,                 grabberRunOnce,
                             nullptr};
const WorkerRole handlerRole{appState.handlerStartRequest, appState.handlerStopRequest, appState.handlerStopped,
                             appState.handlerExited,       "handler started",            "handler halted",
                             nullptr,                      handlerStart,                 handlerRunOnce,
                             wakeHandler};

// The last step of the exit sequence: a port still open is closed once no worker reads it.
// An indexer still running is stopped and joined too.
void closePortAfterWorkers() {
    if (appState.portOpen) {
        serialLink.close();
        appState.portOpen = false;
    }
    releaseCapture();
}

}  // namespace

void startLinkWorkers() { startWorkerThreads(grabberRole, handlerRole, &serialLink, closePortAfterWorkers); }

int connectLink(const char* portName, int baudRate) {
    const int status = serialLink.open(portName, baudRate);
    if (status != SP_OK) return status;
    appState.portOpen = true;
    startWorkers();
    return SP_OK;
}

void resetLink() {
    if (workerRoles[0] != nullptr) stopWorkers();
    appState.portOpen = false;
    serialLink.close();
    if (serialLink.port != nullptr) sp_free_port(serialLink.port);
    serialLink.port = nullptr;
    serialLink.failure = PortFailure{};
    portsLeftOut.clear();
    appState.portLost = false;
    appState.debugPrint = false;
    appState.baudRate = defaultBaudRate;
    demoSensorEnabled = false;
    releaseCapture();
    captureClock = steadyCaptureClock;
    portList.assign(1, portPlaceholder);
    resetGrabberStorage();
    resetSynchroniser();
    publishPointCloud(PointFrame{});
}

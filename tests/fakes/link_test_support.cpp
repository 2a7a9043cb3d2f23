// Test support for the sensor link: worker threads once per process, and a reset between tests.
#include "link_test_support.h"

#include "fake_serialport.h"
#include "app/app.h"
#include "link/link.h"
#include "link/link_state.h"

#include <libserialport.h>

#include <cstdlib>

namespace {
bool workersStarted = false;
}

void ensureWorkerThreads() {
    if (workersStarted) return;
    workersStarted = true;
    startWorkerThreads(&serialLink);
}

void resetLinkForTest() {
    if (workersStarted) stopWorkers();
    appState.portOpen = false;
    serialLink.close();
    if (serialLink.port != nullptr) sp_free_port(serialLink.port);
    serialLink.port = nullptr;
    fakeSerialReset();
    appState.portLost = false;
    appState.debugPrint = false;
    appState.baudRate = 460800;
    demoSensorEnabled = false;
    portList.assign(1, portPlaceholder);
    resetGrabberStorage();
    resetSynchroniser();
    publishPointCloud(PointFrame{});
}

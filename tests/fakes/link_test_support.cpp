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
    startLinkWorkers();
}

void resetLinkForTest() {
    resetLink();
    fakeSerialReset();
}

// Test support for everything that runs the sensor link: starts the worker threads once per test
// process and brings the link back to a known state between tests. Test thread only.
#pragma once

#include "fake_serialport.h"
#include "link/link.h"

// Starts the grabber and the handler on the process's SerialLink (once; later calls do nothing).
// The exit sequence runs when the process exits, so the threads are always joined.
inline void ensureWorkerThreads() {
    static const bool started = (startLinkWorkers(), true);
    (void)started;
}

// Back to the state at start: workers parked and acknowledged, port closed and its handle freed,
// portOpen/portLost/debugPrint clear, baudRate 460800, demo sensor off, portList holding only the
// placeholder, empty mailbox, zeroed buffers and statistics, a synchroniser hunting afresh, an
// all-invalid PointCloud, and a fake serial library with no ports (fakeSerialReset).
inline void resetLinkForTest() {
    resetLink();
    fakeSerialReset();
}

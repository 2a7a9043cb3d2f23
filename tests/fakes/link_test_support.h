// Test support for everything that runs the sensor link: starts the worker threads once per test
// process and brings the link back to a known state between tests. Test thread only.
#pragma once

#include "fake_serialport.h"
#include "link/link.h"

// Starts the grabber and the handler of the first link (once; later calls do nothing). The exit
// sequence runs when the process exits, so the threads are always joined.
inline void ensureWorkerThreads() {
    static const bool started = (firstLink().startWorkers(), true);
    (void)started;
}

// Back to the state at start: one link, its workers parked and acknowledged, its source closed,
// portOpen/portLost/debugPrint clear, baudRate 460800, demo sensor off, portList holding only the
// placeholder, empty mailbox, zeroed buffers and statistics, a synchroniser hunting afresh, an
// all-invalid latest frame, and a fake serial library with no ports (fakeSerialReset).
inline void resetLinkForTest() {
    resetLink();
    fakeSerialReset();
}

// The first link's latest frame, as the GUI reads it once per GUI frame.
inline PointFrame latestFrame() {
    PointFrame frame;
    return firstLink().readLatest(frame), frame;
}

// The frame grabber's work inside the worker life cycle: reading the port in batches, running the
// synchroniser over them and handing good frames to the handler through a double buffer with a
// one-slot mailbox. Everything here runs on the grabber thread.
#include "link/link.h"
#include "link/link_state.h"
#include "app/app.h"

#include <cstring>
#include <thread>

void handOverFrame(const uint8_t* record, void*) {
    GrabberStorage& g = grabberStorage;
    std::memcpy(g.writeBuffer + g.framesInBuffer * frameBytes, record, frameBytes);
    ++g.framesInBuffer;
    if (g.framesInBuffer < framesPerBuffer) return;
    if (readyFrame.load(std::memory_order_acquire) != nullptr) {
        // The handler has not finished the previous buffer: the newest frame is dropped, and the
        // next one overwrites it in the same buffer.
        linkStatistics.increment(counterOverruns);
        logPrintf("overrun: %u\n", linkStatistics.get(counterOverruns));
    } else {
        uint8_t* filled = g.writeBuffer;
        g.writeBuffer = g.writeBuffer == g.bufferB ? g.bufferA : g.bufferB;
        readyFrame.store(filled, std::memory_order_release);
        wakeHandler();
    }
    g.framesInBuffer = 0;
}

void resetGrabberStorage() {
    readyFrame.store(nullptr);
    GrabberStorage& g = grabberStorage;
    std::memset(g.bufferA, 0, sizeof g.bufferA);
    std::memset(g.bufferB, 0, sizeof g.bufferB);
    g.writeBuffer = g.bufferB;
    g.framesInBuffer = 0;
}

void grabberEnter() { linkStatistics.reset(); }

void grabberStart() {
    resetSynchroniser();
    grabberStorage.framesInBuffer = 0;
}

void grabberRunBatch(SerialLink* link) {
    // Waiting for the first byte (bounded) instead of polling keeps an idle line from costing a core.
    uint8_t* readBuffer = grabberStorage.readBuffer;
    const int count = busyPoll ? link->read(readBuffer, readChunkBytes)
                               : link->readWithin(readBuffer, readChunkBytes, firstByteWaitMs);
    if (count < 0 && !busyPoll) {
        // A failing port fails at once; the GUI notices the loss, until then do not spin on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(firstByteWaitMs));
    }
    tapBatch(readBuffer, count);
    if (count > 0) synchroniseBytes(readBuffer, count, handOverFrame, nullptr);
}

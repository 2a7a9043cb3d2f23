// The frame grabber's work inside the worker life cycle: reading the port in batches, running the
// synchroniser over them and handing good frames to the handler through a double buffer with a
// one-slot mailbox. Everything here runs on the grabber thread.
#include "link/link.h"
#include "link/link_state.h"
#include "app/app.h"

#include <cstring>
#include <thread>

namespace {

constexpr int overrunIndex = 7;

// Process-wide grabber storage. The read buffer, both frame buffers while not handed over, and
// writeBuffer belong to the grabber thread; a buffer in the mailbox belongs to the handler.
uint8_t readBuffer[readChunkBytes];
uint8_t bufferA[framesPerBuffer * frameBytes];
uint8_t bufferB[framesPerBuffer * frameBytes];
uint8_t* writeBuffer = bufferB;
int framesInBuffer = 0;

}  // namespace

std::atomic<uint8_t*> readyFrame{nullptr};

void handOverFrame(const uint8_t* record, void*) {
    std::memcpy(writeBuffer + framesInBuffer * frameBytes, record, frameBytes);
    ++framesInBuffer;
    if (framesInBuffer < framesPerBuffer) return;
    if (readyFrame.load(std::memory_order_acquire) != nullptr) {
        // The handler has not finished the previous buffer: the newest frame is dropped, and the
        // next one overwrites it in the same buffer.
        linkStatistics.increment(overrunIndex);
        logPrintf("overrun: %u\n", linkStatistics.get(overrunIndex));
    } else {
        uint8_t* filled = writeBuffer;
        writeBuffer = writeBuffer == bufferB ? bufferA : bufferB;
        readyFrame.store(filled, std::memory_order_release);
        wakeHandler();
    }
    framesInBuffer = 0;
}

void resetGrabberStorage() {
    readyFrame.store(nullptr);
    std::memset(bufferA, 0, sizeof bufferA);
    std::memset(bufferB, 0, sizeof bufferB);
    writeBuffer = bufferB;
    framesInBuffer = 0;
}

void grabberEnter() { linkStatistics.reset(); }

void grabberStart() {
    resetSynchroniser();
    framesInBuffer = 0;
}

void grabberRunBatch(SerialLink* link) {
    // Waiting for the first byte (bounded) instead of polling keeps an idle line from costing a core.
    const int count = busyPoll ? link->read(readBuffer, readChunkBytes)
                               : link->readWithin(readBuffer, readChunkBytes, firstByteWaitMs);
    if (count < 0 && !busyPoll) {
        // A failing port fails at once; the GUI notices the loss, until then do not spin on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(firstByteWaitMs));
    }
    if (count > 0) synchroniseBytes(readBuffer, count, handOverFrame, nullptr);
}

// A link's frame grabber inside the worker life cycle: reading the source in batches, running the
// link's synchroniser over them and handing good frames to the handler through a double buffer with
// a one-slot mailbox. Everything here runs on the grabber thread, except resetGrabberStorage.
#include "link/link.h"
#include "link/link_state.h"
#include "app/app.h"

#include <cinttypes>
#include <cstring>
#include <thread>

void handOverFrame(const uint8_t* record, void* context) {
    Link& link = *static_cast<Link*>(context);
    Link::Private& own = *link.own;
    GrabberStorage& g = own.grabber;
    std::memcpy(g.writeBuffer + g.framesInBuffer * frameBytes, record, frameBytes);
    ++g.framesInBuffer;
    if (g.framesInBuffer < framesPerBuffer) return;
    if (own.readyFrame.load(std::memory_order_acquire) != nullptr) {
        // The handler has not finished the previous buffer: the newest frame is dropped, and the
        // next one overwrites it in the same buffer.
        link.statistics.increment(counterOverruns);
        logPrintf("overrun: %" PRIu64 "\n", link.statistics.get(counterOverruns));
    } else {
        uint8_t* filled = g.writeBuffer;
        g.writeBuffer = g.writeBuffer == g.bufferB ? g.bufferA : g.bufferB;
        own.readyFrame.store(filled, std::memory_order_release);
        wakeHandler(link);
    }
    g.framesInBuffer = 0;
}

void resetGrabberStorage(Link& link) {
    link.own->readyFrame.store(nullptr);
    GrabberStorage& g = link.own->grabber;
    std::memset(g.bufferA, 0, sizeof g.bufferA);
    std::memset(g.bufferB, 0, sizeof g.bufferB);
    g.writeBuffer = g.bufferB;
    g.framesInBuffer = 0;
}

void grabberRunBatch(Link& link) {
    // Waiting for the first byte (bounded) instead of polling keeps an idle line from costing a core.
    const LinkSource& source = *link.source;
    uint8_t* readBuffer = link.own->grabber.readBuffer;
    const int count = busyPoll ? source.read(link, readBuffer, readChunkBytes)
                               : source.readWithin(link, readBuffer, readChunkBytes, firstByteWaitMs);
    if (count < 0 && !busyPoll) {
        // A failing port fails at once; the GUI notices the loss, until then do not spin on it.
        std::this_thread::sleep_for(std::chrono::milliseconds(firstByteWaitMs));
    }
    tapBatch(link, readBuffer, count);
    if (count > 0) link.synchroniser.synchroniseBytes(readBuffer, count, handOverFrame, &link);
}

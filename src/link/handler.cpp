// A link's frame handler inside the worker life cycle: decoding each handed-over frame into the
// link's latest frame. handlerRunPass runs on the handler thread; decodeFrame on any thread.
#include "link/link.h"
#include "link/link_state.h"
#include "app/app.h"

namespace {

constexpr float millimetresPerMetre = 1000.0f;

}  // namespace

void decodeFrame(const uint8_t* record, PointFrame& out) {
    const FrameHeader header = readFrameHeader(record);
    out.stamped = 1;
    out.sequence = header.sequence;
    out.timestampSeconds = header.seconds;
    out.timestampMicros = header.micros;
    for (int p = 0; p < pointsPerFrame; ++p) {
        out.valid[p] = 1;
        for (int k = 0; k < 3; ++k) {
            const uint8_t* at = record + pointFieldOffset(p, k);
            const auto millimetres = static_cast<int16_t>(static_cast<uint16_t>(readLittleEndian(at, coordinateBytes)));
            out.xyz[p][k] = static_cast<float>(millimetres) / millimetresPerMetre;
        }
    }
}

void wakeHandler(Link& link) {
    link.own->handlerWake.fetch_add(1, std::memory_order_release);
    link.own->handlerWake.notify_one();
}

void handlerRunPass(Link& link) {
    Link::Private& own = *link.own;
    // Read the wake count before looking at the mailbox, so a frame posted in between ends the wait.
    const uint32_t seen = own.handlerWake.load(std::memory_order_acquire);
    uint8_t* buffer = own.readyFrame.load(std::memory_order_acquire);
    if (buffer == nullptr) {
        // A stop or exit request raised before `seen` was read has already been counted in it.
        const bool leaving = link.workers.handler.stopRequest || link.workers.exitRequest;
        if (!busyPoll && !leaving) own.handlerWake.wait(seen, std::memory_order_acquire);
        return;
    }
    PointFrame frame;
    for (int r = 0; r < framesPerBuffer; ++r) {
        decodeFrame(buffer + r * frameBytes, frame);
        link.publish(frame);
        link.statistics.increment(counterFramesProcessed);
    }
    link.statistics.increment(counterBuffersProcessed);
    own.readyFrame.store(nullptr, std::memory_order_release);
}

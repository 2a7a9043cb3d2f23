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
    for (int p = 0; p < pointsPerFrame; ++p) out.valid[p] = 1;
    // The coordinates lie x, y, z point after point, as xyz holds them: one loop over all of them,
    // which a Release build vectorises (a coordinate at a time was a fifth of reading a capture).
    static_assert(coordinateBytes == 2 && pointFieldOffset(1, 0) == pointFieldOffset(0, 2) + coordinateBytes,
                  "coordinates are packed little-endian int16");
    const uint8_t* __restrict from = record + pointFieldOffset(0, 0);
    float* __restrict to = &out.xyz[0][0];
    for (int i = 0; i < 3 * pointsPerFrame; ++i) {
        const auto millimetres = static_cast<int16_t>(static_cast<uint16_t>(from[2 * i] | from[2 * i + 1] << 8));
        to[i] = static_cast<float>(millimetres) / millimetresPerMetre;
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

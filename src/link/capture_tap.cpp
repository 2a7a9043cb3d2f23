// A link's taps: single-producer, single-consumer byte rings between its grabber (which copies every
// batch it reads) and the writer threads (capture, session) that take the bytes to disk, with the
// open and close requests of the controlling thread. Each function says which thread calls it.
#include "link/link.h"
#include "link/link_state.h"
#include "app/app.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

namespace {

size_t ringOffset(const CaptureTap& tap, uint64_t count) { return static_cast<size_t>(count & (tap.capacity - 1)); }

void copyIn(CaptureTap& tap, uint64_t at, const uint8_t* bytes, size_t count) {
    const size_t offset = ringOffset(tap, at);
    const size_t first = std::min(count, tap.capacity - offset);
    std::memcpy(tap.storage.get() + offset, bytes, first);
    std::memcpy(tap.storage.get(), bytes + first, count - first);
}

// Grabber thread: the whole batch (behind its header, when given) or nothing.
bool pushBytes(CaptureTap& tap, const uint8_t* header, size_t headerBytes, const uint8_t* bytes, size_t count) {
    const uint64_t pushed = tap.pushed.load(std::memory_order_relaxed);
    const uint64_t taken = tap.taken.load(std::memory_order_acquire);
    if (tap.capacity - (pushed - taken) < headerBytes + count) return false;
    copyIn(tap, pushed, header, headerBytes);
    copyIn(tap, pushed + headerBytes, bytes, count);
    tap.pushed.store(pushed + headerBytes + count, std::memory_order_release);
    return true;
}

uint64_t hostNanos() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

}  // namespace

void tapBatch(Link& link, const uint8_t* bytes, int count) {
    for (int kind = 0; kind < tapKindCount; ++kind) {
        CaptureTap& tap = link.own->taps[kind];
        const uint32_t wanted = tap.wanted.load(std::memory_order_acquire);
        if ((wanted & 1) != 0 && count > 0 && !tap.overflowed.load(std::memory_order_relaxed)) {
            uint8_t header[sessionBatchHeaderBytes];
            size_t headerBytes = 0;
            if (kind == tapSession) {
                const uint64_t now = hostNanos();
                writeLittleEndian(header, static_cast<uint32_t>(now), 4);
                writeLittleEndian(header + 4, static_cast<uint32_t>(now >> 32), 4);
                writeLittleEndian(header + 8, static_cast<uint32_t>(count), 4);
                headerBytes = sessionBatchHeaderBytes;
            }
            if (!pushBytes(tap, header, headerBytes, bytes, static_cast<size_t>(count)))
                tap.overflowed.store(true, std::memory_order_release);
        }
        // Release: whoever sees this value also sees every byte pushed before it.
        if (tap.seen.load(std::memory_order_relaxed) != wanted) tap.seen.store(wanted, std::memory_order_release);
    }
}

bool Link::openTap(TapKind kind, size_t ringBytes) {
    CaptureTap& tap = own->taps[kind];
    if (tap.capacity != ringBytes) {
        tap.storage.reset(new (std::nothrow) uint8_t[ringBytes]);
        tap.capacity = tap.storage ? ringBytes : 0;
        if (!tap.storage) return false;
    }
    tap.pushed.store(0, std::memory_order_relaxed);
    tap.taken.store(0, std::memory_order_relaxed);
    tap.overflowed.store(false, std::memory_order_relaxed);
    // Release: the grabber that sees the odd request sees the emptied ring.
    tap.wanted.store(tap.wanted.load(std::memory_order_relaxed) | 1, std::memory_order_release);
    return true;
}

void Link::closeTap(TapKind kind) {
    CaptureTap& tap = own->taps[kind];
    const uint32_t wanted = tap.wanted.load(std::memory_order_relaxed);
    if ((wanted & 1) != 0) tap.wanted.store(wanted + 1, std::memory_order_release);
}

bool Link::tapReleased(TapKind kind) const {
    const CaptureTap& tap = own->taps[kind];
    const uint32_t wanted = tap.wanted.load(std::memory_order_relaxed);
    if ((wanted & 1) != 0) return false;
    // With no source open the grabber is parked: the controlling thread itself clears portOpen only
    // after stopping the workers, and sets it before starting them.
    return tap.seen.load(std::memory_order_acquire) == wanted || !portOpen;
}

bool Link::tapOverflowed(TapKind kind) const { return own->taps[kind].overflowed.load(std::memory_order_acquire); }

ByteSpans Link::tapPending(TapKind kind) const {
    const CaptureTap& tap = own->taps[kind];
    const uint64_t taken = tap.taken.load(std::memory_order_relaxed);
    const uint64_t waiting = tap.pushed.load(std::memory_order_acquire) - taken;
    const size_t at = ringOffset(tap, taken);
    const size_t first = std::min(static_cast<size_t>(waiting), tap.capacity - at);
    return ByteSpans{{tap.storage.get() + at, tap.storage.get()}, {first, static_cast<size_t>(waiting) - first}};
}

void Link::tapTake(TapKind kind, size_t bytes) {
    CaptureTap& tap = own->taps[kind];
    tap.taken.store(tap.taken.load(std::memory_order_relaxed) + bytes, std::memory_order_release);
}

// A link's capture tap: a single-producer, single-consumer byte ring between its grabber (which
// copies every batch it reads) and the capture writer thread (which takes the bytes to disk), with
// the open and close requests of the controlling thread. Each function says which thread calls it.
#include "link/link.h"
#include "link/link_state.h"
#include "app/app.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

size_t ringOffset(const CaptureTap& tap, uint64_t count) { return static_cast<size_t>(count & (tap.capacity - 1)); }

// Grabber thread: the whole batch or nothing.
bool pushBytes(CaptureTap& tap, const uint8_t* bytes, size_t count) {
    const uint64_t pushed = tap.pushed.load(std::memory_order_relaxed);
    const uint64_t taken = tap.taken.load(std::memory_order_acquire);
    if (tap.capacity - (pushed - taken) < count) return false;
    const size_t at = ringOffset(tap, pushed);
    const size_t first = std::min(count, tap.capacity - at);
    std::memcpy(tap.storage.get() + at, bytes, first);
    std::memcpy(tap.storage.get(), bytes + first, count - first);
    tap.pushed.store(pushed + count, std::memory_order_release);
    return true;
}

}  // namespace

void tapBatch(Link& link, const uint8_t* bytes, int count) {
    CaptureTap& tap = link.own->tap;
    const uint32_t wanted = tap.wanted.load(std::memory_order_acquire);
    if ((wanted & 1) != 0 && count > 0 && !tap.overflowed.load(std::memory_order_relaxed) &&
        !pushBytes(tap, bytes, static_cast<size_t>(count))) {
        tap.overflowed.store(true, std::memory_order_release);
    }
    // Release: whoever sees this value also sees every byte pushed before it.
    if (tap.seen.load(std::memory_order_relaxed) != wanted) tap.seen.store(wanted, std::memory_order_release);
}

bool Link::openCaptureTap(size_t ringBytes) {
    CaptureTap& tap = own->tap;
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

void Link::closeCaptureTap() {
    CaptureTap& tap = own->tap;
    const uint32_t wanted = tap.wanted.load(std::memory_order_relaxed);
    if ((wanted & 1) != 0) tap.wanted.store(wanted + 1, std::memory_order_release);
}

bool Link::captureTapReleased() const {
    const CaptureTap& tap = own->tap;
    const uint32_t wanted = tap.wanted.load(std::memory_order_relaxed);
    if ((wanted & 1) != 0) return false;
    // With no source open the grabber is parked: the controlling thread itself clears portOpen only
    // after stopping the workers, and sets it before starting them.
    return tap.seen.load(std::memory_order_acquire) == wanted || !portOpen;
}

bool Link::captureTapOverflowed() const { return own->tap.overflowed.load(std::memory_order_acquire); }

ByteSpans Link::captureTapPending() const {
    const CaptureTap& tap = own->tap;
    const uint64_t taken = tap.taken.load(std::memory_order_relaxed);
    const uint64_t waiting = tap.pushed.load(std::memory_order_acquire) - taken;
    const size_t at = ringOffset(tap, taken);
    const size_t first = std::min(static_cast<size_t>(waiting), tap.capacity - at);
    return ByteSpans{{tap.storage.get() + at, tap.storage.get()}, {first, static_cast<size_t>(waiting) - first}};
}

void Link::captureTapTake(size_t bytes) {
    CaptureTap& tap = own->tap;
    tap.taken.store(tap.taken.load(std::memory_order_relaxed) + bytes, std::memory_order_release);
}

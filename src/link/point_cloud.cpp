// A link's latest frame: written by its frame handler (or the replay reader while no source is
// open) and read by any thread, whole frames only, never with a lock.
// A reader that saw the sequence counter change, or odd, retries: it always gets one frame as
// published, and the writer never waits for a reader.
#include "link/link.h"
#include "link/link_state.h"

#include <thread>

namespace {

// Publisher threads count themselves in before they look at the hook; the setter stores the new
// hook and then waits for the count to drop. Both orders are sequentially consistent, so a
// publisher either sees the new hook or is counted while the setter waits.
void tellFramePublished(Link::Private& own) {
    own.hookCalls.fetch_add(1);
    const FramePublishedHook hook = own.hook.load();
    if (hook != nullptr) hook();
    own.hookCalls.fetch_sub(1);
}

}  // namespace

void Link::setFramePublishedHook(FramePublishedHook hook) {
    own->hook.store(hook);
    while (own->hookCalls.load() != 0) std::this_thread::yield();
}

void Link::publish(const PointFrame& frame) {
    SharedPointCloud& pointCloud = own->cloud;
    std::atomic<uint64_t>& pointCloudSequence = own->cloudSequence;
    // There is one writer at a time; claiming the odd count with a compare-exchange keeps even a
    // mistaken second writer from interleaving its elements with ours.
    uint64_t sequence = pointCloudSequence.load(std::memory_order_relaxed);
    while ((sequence & 1) != 0 ||
           !pointCloudSequence.compare_exchange_weak(sequence, sequence + 1, std::memory_order_relaxed)) {
        std::this_thread::yield();
        sequence = pointCloudSequence.load(std::memory_order_relaxed);
    }
    // Element stores are release and element loads acquire instead of a pair of fences (which the
    // thread sanitizer cannot follow): a reader that sees any element of this frame also sees the odd
    // count, so it retries. On x86 both compile to plain moves.
    for (int p = 0; p < pointsPerFrame; ++p) {
        pointCloud.valid[p].store(frame.valid[p], std::memory_order_release);
        for (int k = 0; k < 3; ++k) pointCloud.xyz[p][k].store(frame.xyz[p][k], std::memory_order_release);
    }
    pointCloud.stamped.store(frame.stamped, std::memory_order_release);
    pointCloud.sequence.store(frame.sequence, std::memory_order_release);
    pointCloud.timestampSeconds.store(frame.timestampSeconds, std::memory_order_release);
    pointCloud.timestampMicros.store(frame.timestampMicros, std::memory_order_release);
    pointCloudSequence.store(sequence + 2, std::memory_order_release);
    tellFramePublished(*own);
}

void Link::readLatest(PointFrame& out) const {
    const SharedPointCloud& pointCloud = own->cloud;
    const std::atomic<uint64_t>& pointCloudSequence = own->cloudSequence;
    for (;;) {
        const uint64_t before = pointCloudSequence.load(std::memory_order_acquire);
        if ((before & 1) == 0) {
            for (int p = 0; p < pointsPerFrame; ++p) {
                out.valid[p] = pointCloud.valid[p].load(std::memory_order_acquire);
                for (int k = 0; k < 3; ++k) out.xyz[p][k] = pointCloud.xyz[p][k].load(std::memory_order_acquire);
            }
            out.stamped = pointCloud.stamped.load(std::memory_order_acquire);
            out.sequence = pointCloud.sequence.load(std::memory_order_acquire);
            out.timestampSeconds = pointCloud.timestampSeconds.load(std::memory_order_acquire);
            out.timestampMicros = pointCloud.timestampMicros.load(std::memory_order_acquire);
            if (pointCloudSequence.load(std::memory_order_relaxed) == before) return;
        }
        std::this_thread::yield();
    }
}

uint64_t Link::generation() const { return own->cloudSequence.load(std::memory_order_acquire) / 2; }

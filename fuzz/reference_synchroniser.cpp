// The synchroniser's wire rules, one byte at a time, as the viewer first ran them: each byte goes
// through the action of the current numbered state, which yields the state for the next byte.
#include "reference_synchroniser.h"
#include "app/app.h"

#include <algorithm>
#include <cstring>

namespace {

// The action of the current state for byte b; returns the next state.
int action(ReferenceSynchroniser& sync, uint8_t b) {
    SynchroniserState& s = sync.state;
    LinkStatistics& counters = sync.statistics;
    const bool onEntry = s.syncState != s.prevSyncState;
    // "field += b << 8 * fieldIndex" for a field zeroed on entry; true after its last byte.
    auto readField = [&](int offset, int width) {
        if (onEntry) {
            std::memset(s.record + offset, 0, width);
            s.fieldIndex = 0;
        }
        const uint32_t value = readLittleEndian(s.record + offset, width) + (static_cast<uint32_t>(b) << (8 * s.fieldIndex));
        for (int i = 0; i < width; ++i) s.record[offset + i] = static_cast<uint8_t>(value >> (8 * i));
        return ++s.fieldIndex == width;
    };
    switch (s.syncState) {
    case 0:
        s.inFrame = false;
        if (s.syncedOnce) counters.increment(counterLostSyncs);
        [[fallthrough]];
    case 1:
        if (b != syncPattern[0]) return s.inFrame ? 0 : 1;
        s.record[0] = b;
        return 2;
    case 2:
    case 3:
    case 4: {
        const int position = s.syncState - 1;
        if (b != syncPattern[position]) return 0;
        s.record[position] = b;
        if (position < 3) return s.syncState + 1;
        counters.increment(counterGoodSyncs);
        s.syncedOnce = s.inFrame = true;
        if (linkTrace) std::fprintf(stderr, "sync found\n");
        return 5;
    }
    case 5: {
        if (!readField(sizeOffset, 4)) return 5;
        const uint32_t size = readLittleEndian(s.record + sizeOffset, 4);
        if (linkTrace) std::fprintf(stderr, "frame size read, actual: %d, %d\n", static_cast<int>(size), static_cast<int>(frameSizeField));
        if (size == frameSizeField) return 6;
        s.inFrame = false;
        counters.increment(counterSizeErrors);
        return 1;
    }
    case 6:
        if (onEntry) s.computedSum = 0;
        s.computedSum += b;
        if (!readField(sequenceOffset, 2)) return 6;
        std::memset(s.record + bodyOffset, 0, frameBytes - bodyOffset);
        if (linkTrace) std::fprintf(stderr, "frame seq: %04x\n", readLittleEndian(s.record + sequenceOffset, 2));
        return 7;
    case 7:
        if (onEntry) s.fieldIndex = 0;
        s.record[bodyOffset + s.fieldIndex] = b;
        s.computedSum += b;
        return ++s.fieldIndex == static_cast<int32_t>(readLittleEndian(s.record + sizeOffset, 4)) - 6 ? 8 : 7;
    case 8: {
        if (!readField(checksumOffset, 4)) return 8;
        const uint32_t checksum = readLittleEndian(s.record + checksumOffset, 4);
        if (linkTrace) std::fprintf(stderr, "cksum, frame: %04x calc: %02x\n", checksum, s.computedSum);
        if (checksum == s.computedSum) {
            s.frameReady = true;
            if (appState.debugPrint)
                logPrintf("%3.4lf\n", readLittleEndian(s.record + secondsOffset, 4) + readLittleEndian(s.record + microsOffset, 4) * 0.001 * 0.001);
            counters.increment(counterGoodFrames);
        } else {
            counters.increment(counterChecksumErrors);
        }
        return 1;
    }
    default:
        counters.increment(counterInvalidErrors);
        return 0;
    }
}

}  // namespace

void referenceReset(ReferenceSynchroniser& sync) {
    sync.state.computedSum = 0;
    sync.state.syncedOnce = sync.state.frameReady = false;
    sync.state.syncState = sync.state.prevSyncState = 0;
    sync.statistics.reset();
}

void referenceSynchronise(ReferenceSynchroniser& sync, const uint8_t* bytes, int count, GoodFrameCallback onGoodFrame,
                          void* context) {
    SynchroniserState& s = sync.state;
    for (int i = 0; i < count; ++i) {
        sync.statistics.increment(counterTotalBytes);
        const int next = action(sync, bytes[i]);
        s.prevSyncState = s.syncState;
        s.syncState = next;
        if (sync.statistics.errorChanged()) {
            if (linkTrace) sync.statistics.print(stdout);
            sync.statistics.clearErrorChanged();
        }
        if (s.frameReady) {
            if (linkTrace)
                std::fprintf(stderr, "GOOD, frame %d\tcksum: %04x\tcalc: %04x\n", static_cast<int>(sync.statistics.get(counterGoodFrames)),
                             readLittleEndian(s.record + checksumOffset, 4), s.computedSum);
            onGoodFrame(s.record, context);
            s.frameReady = false;
        }
    }
}

SynchroniserSnapshot takeSnapshot(const SynchroniserState& state, const LinkStatistics& statistics) {
    SynchroniserSnapshot shot{state.syncState, state.prevSyncState, state.fieldIndex, state.computedSum,
                              state.syncedOnce, state.inFrame, state.frameReady, {}, {}, {}};
    std::copy(std::begin(state.record), std::end(state.record), shot.record.begin());
    for (int i = 0; i < linkStatisticCount; ++i) {
        shot.counts[i] = statistics.get(i);
        shot.changed[i] = statistics.changed[i].load();
    }
    return shot;
}

// The synchroniser's wire rules taken one byte at a time, on a state of its own: what the fuzzer and
// the unit tests compare the synchroniser against (frames, counters, assembly area and output).
#pragma once

#include "link/link_state.h"

#include <array>

struct ReferenceSynchroniser {
    SynchroniserState state;
    LinkStatistics statistics;
};

void referenceReset(ReferenceSynchroniser& sync);  // as resetSynchroniser
void referenceSynchronise(ReferenceSynchroniser& sync, const uint8_t* bytes, int count, GoodFrameCallback onGoodFrame,
                          void* context);

// Everything a synchroniser keeps between calls, comparable as a whole.
struct SynchroniserSnapshot {
    int syncState, prevSyncState;
    int32_t fieldIndex;
    uint32_t computedSum;
    bool syncedOnce, inFrame, frameReady;
    std::array<uint8_t, frameBytes> record;
    std::array<uint32_t, linkStatisticCount> counts;
    std::array<bool, linkStatisticCount> changed;
    bool operator==(const SynchroniserSnapshot&) const = default;
};
SynchroniserSnapshot takeSnapshot(const SynchroniserState& state, const LinkStatistics& statistics);

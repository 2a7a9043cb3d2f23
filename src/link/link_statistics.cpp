// LinkStatistics: the ten counters of a link's health. Counters 0..7 are written by the grabber,
// 8 and 9 by the handler; any thread may read them (the connection panel shows them).
#include "link/link.h"

#include <cinttypes>

const char* const linkStatisticNames[linkStatisticCount] = {
    "Total bytes",  "Good frames",    "Good syncs",    "Lost syncs",       "Size errors",
    "Cksum errors", "Invalid errors", "write overrun", "buffer processed", "frame processed",
};

namespace {
constexpr int firstErrorIndex = counterLostSyncs;
constexpr int lastErrorIndex = counterInvalidErrors;
}  // namespace

void LinkStatistics::reset() {
    for (int i = 0; i < linkStatisticCount; ++i) {
        counts[i] = 0;
        changed[i] = false;
    }
}

void LinkStatistics::increment(int index) {
    // One writer per counter, so a plain load and store would do; fetch_add keeps it obviously right.
    counts[index].fetch_add(1, std::memory_order_relaxed);
    changed[index].store(true, std::memory_order_relaxed);
}

void LinkStatistics::add(int index, uint64_t amount) {
    if (amount == 0) return;
    counts[index].fetch_add(amount, std::memory_order_relaxed);
    changed[index].store(true, std::memory_order_relaxed);
}

uint64_t LinkStatistics::get(int index) const { return counts[index].load(std::memory_order_relaxed); }

bool LinkStatistics::errorChanged() const {
    for (int i = firstErrorIndex; i <= lastErrorIndex; ++i)
        if (changed[i].load(std::memory_order_relaxed)) return true;
    return false;
}

void LinkStatistics::clearErrorChanged() {
    for (int i = firstErrorIndex; i <= lastErrorIndex; ++i) changed[i].store(false, std::memory_order_relaxed);
}

void LinkStatistics::print(FILE* stream) const {
    for (int i = 0; i < linkStatisticCount; ++i) std::fprintf(stream, "%4" PRIu64 "\t", get(i));
    std::fprintf(stream, "\n");
}

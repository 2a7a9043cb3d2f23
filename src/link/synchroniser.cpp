// The synchroniser: finds frames in the sensor's byte stream by their sync pattern, checks size and
// checksum, and counts every event in linkStatistics. Run by the grabber thread (and by
// quarvis-decode offline), one thread at a time.
#include "link/link.h"
#include "link/link_state.h"
#include "app/app.h"

#include <cstring>

namespace {

// One state per kind of byte expected next; the numbers are those the statistics and traces use.
enum SyncState : int {
    lostSync = 0,
    hunt = 1,
    sync1 = 2,
    sync2 = 3,
    sync3 = 4,
    readSize = 5,
    readSequence = 6,
    readBody = 7,
    readChecksum = 8,
};

constexpr int sizeFieldBytes = 4;
constexpr int sequenceFieldBytes = 2;
constexpr int checksumFieldBytes = 4;
constexpr int sequenceBytesInChecksum = bodyOffset - sequenceOffset;

// Adds b, shifted into place, to the little-endian field at `offset` (what "field += b << 8 * i"
// means for a field that started at zero).
void addToField(int offset, int width, uint8_t b) {
    const uint32_t value = readLittleEndian(synchroniser.record + offset, width) + (static_cast<uint32_t>(b) << (8 * synchroniser.fieldIndex));
    for (int i = 0; i < width; ++i) synchroniser.record[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void printTimeStamp() {
    const double seconds = readLittleEndian(synchroniser.record + secondsOffset, 4) +
                           readLittleEndian(synchroniser.record + microsOffset, 4) * 0.001 * 0.001;
    logPrintf("%3.4lf\n", seconds);
}

int huntAction(uint8_t b) {
    if (b == syncPattern[0]) {
        synchroniser.record[0] = b;
        return sync1;
    }
    return synchroniser.inFrame ? lostSync : hunt;
}

int syncByteAction(uint8_t b, int position, int next) {
    if (b != syncPattern[position]) return lostSync;
    synchroniser.record[position] = b;
    return next;
}

int readSizeAction(uint8_t b, bool onEntry) {
    if (onEntry) {
        std::memset(synchroniser.record + sizeOffset, 0, sizeFieldBytes);
        synchroniser.fieldIndex = 0;
    }
    addToField(sizeOffset, sizeFieldBytes, b);
    if (++synchroniser.fieldIndex < sizeFieldBytes) return readSize;
    const uint32_t size = readLittleEndian(synchroniser.record + sizeOffset, sizeFieldBytes);
    if (linkTrace) std::fprintf(stderr, "frame size read, actual: %d, %d\n", static_cast<int>(size), static_cast<int>(frameSizeField));
    if (size != frameSizeField) {
        synchroniser.inFrame = false;
        linkStatistics.increment(counterSizeErrors);
        return hunt;
    }
    return readSequence;
}

int readSequenceAction(uint8_t b, bool onEntry) {
    if (onEntry) {
        std::memset(synchroniser.record + sequenceOffset, 0, sequenceFieldBytes);
        synchroniser.fieldIndex = 0;
        synchroniser.computedSum = 0;
    }
    addToField(sequenceOffset, sequenceFieldBytes, b);
    synchroniser.computedSum += b;
    if (++synchroniser.fieldIndex < sequenceFieldBytes) return readSequence;
    std::memset(synchroniser.record + bodyOffset, 0, frameBytes - bodyOffset);
    if (linkTrace) std::fprintf(stderr, "frame seq: %04x\n", readLittleEndian(synchroniser.record + sequenceOffset, sequenceFieldBytes));
    return readBody;
}

int readBodyAction(uint8_t b, bool onEntry) {
    if (onEntry) synchroniser.fieldIndex = 0;
    synchroniser.record[bodyOffset + synchroniser.fieldIndex] = b;
    synchroniser.computedSum += b;
    ++synchroniser.fieldIndex;
    const int32_t bodyBytes = static_cast<int32_t>(readLittleEndian(synchroniser.record + sizeOffset, sizeFieldBytes)) - sequenceBytesInChecksum - checksumFieldBytes;
    return synchroniser.fieldIndex == bodyBytes ? readChecksum : readBody;
}

int readChecksumAction(uint8_t b, bool onEntry) {
    if (onEntry) {
        std::memset(synchroniser.record + checksumOffset, 0, checksumFieldBytes);
        synchroniser.fieldIndex = 0;
    }
    addToField(checksumOffset, checksumFieldBytes, b);
    if (++synchroniser.fieldIndex < checksumFieldBytes) return readChecksum;
    const uint32_t checksum = readLittleEndian(synchroniser.record + checksumOffset, checksumFieldBytes);
    if (linkTrace) std::fprintf(stderr, "cksum, frame: %04x calc: %02x\n", checksum, synchroniser.computedSum);
    if (checksum == synchroniser.computedSum) {
        synchroniser.frameReady = true;
        if (appState.debugPrint) printTimeStamp();
        linkStatistics.increment(counterGoodFrames);
    } else {
        linkStatistics.increment(counterChecksumErrors);
    }
    return hunt;
}

// The action of the current state for one byte; returns the state for the next byte.
int syncAction(uint8_t b) {
    const bool onEntry = synchroniser.syncState != synchroniser.prevSyncState;
    switch (synchroniser.syncState) {
    case lostSync:
        synchroniser.inFrame = false;
        if (synchroniser.syncedOnce) linkStatistics.increment(counterLostSyncs);
        return huntAction(b);
    case hunt:
        return huntAction(b);
    case sync1:
        return syncByteAction(b, 1, sync2);
    case sync2:
        return syncByteAction(b, 2, sync3);
    case sync3:
        if (b != syncPattern[3]) return lostSync;
        synchroniser.record[3] = b;
        linkStatistics.increment(counterGoodSyncs);
        synchroniser.syncedOnce = true;
        synchroniser.inFrame = true;
        if (linkTrace) std::fprintf(stderr, "sync found\n");
        return readSize;
    case readSize:
        return readSizeAction(b, onEntry);
    case readSequence:
        return readSequenceAction(b, onEntry);
    case readBody:
        return readBodyAction(b, onEntry);
    case readChecksum:
        return readChecksumAction(b, onEntry);
    default:
        linkStatistics.increment(counterInvalidErrors);
        return lostSync;
    }
}

}  // namespace

void resetSynchroniser() {
    synchroniser.computedSum = 0;
    synchroniser.syncedOnce = false;
    synchroniser.frameReady = false;
    synchroniser.syncState = lostSync;
    synchroniser.prevSyncState = lostSync;
    linkStatistics.reset();
}

void synchroniseBytes(const uint8_t* bytes, int count, GoodFrameCallback onGoodFrame, void* context) {
    for (int i = 0; i < count; ++i) {
        linkStatistics.increment(counterTotalBytes);
        const int next = syncAction(bytes[i]);
        synchroniser.prevSyncState = synchroniser.syncState;
        synchroniser.syncState = next;
        if (linkStatistics.errorChanged()) {
            if (linkTrace) linkStatistics.print(stdout);
            linkStatistics.clearErrorChanged();
        }
        if (synchroniser.frameReady) {
            if (linkTrace)
                std::fprintf(stderr, "GOOD, frame %d\tcksum: %04x\tcalc: %04x\n", static_cast<int>(linkStatistics.get(counterGoodFrames)),
                             readLittleEndian(synchroniser.record + checksumOffset, checksumFieldBytes), synchroniser.computedSum);
            onGoodFrame(synchroniser.record, context);
            synchroniser.frameReady = false;
        }
    }
}

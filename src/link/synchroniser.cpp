// The synchroniser: finds frames in the sensor's byte stream by their sync pattern, checks size and
// checksum, and counts every event in linkStatistics. Run by the grabber thread (and by
// quarvis-decode offline), one thread at a time.
//
// It runs the numbered state machine of the wire rules a span at a time instead of a byte at a time:
// hunting outside a frame skips to the next 0x5A with memchr, and a field or the body takes in one
// step every byte of it that the call holds (one copy, one pass of the sum). The byte-by-byte rules
// stay the definition: after every step the state, the counters, the assembly area and what was
// printed are what they give (fuzz/reference_synchroniser.cpp runs them to compare against).
#include "link/link.h"
#include "link/link_state.h"
#include "app/app.h"

#include <algorithm>
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
// The body runs from offset 10 to the checksum: the size field less the sequence and the checksum.
constexpr int bodyBytes = static_cast<int>(frameSizeField) - (bodyOffset - sequenceOffset) - checksumFieldBytes;
constexpr int sumBlockBytes = 64;

// The bytes of one synchroniseBytes call not yet taken, and where counter 0 has got to.
struct Span {
    const uint8_t* at;
    const uint8_t* end;
    const uint8_t* counted;  // the bytes before this one are in counter 0

    int left() const { return static_cast<int>(end - at); }
};

// The checksum's sum of `count` bytes. Blocks of a fixed length let the compiler vectorise the sum
// at any optimisation level.
uint32_t byteSum(const uint8_t* at, int count) {
    uint32_t sum = 0;
    int i = 0;
    for (; i + sumBlockBytes <= count; i += sumBlockBytes) {
        uint32_t block = 0;
        for (int k = 0; k < sumBlockBytes; ++k) block += at[i + k];
        sum += block;
    }
    for (; i < count; ++i) sum += at[i];
    return sum;
}

// Counter 0 brought up to the bytes taken so far: before anything that shows the counters or a frame.
void countTakenBytes(Span& span) {
    linkStatistics.add(counterTotalBytes, static_cast<uint32_t>(span.at - span.counted));
    span.counted = span.at;
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

int huntStep(Span& span) {
    if (!synchroniser.inFrame) {
        // Outside a frame every byte but 0x5A leaves the hunt as it is: skip straight to the next one.
        const void* found = std::memchr(span.at, syncPattern[0], static_cast<size_t>(span.left()));
        if (found == nullptr) {
            span.at = span.end;
            return hunt;
        }
        span.at = static_cast<const uint8_t*>(found);
    }
    return huntAction(*span.at++);
}

int syncByteAction(uint8_t b, int position, int next) {
    if (b != syncPattern[position]) return lostSync;
    synchroniser.record[position] = b;
    return next;
}

// Takes the bytes of a field (zeroed on entry) that the call holds, as "field += b << 8 * index"
// does byte by byte; true when its last byte is in.
bool takeField(Span& span, int offset, int width, bool onEntry) {
    if (onEntry) {
        std::memset(synchroniser.record + offset, 0, width);
        synchroniser.fieldIndex = 0;
    }
    const int count = std::min(width - synchroniser.fieldIndex, span.left());
    std::memcpy(synchroniser.record + offset + synchroniser.fieldIndex, span.at, count);
    span.at += count;
    synchroniser.fieldIndex += count;
    return synchroniser.fieldIndex == width;
}

int readSizeStep(Span& span, bool onEntry) {
    if (!takeField(span, sizeOffset, sizeFieldBytes, onEntry)) return readSize;
    const uint32_t size = readLittleEndian(synchroniser.record + sizeOffset, sizeFieldBytes);
    if (linkTrace) std::fprintf(stderr, "frame size read, actual: %d, %d\n", static_cast<int>(size), static_cast<int>(frameSizeField));
    if (size != frameSizeField) {
        synchroniser.inFrame = false;
        linkStatistics.increment(counterSizeErrors);
        return hunt;
    }
    return readSequence;
}

int readSequenceStep(Span& span, bool onEntry) {
    if (onEntry) synchroniser.computedSum = 0;
    const uint8_t* from = span.at;
    const bool complete = takeField(span, sequenceOffset, sequenceFieldBytes, onEntry);
    synchroniser.computedSum += byteSum(from, static_cast<int>(span.at - from));
    if (!complete) return readSequence;
    // The rest of the record starts out zero; the part this call holds is written over at once.
    const int written = std::min(span.left(), frameBytes - bodyOffset);
    std::memset(synchroniser.record + bodyOffset + written, 0, frameBytes - bodyOffset - written);
    if (linkTrace) std::fprintf(stderr, "frame seq: %04x\n", readLittleEndian(synchroniser.record + sequenceOffset, sequenceFieldBytes));
    return readBody;
}

int readBodyStep(Span& span, bool onEntry) {
    if (onEntry) synchroniser.fieldIndex = 0;
    const int count = std::min(bodyBytes - synchroniser.fieldIndex, span.left());
    std::memcpy(synchroniser.record + bodyOffset + synchroniser.fieldIndex, span.at, count);
    synchroniser.computedSum += byteSum(span.at, count);
    span.at += count;
    synchroniser.fieldIndex += count;
    return synchroniser.fieldIndex == bodyBytes ? readChecksum : readBody;
}

int readChecksumStep(Span& span, bool onEntry) {
    if (!takeField(span, checksumOffset, checksumFieldBytes, onEntry)) return readChecksum;
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

// The action of the current state for the bytes it takes from the span (at least one); returns the
// state for the next byte.
int syncStep(Span& span) {
    const bool onEntry = synchroniser.syncState != synchroniser.prevSyncState;
    switch (synchroniser.syncState) {
    case lostSync:
        synchroniser.inFrame = false;
        if (synchroniser.syncedOnce) linkStatistics.increment(counterLostSyncs);
        return huntAction(*span.at++);
    case hunt:
        return huntStep(span);
    case sync1:
        return syncByteAction(*span.at++, 1, sync2);
    case sync2:
        return syncByteAction(*span.at++, 2, sync3);
    case sync3:
        if (*span.at++ != syncPattern[3]) return lostSync;
        synchroniser.record[3] = syncPattern[3];
        linkStatistics.increment(counterGoodSyncs);
        synchroniser.syncedOnce = true;
        synchroniser.inFrame = true;
        if (linkTrace) std::fprintf(stderr, "sync found\n");
        return readSize;
    case readSize:
        return readSizeStep(span, onEntry);
    case readSequence:
        return readSequenceStep(span, onEntry);
    case readBody:
        return readBodyStep(span, onEntry);
    case readChecksum:
        return readChecksumStep(span, onEntry);
    default:
        ++span.at;
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

void huntAfresh() {
    synchroniser.inFrame = false;
    synchroniser.frameReady = false;
    synchroniser.syncState = hunt;
    synchroniser.prevSyncState = hunt;
}

void synchroniseBytes(const uint8_t* bytes, int count, GoodFrameCallback onGoodFrame, void* context) {
    if (count <= 0) return;
    if (count > 1 && linkStatistics.errorChanged()) {
        // An error flag raised before this call is reported after its first byte, as the check after
        // every byte does.
        synchroniseBytes(bytes, 1, onGoodFrame, context);
        ++bytes;
        --count;
    }
    Span span{bytes, bytes + count, bytes};
    while (span.at < span.end) {
        const int next = syncStep(span);
        synchroniser.prevSyncState = synchroniser.syncState;
        synchroniser.syncState = next;
        if (linkStatistics.errorChanged()) {
            if (linkTrace) {
                countTakenBytes(span);
                linkStatistics.print(stdout);
            }
            linkStatistics.clearErrorChanged();
        }
        if (synchroniser.frameReady) {
            countTakenBytes(span);
            if (linkTrace)
                std::fprintf(stderr, "GOOD, frame %d\tcksum: %04x\tcalc: %04x\n", static_cast<int>(linkStatistics.get(counterGoodFrames)),
                             readLittleEndian(synchroniser.record + checksumOffset, checksumFieldBytes), synchroniser.computedSum);
            onGoodFrame(synchroniser.record, context);
            synchroniser.frameReady = false;
        }
    }
    countTakenBytes(span);
}

// The synchroniser: finds frames in the sensor's byte stream by their sync pattern, checks size and
// checksum, and counts every event in sync.statistics. Run by the grabber thread (and by
// quarvis-decode offline), one thread at a time.
//
// It runs the numbered state machine of the wire rules a span at a time instead of a byte at a time:
// hunting outside a frame skips to the next 0x5A with memchr, and a field or the body takes in one
// step every byte of it that the call holds (one copy, one pass of the sum). The byte-by-byte rules
// stay the definition: after every step the state, the counters, the assembly area and what was
// printed are what they give (fuzz/reference_sync.cpp runs them to compare against).
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
void countTakenBytes(Synchroniser& sync, Span& span) {
    sync.statistics.add(counterTotalBytes, static_cast<uint32_t>(span.at - span.counted));
    span.counted = span.at;
}

void printTimeStamp(Synchroniser& sync) {
    const FrameHeader header = readFrameHeader(sync.record);
    logPrintf("%3.4lf\n", header.seconds + header.micros * 0.001 * 0.001);
}

int huntAction(Synchroniser& sync, uint8_t b) {
    if (b == syncPattern[0]) {
        sync.record[0] = b;
        return sync1;
    }
    return sync.inFrame ? lostSync : hunt;
}

int huntStep(Synchroniser& sync, Span& span) {
    if (!sync.inFrame) {
        // Outside a frame every byte but 0x5A leaves the hunt as it is: skip straight to the next one.
        const void* found = std::memchr(span.at, syncPattern[0], static_cast<size_t>(span.left()));
        if (found == nullptr) {
            span.at = span.end;
            return hunt;
        }
        span.at = static_cast<const uint8_t*>(found);
    }
    return huntAction(sync, *span.at++);
}

int syncByteAction(Synchroniser& sync, uint8_t b, int position, int next) {
    if (b != syncPattern[position]) return lostSync;
    sync.record[position] = b;
    return next;
}

// Takes the bytes of a field (zeroed on entry) that the call holds, as "field += b << 8 * index"
// does byte by byte; true when its last byte is in.
bool takeField(Synchroniser& sync, Span& span, int offset, int width, bool onEntry) {
    if (onEntry) {
        std::memset(sync.record + offset, 0, width);
        sync.fieldIndex = 0;
    }
    const int count = std::min(width - sync.fieldIndex, span.left());
    std::memcpy(sync.record + offset + sync.fieldIndex, span.at, count);
    span.at += count;
    sync.fieldIndex += count;
    return sync.fieldIndex == width;
}

int readSizeStep(Synchroniser& sync, Span& span, bool onEntry) {
    if (!takeField(sync, span, sizeOffset, sizeFieldBytes, onEntry)) return readSize;
    const uint32_t size = readLittleEndian(sync.record + sizeOffset, sizeFieldBytes);
    if (linkTrace) std::fprintf(stderr, "frame size read, actual: %d, %d\n", static_cast<int>(size), static_cast<int>(frameSizeField));
    if (size != frameSizeField) {
        sync.inFrame = false;
        sync.statistics.increment(counterSizeErrors);
        return hunt;
    }
    return readSequence;
}

int readSequenceStep(Synchroniser& sync, Span& span, bool onEntry) {
    if (onEntry) sync.computedSum = 0;
    const uint8_t* from = span.at;
    const bool complete = takeField(sync, span, sequenceOffset, sequenceFieldBytes, onEntry);
    sync.computedSum += byteSum(from, static_cast<int>(span.at - from));
    if (!complete) return readSequence;
    // The rest of the record starts out zero; the part this call holds is written over at once.
    const int written = std::min(span.left(), frameBytes - bodyOffset);
    std::memset(sync.record + bodyOffset + written, 0, frameBytes - bodyOffset - written);
    if (linkTrace) std::fprintf(stderr, "frame seq: %04x\n", readLittleEndian(sync.record + sequenceOffset, sequenceFieldBytes));
    return readBody;
}

int readBodyStep(Synchroniser& sync, Span& span, bool onEntry) {
    if (onEntry) sync.fieldIndex = 0;
    const int count = std::min(bodyBytes - sync.fieldIndex, span.left());
    std::memcpy(sync.record + bodyOffset + sync.fieldIndex, span.at, count);
    sync.computedSum += byteSum(span.at, count);
    span.at += count;
    sync.fieldIndex += count;
    return sync.fieldIndex == bodyBytes ? readChecksum : readBody;
}

int readChecksumStep(Synchroniser& sync, Span& span, bool onEntry) {
    if (!takeField(sync, span, checksumOffset, checksumFieldBytes, onEntry)) return readChecksum;
    const uint32_t checksum = readLittleEndian(sync.record + checksumOffset, checksumFieldBytes);
    if (linkTrace) std::fprintf(stderr, "cksum, frame: %04x calc: %02x\n", checksum, sync.computedSum);
    if (checksum == sync.computedSum) {
        sync.frameReady = true;
        if (appState.debugPrint) printTimeStamp(sync);
        sync.statistics.increment(counterGoodFrames);
    } else {
        sync.statistics.increment(counterChecksumErrors);
    }
    return hunt;
}

// The action of the current state for the bytes it takes from the span (at least one); returns the
// state for the next byte.
int syncStep(Synchroniser& sync, Span& span) {
    const bool onEntry = sync.syncState != sync.prevSyncState;
    switch (sync.syncState) {
    case lostSync:
        sync.inFrame = false;
        if (sync.syncedOnce) sync.statistics.increment(counterLostSyncs);
        return huntAction(sync, *span.at++);
    case hunt:
        return huntStep(sync, span);
    case sync1:
        return syncByteAction(sync, *span.at++, 1, sync2);
    case sync2:
        return syncByteAction(sync, *span.at++, 2, sync3);
    case sync3:
        if (*span.at++ != syncPattern[3]) return lostSync;
        sync.record[3] = syncPattern[3];
        sync.statistics.increment(counterGoodSyncs);
        sync.syncedOnce = true;
        sync.inFrame = true;
        if (linkTrace) std::fprintf(stderr, "sync found\n");
        return readSize;
    case readSize:
        return readSizeStep(sync, span, onEntry);
    case readSequence:
        return readSequenceStep(sync, span, onEntry);
    case readBody:
        return readBodyStep(sync, span, onEntry);
    case readChecksum:
        return readChecksumStep(sync, span, onEntry);
    default:
        ++span.at;
        sync.statistics.increment(counterInvalidErrors);
        return lostSync;
    }
}

}  // namespace

FrameHeader readFrameHeader(const uint8_t* record) {
    return FrameHeader{readLittleEndian(record + sizeOffset, sizeFieldBytes),
                       static_cast<uint16_t>(readLittleEndian(record + sequenceOffset, sequenceFieldBytes)),
                       readLittleEndian(record + secondsOffset, 4), readLittleEndian(record + microsOffset, 4),
                       readLittleEndian(record + checksumOffset, checksumFieldBytes)};
}

void Synchroniser::reset() {
    Synchroniser& sync = *this;
    sync.computedSum = 0;
    sync.syncedOnce = false;
    sync.frameReady = false;
    sync.syncState = lostSync;
    sync.prevSyncState = lostSync;
    sync.statistics.reset();
}

void Synchroniser::huntAfresh() {
    Synchroniser& sync = *this;
    sync.inFrame = false;
    sync.frameReady = false;
    sync.syncState = hunt;
    sync.prevSyncState = hunt;
}

void Synchroniser::synchroniseBytes(const uint8_t* bytes, int count, GoodFrameCallback onGoodFrame, void* context) {
    Synchroniser& sync = *this;
    if (count <= 0) return;
    if (count > 1 && sync.statistics.errorChanged()) {
        // An error flag raised before this call is reported after its first byte, as the check after
        // every byte does.
        synchroniseBytes(bytes, 1, onGoodFrame, context);
        ++bytes;
        --count;
    }
    Span span{bytes, bytes + count, bytes};
    while (span.at < span.end) {
        const int next = syncStep(sync, span);
        sync.prevSyncState = sync.syncState;
        sync.syncState = next;
        if (sync.statistics.errorChanged()) {
            if (linkTrace) {
                countTakenBytes(sync, span);
                sync.statistics.print(stdout);
            }
            sync.statistics.clearErrorChanged();
        }
        if (sync.frameReady) {
            countTakenBytes(sync, span);
            if (linkTrace)
                std::fprintf(stderr, "GOOD, frame %d\tcksum: %04x\tcalc: %04x\n", static_cast<int>(sync.statistics.get(counterGoodFrames)),
                             readLittleEndian(sync.record + checksumOffset, checksumFieldBytes), sync.computedSum);
            onGoodFrame(sync.record, context);
            sync.frameReady = false;
        }
    }
    countTakenBytes(sync, span);
}

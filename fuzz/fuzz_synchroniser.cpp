// Fuzzes the synchroniser with arbitrary byte streams split into arbitrary reads, beside the wire
// rules taken byte by byte (reference_synchroniser.cpp): it must never crash, every frame it hands
// over must have the size 2904 and a matching checksum, and after every read it must have handed
// over the same frames and hold the same state, counters and assembly area as the byte-by-byte rules.
#include "reference_synchroniser.h"

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using Frames = std::vector<std::vector<uint8_t>>;

uint32_t littleEndian32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

void checkFrame(const uint8_t* record, void* context) {
    if (std::memcmp(record, syncPattern, sizeof syncPattern) != 0) std::abort();
    if (littleEndian32(record + sizeOffset) != frameSizeField) std::abort();
    if (littleEndian32(record + checksumOffset) != frameChecksum(record)) std::abort();
    PointFrame points;
    decodeFrame(record, points);
    static_cast<Frames*>(context)->emplace_back(record, record + frameBytes);
}

void collectFrame(const uint8_t* record, void* context) {
    static_cast<Frames*>(context)->emplace_back(record, record + frameBytes);
}

}  // namespace

// The first byte of each chunk says how long the read is: 1 to 200 bytes as the grabber reads, or,
// when its top bit is set, up to 32 KiB as quarvis-decode reads a file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ReferenceSynchroniser reference;
    reference.state = firstLink().synchroniser;  // what a Start leaves as it was
    firstLink().synchroniser.reset();
    referenceReset(reference);
    Frames frames, referenceFrames;
    size_t at = 0;
    while (at < size) {
        const size_t wanted = data[at] & 0x80 ? 1 + (data[at] & 0x7F) * 256 : 1 + data[at] % readChunkBytes;
        const size_t length = std::min<size_t>(wanted, size - at - 1);
        ++at;
        firstLink().synchroniser.synchroniseBytes(data + at, static_cast<int>(length), checkFrame, &frames);
        referenceSynchronise(reference, data + at, static_cast<int>(length), collectFrame, &referenceFrames);
        if (frames != referenceFrames) std::abort();
        if (!(takeSnapshot(firstLink().synchroniser, firstLink().statistics) == takeSnapshot(reference.state, reference.statistics))) std::abort();
        frames.clear();
        referenceFrames.clear();
        at += length;
    }
    return 0;
}

// Fuzzes the synchroniser with arbitrary byte streams split into arbitrary reads: it must never
// crash, and every frame it hands over must have the size 2904 and a matching checksum.
#include "link/link.h"

#include <cstdlib>
#include <cstring>

namespace {

uint32_t littleEndian32(const uint8_t* at) {
    return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

void checkFrame(const uint8_t* record, void*) {
    if (std::memcmp(record, syncPattern, sizeof syncPattern) != 0) std::abort();
    if (littleEndian32(record + sizeOffset) != frameSizeField) std::abort();
    if (littleEndian32(record + checksumOffset) != frameChecksum(record)) std::abort();
    PointFrame points;
    decodeFrame(record, points);
}

}  // namespace

// The first byte of each chunk says how long the read is (1 to 200 bytes, as the grabber reads).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    resetSynchroniser();
    size_t at = 0;
    while (at < size) {
        const size_t length = std::min<size_t>(1 + data[at] % readChunkBytes, size - at - 1);
        ++at;
        synchroniseBytes(data + at, static_cast<int>(length), checkFrame, nullptr);
        at += length;
    }
    return 0;
}

// The wire format of one sensor frame: byte layout and checksum. Used by the synchroniser's tests,
// the simulator and the demo sensor (any thread; no shared state).
#include "link/link.h"
#include "link/link_state.h"

#include <cstring>

uint32_t frameChecksum(const uint8_t record[frameBytes]) {
    uint32_t sum = 0;
    for (int i = sequenceOffset; i < checksumOffset; ++i) sum += record[i];
    return sum;
}

void encodeFrame(uint16_t sequence, uint32_t timestampSeconds, uint32_t timestampMicros,
                 const int16_t millimetres[pointsPerFrame][3], uint8_t out[frameBytes]) {
    std::memset(out, 0, frameBytes);
    std::memcpy(out, syncPattern, sizeof syncPattern);
    writeLittleEndian(out + sizeOffset, frameSizeField, 4);
    writeLittleEndian(out + sequenceOffset, sequence, 2);
    writeLittleEndian(out + secondsOffset, timestampSeconds, 4);
    writeLittleEndian(out + microsOffset, timestampMicros, 4);
    for (int p = 0; p < pointsPerFrame; ++p)
        for (int k = 0; k < 3; ++k)
            writeLittleEndian(out + pointFieldOffset(p, k), static_cast<uint16_t>(millimetres[p][k]), coordinateBytes);
    writeLittleEndian(out + checksumOffset, frameChecksum(out), 4);
}

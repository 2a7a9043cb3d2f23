// Sensor frames for tests: whole encoded frames, streams of them, and ways to spoil them. Any thread.
#pragma once

#include "link/link.h"

#include <cstdint>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Point p of the frame holds (q, -q, base + q) millimetres with q = p % 64: for bases from 0 to 25 no
// point byte is 0x5A, so the points of a spoilt frame never look like the start of a sync pattern.
inline Bytes makeFrame(uint16_t sequence, int16_t base = 0, uint32_t seconds = 1, uint32_t micros = 2) {
    int16_t points[pointsPerFrame][3];
    for (int p = 0; p < pointsPerFrame; ++p) {
        const int q = p % 64;
        points[p][0] = static_cast<int16_t>(q);
        points[p][1] = static_cast<int16_t>(-q);
        points[p][2] = static_cast<int16_t>(base + q);
    }
    Bytes frame(frameBytes);
    encodeFrame(sequence, seconds, micros, points, frame.data());
    return frame;
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The sensor simulator's frames: scene, clock, sequence numbers and fault injection, with the link
// counters each emitted unit must produce. Runs on whichever thread drives the Simulator.
//
// How each unit moves the synchroniser (the state it leaves behind is the only thing carried to the
// next unit, as inFrameAtBoundary):
//   clean frame     sync +1, good frame +1; leaves inFrame set.
//   garbage byte    the byte is not 0x5A. After a frame (inFrame set) it sends the synchroniser to
//                   LostSync and the frame's first sync byte counts one lost sync; after a size error
//                   or at the start it is skipped silently. The frame behind it is found either way.
//   bad checksum    sync +1, checksum error +1; leaves inFrame set.
//   bad size        sync +1, size error +1; inFrame cleared. The rest of that frame is scrubbed of
//                   0x5A so that no broken pattern starts inside it.
//   cut short       the frame stops after 8..2911 bytes (its size field is whole), so the
//                   synchroniser completes it from the next frame's bytes and compares a checksum
//                   that is almost surely wrong (worked out exactly here). The next frame's
//                   remainder then starts with a byte other than 0x5A: LostSync, one lost sync, and
//                   the remainder, scrubbed of 0x5A, is skipped. That next frame is lost too.

#include "link/sim.h"

#include <cmath>
#include <cstring>
#include <numbers>

const char* const simFaultNames[simFaultKindCount] = {
    "clean frames", "garbage bytes", "checksum faults", "size faults", "cut-short frames",
};

namespace {

constexpr uint8_t firstSyncByte = 0x5A;
constexpr uint8_t scrubbedByte = 0x5B;     // stands in for 0x5A where no pattern may start
constexpr int shortestCut = sequenceOffset;  // the size field must arrive whole

// Scene layout: the three parts together fill one frame.
constexpr int floorColumns = 20, floorRows = 12;
constexpr int wallColumns = 16, wallRows = 10;
constexpr int objectColumns = 8, objectRows = 10;
static_assert(floorColumns * floorRows + wallColumns * wallRows + objectColumns * objectRows == pointsPerFrame);
constexpr double wallDistance = 5.0;        // metres ahead of the sensor
constexpr double objectDistance = 2.5;
constexpr double objectRadius = 0.25;
constexpr double objectHeight = 0.8;
constexpr double objectSwing = 1.5;         // metres either side of the sensor's axis
constexpr double objectPeriodSeconds = 4.0;
constexpr int noiseMillimetres = 3;

uint64_t splitMix(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double uniformUnit(uint64_t& state) { return static_cast<double>(splitMix(state) >> 11) * 0x1.0p-53; }

int16_t toMillimetres(double metres, int noise) {
    return static_cast<int16_t>(std::lround(metres * 1000.0) + noise);
}

void scrubSyncBytes(uint8_t* bytes, int count) {
    for (int i = 0; i < count; ++i)
        if (bytes[i] == firstSyncByte) bytes[i] = scrubbedByte;
}

void encodeNextFrame(Simulator& sim, uint8_t out[frameBytes]) {
    const uint64_t elapsed = sim.config.startMicros + sim.frameIndex * sim.config.framePeriodMicros;
    const uint32_t seconds = sim.config.startSeconds + static_cast<uint32_t>(elapsed / microsPerSecond);
    const uint32_t micros = static_cast<uint32_t>(elapsed % microsPerSecond);
    int16_t millimetres[pointsPerFrame][3];
    simScene(sim.config.seed, sim.frameIndex, sim.config.framePeriodMicros, millimetres);
    encodeFrame(sim.sequence, seconds, micros, millimetres, out);
    ++sim.sequence;
    ++sim.frameIndex;
    ++sim.report.framesEncoded;
}

SimFault pickFault(Simulator& sim) {
    double draw = uniformUnit(sim.randomState);
    for (int kind = simFaultGarbage; kind < simFaultKindCount; ++kind) {
        if (draw < sim.config.faultShare[kind]) return static_cast<SimFault>(kind);
        draw -= sim.config.faultShare[kind];
    }
    return simFaultNone;
}

void append(std::vector<uint8_t>& out, const uint8_t* bytes, int count) { out.insert(out.end(), bytes, bytes + count); }

}  // namespace

void simScene(uint32_t seed, uint64_t frameIndex, uint32_t framePeriodMicros, int16_t millimetres[pointsPerFrame][3]) {
    uint64_t noiseState = (static_cast<uint64_t>(seed) << 32) ^ frameIndex;
    const auto noise = [&noiseState] {
        return static_cast<int>(splitMix(noiseState) % (2 * noiseMillimetres + 1)) - noiseMillimetres;
    };
    int p = 0;
    for (int row = 0; row < floorRows; ++row)
        for (int column = 0; column < floorColumns; ++column, ++p) {
            millimetres[p][0] = toMillimetres(-2.0 + 4.0 * column / (floorColumns - 1), noise());
            millimetres[p][1] = toMillimetres(0.5 + 4.4 * row / (floorRows - 1), noise());
            millimetres[p][2] = toMillimetres(0.0, noise());
        }
    for (int row = 0; row < wallRows; ++row)
        for (int column = 0; column < wallColumns; ++column, ++p) {
            millimetres[p][0] = toMillimetres(-2.5 + 5.0 * column / (wallColumns - 1), noise());
            millimetres[p][1] = toMillimetres(wallDistance, noise());
            millimetres[p][2] = toMillimetres(2.25 * row / (wallRows - 1), noise());
        }
    // A standing cylinder swinging left and right; only its half facing the sensor is seen.
    const double seconds = static_cast<double>(frameIndex) * framePeriodMicros / microsPerSecond;
    const double centreX = objectSwing * std::sin(2.0 * std::numbers::pi * seconds / objectPeriodSeconds);
    for (int row = 0; row < objectRows; ++row)
        for (int column = 0; column < objectColumns; ++column, ++p) {
            const double angle = std::numbers::pi * (column + 0.5) / objectColumns;
            millimetres[p][0] = toMillimetres(centreX - objectRadius * std::cos(angle), noise());
            millimetres[p][1] = toMillimetres(objectDistance - objectRadius * std::sin(angle), noise());
            millimetres[p][2] = toMillimetres(objectHeight * row / (objectRows - 1), noise());
        }
}

void simInit(Simulator& sim, const SimConfig& config) {
    sim = Simulator{};
    sim.config = config;
    sim.randomState = config.seed;
    sim.sequence = config.firstSequence;
}

SimFault simNextUnit(Simulator& sim, std::vector<uint8_t>& out) {
    const SimFault kind = pickFault(sim);
    uint64_t* expected = sim.report.expected;
    uint8_t frame[frameBytes];
    encodeNextFrame(sim, frame);
    ++expected[counterGoodSyncs];
    switch (kind) {
    case simFaultNone:
        break;
    case simFaultGarbage: {
        uint8_t garbage = static_cast<uint8_t>(splitMix(sim.randomState));
        if (garbage == firstSyncByte) garbage = scrubbedByte;
        out.push_back(garbage);
        ++expected[counterTotalBytes];
        if (sim.inFrameAtBoundary) ++expected[counterLostSyncs];
        break;
    }
    case simFaultChecksum: {
        const uint32_t delta = 1 + static_cast<uint32_t>(splitMix(sim.randomState) % 0xFFFF);
        writeLittleEndian(frame + checksumOffset, readLittleEndian(frame + checksumOffset, 4) + delta, 4);
        break;
    }
    case simFaultSize: {
        uint32_t size = static_cast<uint32_t>(splitMix(sim.randomState));
        if (size == frameSizeField) ++size;
        writeLittleEndian(frame + sizeOffset, size, 4);
        scrubSyncBytes(frame + sequenceOffset, frameBytes - sequenceOffset);
        break;
    }
    case simFaultCutShort: {
        const int kept = shortestCut + static_cast<int>(splitMix(sim.randomState) % (frameBytes - shortestCut));
        uint8_t swallowed[frameBytes];
        encodeNextFrame(sim, swallowed);
        const int taken = frameBytes - kept;  // bytes of the next frame that complete the cut one
        uint8_t seen[frameBytes];             // the frame as the synchroniser assembles it
        std::memcpy(seen, frame, kept);
        std::memcpy(seen + kept, swallowed, taken);
        scrubSyncBytes(swallowed + taken, kept);
        append(out, frame, kept);
        append(out, swallowed, frameBytes);
        expected[counterTotalBytes] += kept + frameBytes;
        ++expected[frameChecksum(seen) == readLittleEndian(seen + checksumOffset, 4) ? counterGoodFrames : counterChecksumErrors];
        ++expected[counterLostSyncs];
        sim.inFrameAtBoundary = false;
        ++sim.report.units[kind];
        return kind;
    }
    }
    append(out, frame, frameBytes);
    expected[counterTotalBytes] += frameBytes;
    if (kind == simFaultChecksum) ++expected[counterChecksumErrors];
    else if (kind == simFaultSize) ++expected[counterSizeErrors];
    else ++expected[counterGoodFrames];
    sim.inFrameAtBoundary = kind != simFaultSize;
    ++sim.report.units[kind];
    return kind;
}

uint32_t frameLineMicros(int baudRate) {
    const uint64_t bits = static_cast<uint64_t>(frameBytes) * lineBitsPerByte * microsPerSecond;
    return static_cast<uint32_t>((bits + baudRate - 1) / baudRate);
}

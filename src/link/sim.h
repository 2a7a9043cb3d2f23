// The sensor simulator: a moving scene encoded as frames of the wire format, with optional
// injected faults whose effect on the link counters it works out in advance. Used by quarvis-sim,
// the demo sensor and the tests; a Simulator belongs to the one thread that drives it.
#pragma once

#include "link/link.h"

#include <cstdint>
#include <vector>

// What precedes or replaces a frame on the wire. Each unit the simulator emits carries one kind.
enum SimFault {
    simFaultNone = 0,       // one clean frame
    simFaultGarbage = 1,    // one byte other than 0x5A, then a clean frame
    simFaultChecksum = 2,   // a frame whose checksum field is off
    simFaultSize = 3,       // a frame whose size field is not 2904
    simFaultCutShort = 4,   // a frame cut short, then the next frame, which the cut swallows
};
constexpr int simFaultKindCount = 5;
extern const char* const simFaultNames[simFaultKindCount];  // "clean frames", "garbage bytes", ...

// The grabber's counters 0..6 (bytes, good frames, syncs, lost syncs, size, checksum, invalid): the
// ones a byte stream alone decides. Overruns and the handler's counts depend on timing.
constexpr int simStreamCounterCount = 7;

constexpr int sensorFrameRate = 30;                // frames per second of the real sensor at most

struct SimConfig {
    uint32_t seed = 1;
    uint16_t firstSequence = 0;
    uint32_t startSeconds = 0;                     // the sensor's clock at the first frame
    uint32_t startMicros = 0;
    uint32_t framePeriodMicros = microsPerSecond / sensorFrameRate;
    double faultShare[simFaultKindCount] = {};     // share of units of each kind; [simFaultNone] unused
};

// What the simulator has emitted so far, and what a synchroniser that started hunting at the
// first byte must have counted after reading all of it.
struct SimReport {
    uint64_t framesEncoded = 0;                    // sequence numbers used, swallowed frames included
    uint64_t units[simFaultKindCount] = {};        // units emitted per kind
    uint64_t expected[simStreamCounterCount] = {}; // link counters 0..6
};

struct Simulator {
    SimConfig config;
    uint64_t randomState = 0;
    uint64_t frameIndex = 0;                       // frames encoded so far; drives clock and scene
    uint16_t sequence = 0;                         // of the next frame
    bool inFrameAtBoundary = false;                // the synchroniser's inFrame after the last unit
    SimReport report;
};

void simInit(Simulator& sim, const SimConfig& config);
// Appends the next unit to out and returns its kind. Good frames among them: report.expected[1].
SimFault simNextUnit(Simulator& sim, std::vector<uint8_t>& out);
// The scene at frame frameIndex, in millimetres: a floor, a wall behind it and an object moving
// across in front of the wall, with a few millimetres of noise fixed by its seed.
void simScene(uint32_t seed, uint64_t frameIndex, uint32_t framePeriodMicros,
              int16_t millimetres[pointsPerFrame][3]);
// Time on the wire of one frame at baudRate (8N1), in microseconds, rounded up.
uint32_t frameLineMicros(int baudRate);

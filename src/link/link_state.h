// Private to the sensor link (and its tests): the build-time switches, a link's private parts (grabber
// storage, mailbox, published frame, capture tap ring), the worker steps, and the process-wide state
// of the link folder (the registry, defined in link_state.cpp with the port listing).
#pragma once

#include "link/link.h"
#include "link/sim.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

// Build-time switches: the per-frame trace on standard error, and workers that poll without pause
// (kept only to compare against in benchmarks).
constexpr bool linkTrace = QUARVIS_LINK_TRACE != 0;
constexpr bool busyPoll = QUARVIS_BUSY_POLL != 0;

// Longest wait of the grabber for a first byte of a batch, and its pause after a failed read: short
// enough that a stop request is acknowledged well within 50 ms.
constexpr unsigned firstByteWaitMs = 20;

// The grabber's read buffer and double buffer. Grabber thread, except the buffer in the mailbox,
// which belongs to the handler until it empties the mailbox.
struct GrabberStorage {
    uint8_t readBuffer[readChunkBytes] = {};
    uint8_t bufferA[framesPerBuffer * frameBytes] = {};
    uint8_t bufferB[framesPerBuffer * frameBytes] = {};
    uint8_t* writeBuffer = bufferB;  // the buffer filled next
    int framesInBuffer = 0;
};

// The published frame, element by element atomic. Written by the handler or the replay reader,
// read by any thread.
struct SharedPointCloud {
    std::atomic<uint32_t> valid[pointsPerFrame];
    std::atomic<float> xyz[pointsPerFrame][3];
    std::atomic<uint32_t> stamped, sequence, timestampSeconds, timestampMicros;
};

// The capture tap's ring: bytes pushed by the grabber, taken by the capture writer thread. The
// counters only grow; their difference is what waits. `storage` and `capacity` change only while the
// tap is released (no copy under way) and the writer thread is not running.
struct CaptureTap {
    std::unique_ptr<uint8_t[]> storage;
    size_t capacity = 0;                        // a power of two, or 0 before the first capture
    alignas(64) std::atomic<uint64_t> pushed{0};  // written by the grabber (release), read by the writer
    alignas(64) std::atomic<uint64_t> taken{0};   // written by the writer (release), read by the grabber
    // Odd while a capture wants bytes. Written by the controlling thread, read by the grabber.
    alignas(64) std::atomic<uint32_t> wanted{0};
    std::atomic<uint32_t> seen{0};              // the `wanted` the grabber acted on last (grabber)
    std::atomic<bool> overflowed{false};        // grabber sets; the controlling thread clears on open
};

using DemoClock = std::chrono::steady_clock;

// A link's demo sensor. Written by its open and close (GUI thread, grabber parked) and by its read
// (grabber thread, while running); the worker handshakes order the two.
struct DemoSensor {
    bool open = false;
    int baudRate = 0;
    int64_t framePeriodMicros = 0;
    DemoClock::time_point openedAt;
    uint64_t delivered = 0;                    // bytes handed to the reader since open
    Simulator sim;
    std::vector<uint8_t> frame;                // the frame now on the line
};

// A link's capture replay source (capture_port.cpp). Written by its open and close (GUI thread,
// grabber parked) and by its read (grabber thread, while running); the worker handshakes order the two.
struct CaptureSource {
    bool open = false;
    int64_t nextFrame = 0;        // the frame whose bytes go out next when playing on
    uint64_t segmentStart = 0;    // where the bytes before nextFrame start (garbage between frames included)
    uint64_t pendingAt = 0;       // released bytes not yet read: [pendingAt, pendingEnd)
    uint64_t pendingEnd = 0;
    uint32_t seekSerialSeen = 0;
    bool playingSeen = false;
    float speedSeen = 1.0f;
    int64_t anchorClock = 0;      // the replay stood at anchorPlay at clock time anchorClock
    int64_t anchorPlay = 0;
    int64_t releasedAt = 0;       // clock time of the last release
    uint64_t generationAtRelease = 0;
    bool drawnMarkSet = false;    // fastest speed: the released frame was published by framesDrawn ...
    uint64_t drawnMark = 0;       // ... this count; one more GUI frame draws it
    std::vector<uint8_t> stage;   // a window of the file at stageStart
    uint64_t stageStart = 0;
    size_t stageLength = 0;
};

// A link's private parts, each with its writer and readers.
struct Link::Private {
    GrabberStorage grabber;
    // The mailbox: the first record of the buffer handed to the handler, or null when empty. Set from
    // null by the grabber (release), back to null by the handler after decoding (release).
    std::atomic<uint8_t*> readyFrame{nullptr};
    // Grows whenever the handler has cause to look again (a frame posted, a stop request, exit).
    std::atomic<uint32_t> handlerWake{0};
    // The published frame and its sequence counter (odd while a frame is being written).
    SharedPointCloud cloud;
    std::atomic<uint64_t> cloudSequence{0};
    // The hook told of each published frame (set by the GUI thread), and how many publishers are
    // inside it right now, so that replacing it can wait until the old one has returned.
    std::atomic<FramePublishedHook> hook{nullptr};
    std::atomic<int> hookCalls{0};
    CaptureTap taps[tapKindCount];   // one per consumer kind
};

// The worker roles of every link (link_workers.cpp); their context is the Link.
extern const WorkerRole grabberRole;
extern const WorkerRole handlerRole;

void grabberRunBatch(Link& link);  // grabber thread: one batch of run state Run
// The grabber's hand-over of a good frame: the synchroniser's callback, its context the Link.
void handOverFrame(const uint8_t* record, void* context);
void handlerRunPass(Link& link);   // handler thread: one pass of run state Run (sleeps until a frame)
void wakeHandler(Link& link);      // any thread: end the handler's sleep (stop request, exit)

// Copies one batch into every tap open (count <= 0: nothing to copy) and notes which request each
// acted on. Grabber thread, once per batch.
void tapBatch(Link& link, const uint8_t* bytes, int count);
// What a failed step of opening a port means, as the user reads it (serial_link.cpp).
PortFailure describeFailure(const char* portName, const char* step, int status);
// Grabber storage back to its state at start: empty mailbox, both buffers zero, B filled next.
// Only while both workers are parked.
void resetGrabberStorage(Link& link);

// ---- Mutable process-wide state of the link folder (link_state.cpp) ---------------------------------
// The registry: the links, the first always there. Written by firstLink, addLink and removeLink
// (GUI thread, or a tool's main thread) and read by the same thread; workers reach their own link
// through their context, never through the registry. The port listing is declared in link.h.
extern std::vector<std::unique_ptr<Link>> linkRegistry;

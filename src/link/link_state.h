// Private to the sensor link (and its tests): the frame layout, the build-time switches, and every
// piece of mutable process-wide state of the link, all defined in link_state.cpp.
#pragma once

#include "link/link.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

// Build-time switches: the per-frame trace on standard error, and workers that poll without pause
// (kept only to compare against in benchmarks).
constexpr bool linkTrace = QUARVIS_LINK_TRACE != 0;
constexpr bool busyPoll = QUARVIS_BUSY_POLL != 0;

// Longest wait of the grabber for a first byte of a batch, and its pause after a failed read: short
// enough that a stop request is acknowledged well within 50 ms.
constexpr unsigned firstByteWaitMs = 20;

// ---- Mutable process-wide state of the sensor link ------------------------------------------------
// Declared in link.h, defined with the rest: serialLink and portList (GUI thread; the grabber reads
// through serialLink only while it runs) and linkStatistics (counters 0..7 grabber, 8 and 9 handler).

// The synchroniser's variables and the assembly area: the thread that runs the synchroniser (the
// grabber, or quarvis-decode's main thread) owns them.
struct SynchroniserState {
    int syncState = 0;
    int prevSyncState = 0;
    int32_t fieldIndex = 0;
    uint32_t computedSum = 0;
    bool syncedOnce = false;
    bool inFrame = false;
    bool frameReady = false;
    uint8_t record[frameBytes] = {};  // the assembly area
};
extern SynchroniserState synchroniser;

// The grabber's read buffer and double buffer. Grabber thread, except the buffer in the mailbox,
// which belongs to the handler until it empties the mailbox.
struct GrabberStorage {
    uint8_t readBuffer[readChunkBytes] = {};
    uint8_t bufferA[framesPerBuffer * frameBytes] = {};
    uint8_t bufferB[framesPerBuffer * frameBytes] = {};
    uint8_t* writeBuffer = bufferB;  // the buffer filled next
    int framesInBuffer = 0;
};
extern GrabberStorage grabberStorage;

// The mailbox: the first record of the buffer handed to the handler, or null when empty. Set from null
// by the grabber (release), back to null by the handler after decoding (release).
extern std::atomic<uint8_t*> readyFrame;
// Grows whenever the handler has cause to look again (a frame posted, a stop request, exit).
extern std::atomic<uint32_t> handlerWake;

// The published PointCloud, element by element atomic, and its sequence counter (odd while a frame
// is being written). Written by the handler or the replay reader, read by the GUI thread.
struct SharedPointCloud {
    std::atomic<uint32_t> valid[pointsPerFrame];
    std::atomic<float> xyz[pointsPerFrame][3];
    std::atomic<uint32_t> stamped, sequence, timestampSeconds, timestampMicros;
};
extern SharedPointCloud pointCloud;
extern std::atomic<uint64_t> pointCloudSequence;
// The hook told of each published frame (set by the GUI thread), and how many publishers are
// inside it right now, so that replacing it can wait until the old one has returned.
extern std::atomic<FramePublishedHook> framePublishedHook;
extern std::atomic<int> framePublishedHookCalls;

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
extern CaptureTap captureTap;

// Worker steps, driven by the worker life cycle through the roles of link_workers.cpp.
void grabberEnter();                     // grabber thread: once, before its loop
void grabberStart();                     // grabber thread: run state Start (hunt afresh, statistics zeroed)
void grabberRunBatch(SerialLink* link);  // grabber thread: one batch of run state Run
void handlerRunPass();                   // handler thread: one pass of run state Run (sleeps until a frame)
void wakeHandler();                      // any thread: end the handler's sleep (stop request, exit)

// Copies one batch into the capture tap while it is open (count <= 0: nothing to copy) and notes
// which request it acted on. Grabber thread, once per batch.
void tapBatch(const uint8_t* bytes, int count);
// The grabber's hand-over of a good frame (the synchroniser's callback in the grabber). Grabber thread.
void handOverFrame(const uint8_t* record, void* context);
// Grabber storage back to its state at start: empty mailbox, both buffers zero, B filled next.
// Only while both workers are parked.
void resetGrabberStorage();

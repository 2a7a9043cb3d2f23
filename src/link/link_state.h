// Private to the sensor link (and its tests): the frame layout, the build-time switches, and every
// piece of mutable process-wide state of the link, all defined in link_state.cpp.
#pragma once

#include "link/link.h"

#include <atomic>
#include <chrono>
#include <cstdint>

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
};
extern SharedPointCloud pointCloud;
extern std::atomic<uint64_t> pointCloudSequence;

// Worker steps, driven by the worker life cycle through the roles of link_workers.cpp.
void grabberEnter();                     // grabber thread: once, before its loop
void grabberStart();                     // grabber thread: run state Start (hunt afresh, statistics zeroed)
void grabberRunBatch(SerialLink* link);  // grabber thread: one batch of run state Run
void handlerRunPass();                   // handler thread: one pass of run state Run (sleeps until a frame)
void wakeHandler();                      // any thread: end the handler's sleep (stop request, exit)

// The grabber's hand-over of a good frame (the synchroniser's callback in the grabber). Grabber thread.
void handOverFrame(const uint8_t* record, void* context);
// Grabber storage back to its state at start: empty mailbox, both buffers zero, B filled next.
// Only while both workers are parked.
void resetGrabberStorage();

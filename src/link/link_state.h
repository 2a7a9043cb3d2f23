// Private to the sensor link (and its tests): the hand-over between grabber and handler and the
// switches of the link's diagnostics and pacing. Defined in grabber.cpp and handler.cpp.
#pragma once

#include "link/link.h"

#include <atomic>
#include <chrono>
#include <cstdint>

// Byte layout of a frame (and of a FrameRecord, which holds it as received).
constexpr uint8_t syncPattern[4] = {0x5A, 0xA5, 0x5A, 0xA5};
constexpr int sizeOffset = 4;
constexpr int sequenceOffset = 8;
constexpr int bodyOffset = 10;       // the body: offsets 10..2907, size field - 6 bytes
constexpr int secondsOffset = 12;
constexpr int microsOffset = 16;
constexpr int pointsOffset = 28;
constexpr int checksumOffset = 2908;

// Build-time switches: the per-frame trace on standard error, and workers that poll without pause
// (kept only to compare against in benchmarks).
constexpr bool linkTrace = QUARVIS_LINK_TRACE != 0;
constexpr bool busyPoll = QUARVIS_BUSY_POLL != 0;

// Longest wait of the grabber for a first byte of a batch, and its pause after a failed read: short
// enough that a stop request is acknowledged well within 50 ms.
constexpr unsigned firstByteWaitMs = 20;

// The mailbox: the first record of the buffer handed to the handler, or null when empty. Set from null
// by the grabber (release), back to null by the handler after decoding (release).
extern std::atomic<uint8_t*> readyFrame;
// Grows whenever the handler has cause to look again (a frame posted, a stop request, exit).
extern std::atomic<uint32_t> handlerWake;

// The grabber's hand-over of a good frame (the synchroniser's callback in the grabber). Grabber thread.
void handOverFrame(const uint8_t* record, void* context);
// Grabber storage back to its state at start: empty mailbox, both buffers zero, B filled next.
// Only while both workers are parked.
void resetGrabberStorage();

// Sensors read live through the viewer's own Link object (serial port or demo sensor): every frame a
// link's handler publishes is queued at once, and the Python module's iterator takes them in order.
// Called by the module (quarvis_module.cpp) only; no Python here.
#pragma once

#include "link/link.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

// One frame as the link published it, with the host time it was taken from the link.
struct LiveFrame {
    PointFrame frame;
    double received = 0.0;  // seconds since the epoch
};

// A port that cannot be opened, or a sensor lost while open: the port and the reason, for the user.
struct LiveFailure : std::runtime_error {
    std::string port;
    std::string reason;
    LiveFailure(std::string failedPort, std::string why)
        : std::runtime_error(failedPort + ": " + why), port(std::move(failedPort)), reason(std::move(why)) {}
};

class LiveSensor {
public:
    // Opens the port ("DEMO SENSOR" for the demo sensor) on a link of its own. Throws LiveFailure.
    LiveSensor(std::string portName, int baudRate);
    LiveSensor(const LiveSensor&) = delete;
    LiveSensor& operator=(const LiveSensor&) = delete;
    ~LiveSensor();

    // The next frame, waiting at most timeoutMs for it; null when none came in time. Throws
    // LiveFailure once the source is gone (the link is then closed). The caller's thread controls
    // the link: one thread at a time.
    std::shared_ptr<const LiveFrame> next(unsigned timeoutMs);
    void close();
    bool isOpen() const { return open; }
    const std::string& port() const { return portName; }
    uint64_t counter(int index) const { return link.statistics.get(index); }
    // Frames dropped because the reader fell behind by more than the queue holds.
    uint64_t framesDropped() const;

    // Any thread publishing a frame of this sensor's link (its handler): queue it when it is new.
    void takePublished();

private:
    Link link;
    std::string portName;
    bool open = false;
    mutable std::mutex queueMutex;  // guards the four below: the handler writes, the reader takes
    std::condition_variable arrived;
    std::deque<std::shared_ptr<const LiveFrame>> queue;
    uint64_t generationTaken = 0;
    uint64_t dropped = 0;
};

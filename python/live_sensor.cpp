// Sensors read live through the viewer's own Link object: the publish hook that queues every frame,
// and the waits of the Python module's iterator. The hook runs on the links' handler threads.
#include "live_sensor.h"

#include <libserialport.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

// About four seconds of a 1.5 Mbaud sensor: a reader that falls further behind loses the oldest.
constexpr size_t queuedFramesLimit = 256;

// Process-wide: the open live sensors. Written by LiveSensor's open and close (the module's
// threads), read by framePublished on the handler threads; liveMutex guards it.
std::mutex liveMutex;
std::vector<LiveSensor*> liveSensors;

// The publish hook of every live link, on the publishing link's handler thread. The hook does not
// say which link published: each sensor takes only a frame it has not taken yet.
void framePublished() {
    const std::lock_guard<std::mutex> lock(liveMutex);
    for (LiveSensor* sensor : liveSensors) sensor->takePublished();
}

double secondsSinceEpoch() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

LiveSensor::LiveSensor(std::string name, int baudRate) : portName(std::move(name)) {
    link.name = portName;
    {
        const std::lock_guard<std::mutex> lock(liveMutex);
        liveSensors.push_back(this);
    }
    link.setFramePublishedHook(framePublished);
    if (link.open(portName.c_str(), baudRate) != SP_OK) {
        const std::string reason = link.failure.reason.empty() ? "It cannot be opened." : link.failure.reason;
        close();
        throw LiveFailure(portName, reason);
    }
    open = true;
}

LiveSensor::~LiveSensor() { close(); }

void LiveSensor::close() {
    {
        const std::lock_guard<std::mutex> lock(liveMutex);
        liveSensors.erase(std::remove(liveSensors.begin(), liveSensors.end(), this), liveSensors.end());
    }
    link.setFramePublishedHook(nullptr);
    link.close();
    open = false;
}

void LiveSensor::takePublished() {
    auto taken = std::make_shared<LiveFrame>();
    // The frame and its generation read as one: a publish in between reads again.
    uint64_t generation = link.generation();
    for (;;) {
        link.readLatest(taken->frame);
        const uint64_t after = link.generation();
        if (after == generation) break;
        generation = after;
    }
    taken->received = secondsSinceEpoch();
    const std::lock_guard<std::mutex> lock(queueMutex);
    if (generation == generationTaken) return;
    generationTaken = generation;
    if (queue.size() == queuedFramesLimit) {
        queue.pop_front();
        ++dropped;
    }
    queue.push_back(std::move(taken));
    arrived.notify_one();
}

std::shared_ptr<const LiveFrame> LiveSensor::next(unsigned timeoutMs) {
    {
        std::unique_lock<std::mutex> lock(queueMutex);
        arrived.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !queue.empty(); });
        if (!queue.empty()) {
            auto frame = std::move(queue.front());
            queue.pop_front();
            return frame;
        }
    }
    if (!open) throw LiveFailure(portName, "The sensor is closed.");
    if (link.checkLost()) {
        close();
        throw LiveFailure(portName, "The sensor was lost: its port has gone (cable pulled or device removed).");
    }
    return nullptr;
}

uint64_t LiveSensor::framesDropped() const {
    const std::lock_guard<std::mutex> lock(queueMutex);
    return dropped;
}

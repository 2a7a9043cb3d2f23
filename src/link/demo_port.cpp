// The demo sensor source: simulator frames delivered as an 8N1 line at the chosen baud rate carries
// them, in process, one sensor per link. Open and close run on the GUI thread while the grabber is
// parked, reads on the grabber thread only.
#include "link/link.h"
#include "link/link_state.h"
#include "link/sim.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include <libserialport.h>

const char* const demoPortName = "DEMO SENSOR";

namespace {

constexpr uint32_t demoSeed = 1;
constexpr int64_t idleWaitMicros = 20000;      // longest wait when no byte is due, like a bounded read
constexpr int64_t gatherWaitMicros = 5000;     // a short wait lets bytes gather, like a UART's FIFO
constexpr int64_t bitsPerSecondScale = int64_t{lineBitsPerByte} * microsPerSecond;

int64_t microsSinceOpen(const DemoSensor& demo) {
    return std::chrono::duration_cast<std::chrono::microseconds>(DemoClock::now() - demo.openedAt).count();
}

// Bytes the line has carried completely by `micros` after open: frames start one period apart and
// each takes its line time.
uint64_t bytesDueBy(const DemoSensor& demo, int64_t micros) {
    const int64_t framesBefore = micros / demo.framePeriodMicros;
    const int64_t intoFrame = micros - framesBefore * demo.framePeriodMicros;
    const int64_t ofFrame = std::min<int64_t>(frameBytes, intoFrame * demo.baudRate / bitsPerSecondScale);
    return static_cast<uint64_t>(framesBefore) * frameBytes + static_cast<uint64_t>(ofFrame);
}

// When the line has carried byte number `index` (0-based) completely.
int64_t microsWhenDue(const DemoSensor& demo, uint64_t index) {
    const int64_t frame = static_cast<int64_t>(index / frameBytes);
    const int64_t byteInFrame = static_cast<int64_t>(index % frameBytes) + 1;
    return frame * demo.framePeriodMicros + (byteInFrame * bitsPerSecondScale + demo.baudRate - 1) / demo.baudRate;
}

void waitUntil(const DemoSensor& demo, int64_t micros) {
    std::this_thread::sleep_until(demo.openedAt + std::chrono::microseconds(micros));
}

int demoOpen(Link& link, const char*, int baudRate) {
    if (baudRate <= 0) return SP_ERR_ARG;
    if (!link.demo) link.demo = std::make_unique<DemoSensor>();
    DemoSensor& demo = *link.demo;
    demo.baudRate = baudRate;
    demo.framePeriodMicros = std::max<int64_t>(microsPerSecond / sensorFrameRate, frameLineMicros(baudRate));
    SimConfig config;
    config.seed = demoSeed;
    config.framePeriodMicros = static_cast<uint32_t>(demo.framePeriodMicros);
    // The sensor's clock runs from its power-on; the machine's uptime stands in for it.
    const auto uptime = std::chrono::duration_cast<std::chrono::microseconds>(DemoClock::now().time_since_epoch());
    config.startSeconds = static_cast<uint32_t>(uptime.count() / microsPerSecond);
    config.startMicros = static_cast<uint32_t>(uptime.count() % microsPerSecond);
    simInit(demo.sim, config);
    demo.frame.clear();
    demo.frame.reserve(frameBytes);
    demo.delivered = 0;
    demo.openedAt = DemoClock::now();
    demo.open = true;
    return SP_OK;
}

void demoClose(Link& link) { link.demo->open = false; }

// Grabber thread. Returns the bytes due now, at most maxBytes; waits at most a few milliseconds.
int demoRead(Link& link, uint8_t* buffer, int maxBytes) {
    if (!link.demo || !link.demo->open || maxBytes <= 0) return SP_ERR_ARG;
    DemoSensor& demo = *link.demo;
    int64_t now = microsSinceOpen(demo);
    uint64_t due = bytesDueBy(demo, now) - demo.delivered;
    if (due == 0) {
        waitUntil(demo, std::min(microsWhenDue(demo, demo.delivered), now + idleWaitMicros));
        now = microsSinceOpen(demo);
        due = bytesDueBy(demo, now) - demo.delivered;
        if (due == 0) return 0;
    }
    if (due < static_cast<uint64_t>(maxBytes)) {
        waitUntil(demo, std::min(microsWhenDue(demo, demo.delivered + maxBytes - 1), now + gatherWaitMicros));
        due = bytesDueBy(demo, microsSinceOpen(demo)) - demo.delivered;
    }
    const int count = static_cast<int>(std::min<uint64_t>(due, maxBytes));
    for (int copied = 0; copied < count;) {
        const size_t offset = demo.delivered % frameBytes;
        if (offset == 0) {
            demo.frame.clear();
            simNextUnit(demo.sim, demo.frame);
        }
        const int chunk = std::min<int>(count - copied, frameBytes - static_cast<int>(offset));
        std::copy_n(demo.frame.begin() + static_cast<std::ptrdiff_t>(offset), chunk, buffer + copied);
        copied += chunk;
        demo.delivered += chunk;
    }
    return count;
}

int demoReadWithin(Link& link, uint8_t* buffer, int maxBytes, unsigned) { return demoRead(link, buffer, maxBytes); }
bool demoLost(Link&) { return false; }

}  // namespace

const LinkSource demoSensorSource{"demo sensor", demoOpen, demoClose, demoRead, demoReadWithin, demoLost};

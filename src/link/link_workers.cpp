// The Link object: its two worker roles (grabber and handler) handed to its worker pair, opening and
// closing its source, its exit sequence and reset; and the registry of links. The roles run on the
// link's worker threads; everything else on the GUI thread (or a tool's main thread).
#include "link/link.h"
#include "link/link_state.h"
#include "app/app.h"

#include <libserialport.h>

#include <algorithm>

namespace {

Link& linkOf(void* context) { return *static_cast<Link*>(context); }

// Grabber thread: once, before its loop.
void grabberEnter(void* context) { linkOf(context).statistics.reset(); }
// Grabber thread: run state Start (hunt afresh, statistics zeroed).
void grabberStart(void* context) {
    Link& link = linkOf(context);
    link.synchroniser.reset();
    link.own->grabber.framesInBuffer = 0;
}
void grabberRunOnce(void* context) { grabberRunBatch(linkOf(context)); }
void handlerStart(void*) {}
void handlerRunOnce(void* context) { handlerRunPass(linkOf(context)); }
void handlerWake(void* context) { wakeHandler(linkOf(context)); }

}  // namespace

const WorkerRole grabberRole{"grabber started", "grabber halted", grabberEnter, grabberStart, grabberRunOnce, nullptr};
const WorkerRole handlerRole{"handler started", "handler halted", nullptr, handlerStart, handlerRunOnce, handlerWake};

Link::Link() : name("Sensor 1"), statistics(synchroniser.statistics), own(std::make_unique<Private>()) {}

Link::~Link() { shutDown(); }

void Link::startWorkers() {
    if (!workers.threadsStarted()) workers.startThreads(grabberRole, handlerRole, this);
}

int Link::open(const char* portName, int rate) { return open(sourceForPort(portName), portName, rate); }

int Link::open(const LinkSource& kind, const char* portName, int rate) {
    close();
    failure = PortFailure{};
    const int status = kind.open(*this, portName, rate);
    if (status != SP_OK) {
        if (failure.status == 0) failure = describeFailure(portName, nullptr, status);
        portLost = true;
        return status;
    }
    source = &kind;
    startWorkers();
    portOpen = true;
    portLost = false;
    workers.start();
    return SP_OK;
}

void Link::close() {
    const bool wasOpen = portOpen.exchange(false);
    workers.stop();
    if (wasOpen && source != nullptr) source->close(*this);
    source = nullptr;
}

bool Link::checkLost() {
    if (!portOpen || source == nullptr || !source->lost(*this)) return false;
    portLost = true;
    close();
    return true;
}

void Link::shutDown() {
    // Only once no worker reads it may the source be closed.
    workers.exit();
    if (portOpen.exchange(false) && source != nullptr) source->close(*this);
    source = nullptr;
    releaseCapture();
}

void Link::reset() {
    close();
    failure = PortFailure{};
    portLost = false;
    baudRate = defaultBaudRate;
    releaseCapture();
    capture.clock = steadyCaptureClock;
    capture.speed = 1.0f;
    capture.loop = false;
    capture.framesSkipped = 0;
    resetGrabberStorage(*this);
    synchroniser.reset();
    publish(PointFrame{});
}

// ---- Registry ----------------------------------------------------------------------------------------

namespace {

// Every link brought down when the process ends through exit() rather than through the entry (Xlib
// ends it that way when the X server goes away): destroying a running thread's handle would abort.
void shutDownAtExit() { shutDownLinks(); }

}  // namespace

Link& firstLink() {
    if (linkRegistry.empty()) {
        linkRegistry.push_back(std::make_unique<Link>());
        std::atexit(shutDownAtExit);
    }
    return *linkRegistry.front();
}

int linkCount() {
    firstLink();
    return static_cast<int>(linkRegistry.size());
}

Link& linkAt(int index) {
    firstLink();
    return *linkRegistry.at(static_cast<size_t>(index));
}

Link* addLink() {
    firstLink();
    if (linkRegistry.size() >= static_cast<size_t>(maxLinks)) return nullptr;
    auto link = std::make_unique<Link>();
    link->name = "Sensor " + std::to_string(linkRegistry.size() + 1);
    link->startWorkers();
    linkRegistry.push_back(std::move(link));
    return linkRegistry.back().get();
}

void removeLink(Link& link) {
    if (&link == &firstLink()) return;
    const auto found = std::find_if(linkRegistry.begin(), linkRegistry.end(), [&](const auto& held) { return held.get() == &link; });
    if (found != linkRegistry.end()) linkRegistry.erase(found);  // its destructor brings it down
}

void shutDownLinks() {
    for (const auto& link : linkRegistry) link->shutDown();
}

void resetLink() {
    while (linkCount() > 1) removeLink(*linkRegistry.back());
    firstLink().reset();
    portDetails.clear();
    portsLeftOut.clear();
    appState.debugPrint = false;
    demoSensorEnabled = false;
    portList.assign(1, portPlaceholder);
}

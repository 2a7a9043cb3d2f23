// In-memory stand-in for the libserialport calls the product makes, linked into the test binaries
// in place of the real library. Scripted by the tests through fake_serialport.h; any thread.
#include "fake_serialport.h"

#include <libserialport.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace {

constexpr int stepCount = 5;
constexpr uint32_t handleMagic = 0x51A7F00D;

struct Failure {
    int status = 0;
    int error = 0;  // errno an SP_ERR_FAIL leaves
};

struct Device {
    bool listed = true;
    Failure failures[stepCount] = {};
    int readFailure = 0;
    bool vanished = false;
    std::deque<uint8_t> pending;
    std::vector<uint8_t> pattern;
    size_t patternPosition = 0;
    int baudRate = -1;
    int parity = -1;
    int flowControl = -1;
    int openCount = 0;
};

// All state of the fake, guarded by fakeMutex; dataArrived wakes blocked readers.
std::mutex fakeMutex;
std::condition_variable dataArrived;
std::map<std::string, Device> devices;
std::vector<std::string> listingOrder;
int listFailure = 0;
FakeSerialCounters counters;
int generation = 0;  // handles of an earlier generation are not counted

int stepIndex(FakeSerialStep step) { return static_cast<int>(step); }

// The scripted outcome of a step: its status, with errno set as the real library leaves it.
sp_return stepResult(const Device& device, FakeSerialStep step) {
    const Failure& failure = device.failures[stepIndex(step)];
    if (failure.status == SP_ERR_FAIL) errno = failure.error;
    return static_cast<sp_return>(failure.status);
}

Device* findDevice(const std::string& name) {
    auto it = devices.find(name);
    return it == devices.end() ? nullptr : &it->second;
}

Device& deviceNamed(const char* name) {
    auto [it, added] = devices.try_emplace(name);
    if (added) {
        it->second.listed = false;
    }
    return it->second;
}

}  // namespace

struct sp_port {
    uint32_t magic;
    int generation;
    std::string name;
    bool open;
};

namespace {

sp_port* makeHandle(const std::string& name) {
    ++counters.handlesMade;
    return new sp_port{handleMagic, generation, name, false};
}

bool validHandle(const sp_port* port) { return port != nullptr && port->magic == handleMagic; }

void freeHandle(sp_port* port) {
    if (port->generation == generation) ++counters.handlesFreed;
    port->magic = 0;
    delete port;
}

// The device behind an open handle, or null when the handle is not usable for I/O.
Device* openDevice(sp_port* port) {
    if (!validHandle(port) || !port->open) return nullptr;
    return findDevice(port->name);
}

bool hasBytes(const Device& device) { return !device.pending.empty() || !device.pattern.empty(); }

int takeBytes(Device& device, void* buffer, size_t count) {
    auto* out = static_cast<uint8_t*>(buffer);
    size_t taken = 0;
    while (taken < count && !device.pending.empty()) {
        out[taken++] = device.pending.front();
        device.pending.pop_front();
    }
    while (taken < count && !device.pattern.empty()) {
        out[taken++] = device.pattern[device.patternPosition];
        device.patternPosition = (device.patternPosition + 1) % device.pattern.size();
    }
    return static_cast<int>(taken);
}

sp_return configureStep(sp_port* port, FakeSerialStep step, int value, int Device::*setting) {
    std::lock_guard lock(fakeMutex);
    Device* device = openDevice(port);
    if (device == nullptr) return SP_ERR_ARG;
    if (device->failures[stepIndex(step)].status != 0) return stepResult(*device, step);
    device->*setting = value;
    return SP_OK;
}

}  // namespace

// ---- Control API ---------------------------------------------------------------------------------

void fakeSerialReset() {
    std::lock_guard lock(fakeMutex);
    devices.clear();
    listingOrder.clear();
    listFailure = 0;
    counters = {};
    ++generation;
    dataArrived.notify_all();
}

void fakeSerialAddPort(const char* name) {
    std::lock_guard lock(fakeMutex);
    Device& device = deviceNamed(name);
    device.listed = true;
    for (const std::string& listedName : listingOrder)
        if (listedName == name) return;
    listingOrder.push_back(name);
}

void fakeSerialRemovePort(const char* name) {
    std::lock_guard lock(fakeMutex);
    deviceNamed(name).listed = false;
    std::erase(listingOrder, std::string(name));
}

void fakeSerialFailStep(const char* name, FakeSerialStep step, int status, int error) {
    std::lock_guard lock(fakeMutex);
    deviceNamed(name).failures[stepIndex(step)] = Failure{status, error};
}

void fakeSerialFailList(int status) {
    std::lock_guard lock(fakeMutex);
    listFailure = status;
}

void fakeSerialFailReads(const char* name, int status) {
    std::lock_guard lock(fakeMutex);
    deviceNamed(name).readFailure = status;
    dataArrived.notify_all();
}

void fakeSerialPush(const char* name, const uint8_t* bytes, size_t count) {
    std::lock_guard lock(fakeMutex);
    Device& device = deviceNamed(name);
    device.pending.insert(device.pending.end(), bytes, bytes + count);
    dataArrived.notify_all();
}

void fakeSerialPush(const char* name, const std::vector<uint8_t>& bytes) {
    fakeSerialPush(name, bytes.data(), bytes.size());
}

void fakeSerialRepeat(const char* name, const std::vector<uint8_t>& pattern) {
    std::lock_guard lock(fakeMutex);
    Device& device = deviceNamed(name);
    device.pattern = pattern;
    device.patternPosition = 0;
    dataArrived.notify_all();
}

size_t fakeSerialPending(const char* name) {
    std::lock_guard lock(fakeMutex);
    return deviceNamed(name).pending.size();
}

void fakeSerialVanish(const char* name) {
    std::lock_guard lock(fakeMutex);
    Device& device = deviceNamed(name);
    device.vanished = true;
    device.listed = false;
    std::erase(listingOrder, std::string(name));
}

int fakeSerialBaudRate(const char* name) {
    std::lock_guard lock(fakeMutex);
    return deviceNamed(name).baudRate;
}

int fakeSerialParity(const char* name) {
    std::lock_guard lock(fakeMutex);
    return deviceNamed(name).parity;
}

int fakeSerialFlowControl(const char* name) {
    std::lock_guard lock(fakeMutex);
    return deviceNamed(name).flowControl;
}

int fakeSerialOpenCount(const char* name) {
    std::lock_guard lock(fakeMutex);
    return deviceNamed(name).openCount;
}

FakeSerialCounters fakeSerialCounters() {
    std::lock_guard lock(fakeMutex);
    return counters;
}

int fakeSerialOpenHandles() {
    std::lock_guard lock(fakeMutex);
    return counters.opens - counters.closes;
}

int fakeSerialLiveHandles() {
    std::lock_guard lock(fakeMutex);
    return counters.handlesMade - counters.handlesFreed;
}

int fakeSerialLiveLists() {
    std::lock_guard lock(fakeMutex);
    return counters.listsMade - counters.listsFreed;
}

// ---- The faked libserialport calls ---------------------------------------------------------------

sp_return sp_get_port_by_name(const char* portname, sp_port** port_ptr) {
    if (port_ptr == nullptr) return SP_ERR_ARG;
    *port_ptr = nullptr;
    if (portname == nullptr) return SP_ERR_ARG;
    std::lock_guard lock(fakeMutex);
    Device* device = findDevice(portname);
    if (device == nullptr || !device->listed) return SP_ERR_ARG;
    if (device->failures[stepIndex(FakeSerialStep::lookup)].status != 0) return stepResult(*device, FakeSerialStep::lookup);
    *port_ptr = makeHandle(portname);
    return SP_OK;
}

void sp_free_port(sp_port* port) {
    std::lock_guard lock(fakeMutex);
    if (validHandle(port)) freeHandle(port);
}

sp_return sp_list_ports(sp_port*** list_ptr) {
    if (list_ptr == nullptr) return SP_ERR_ARG;
    *list_ptr = nullptr;
    std::lock_guard lock(fakeMutex);
    if (listFailure != 0) return static_cast<sp_return>(listFailure);
    auto** list = new sp_port*[listingOrder.size() + 1];
    size_t i = 0;
    for (const std::string& name : listingOrder) list[i++] = makeHandle(name);
    list[i] = nullptr;
    ++counters.listsMade;
    *list_ptr = list;
    return SP_OK;
}

void sp_free_port_list(sp_port** ports) {
    if (ports == nullptr) return;
    std::lock_guard lock(fakeMutex);
    for (sp_port** entry = ports; *entry != nullptr; ++entry)
        if (validHandle(*entry)) freeHandle(*entry);
    ++counters.listsFreed;
    delete[] ports;
}

char* sp_get_port_name(const sp_port* port) {
    std::lock_guard lock(fakeMutex);
    if (!validHandle(port)) return nullptr;
    return const_cast<char*>(port->name.c_str());
}

sp_return sp_open(sp_port* port, sp_mode flags) {
    std::lock_guard lock(fakeMutex);
    if (!validHandle(port) || port->open || flags == 0) return SP_ERR_ARG;
    Device* device = findDevice(port->name);
    if (device == nullptr || device->vanished) {
        errno = ENOENT;
        return SP_ERR_FAIL;
    }
    if (device->failures[stepIndex(FakeSerialStep::open)].status != 0) return stepResult(*device, FakeSerialStep::open);
    port->open = true;
    ++device->openCount;
    ++counters.opens;
    return SP_OK;
}

sp_return sp_close(sp_port* port) {
    std::lock_guard lock(fakeMutex);
    if (!validHandle(port) || !port->open) return SP_ERR_ARG;
    port->open = false;
    if (Device* device = findDevice(port->name)) --device->openCount;
    ++counters.closes;
    return SP_OK;
}

sp_return sp_set_baudrate(sp_port* port, int baudrate) {
    return configureStep(port, FakeSerialStep::baudRate, baudrate, &Device::baudRate);
}

sp_return sp_set_parity(sp_port* port, sp_parity parity) {
    return configureStep(port, FakeSerialStep::parity, parity, &Device::parity);
}

sp_return sp_set_flowcontrol(sp_port* port, sp_flowcontrol flowcontrol) {
    return configureStep(port, FakeSerialStep::flowControl, flowcontrol, &Device::flowControl);
}

sp_return sp_nonblocking_read(sp_port* port, void* buf, size_t count) {
    std::lock_guard lock(fakeMutex);
    ++counters.reads;
    Device* device = openDevice(port);
    if (device == nullptr || buf == nullptr) return SP_ERR_ARG;
    if (device->readFailure != 0) return static_cast<sp_return>(device->readFailure);
    if (device->vanished) return SP_OK;
    return static_cast<sp_return>(takeBytes(*device, buf, count));
}

sp_return sp_blocking_read_next(sp_port* port, void* buf, size_t count, unsigned int timeout_ms) {
    std::unique_lock lock(fakeMutex);
    ++counters.reads;
    if (openDevice(port) == nullptr || buf == nullptr || count == 0) return SP_ERR_ARG;
    const std::string name = port->name;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        // Look the device up afresh after every wait: a reset may have dropped it.
        Device* device = openDevice(port) == nullptr ? nullptr : findDevice(name);
        if (device == nullptr) return SP_ERR_ARG;
        if (device->readFailure != 0) return static_cast<sp_return>(device->readFailure);
        if (!device->vanished && hasBytes(*device)) return static_cast<sp_return>(takeBytes(*device, buf, count));
        if (timeout_ms == 0) {
            dataArrived.wait(lock);
        } else if (dataArrived.wait_until(lock, deadline) == std::cv_status::timeout) {
            return SP_OK;
        }
    }
}

sp_return sp_end_break(sp_port* port) {
    std::lock_guard lock(fakeMutex);
    Device* device = openDevice(port);
    if (device == nullptr) return SP_ERR_ARG;
    return device->vanished ? SP_ERR_FAIL : SP_OK;
}

// As in libserialport on Unix: the error of the last failed call is errno.
int sp_last_error_code() { return errno; }

char* sp_last_error_message() { return strdup(std::strerror(errno)); }

void sp_free_error_message(char* message) { std::free(message); }

// In-memory stand-in for the libserialport calls the product makes, linked into the test binaries
// in place of the real library. Scripted by the tests through fake_serialport.h; any thread.
#include "fake_serialport.h"

#include <libserialport.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>

namespace {

constexpr int stepCount = 5;

struct Device {
    int failure[stepCount] = {};  // status each step of opening fails with; 0: succeeds
    int error[stepCount] = {};    // errno an SP_ERR_FAIL leaves
    int readFailure = 0;
    bool vanished = false;
    std::deque<uint8_t> pending;
    int baudRate = -1;
    int parity = -1;
    int flowControl = -1;
};

// All state of the fake, guarded by fakeMutex; dataArrived wakes blocked readers.
std::mutex fakeMutex;
std::condition_variable dataArrived;
std::map<std::string, Device> devices;
std::vector<std::string> listing;  // the listed devices, in the order they were added
FakeSerialCounters counters;
int generation = 0;  // handles of an earlier generation are not counted

bool listed(const std::string& name) { return std::find(listing.begin(), listing.end(), name) != listing.end(); }

// The scripted outcome of a step: its status, with errno set as the real library leaves it.
sp_return stepResult(const Device& device, FakeSerialStep step) {
    const int s = static_cast<int>(step);
    if (device.failure[s] == SP_ERR_FAIL) errno = device.error[s];
    return static_cast<sp_return>(device.failure[s]);
}

}  // namespace

struct sp_port {
    int generation;
    std::string name;
    bool open;
};

namespace {

sp_port* makeHandle(const std::string& name) {
    ++counters.handlesMade;
    return new sp_port{generation, name, false};
}

void freeHandle(sp_port* port) {
    if (port->generation == generation) ++counters.handlesFreed;
    delete port;
}

// The device behind an open handle, or null when the handle is not usable for I/O.
Device* openDevice(sp_port* port) {
    if (port == nullptr || !port->open) return nullptr;
    auto it = devices.find(port->name);
    return it == devices.end() ? nullptr : &it->second;
}

int takeBytes(Device& device, void* buffer, size_t count) {
    auto* out = static_cast<uint8_t*>(buffer);
    size_t taken = 0;
    for (; taken < count && !device.pending.empty(); device.pending.pop_front()) out[taken++] = device.pending.front();
    return static_cast<int>(taken);
}

sp_return configureStep(sp_port* port, FakeSerialStep step, int value, int Device::*setting) {
    std::lock_guard lock(fakeMutex);
    Device* device = openDevice(port);
    if (device == nullptr) return SP_ERR_ARG;
    if (device->failure[static_cast<int>(step)] != 0) return stepResult(*device, step);
    device->*setting = value;
    return SP_OK;
}

// Runs `change` on the named device under the lock and wakes blocked readers.
template <typename Change>
void changeDevice(const char* name, Change change) {
    std::lock_guard lock(fakeMutex);
    change(devices[name]);
    dataArrived.notify_all();
}

template <typename Read>
int readDevice(const char* name, Read read) {
    std::lock_guard lock(fakeMutex);
    return read(devices[name]);
}

}  // namespace

// ---- Control API ---------------------------------------------------------------------------------

void fakeSerialReset() {
    std::lock_guard lock(fakeMutex);
    devices.clear();
    listing.clear();
    counters = {};
    ++generation;
    dataArrived.notify_all();
}

void fakeSerialAddPort(const char* name) {
    std::lock_guard lock(fakeMutex);
    devices[name];
    if (!listed(name)) listing.push_back(name);
}

void fakeSerialRemovePort(const char* name) {
    std::lock_guard lock(fakeMutex);
    std::erase(listing, std::string(name));
}

void fakeSerialFailStep(const char* name, FakeSerialStep step, int status, int error) {
    changeDevice(name, [&](Device& d) {
        d.failure[static_cast<int>(step)] = status;
        d.error[static_cast<int>(step)] = error;
    });
}

void fakeSerialFailReads(const char* name, int status) {
    changeDevice(name, [&](Device& d) { d.readFailure = status; });
}

void fakeSerialPush(const char* name, const std::vector<uint8_t>& bytes) {
    changeDevice(name, [&](Device& d) { d.pending.insert(d.pending.end(), bytes.begin(), bytes.end()); });
}

void fakeSerialVanish(const char* name) {
    changeDevice(name, [](Device& d) { d.vanished = true; });
    fakeSerialRemovePort(name);
}

int fakeSerialBaudRate(const char* name) {
    return readDevice(name, [](Device& d) { return d.baudRate; });
}

int fakeSerialParity(const char* name) {
    return readDevice(name, [](Device& d) { return d.parity; });
}

int fakeSerialFlowControl(const char* name) {
    return readDevice(name, [](Device& d) { return d.flowControl; });
}

FakeSerialCounters fakeSerialCounters() {
    std::lock_guard lock(fakeMutex);
    return counters;
}

int fakeSerialOpenHandles() {
    const FakeSerialCounters now = fakeSerialCounters();
    return now.opens - now.closes;
}

int fakeSerialLiveHandles() {
    const FakeSerialCounters now = fakeSerialCounters();
    return now.handlesMade - now.handlesFreed;
}

// ---- The faked libserialport calls ---------------------------------------------------------------

sp_return sp_get_port_by_name(const char* portname, sp_port** port_ptr) {
    *port_ptr = nullptr;
    std::lock_guard lock(fakeMutex);
    if (!listed(portname)) return SP_ERR_ARG;
    if (sp_return failed = stepResult(devices[portname], FakeSerialStep::lookup)) return failed;
    *port_ptr = makeHandle(portname);
    return SP_OK;
}

void sp_free_port(sp_port* port) {
    std::lock_guard lock(fakeMutex);
    if (port != nullptr) freeHandle(port);
}

sp_return sp_list_ports(sp_port*** list_ptr) {
    *list_ptr = nullptr;
    std::lock_guard lock(fakeMutex);
    auto** list = new sp_port*[listing.size() + 1];
    for (size_t i = 0; i < listing.size(); ++i) list[i] = makeHandle(listing[i]);
    list[listing.size()] = nullptr;
    *list_ptr = list;
    return SP_OK;
}

void sp_free_port_list(sp_port** ports) {
    std::lock_guard lock(fakeMutex);
    for (sp_port** entry = ports; *entry != nullptr; ++entry) freeHandle(*entry);
    delete[] ports;
}

char* sp_get_port_name(const sp_port* port) { return const_cast<char*>(port->name.c_str()); }

// Every fake device is a USB adapter whose serial number is its name, as the listing shows it.
char* sp_get_port_description(const sp_port*) { return const_cast<char*>("Fake USB serial adapter"); }
sp_transport sp_get_port_transport(const sp_port*) { return SP_TRANSPORT_USB; }
sp_return sp_get_port_usb_vid_pid(const sp_port*, int* vid, int* pid) { return *vid = 0x0403, *pid = 0x6001, SP_OK; }
char* sp_get_port_usb_serial(const sp_port* port) { return const_cast<char*>(port->name.c_str()); }

sp_return sp_open(sp_port* port, sp_mode) {
    std::lock_guard lock(fakeMutex);
    if (port->open) return SP_ERR_ARG;
    auto it = devices.find(port->name);
    if (it == devices.end() || it->second.vanished) {
        errno = ENOENT;
        return SP_ERR_FAIL;
    }
    if (sp_return failed = stepResult(it->second, FakeSerialStep::open)) return failed;
    port->open = true;
    ++counters.opens;
    return SP_OK;
}

sp_return sp_close(sp_port* port) {
    std::lock_guard lock(fakeMutex);
    if (!port->open) return SP_ERR_ARG;
    port->open = false;
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

namespace {

// Waits up to timeout_ms (0: for ever) for bytes unless `wait` is false; an unplugged device reads nothing.
sp_return readPort(sp_port* port, void* buf, size_t count, bool wait, unsigned int timeout_ms) {
    std::unique_lock lock(fakeMutex);
    ++counters.reads;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        // Look the device up afresh after every wait: a reset may have dropped it.
        Device* device = openDevice(port);
        if (device == nullptr) return SP_ERR_ARG;
        if (device->readFailure != 0) return static_cast<sp_return>(device->readFailure);
        if (device->vanished) return SP_OK;
        if (!device->pending.empty()) return static_cast<sp_return>(takeBytes(*device, buf, count));
        if (!wait) return SP_OK;
        if (timeout_ms == 0) {
            dataArrived.wait(lock);
        } else if (dataArrived.wait_until(lock, deadline) == std::cv_status::timeout) {
            return SP_OK;
        }
    }
}

}  // namespace

sp_return sp_nonblocking_read(sp_port* port, void* buf, size_t count) { return readPort(port, buf, count, false, 0); }

sp_return sp_blocking_read_next(sp_port* port, void* buf, size_t count, unsigned int timeout_ms) {
    return readPort(port, buf, count, true, timeout_ms);
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

// Serial port access: SerialLink over libserialport, port enumeration and disconnect. Called by the
// connection panel on the GUI thread; SerialLink::read and readWithin by the grabber only.
#include "link/link.h"
#include "app/app.h"

#include <libserialport.h>

#include <cstring>
#include <string>

const char* const portPlaceholder = "SELECT A PORT";

namespace {

bool isDemoName(const char* portName) { return portName != nullptr && std::strcmp(portName, demoPortName) == 0; }
bool isCaptureName(const char* portName) { return portName != nullptr && std::strcmp(portName, capturePortName) == 0; }

// Close the port if it is still open and free its handle: a new open replaces it.
void releasePort(SerialLink& link) {
    link.close();
    if (link.port != nullptr) sp_free_port(link.port);
    link.port = nullptr;
}

// What a failed step means, as the user reads it. The system's own message is taken at once, before
// any other call can change errno.
PortFailure describeFailure(const char* portName, const char* step, int status) {
    PortFailure failure{portName, status, 0, {}};
    switch (status) {
    case SP_ERR_FAIL: {
        failure.error = sp_last_error_code();
        char* message = sp_last_error_message();
        failure.reason = message != nullptr ? message : "Failed";
        sp_free_error_message(message);
        break;
    }
    case SP_ERR_ARG: failure.reason = "Invalid argument"; break;
    case SP_ERR_MEM: failure.reason = "Out of memory"; break;
    case SP_ERR_SUPP: failure.reason = "Not supported by the port"; break;
    default: failure.reason = "libserialport status " + std::to_string(status); break;
    }
    if (step != nullptr) failure.reason = std::string(step) + ": " + failure.reason;
    return failure;
}

// The configuring steps after sp_open; the first failure's status is returned and described.
int configurePort(sp_port* port, const char* portName, int baudRate, PortFailure& failure) {
    int status = sp_set_baudrate(port, baudRate);
    if (status != SP_OK) {
        failure = describeFailure(portName, "Setting the baud rate", status);
        return status;
    }
    status = sp_set_parity(port, SP_PARITY_NONE);
    if (status != SP_OK) {
        failure = describeFailure(portName, "Setting the parity", status);
        return status;
    }
    status = sp_set_flowcontrol(port, SP_FLOWCONTROL_NONE);
    if (status != SP_OK) failure = describeFailure(portName, "Setting the flow control", status);
    return status;
}

}  // namespace

int SerialLink::open(const char* portName, int baudRate) {
    releasePort(*this);
    failure = PortFailure{};
    if (isDemoName(portName)) {
        const int status = demoPortOpen(baudRate);
        portIsDemo = portIsOpen = status == SP_OK;
        if (status != SP_OK) failure = describeFailure(portName, nullptr, status);
        return status;
    }
    if (isCaptureName(portName)) {
        const int status = capturePortOpen();
        portIsCapture = portIsOpen = status == SP_OK;
        if (status != SP_OK) failure = describeFailure(portName, nullptr, status);
        return status;
    }
    int status = sp_get_port_by_name(portName, &port);
    if (status != SP_OK) {
        failure = describeFailure(portName, nullptr, status);
        if (status == SP_ERR_ARG) failure.reason = "No such port";  // the name is no port the system knows
        port = nullptr;
        return status;
    }
    status = sp_open(port, SP_MODE_READ_WRITE);
    if (status != SP_OK) {
        failure = describeFailure(portName, nullptr, status);
    } else {
        status = configurePort(port, portName, baudRate, failure);
        if (status != SP_OK) sp_close(port);
    }
    if (status != SP_OK) {
        // A port that cannot be configured is not left held: another program may want it.
        sp_free_port(port);
        port = nullptr;
        return status;
    }
    portIsOpen = true;
    return SP_OK;
}

void SerialLink::close() {
    if (!portIsOpen) return;
    if (portIsDemo) {
        demoPortClose();
    } else if (portIsCapture) {
        capturePortClose();
    } else {
        sp_close(port);
    }
    portIsOpen = false;
    portIsDemo = false;
    portIsCapture = false;
}

int SerialLink::read(uint8_t* buffer, int maxBytes) {
    if (portIsDemo) return demoPortRead(buffer, maxBytes);
    if (portIsCapture) return capturePortRead(buffer, maxBytes);
    if (port == nullptr) return SP_ERR_ARG;
    return sp_nonblocking_read(port, buffer, static_cast<size_t>(maxBytes));
}

int SerialLink::readWithin(uint8_t* buffer, int maxBytes, unsigned timeoutMs) {
    if (portIsDemo) return demoPortRead(buffer, maxBytes);
    if (portIsCapture) return capturePortRead(buffer, maxBytes);
    if (port == nullptr) return SP_ERR_ARG;
    return sp_blocking_read_next(port, buffer, static_cast<size_t>(maxBytes), timeoutMs);
}

bool SerialLink::lost() {
    if (portIsDemo) return false;
    if (portIsCapture) return captureReplay.readFailed;
    // No break is ever started, so ending one leaves a working line alone; it fails once the
    // device has gone.
    if (port == nullptr) return true;
    return sp_end_break(port) != SP_OK;
}

void disconnect() {
    const bool wasOpen = appState.portOpen.exchange(false);
    stopWorkers();
    if (wasOpen) serialLink.close();
}

void enumeratePorts() {
    portsLeftOut.clear();
    sp_port** list = nullptr;
    if (sp_list_ports(&list) != SP_OK) {
        logPrintf("sp_list_ports() failed!\n");
        return;
    }
    for (sp_port** entry = list; *entry != nullptr; ++entry) {
        const char* name = sp_get_port_name(*entry);
        if (appState.debugPrint) logPrintf("Found port: %s\n", name);
        if (serialLink.open(name, appState.baudRate) == SP_OK) {
            portList.emplace_back(name);
            serialLink.close();
        } else {
            portsLeftOut.push_back(serialLink.failure);
        }
    }
    sp_free_port_list(list);
    if (demoSensorEnabled) portList.emplace_back(demoPortName);
}

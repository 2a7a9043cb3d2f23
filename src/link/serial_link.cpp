// The serial port source over libserialport, the choice of a link's source by port name, and the
// listing of the machine's ports. Called on the GUI thread (or a tool's main thread), except read and
// readWithin, which the grabber calls.
#include "link/link.h"
#include "app/app.h"

#include <libserialport.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

const char* const portPlaceholder = "SELECT A PORT";

namespace {

bool namesMatch(const char* portName, const char* name) { return portName != nullptr && std::strcmp(portName, name) == 0; }

}  // namespace

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

namespace {

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

int serialOpen(Link& link, const char* portName, int baudRate) {
    sp_port* port = nullptr;
    int status = sp_get_port_by_name(portName, &port);
    if (status != SP_OK) {
        link.failure = describeFailure(portName, nullptr, status);
        if (status == SP_ERR_ARG) link.failure.reason = "No such port";  // the name is no port the system knows
        return status;
    }
    status = sp_open(port, SP_MODE_READ_WRITE);
    if (status != SP_OK) {
        link.failure = describeFailure(portName, nullptr, status);
    } else {
        status = configurePort(port, portName, baudRate, link.failure);
        if (status != SP_OK) sp_close(port);
    }
    if (status != SP_OK) {
        // A port that cannot be configured is not left held: another program may want it.
        sp_free_port(port);
        return status;
    }
    link.port = port;
    return SP_OK;
}

void serialClose(Link& link) {
    sp_close(link.port);
    sp_free_port(link.port);
    link.port = nullptr;
}

// Grabber thread.
int serialRead(Link& link, uint8_t* buffer, int maxBytes) {
    return sp_nonblocking_read(link.port, buffer, static_cast<size_t>(maxBytes));
}

// Grabber thread.
int serialReadWithin(Link& link, uint8_t* buffer, int maxBytes, unsigned timeoutMs) {
    return sp_blocking_read_next(link.port, buffer, static_cast<size_t>(maxBytes), timeoutMs);
}

// No break is ever started, so ending one leaves a working line alone; it fails once the device has gone.
bool serialLost(Link& link) { return sp_end_break(link.port) != SP_OK; }

// The user may open the device: checked without opening it. A name that is no file (a port only
// libserialport knows) is not marked.
bool mayOpen(const char* name) { return ::access(name, R_OK | W_OK) == 0 || (errno != EACCES && errno != EPERM); }

// "VID:PID", maker and product ids of a USB port in hex; empty for other transports.
std::string usbIds(sp_port* port) {
    int vendor = 0;
    int product = 0;
    if (sp_get_port_transport(port) != SP_TRANSPORT_USB || sp_get_port_usb_vid_pid(port, &vendor, &product) != SP_OK)
        return {};
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", vendor & 0xFFFF, product & 0xFFFF);
    return text;
}

std::string orEmpty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

const LinkSource serialPortSource{"serial port", serialOpen, serialClose, serialRead, serialReadWithin, serialLost};

const LinkSource& sourceForPort(const char* portName) {
    if (namesMatch(portName, demoPortName)) return demoSensorSource;
    if (namesMatch(portName, capturePortName)) return captureReplaySource;
    return serialPortSource;
}

void enumeratePorts() {
    portsLeftOut.clear();
    portDetails.clear();
    sp_port** list = nullptr;
    if (sp_list_ports(&list) != SP_OK) {
        logPrintf("sp_list_ports() failed!\n");
        return;
    }
    // Listing opens nothing: opening a port resets boards that reset on DTR and reconfigures lines
    // that belong to others. A port is opened only when the user connects to it.
    for (sp_port** entry = list; *entry != nullptr; ++entry) {
        const char* name = sp_get_port_name(*entry);
        if (appState.debugPrint) logPrintf("Found port: %s\n", name);
        PortDetails details{name, orEmpty(sp_get_port_description(*entry)), usbIds(*entry),
                            orEmpty(sp_get_port_transport(*entry) == SP_TRANSPORT_USB ? sp_get_port_usb_serial(*entry) : nullptr),
                            mayOpen(name)};
        if (!details.permitted) portsLeftOut.push_back(PortFailure{name, SP_ERR_FAIL, EACCES, "Permission denied"});
        portList.emplace_back(name);
        portDetails.push_back(std::move(details));
    }
    sp_free_port_list(list);
    if (demoSensorEnabled) portList.emplace_back(demoPortName);
}

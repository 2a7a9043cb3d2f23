// Test-only LD_PRELOAD library: serial ports on pseudo-terminals. The paths listed in VIRTUAL_PORTS
// (comma-separated) are the only ports that exist: listing names them alone and any other name is
// refused, so a test never opens (nor, by listing, reconfigures) a serial line of the host, its
// console among them. Every sp_* call the viewer and the tools make on a port lands here (so every
// sp_port they hold was made here); the real libserialport is left only its error-message calls.
// Loaded into the viewer and the tools by scripts/vport.sh.
//
// Any thread may call in. A virtual port is opened and closed on one thread while no other uses it
// (the viewer's handshakes see to that); reads and the liveness probe may run on two threads at once.
#include <libserialport.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr unsigned endlessWaitSliceMs = 100;  // a dead line under an endless read is re-checked this often

struct VirtualPort {
    std::string name;
    int fd = -1;
};

VirtualPort* asVirtual(const sp_port* port) {
    return reinterpret_cast<VirtualPort*>(const_cast<sp_port*>(port));
}

// The port when it is open.
VirtualPort* opened(const sp_port* port) {
    VirtualPort* virt = asVirtual(port);
    return virt != nullptr && virt->fd >= 0 ? virt : nullptr;
}

// The names in VIRTUAL_PORTS whose pseudo-terminal exists now (killing socat removes them).
std::vector<std::string> presentVirtualNames() {
    std::vector<std::string> present;
    const char* list = std::getenv("VIRTUAL_PORTS");
    std::istringstream entries(list != nullptr ? list : "");
    struct stat info;
    for (std::string name; std::getline(entries, name, ',');)
        if (!name.empty() && stat(name.c_str(), &info) == 0) present.push_back(name);
    return present;
}

sp_port* newVirtualPort(const std::string& name) {
    return reinterpret_cast<sp_port*>(new VirtualPort{name});
}

sp_return failWith(int error) {
    errno = error;
    return SP_ERR_FAIL;
}

// A pseudo-terminal whose other side has gone (socat killed): the unplugged sensor.
bool hungUp(int fd) {
    pollfd probe = {fd, 0, 0};
    return poll(&probe, 1, 0) < 0 || (probe.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// Reads what is there. A dead line reads as an idle one, as the serial driver does when the
// device goes: only sp_end_break reports the loss.
int readWaiting(VirtualPort* port, void* buffer, size_t count) {
    const ssize_t got = ::read(port->fd, buffer, count);
    if (got >= 0) return static_cast<int>(got);
    if (errno == EAGAIN || errno == EINTR || errno == EIO) return 0;
    return failWith(errno);
}

}  // namespace

extern "C" {

// A host port, or a virtual one whose pseudo-terminal is gone, is refused like a name that is no port.
sp_return sp_get_port_by_name(const char* portname, sp_port** port_ptr) {
    if (port_ptr == nullptr) return SP_ERR_ARG;
    const auto names = presentVirtualNames();
    const bool present = portname != nullptr && std::find(names.begin(), names.end(), portname) != names.end();
    *port_ptr = present ? newVirtualPort(portname) : nullptr;
    return present ? SP_OK : SP_ERR_ARG;
}

void sp_free_port(sp_port* port) { delete asVirtual(port); }

sp_return sp_list_ports(sp_port*** list_ptr) {
    if (list_ptr == nullptr) return SP_ERR_ARG;
    const auto names = presentVirtualNames();
    auto** list = static_cast<sp_port**>(std::calloc(names.size() + 1, sizeof(sp_port*)));
    if (list == nullptr) return SP_ERR_MEM;
    std::transform(names.begin(), names.end(), list, newVirtualPort);
    *list_ptr = list;
    return SP_OK;
}

void sp_free_port_list(sp_port** ports) {
    for (sp_port** entry = ports; entry != nullptr && *entry != nullptr; ++entry) sp_free_port(*entry);
    std::free(ports);
}

char* sp_get_port_name(const sp_port* port) {
    VirtualPort* virt = asVirtual(port);
    return virt != nullptr ? virt->name.data() : nullptr;
}

// A virtual port is a pseudo-terminal standing in for a sensor; the listing says so.
char* sp_get_port_description(const sp_port*) { return const_cast<char*>("Virtual port"); }
sp_transport sp_get_port_transport(const sp_port*) { return SP_TRANSPORT_NATIVE; }
sp_return sp_get_port_usb_vid_pid(const sp_port*, int*, int*) { return SP_ERR_ARG; }
char* sp_get_port_usb_serial(const sp_port*) { return nullptr; }

sp_return sp_open(sp_port* port, sp_mode flags) {
    VirtualPort* virt = asVirtual(port);
    if (virt == nullptr || virt->fd >= 0 || (flags & SP_MODE_READ_WRITE) == 0) return SP_ERR_ARG;
    const int fd = ::open(virt->name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings;
    if (fd < 0 || tcgetattr(fd, &settings) != 0) {
        const int error = errno;
        if (fd >= 0) ::close(fd);
        return failWith(error);
    }
    cfmakeraw(&settings);
    tcsetattr(fd, TCSANOW, &settings);
    virt->fd = fd;
    return SP_OK;
}

sp_return sp_close(sp_port* port) {
    VirtualPort* virt = opened(port);
    if (virt == nullptr) return SP_ERR_ARG;
    ::close(virt->fd);
    virt->fd = -1;
    return SP_OK;
}

// A pseudo-terminal carries bytes at any rate: the line settings are accepted.
sp_return sp_set_baudrate(sp_port* port, int baudrate) {
    return opened(port) != nullptr && baudrate > 0 ? SP_OK : SP_ERR_ARG;
}

sp_return sp_set_parity(sp_port* port, sp_parity) { return opened(port) != nullptr ? SP_OK : SP_ERR_ARG; }

sp_return sp_set_flowcontrol(sp_port* port, sp_flowcontrol) { return opened(port) != nullptr ? SP_OK : SP_ERR_ARG; }

sp_return sp_nonblocking_read(sp_port* port, void* buf, size_t count) {
    VirtualPort* virt = opened(port);
    if (virt == nullptr || buf == nullptr) return SP_ERR_ARG;
    return static_cast<sp_return>(readWaiting(virt, buf, count));
}

// Waits up to timeout_ms (0: without end) for the first bytes and returns what is there. A dead
// line waits out the time and reads nothing, so a caller polling it does not spin.
sp_return sp_blocking_read_next(sp_port* port, void* buf, size_t count, unsigned int timeout_ms) {
    VirtualPort* virt = opened(port);
    if (virt == nullptr || buf == nullptr) return SP_ERR_ARG;
    if (count == 0) return SP_OK;
    for (;;) {
        const unsigned wait = timeout_ms == 0 ? endlessWaitSliceMs : timeout_ms;
        pollfd ready = {virt->fd, POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(wait));
        if (polled < 0 && errno != EINTR) return failWith(errno);
        if (polled > 0 && (ready.revents & POLLIN) != 0) {
            const int got = readWaiting(virt, buf, count);
            if (got != 0) return static_cast<sp_return>(got);
        }
        if (polled > 0 && hungUp(virt->fd)) ::usleep(wait * 1000);
        if (timeout_ms != 0) return SP_OK;
    }
}

// The viewer's liveness probe: fails once the other side of the pseudo-terminal has gone.
sp_return sp_end_break(sp_port* port) {
    VirtualPort* virt = opened(port);
    if (virt == nullptr) return SP_ERR_ARG;
    return hungUp(virt->fd) ? failWith(EIO) : SP_OK;
}

}  // extern "C"

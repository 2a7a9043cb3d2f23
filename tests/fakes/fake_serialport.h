// Control panel of the fake libserialport that the unit and GUI tests link instead of the real
// library. Tests (any thread) script ports here; the product's sp_* calls see them.
//
// Ports are in-memory devices known by name. sp_list_ports lists them in the order they were added;
// sp_get_port_by_name hands out a new handle for a known name (SP_ERR_ARG for an unknown one). Bytes
// pushed to a device are read by sp_nonblocking_read / sp_blocking_read_next on an open handle, in
// order; sp_blocking_read_next really waits (up to its time-out) until bytes are pushed.
//
// Every function here and every faked sp_* call is thread-safe: a test may push bytes while the
// grabber thread reads.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <vector>

// The steps of SerialLink::open, in order: each can be made to fail.
enum class FakeSerialStep {
    lookup,       // sp_get_port_by_name
    open,         // sp_open (a port held by another program)
    baudRate,     // sp_set_baudrate (a rate the port refuses)
    parity,       // sp_set_parity
    flowControl,  // sp_set_flowcontrol
};

// What happened to handles since the last reset.
struct FakeSerialCounters {
    int handlesMade = 0;   // by sp_get_port_by_name and sp_list_ports
    int handlesFreed = 0;  // by sp_free_port and sp_free_port_list
    int opens = 0;         // successful sp_open calls
    int closes = 0;        // successful sp_close calls
    int reads = 0;         // sp_nonblocking_read and sp_blocking_read_next calls
};

// Forget every device, failure and counter. Handles made before stay valid memory but are no
// longer counted (free them before resetting when a test checks for leaks).
void fakeSerialReset();

// A device that sp_list_ports lists and SerialLink::open can open.
void fakeSerialAddPort(const char* name);
// The device disappears from the listing and from sp_get_port_by_name (handles keep working).
void fakeSerialRemovePort(const char* name);

// From now on the given step fails with `status` for this device (SP_ERR_FAIL, SP_ERR_ARG, ...);
// an SP_ERR_FAIL leaves `error` in errno, where sp_last_error_code and sp_last_error_message find
// it as they do in the real library. Pass status 0 to make the step succeed again.
void fakeSerialFailStep(const char* name, FakeSerialStep step, int status, int error = EIO);
// Reads of this device return `status` (negative) instead of bytes (0: read normally again).
void fakeSerialFailReads(const char* name, int status);

// Bytes the device sends, appended to what it has not yet delivered.
void fakeSerialPush(const char* name, const std::vector<uint8_t>& bytes);

// The device is unplugged: reads return 0 like an idle line and sp_end_break fails (SP_ERR_FAIL),
// the way a vanished USB adapter behaves.
void fakeSerialVanish(const char* name);

// Line settings the product last applied to the device (-1 when never set).
int fakeSerialBaudRate(const char* name);
int fakeSerialParity(const char* name);
int fakeSerialFlowControl(const char* name);

FakeSerialCounters fakeSerialCounters();
// Leak checks: handles opened and not closed, handles made and not freed.
int fakeSerialOpenHandles();
int fakeSerialLiveHandles();

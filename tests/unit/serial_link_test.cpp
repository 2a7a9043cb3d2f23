// SerialLink and port enumeration against the fake libserialport: line settings, failures at every
// step of opening (and that nothing stays held), probing, and the list offered to the user.
#include "link/link.h"
#include "app/app.h"
#include "../fakes/fake_serialport.h"
#include "../fakes/link_test_support.h"

#include <libserialport.h>

#include <gtest/gtest.h>

namespace {

class SerialLinkTest : public ::testing::Test {
protected:
    void SetUp() override { resetLinkForTest(); }
    void TearDown() override { resetLinkForTest(); }
};

TEST_F(SerialLinkTest, OpensConfiguredAndReleasesEveryHandleItReplaces) {
    fakeSerialAddPort("A");
    fakeSerialAddPort("B");
    ASSERT_EQ(serialLink.open("A", 921600), SP_OK);
    EXPECT_EQ(fakeSerialBaudRate("A"), 921600);
    EXPECT_EQ(fakeSerialParity("A"), SP_PARITY_NONE);
    EXPECT_EQ(fakeSerialFlowControl("A"), SP_FLOWCONTROL_NONE);
    EXPECT_FALSE(serialLink.lost());
    uint8_t buffer[readChunkBytes];
    EXPECT_EQ(serialLink.read(buffer, readChunkBytes), 0) << "nothing waiting";
    // Opening another port without closing first leaves neither the old port held nor its handle.
    ASSERT_EQ(serialLink.open("B", 460800), SP_OK);
    EXPECT_EQ(fakeSerialOpenCount("A"), 0);
    EXPECT_EQ(fakeSerialLiveHandles(), 1);
    fakeSerialVanish("B");
    EXPECT_EQ(serialLink.read(buffer, readChunkBytes), 0) << "an unplugged device reads like an idle line";
    EXPECT_TRUE(serialLink.lost());
    serialLink.close();
    serialLink.close();
    EXPECT_EQ(fakeSerialCounters().closes, 2);
    EXPECT_EQ(serialLink.open("/dev/nothing", 460800), SP_ERR_ARG);
    EXPECT_EQ(fakeSerialLiveHandles(), 0);
}

TEST_F(SerialLinkTest, AFailedStepReturnsItsStatusSaysWhyAndLeavesNothingHeld) {
    struct Case {
        FakeSerialStep step;
        int status;
        int error;
        const char* reason;
    };
    const Case cases[] = {{FakeSerialStep::lookup, SP_ERR_ARG, 0, "No such port"},
                          {FakeSerialStep::open, SP_ERR_FAIL, EACCES, "Permission denied"},
                          {FakeSerialStep::baudRate, SP_ERR_SUPP, 0, "Setting the baud rate: Not supported by the port"},
                          {FakeSerialStep::parity, SP_ERR_MEM, 0, "Setting the parity: Out of memory"},
                          {FakeSerialStep::flowControl, SP_ERR_FAIL, EIO, "Setting the flow control: Input/output error"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reason);
        resetLinkForTest();
        fakeSerialAddPort("P");
        fakeSerialFailStep("P", c.step, c.status, c.error);
        EXPECT_EQ(serialLink.open("P", 460800), c.status);
        EXPECT_EQ(serialLink.failure.port, "P");
        EXPECT_EQ(serialLink.failure.status, c.status);
        EXPECT_EQ(serialLink.failure.error, c.error);
        EXPECT_EQ(serialLink.failure.reason, c.reason);
        EXPECT_EQ(fakeSerialOpenHandles(), 0);
        EXPECT_EQ(fakeSerialLiveHandles(), 0);
        EXPECT_TRUE(serialLink.lost());
        fakeSerialFailStep("P", c.step, SP_OK);
        EXPECT_EQ(serialLink.open("P", 460800), SP_OK) << "the port is free for the next attempt";
        EXPECT_EQ(serialLink.failure.status, 0);
    }
}

TEST_F(SerialLinkTest, ListsThePortsThatOpenAtTheRateThenTheDemoSensor) {
    enumeratePorts();
    EXPECT_EQ(portList, (std::vector<std::string>{"SELECT A PORT"}));
    for (const char* name : {"/dev/ttyS0", "/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyACM0"}) fakeSerialAddPort(name);
    fakeSerialFailStep("/dev/ttyUSB0", FakeSerialStep::open, SP_ERR_FAIL, EBUSY);  // held by another program
    fakeSerialFailStep("/dev/ttyUSB1", FakeSerialStep::baudRate, SP_ERR_ARG);  // refuses the rate
    demoSensorEnabled = true;
    appState.debugPrint = true;
    testing::internal::CaptureStdout();
    enumeratePorts();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Found port: /dev/ttyS0\nFound port: /dev/ttyUSB0\nFound port: /dev/ttyUSB1\nFound port: /dev/ttyACM0\n");
    EXPECT_EQ(portList, (std::vector<std::string>{"SELECT A PORT", "/dev/ttyS0", "/dev/ttyACM0", "DEMO SENSOR"}));
    ASSERT_EQ(portsLeftOut.size(), 2u);
    EXPECT_EQ(portsLeftOut[0].port, "/dev/ttyUSB0");
    EXPECT_EQ(portsLeftOut[0].reason, "Device or resource busy");
    EXPECT_EQ(portsLeftOut[1].port, "/dev/ttyUSB1");
    EXPECT_EQ(portsLeftOut[1].reason, "Setting the baud rate: Invalid argument");
    EXPECT_EQ(fakeSerialOpenHandles(), 0);
    EXPECT_LE(fakeSerialLiveHandles(), 1);  // at most the link's own, freed by its next open

    appState.debugPrint = false;
    fakeSerialFailList(SP_ERR_MEM);
    testing::internal::CaptureStdout();
    portList.assign(1, portPlaceholder);
    enumeratePorts();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "sp_list_ports() failed!\n");
    EXPECT_EQ(portList.size(), 1u);
}

}  // namespace

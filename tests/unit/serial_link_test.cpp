// Links and port listing against the fake libserialport: line settings, failures at every step of
// opening (and that nothing stays held), probing, and the list offered to the user.
#include "link/link.h"
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
    for (const char* name : {"A", "B"}) fakeSerialAddPort(name);
    // Listing opens no port (opening resets boards and reconfigures others' lines) and says what
    // libserialport knows of each.
    enumeratePorts();
    EXPECT_EQ(fakeSerialCounters().opens + fakeSerialLiveHandles(), 0);
    EXPECT_EQ(portList, (std::vector<std::string>{portPlaceholder, "A", "B"}));
    EXPECT_EQ(portDetails.at(1).description + " " + portDetails[1].usbIds + " " + portDetails[1].serialNumber, "Fake USB serial adapter 0403:6001 B");
    Link& link = firstLink();
    ASSERT_EQ(link.open("A", 921600), SP_OK);
    EXPECT_EQ(fakeSerialBaudRate("A"), 921600);
    EXPECT_EQ(fakeSerialParity("A"), SP_PARITY_NONE);
    EXPECT_EQ(fakeSerialFlowControl("A"), SP_FLOWCONTROL_NONE);
    EXPECT_FALSE(link.checkLost());
    // Opening another port without closing first leaves neither the old port held nor its handle.
    ASSERT_EQ(link.open("B", 460800), SP_OK);
    EXPECT_EQ(fakeSerialOpenHandles() + fakeSerialLiveHandles(), 2);
    fakeSerialVanish("B");
    EXPECT_TRUE(link.checkLost());
    EXPECT_TRUE(link.portLost);
    EXPECT_FALSE(link.portOpen);
    link.close();
    EXPECT_EQ(fakeSerialCounters().closes, 2);
    EXPECT_EQ(link.open("/dev/nothing", 460800), SP_ERR_ARG);
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
        EXPECT_EQ(firstLink().open("P", 460800), c.status);
        EXPECT_EQ(firstLink().failure.reason, c.reason);
        EXPECT_EQ(fakeSerialOpenHandles() + fakeSerialLiveHandles(), 0);
        EXPECT_TRUE(firstLink().portLost);
        fakeSerialFailStep("P", c.step, SP_OK);
        EXPECT_EQ(firstLink().open("P", 460800), SP_OK) << "the port is free for the next attempt";
        EXPECT_FALSE(firstLink().portLost) << "a successful open clears the loss";
        firstLink().close();
    }
}

}  // namespace

// SerialLink and port enumeration against the fake libserialport: line settings, failures at every
// step of opening (and what stays held), reading, probing, and the list offered to the user.
#include "link/link.h"
#include "app/app.h"
#include "../fakes/fake_serialport.h"
#include "../fakes/link_test_support.h"
#include "../fakes/test_frames.h"

#include <libserialport.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

class SerialLinkTest : public ::testing::Test {
protected:
    void SetUp() override { resetLinkForTest(); }
    void TearDown() override { resetLinkForTest(); }
};

TEST_F(SerialLinkTest, OpensAtTheRateWithoutParityOrFlowControl) {
    fakeSerialAddPort("/dev/ttyUSB0");
    ASSERT_EQ(serialLink.open("/dev/ttyUSB0", 921600), SP_OK);
    EXPECT_EQ(fakeSerialOpenCount("/dev/ttyUSB0"), 1);
    EXPECT_EQ(fakeSerialBaudRate("/dev/ttyUSB0"), 921600);
    EXPECT_EQ(fakeSerialParity("/dev/ttyUSB0"), SP_PARITY_NONE);
    EXPECT_EQ(fakeSerialFlowControl("/dev/ttyUSB0"), SP_FLOWCONTROL_NONE);
    EXPECT_FALSE(serialLink.lost());
    serialLink.close();
    EXPECT_EQ(fakeSerialOpenHandles(), 0);
    serialLink.close();  // a second close reports nothing and closes nothing
    EXPECT_EQ(fakeSerialCounters().closes, 1);
}

TEST_F(SerialLinkTest, AFailedStepReturnsItsStatusAndLeavesNothingHeld) {
    struct Case {
        FakeSerialStep step;
        int status;
    };
    const Case cases[] = {{FakeSerialStep::lookup, SP_ERR_MEM},
                          {FakeSerialStep::open, SP_ERR_FAIL},
                          {FakeSerialStep::baudRate, SP_ERR_ARG},
                          {FakeSerialStep::parity, SP_ERR_SUPP},
                          {FakeSerialStep::flowControl, SP_ERR_FAIL}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.step));
        resetLinkForTest();
        fakeSerialAddPort("/dev/ttyACM0");
        fakeSerialFailStep("/dev/ttyACM0", c.step, c.status);
        EXPECT_EQ(serialLink.open("/dev/ttyACM0", 460800), c.status);
        EXPECT_EQ(fakeSerialOpenHandles(), 0);
        EXPECT_EQ(fakeSerialLiveHandles(), 0);
        EXPECT_EQ(serialLink.port, nullptr);
        EXPECT_TRUE(serialLink.lost());
        // The port is free for the next attempt.
        fakeSerialFailStep("/dev/ttyACM0", c.step, SP_OK);
        EXPECT_EQ(serialLink.open("/dev/ttyACM0", 460800), SP_OK);
    }
}

TEST_F(SerialLinkTest, ANameThatIsNoPortOpensNothing) {
    EXPECT_EQ(serialLink.open("/dev/nothing", 460800), SP_ERR_ARG);
    EXPECT_EQ(fakeSerialCounters().handlesMade, 0);
    EXPECT_EQ(fakeSerialCounters().opens, 0);
}

TEST_F(SerialLinkTest, ANewOpenReleasesTheHandleItReplaces) {
    fakeSerialAddPort("A");
    fakeSerialAddPort("B");
    ASSERT_EQ(serialLink.open("A", 460800), SP_OK);
    serialLink.close();
    ASSERT_EQ(serialLink.open("B", 460800), SP_OK);
    EXPECT_EQ(fakeSerialLiveHandles(), 1);
    // Opening again without a close first does not leave the old port held either.
    ASSERT_EQ(serialLink.open("A", 460800), SP_OK);
    EXPECT_EQ(fakeSerialOpenCount("B"), 0);
    EXPECT_EQ(fakeSerialOpenHandles(), 1);
    EXPECT_EQ(fakeSerialLiveHandles(), 1);
}

TEST_F(SerialLinkTest, ReadsWhatIsWaitingAndNeverMoreThanAsked) {
    fakeSerialAddPort("A");
    ASSERT_EQ(serialLink.open("A", 460800), SP_OK);
    uint8_t buffer[readChunkBytes];
    EXPECT_EQ(serialLink.read(buffer, readChunkBytes), 0);
    fakeSerialPush("A", Bytes(300, 7));
    EXPECT_EQ(serialLink.read(buffer, readChunkBytes), readChunkBytes);
    EXPECT_EQ(serialLink.read(buffer, readChunkBytes), 100);
    EXPECT_EQ(buffer[99], 7);
    // Waiting for a first byte ends with nothing on an idle line, and with the bytes once they come.
    EXPECT_EQ(serialLink.readWithin(buffer, readChunkBytes, 1), 0);
    std::thread sender([] { fakeSerialPush("A", Bytes{1, 2, 3}); });
    int got = 0;
    while (got == 0) got = serialLink.readWithin(buffer, readChunkBytes, 10000);
    sender.join();
    EXPECT_EQ(got, 3);
    fakeSerialFailReads("A", SP_ERR_FAIL);
    EXPECT_EQ(serialLink.read(buffer, readChunkBytes), SP_ERR_FAIL);
    EXPECT_EQ(serialLink.readWithin(buffer, readChunkBytes, 1), SP_ERR_FAIL);
}

TEST_F(SerialLinkTest, AVanishedPortReadsLikeAnIdleLineButIsReportedLost) {
    fakeSerialAddPort("A");
    ASSERT_EQ(serialLink.open("A", 460800), SP_OK);
    fakeSerialVanish("A");
    uint8_t buffer[readChunkBytes];
    EXPECT_EQ(serialLink.read(buffer, readChunkBytes), 0);
    EXPECT_TRUE(serialLink.lost());
}

TEST_F(SerialLinkTest, ListsOnlyPortsThatOpenAtTheRateAndReleasesEverything) {
    enumeratePorts();
    EXPECT_EQ(portList, (std::vector<std::string>{"SELECT A PORT"}));
    EXPECT_EQ(fakeSerialLiveLists(), 0);

    fakeSerialAddPort("/dev/ttyS0");
    fakeSerialAddPort("/dev/ttyUSB0");
    fakeSerialAddPort("/dev/ttyUSB1");
    fakeSerialAddPort("/dev/ttyACM0");
    fakeSerialFailStep("/dev/ttyUSB0", FakeSerialStep::open, SP_ERR_FAIL);         // held by another program
    fakeSerialFailStep("/dev/ttyUSB1", FakeSerialStep::baudRate, SP_ERR_ARG);      // refuses the rate
    enumeratePorts();
    EXPECT_EQ(portList, (std::vector<std::string>{"SELECT A PORT", "/dev/ttyS0", "/dev/ttyACM0"}));
    EXPECT_EQ(fakeSerialOpenHandles(), 0);
    EXPECT_EQ(fakeSerialLiveLists(), 0);
    EXPECT_LE(fakeSerialLiveHandles(), 1);  // at most the link's own, freed by its next open
    EXPECT_EQ(fakeSerialBaudRate("/dev/ttyS0"), 460800);
}

TEST_F(SerialLinkTest, SaysWhenListingFailsAndWhatItFindsWhenDebugging) {
    fakeSerialAddPort("/dev/ttyS0");
    fakeSerialFailList(SP_ERR_MEM);
    testing::internal::CaptureStdout();
    enumeratePorts();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "sp_list_ports() failed!\n");
    EXPECT_EQ(portList.size(), 1u);

    fakeSerialFailList(SP_OK);
    fakeSerialFailStep("/dev/ttyS1", FakeSerialStep::open, SP_ERR_FAIL);
    fakeSerialAddPort("/dev/ttyS1");
    testing::internal::CaptureStdout();
    enumeratePorts();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    appState.debugPrint = true;
    testing::internal::CaptureStdout();
    enumeratePorts();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Found port: /dev/ttyS0\nFound port: /dev/ttyS1\n");
}

TEST_F(SerialLinkTest, TheDemoSensorIsListedLastAndNeverTouchesTheSerialLibrary) {
    fakeSerialAddPort("/dev/ttyS0");
    enumeratePorts();
    EXPECT_EQ(portList.back(), "/dev/ttyS0");

    demoSensorEnabled = true;
    portList.assign(1, portPlaceholder);
    enumeratePorts();
    EXPECT_EQ(portList, (std::vector<std::string>{"SELECT A PORT", "/dev/ttyS0", "DEMO SENSOR"}));

    const FakeSerialCounters before = fakeSerialCounters();
    if (serialLink.open(demoPortName, 460800) == SP_OK) {
        EXPECT_FALSE(serialLink.lost());
        uint8_t buffer[readChunkBytes];
        EXPECT_GE(serialLink.read(buffer, readChunkBytes), 0);
        serialLink.close();
    }
    const FakeSerialCounters after = fakeSerialCounters();
    EXPECT_EQ(after.handlesMade, before.handlesMade);
    EXPECT_EQ(after.opens, before.opens);
    EXPECT_EQ(after.reads, before.reads);
    EXPECT_EQ(fakeSerialLiveHandles(), 0);  // the open freed the handle the listing left
}

}  // namespace

// The bridge's listener: the failures start() reports, the port the system picks, stop and restart.
// The protocol itself is tested with the npm client (tests/bridge).
#include "bridge/bridge.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(BridgeServer, StartFailuresNameTheAddressAndTheReason) {
    BridgeServer holder;
    const BridgeStartResult held = holder.start("127.0.0.1", 0);
    ASSERT_TRUE(held.ok) << held.error;
    const std::string heldPort = std::to_string(held.port);
    struct Case {
        std::string host;
        uint16_t port;
        std::string error;
    };
    const Case cases[] = {
        {"127.0.0.1", held.port, "cannot listen on 127.0.0.1:" + heldPort + ": address in use"},
        {"300.1.2.3", 0, "cannot listen on 300.1.2.3:0: bad address"},
        {"sensor.example", 0, "cannot listen on sensor.example:0: bad address"},
        {"", 0, "cannot listen on :0: bad address"},
    };
    for (const Case& c : cases) {
        BridgeServer server;
        const BridgeStartResult r = server.start(c.host, c.port);
        EXPECT_FALSE(r.ok) << c.host;
        EXPECT_EQ(r.error, c.error);
        EXPECT_FALSE(server.running()) << c.host;
    }
    EXPECT_EQ(holder.start("127.0.0.1", 0).error, "cannot listen on 127.0.0.1:0: the bridge is already running");
}

TEST(BridgeServer, StopsTwiceAndStartsAgain) {
    BridgeServer server;
    for (const char* host : {"127.0.0.1", "localhost", "127.0.0.1"}) {
        const BridgeStartResult r = server.start(host, 0);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_NE(r.port, 0);
        EXPECT_EQ(server.port(), r.port);
        server.publish(server.addChannel({"/t", "json", "t", "{}", ""}), 1, "{}", 2);  // no client: nothing queued
        server.stop();
        server.stop();
        EXPECT_FALSE(server.running());
        EXPECT_TRUE(server.clients().empty());
    }
}

}  // namespace

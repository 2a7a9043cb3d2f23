// Sharing the connected sensors live: every link's points, counters and transform as channels of a
// BridgeServer, fed by one pump thread. Owned by the connection panel's "Share live" and by
// quarvis-decode --foxglove; every method runs on the owner's thread unless it says otherwise.
#pragma once

#include "bridge/bridge.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct Link;

// "127.0.0.1:8765", "[::1]:8765" or "localhost:0" split into host and port. False when it does not
// read as an address with a port from 0 to 65535.
bool parseShareAddress(const std::string& text, std::string& host, uint16_t& port);

class LiveShare {
public:
    explicit LiveShare(BridgeOptions options = {});
    ~LiveShare();  // stops
    LiveShare(const LiveShare&) = delete;
    LiveShare& operator=(const LiveShare&) = delete;

    // Listens and starts the pump thread; the result names the bound port or why it failed.
    BridgeStartResult start(const std::string& host, uint16_t port);
    // Joins the pump thread and closes every client; safe to call twice.
    void stop();
    bool running() const;
    uint16_t port() const;

    // The links shared from now on: the new ones advertised, the ones no longer given unadvertised,
    // a renamed one advertised anew.
    // A link must be taken out here before it is destroyed. Topics are /<sensor>/points, /link and
    // /transform, named after each link's name as a session file names them.
    void setSensors(const std::vector<Link*>& links);

    std::vector<BridgeClientInfo> clients() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

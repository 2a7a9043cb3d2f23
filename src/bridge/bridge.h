// The live bridge: a foxglove.websocket.v1 server that shares channels of the connected sensors
// with several clients at once. Owned by whoever shares live (the connection panel, quarvis-decode);
// publish() is called from the sensors' handler threads, everything else from the owner's thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

constexpr const char* bridgeSubprotocol = "foxglove.websocket.v1";
constexpr const char* bridgeDefaultHost = "127.0.0.1";
constexpr uint16_t bridgeDefaultPort = 8765;

struct BridgeOptions {
    std::string serverName = "Quarvis";
    // A client's queue of messages waiting to be written. When either bound would be passed the
    // oldest waiting message is dropped: a client that falls behind sees the newest frames late
    // rather than old frames ever later. Control messages (advertise, status) are never dropped.
    size_t queueMessages = 64;
    size_t queueBytes = 4u << 20;
    // The largest message a client may send; a larger one closes that client.
    size_t maxClientMessage = 64u << 10;
    // Every line the server logs (a client connected, closed and why, gone); called on the I/O
    // thread. Empty: the lines go to standard error, as the non-loopback warning always does.
    std::function<void(const std::string&)> log;
};

struct BridgeChannel {
    std::string topic;
    std::string encoding;        // "protobuf", "json", ...
    std::string schemaName;
    std::string schema;          // as the protocol carries it (base64 of a FileDescriptorSet for protobuf)
    std::string schemaEncoding;  // empty: left out of the advertisement
};

// One connected client as the panel shows it.
struct BridgeClientInfo {
    uint64_t id = 0;  // numbered from 1 in the order clients connected
    std::string address;  // "127.0.0.1:53211"
    std::vector<uint32_t> channels;  // subscribed channel ids, ascending
    uint64_t sent = 0;     // data messages written to the client
    uint64_t dropped = 0;  // data messages dropped because its queue was full
    size_t queued = 0;     // data messages waiting
};

struct BridgeStartResult {
    bool ok = false;
    uint16_t port = 0;   // the bound port (the system's pick when 0 was asked)
    std::string error;   // "cannot listen on 127.0.0.1:8765: address in use"
};

class BridgeServer {
public:
    explicit BridgeServer(BridgeOptions options = {});
    ~BridgeServer();  // stops
    BridgeServer(const BridgeServer&) = delete;
    BridgeServer& operator=(const BridgeServer&) = delete;

    // Listens on host (a numeric IPv4 or IPv6 address, or "localhost") and port (0: the system
    // picks) and starts the I/O thread. A non-loopback host logs one warning line.
    BridgeStartResult start(const std::string& host, uint16_t port);
    // Closes every client and the listener and joins the I/O thread; safe to call twice.
    void stop();
    bool running() const;
    uint16_t port() const;

    // Channels are advertised to the connected clients and to every client that connects later.
    // Ids start at 1 and are never reused while the server lives.
    uint32_t addChannel(const BridgeChannel& channel);
    void removeChannel(uint32_t channelId);

    // Queues one message for every client subscribed to the channel: one shared copy of the bytes,
    // never waiting on a client. Any thread.
    void publish(uint32_t channelId, uint64_t timestampNs, const void* bytes, size_t size);

    // The connected clients for the panel, in the order they connected. Any thread.
    std::vector<BridgeClientInfo> clients() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// ---- Wire format (bridge_protocol.cpp) -----------------------------------------------------------
// The server's text messages and the parsing of a client's; pure functions, any thread.
std::string bridgeServerInfoJson(const std::string& name);
std::string bridgeAdvertiseJson(const std::vector<std::pair<uint32_t, BridgeChannel>>& channels);
std::string bridgeUnadvertiseJson(const std::vector<uint32_t>& channelIds);
std::string bridgeStatusJson(int level, const std::string& message);
// The 13 bytes before a data message's payload: opcode 0x01, subscription id (u32 little-endian),
// receive timestamp in ns (u64 little-endian).
constexpr size_t bridgeDataHeaderSize = 13;
void bridgeDataHeader(uint8_t out[bridgeDataHeaderSize], uint32_t subscriptionId, uint64_t timestampNs);

// A client's text message, parsed. Anything else than the two operations below is refused.
struct BridgeClientRequest {
    enum class Op { subscribe, unsubscribe, refused } op = Op::refused;
    std::vector<std::pair<uint32_t, uint32_t>> subscriptions;  // (subscription id, channel id)
    std::vector<uint32_t> subscriptionIds;
    std::string reason;  // why it was refused
};
BridgeClientRequest bridgeParseClientText(const std::string& text);

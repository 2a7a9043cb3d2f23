// The bridge's wire format: the JSON messages of foxglove.websocket.v1 the server sends, the
// binary data header, and the parsing of what a client sends. Called by the server's I/O thread.
#include "bridge/bridge.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

std::string bridgeServerInfoJson(const std::string& name) {
    // No capabilities: clients may only subscribe and unsubscribe.
    return json{{"op", "serverInfo"},
                {"name", name},
                {"capabilities", json::array()},
                {"supportedEncodings", json::array()},
                {"metadata", json::object()}}
        .dump();
}

std::string bridgeAdvertiseJson(const std::vector<std::pair<uint32_t, BridgeChannel>>& channels) {
    json list = json::array();
    for (const auto& [id, c] : channels) {
        json entry{{"id", id},
                   {"topic", c.topic},
                   {"encoding", c.encoding},
                   {"schemaName", c.schemaName},
                   {"schema", c.schema}};
        if (!c.schemaEncoding.empty()) entry["schemaEncoding"] = c.schemaEncoding;
        list.push_back(std::move(entry));
    }
    return json{{"op", "advertise"}, {"channels", std::move(list)}}.dump();
}

std::string bridgeUnadvertiseJson(const std::vector<uint32_t>& channelIds) {
    return json{{"op", "unadvertise"}, {"channelIds", channelIds}}.dump();
}

std::string bridgeStatusJson(int level, const std::string& message) {
    return json{{"op", "status"}, {"level", level}, {"message", message}}.dump();
}

void bridgeDataHeader(uint8_t out[bridgeDataHeaderSize], uint32_t subscriptionId, uint64_t timestampNs) {
    out[0] = 0x01;
    for (int i = 0; i < 4; ++i) out[1 + i] = static_cast<uint8_t>(subscriptionId >> (8 * i));
    for (int i = 0; i < 8; ++i) out[5 + i] = static_cast<uint8_t>(timestampNs >> (8 * i));
}

namespace {

// A JSON number that fits an unsigned 32-bit id.
bool readId(const json& value, uint32_t& out) {
    if (!value.is_number_unsigned() && !value.is_number_integer()) return false;
    if (value.is_number_integer() && value.get<int64_t>() < 0) return false;
    const uint64_t v = value.get<uint64_t>();
    if (v > UINT32_MAX) return false;
    out = static_cast<uint32_t>(v);
    return true;
}

BridgeClientRequest refuse(std::string reason) {
    BridgeClientRequest r;
    r.reason = std::move(reason);
    return r;
}

}  // namespace

BridgeClientRequest bridgeParseClientText(const std::string& text) {
    const json message = json::parse(text, nullptr, false);
    if (message.is_discarded()) return refuse("message is not JSON");
    if (!message.is_object() || !message.contains("op") || !message["op"].is_string())
        return refuse("message has no op");
    const std::string op = message["op"].get<std::string>();
    BridgeClientRequest r;
    if (op == "subscribe") {
        const auto it = message.find("subscriptions");
        if (it == message.end() || !it->is_array()) return refuse("subscribe without subscriptions");
        for (const json& s : *it) {
            uint32_t id = 0, channel = 0;
            if (!s.is_object() || !s.contains("id") || !s.contains("channelId") || !readId(s["id"], id) ||
                !readId(s["channelId"], channel))
                return refuse("subscribe with a malformed subscription");
            r.subscriptions.emplace_back(id, channel);
        }
        r.op = BridgeClientRequest::Op::subscribe;
        return r;
    }
    if (op == "unsubscribe") {
        const auto it = message.find("subscriptionIds");
        if (it == message.end() || !it->is_array()) return refuse("unsubscribe without subscriptionIds");
        for (const json& s : *it) {
            uint32_t id = 0;
            if (!readId(s, id)) return refuse("unsubscribe with a malformed id");
            r.subscriptionIds.push_back(id);
        }
        r.op = BridgeClientRequest::Op::unsubscribe;
        return r;
    }
    // Kept short: the reason travels in a close frame (at most 123 bytes).
    return refuse("unsupported op \"" + op.substr(0, 40) + "\"");
}

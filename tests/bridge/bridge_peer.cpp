// A bridge server driven line by line from standard input, for the node tests that connect to it
// with the npm Foxglove client. Listens on 127.0.0.1 with a port the system picks and prints it.
// Usage: bridge_peer [QUEUE_MESSAGES [MAX_CLIENT_MESSAGE]]
#include "bridge/bridge.h"

#include <nlohmann/json.hpp>

#include <iostream>
#include <sstream>
#include <string>

namespace {

std::vector<uint8_t> fromHex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    BridgeOptions options;
    if (argc > 1) options.queueMessages = std::stoul(argv[1]);
    if (argc > 2) options.maxClientMessage = std::stoul(argv[2]);
    BridgeServer server(options);
    const BridgeStartResult started = server.start("127.0.0.1", 0);
    if (!started.ok) {
        std::cout << "error " << started.error << std::endl;
        return 1;
    }
    std::cout << "port " << started.port << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        if (command == "channel") {  // channel TOPIC ENCODING SCHEMA_NAME SCHEMA [SCHEMA_ENCODING]
            BridgeChannel c;
            in >> c.topic >> c.encoding >> c.schemaName >> c.schema >> c.schemaEncoding;
            std::cout << "channel " << server.addChannel(c) << std::endl;
        } else if (command == "remove") {
            uint32_t id = 0;
            in >> id;
            server.removeChannel(id);
            std::cout << "removed" << std::endl;
        } else if (command == "publish") {  // publish CHANNEL TIMESTAMP HEX
            uint32_t id = 0;
            uint64_t timestamp = 0;
            std::string hex;
            in >> id >> timestamp >> hex;
            const std::vector<uint8_t> bytes = fromHex(hex);
            server.publish(id, timestamp, bytes.data(), bytes.size());
            std::cout << "published" << std::endl;
        } else if (command == "fill") {  // fill CHANNEL SEQUENCE SIZE: byte i is (SEQUENCE * 7 + i) mod 256
            uint32_t id = 0, sequence = 0;
            size_t size = 0;
            in >> id >> sequence >> size;
            std::vector<uint8_t> bytes(size);
            for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(sequence * 7 + i);
            server.publish(id, sequence, bytes.data(), bytes.size());
            std::cout << "published" << std::endl;
        } else if (command == "clients") {
            nlohmann::json list = nlohmann::json::array();
            for (const BridgeClientInfo& c : server.clients())
                list.push_back({{"id", c.id}, {"address", c.address}, {"channels", c.channels},
                                {"sent", c.sent}, {"dropped", c.dropped}, {"queued", c.queued}});
            std::cout << "clients " << list.dump() << std::endl;
        } else if (command == "quit") {
            break;
        }
    }
    server.stop();
    server.stop();
    std::cout << "stopped" << std::endl;
    return 0;
}

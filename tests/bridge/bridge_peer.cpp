// A bridge server driven line by line from standard input, for the node tests that connect to it
// with the npm Foxglove client. Prints "port N" (or "error REASON") first, then one line per command.
// Usage: bridge_peer [QUEUE_MESSAGES [MAX_CLIENT_MESSAGE [HOST [PORT]]]]   (default 127.0.0.1, port 0)
#include "bridge/bridge.h"

#include <iostream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
    BridgeOptions options;
    if (argc > 1) options.queueMessages = std::stoul(argv[1]);
    if (argc > 2) options.maxClientMessage = std::stoul(argv[2]);
    BridgeServer server(options);
    const BridgeStartResult started =
        server.start(argc > 3 ? argv[3] : "127.0.0.1", static_cast<uint16_t>(argc > 4 ? std::stoul(argv[4]) : 0));
    std::cout << (started.ok ? "port " + std::to_string(started.port) : "error " + started.error) << std::endl;
    std::string line, command;
    while (started.ok && std::getline(std::cin, line)) {
        std::istringstream in(line);
        in >> command;
        if (command == "channel") {  // channel TOPIC ENCODING SCHEMA_NAME SCHEMA [SCHEMA_ENCODING]
            BridgeChannel c;
            in >> c.topic >> c.encoding >> c.schemaName >> c.schema >> c.schemaEncoding;
            std::cout << server.addChannel(c);
        } else if (command == "remove") {
            uint32_t id = 0;
            in >> id;
            server.removeChannel(id);
        } else if (command == "publish") {  // publish CHANNEL TIMESTAMP HEX
            uint32_t id = 0;
            uint64_t timestamp = 0;
            std::string hex;
            in >> id >> timestamp >> hex;
            std::vector<uint8_t> bytes;
            for (size_t i = 0; i + 1 < hex.size(); i += 2)
                bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
            server.publish(id, timestamp, bytes.data(), bytes.size());
        } else if (command == "clients") {  // ID ADDRESS SENT DROPPED QUEUED CHANNEL...; per client
            for (const BridgeClientInfo& c : server.clients()) {
                std::cout << c.id << ' ' << c.address << ' ' << c.sent << ' ' << c.dropped << ' ' << c.queued;
                for (uint32_t channel : c.channels) std::cout << ' ' << channel;
                std::cout << ';';
            }
        } else {
            break;
        }
        std::cout << std::endl;
    }
    server.stop();
    server.stop();
    std::cout << "stopped" << std::endl;
    return started.ok ? 0 : 1;
}

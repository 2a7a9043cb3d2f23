// The live bridge under load: 51 frames/s of 6 KB payloads to no client (the baseline), to 8
// subscribed clients, and to 8 clients beside one that never reads. Prints a Markdown table of the
// server's CPU (its I/O thread from /proc, the publishing thread's own clock) and what each got.
// Usage: bridge_load [SECONDS]   (default 20 per run: a stalled client's socket buffers take about 10 s
// to fill); run by scripts/bench.sh. The clients connect to 127.0.0.1 only.
#include "bridge/bridge.h"

#include <utility>  // before Asio 1.74, which uses std::exchange without it

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

constexpr double frameRate = 51.0;
constexpr size_t payloadSize = 6000;
constexpr int clientCount = 8;
constexpr int stalledReceiveBuffer = 4096;

// Run time of this process's thread named `name`, in seconds, from /proc/self/task/*/schedstat.
double threadSeconds(const std::string& name) {
    DIR* dir = opendir("/proc/self/task");
    double seconds = 0;
    while (dirent* e = dir ? readdir(dir) : nullptr) {
        const std::string task = std::string("/proc/self/task/") + e->d_name;
        std::string comm;
        std::getline(std::ifstream(task + "/comm"), comm);
        if (comm != name) continue;
        double ns = 0;
        std::ifstream(task + "/schedstat") >> ns;
        seconds = ns / 1e9;
    }
    if (dir) closedir(dir);
    return seconds;
}

double threadCpuNow() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// Runs on a client thread: subscribes to the channel, then counts data messages until the server
// closes (or, stalled, holds the socket without reading until `finished`).
void client(uint16_t port, uint32_t channel, bool stall, std::atomic<uint64_t>& received,
            std::atomic<int>& subscribed, const std::atomic<bool>& finished, std::atomic<int>& localPort) {
    asio::io_context io;
    websocket::stream<tcp::socket> ws(io);
    beast::error_code ec;
    // A small receive buffer for the stalled client: less of what it misses waits in the kernel.
    ws.next_layer().open(tcp::v4(), ec);
    if (stall) ws.next_layer().set_option(asio::socket_base::receive_buffer_size(stalledReceiveBuffer), ec);
    ws.next_layer().connect({asio::ip::make_address("127.0.0.1"), port}, ec);
    if (ec) return;
    ws.set_option(websocket::stream_base::decorator([](websocket::request_type& r) {
        r.set(beast::http::field::sec_websocket_protocol, bridgeSubprotocol);
    }));
    ws.handshake("127.0.0.1", "/", ec);
    if (ec) return;
    const std::string request = R"({"op":"subscribe","subscriptions":[{"id":1,"channelId":)" +
                                std::to_string(channel) + "}]}";
    ws.text(true);
    ws.write(asio::buffer(request), ec);
    localPort = ws.next_layer().local_endpoint(ec).port();
    ++subscribed;
    if (stall) {
        while (!finished) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return;
    }
    beast::flat_buffer buffer;
    for (;;) {
        ws.read(buffer, ec);
        if (ec) return;
        if (ws.got_binary()) ++received;
        buffer.consume(buffer.size());
    }
}

struct Run {
    const char* name;
    int clients;
    bool stalled;
};

void measure(const Run& run, double seconds) {
    BridgeOptions options;
    options.log = [](const std::string&) {};  // connects and disconnects would interleave with the table
    BridgeServer server(options);
    const BridgeStartResult started = server.start("127.0.0.1", 0);
    if (!started.ok) {
        std::fprintf(stderr, "bridge_load: %s\n", started.error.c_str());
        std::exit(1);
    }
    const uint32_t channel = server.addChannel({"/points", "protobuf", "foxglove.PointCloud", "", ""});
    std::vector<std::atomic<uint64_t>> received(run.clients + 1);
    std::atomic<int> subscribed{0};
    std::atomic<bool> finished{false};
    std::atomic<int> stalledPort{0}, livePort{0};
    std::vector<std::thread> threads;
    const int total = run.clients + (run.stalled ? 1 : 0);
    for (int i = 0; i < total; ++i)
        threads.emplace_back(client, started.port, channel, i == run.clients, std::ref(received[i]),
                             std::ref(subscribed), std::cref(finished), std::ref(i == run.clients ? stalledPort : livePort));
    // Until the server has every subscription, not only the clients' requests written.
    const auto subscribedOnServer = [&] {
        const std::vector<BridgeClientInfo> list = server.clients();
        return std::count_if(list.begin(), list.end(), [](const auto& c) { return !c.channels.empty(); });
    };
    while (subscribed < total || subscribedOnServer() < total)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    std::vector<uint8_t> payload(payloadSize, 0x5a);
    const int frames = static_cast<int>(seconds * frameRate);
    const double ioBefore = threadSeconds("quarvis-bridge");
    double publishCpu = 0;
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < frames; ++i) {
        std::this_thread::sleep_until(begin + std::chrono::duration<double>(i / frameRate));
        const double before = threadCpuNow();
        server.publish(channel, static_cast<uint64_t>(i), payload.data(), payload.size());
        publishCpu += threadCpuNow() - before;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the last writes
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const double ioCpu = threadSeconds("quarvis-bridge") - ioBefore;
    uint64_t dropped = 0, stalledDropped = 0;
    for (const BridgeClientInfo& c : server.clients())
        (c.address == "127.0.0.1:" + std::to_string(stalledPort) ? stalledDropped : dropped) += c.dropped;
    finished = true;
    server.stop();
    for (auto& t : threads) t.join();

    uint64_t least = run.clients ? UINT64_MAX : 0, most = 0;
    for (int i = 0; i < run.clients; ++i) {
        least = std::min<uint64_t>(least, received[i]);
        most = std::max<uint64_t>(most, received[i]);
    }
    std::printf("| %s | %d | %.2f%% | %.3f%% | %.2f%% | %llu to %llu | %llu | %s |\n", run.name, frames,
                100 * ioCpu / elapsed, 100 * publishCpu / elapsed, 100 * (ioCpu + publishCpu) / elapsed,
                static_cast<unsigned long long>(least), static_cast<unsigned long long>(most),
                static_cast<unsigned long long>(dropped),
                run.stalled ? std::to_string(stalledDropped).c_str() : "-");
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    std::printf("| Run (%.0f s at %.0f frames/s, %zu B payloads) | Frames | I/O thread | publish() | Server CPU (of a core) | "
                "Frames each live client got | Dropped (live) | Dropped (stalled) |\n",
                seconds, frameRate, payloadSize);
    std::printf("|---|---|---|---|---|---|---|---|\n");
    const Run runs[] = {{"no client (baseline)", 0, false},
                        {"8 clients", clientCount, false},
                        {"8 clients + 1 stalled", clientCount, true}};
    for (const Run& run : runs) {
        measure(run, seconds);
        std::fflush(stdout);
    }
    return 0;
}

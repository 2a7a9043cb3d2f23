// The live share's pump: one thread that looks at every shared link's frame generation and
// publishes each new frame, and once a second the counters and the transform (a client that
// connects late gets them within a second). Publishing never waits on a client.
#include "bridge/live_share.h"

#include "link/link.h"
#include "record/mcap.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// How often the pump looks for new frames: well under a frame's period at 51 frames/s, and cheap.
constexpr auto pumpInterval = std::chrono::milliseconds(2);
constexpr auto countersInterval = std::chrono::seconds(1);

std::string base64(const uint8_t* data, size_t size) {
    static constexpr char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    for (size_t at = 0; at < size; at += 3) {
        const size_t left = size - at;
        const uint32_t group = uint32_t{data[at]} << 16 | (left > 1 ? uint32_t{data[at + 1]} << 8 : 0) |
                               (left > 2 ? uint32_t{data[at + 2]} : 0);
        out += digits[group >> 18 & 63];
        out += digits[group >> 12 & 63];
        out += left > 1 ? digits[group >> 6 & 63] : '=';
        out += left > 2 ? digits[group & 63] : '=';
    }
    return out;
}

uint64_t hostNanos() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

}  // namespace

bool parseShareAddress(const std::string& text, std::string& host, uint16_t& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    std::string name = text.substr(0, colon);
    if (name.front() == '[') {
        if (name.size() < 3 || name.back() != ']') return false;
        name = name.substr(1, name.size() - 2);
    } else if (name.find(':') != std::string::npos) {
        return false;  // an IPv6 address needs its brackets
    }
    unsigned value = 0;
    const char* first = text.data() + colon + 1;
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end != last || value > 65535) return false;
    host = name;
    port = static_cast<uint16_t>(value);
    return true;
}

struct LiveShare::Impl {
    struct Sensor {
        Link* link = nullptr;
        std::string frameName;
        std::string topic;  // the topics' middle part: the link's name made safe, numbered when taken
        std::string pointFields;
        uint32_t points = 0, counters = 0, transform = 0;  // channel ids
        uint64_t generation = 0;
    };

    explicit Impl(BridgeOptions options) : server(std::move(options)) {}

    BridgeServer server;
    // The sensors shared and the pump's stop request: the owner's thread writes, the pump reads.
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::vector<Sensor> sensors;
    bool stopping = false;
    std::thread pump;

    void advertise(Sensor& sensor, const std::vector<std::string>& taken) {
        std::string topic = topicSafeName(sensor.link->name);
        for (int copy = 2; std::find(taken.begin(), taken.end(), topic) != taken.end(); ++copy)
            topic = topicSafeName(sensor.link->name) + "_" + std::to_string(copy);
        sensor.topic = topic;
        const std::string prefix = "/" + topic + "/";
        const SchemaBytes points = pointCloudDescriptor();
        const SchemaBytes transform = frameTransformDescriptor();
        sensor.frameName = sensor.link->name;
        sensor.pointFields = pointCloudConstantFields(sensor.frameName);
        sensor.points = server.addChannel({prefix + "points", "protobuf", pointCloudSchemaName,
                                           base64(points.data, points.size), "protobuf"});
        sensor.counters = server.addChannel({prefix + "link", "json", "", "", ""});
        sensor.transform = server.addChannel({prefix + "transform", "protobuf", frameTransformSchemaName,
                                              base64(transform.data, transform.size), "protobuf"});
        sensor.generation = sensor.link->generation();
    }

    void unadvertise(const Sensor& sensor) {
        server.removeChannel(sensor.points);
        server.removeChannel(sensor.counters);
        server.removeChannel(sensor.transform);
    }

    void publishCountersAndTransforms(std::string& scratch) {
        const uint64_t now = hostNanos();
        for (const Sensor& sensor : sensors) {
            uint64_t counts[linkStatisticCount];
            for (int index = 0; index < linkStatisticCount; ++index) counts[index] = sensor.link->statistics.get(index);
            const std::string json = linkCountersJson(counts);
            server.publish(sensor.counters, now, json.data(), json.size());
            encodeFrameTransform(scratch, now, robotFrameId, sensor.frameName, SensorPose{});
            server.publish(sensor.transform, now, scratch.data(), scratch.size());
        }
    }

    // The pump thread.
    void run() {
        auto frame = std::make_unique<PointFrame>();
        std::string scratch;
        auto nextCounters = std::chrono::steady_clock::now();
        std::unique_lock lock(mutex);
        while (!stopping) {
            for (Sensor& sensor : sensors) {
                const uint64_t generation = sensor.link->generation();
                if (generation == sensor.generation) continue;
                sensor.generation = generation;
                sensor.link->readLatest(*frame);
                FrameHeader header{};
                header.seconds = frame->timestampSeconds;
                header.micros = frame->timestampMicros;
                const uint64_t stamp = frame->stamped != 0 ? stampNanos(header) : hostNanos();
                encodePointCloudHead(scratch, sensor.pointFields, stamp);
                scratch.append(reinterpret_cast<const char*>(frame->xyz), sizeof frame->xyz);
                server.publish(sensor.points, hostNanos(), scratch.data(), scratch.size());
            }
            if (std::chrono::steady_clock::now() >= nextCounters) {
                publishCountersAndTransforms(scratch);
                nextCounters += countersInterval;
            }
            wake.wait_for(lock, pumpInterval);
        }
    }
};

LiveShare::LiveShare(BridgeOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

LiveShare::~LiveShare() { stop(); }

BridgeStartResult LiveShare::start(const std::string& host, uint16_t port) {
    stop();
    BridgeStartResult result = impl_->server.start(host, port);
    if (!result.ok) return result;
    impl_->stopping = false;
    impl_->pump = std::thread([this] { impl_->run(); });
    return result;
}

void LiveShare::stop() {
    if (impl_->pump.joinable()) {
        {
            std::lock_guard lock(impl_->mutex);
            impl_->stopping = true;
        }
        impl_->wake.notify_all();
        impl_->pump.join();
    }
    impl_->server.stop();
}

bool LiveShare::running() const { return impl_->server.running(); }

uint16_t LiveShare::port() const { return impl_->server.port(); }

void LiveShare::setSensors(const std::vector<Link*>& links) {
    std::lock_guard lock(impl_->mutex);
    std::vector<Impl::Sensor>& sensors = impl_->sensors;
    // A renamed sensor is advertised anew under its new name.
    std::erase_if(sensors, [&](const Impl::Sensor& sensor) {
        const bool gone = std::find(links.begin(), links.end(), sensor.link) == links.end() ||
                          sensor.link->name != sensor.frameName;
        if (gone) impl_->unadvertise(sensor);
        return gone;
    });
    for (Link* link : links) {
        if (std::any_of(sensors.begin(), sensors.end(), [&](const Impl::Sensor& s) { return s.link == link; })) continue;
        std::vector<std::string> taken;
        for (const Impl::Sensor& sensor : sensors) taken.push_back(sensor.topic);
        Impl::Sensor sensor;
        sensor.link = link;
        impl_->advertise(sensor, taken);
        sensors.push_back(std::move(sensor));
    }
}

std::vector<BridgeClientInfo> LiveShare::clients() const { return impl_->server.clients(); }

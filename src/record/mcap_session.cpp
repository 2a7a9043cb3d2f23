// The session layer: one MCAP file holding every sensor of a session, each under /<name>/ with its
// points, raw bytes, link counters and mounting transform. Driven by one thread (quarvis-decode's
// main thread, or the live session writer thread); it holds no lock and no process-wide state.
#include "record/mcap.h"

#include <algorithm>
#include <cctype>

const char* const robotFrameId = "robot";
const char* const captureSensorName = "ostrel";

namespace {

constexpr const char* fallbackTopicName = "sensor";   // a name with no letter or digit at all
constexpr uint64_t nanosPerSecond = 1000000000;
constexpr uint64_t nanosPerMicro = 1000;

}  // namespace

std::string topicSafeName(const std::string& name) {
    std::string safe;
    bool gap = false;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '_') {
            if (gap && !safe.empty()) safe.push_back('_');
            safe.push_back(static_cast<char>(c));
            gap = false;
        } else {
            gap = true;
        }
    }
    return safe.empty() ? fallbackTopicName : safe;
}

uint64_t stampNanos(const FrameHeader& stamp) {
    return uint64_t{stamp.seconds} * nanosPerSecond + uint64_t{stamp.micros} * nanosPerMicro;
}

bool McapSession::open(const std::string& path, const std::vector<SessionSensor>& given, uint64_t logTime) {
    sensors.clear();
    if (!writer.open(path)) return false;
    const SchemaBytes points = pointCloudDescriptor();
    const SchemaBytes transform = frameTransformDescriptor();
    const uint16_t pointsSchema = writer.addSchema(pointCloudSchemaName, "protobuf", points.data, points.size);
    const uint16_t transformSchema = writer.addSchema(frameTransformSchemaName, "protobuf", transform.data, transform.size);
    std::vector<std::string> taken;
    for (const SessionSensor& from : given) {
        Sensor sensor;
        sensor.name = from.name;
        sensor.pose = from.pose;
        // Two names that come out the same (ttyUSB0 and tty-USB0) get a number after the second.
        std::string topicName = topicSafeName(from.name);
        for (int copy = 2; std::find(taken.begin(), taken.end(), topicName) != taken.end(); ++copy)
            topicName = topicSafeName(from.name) + "_" + std::to_string(copy);
        taken.push_back(topicName);
        sensor.prefix = "/" + topicName + "/";
        sensor.pointFields = pointCloudConstantFields(sensor.name);
        sensor.points.id = writer.addChannel(pointsSchema, sensor.prefix + "points", "protobuf");
        sensor.raw.id = writer.addChannel(0, sensor.prefix + "raw", "application/octet-stream");
        sensor.link.id = writer.addChannel(0, sensor.prefix + "link", "json");
        sensor.transform.id = writer.addChannel(transformSchema, sensor.prefix + "transform", "protobuf");
        sensors.push_back(std::move(sensor));
    }
    for (Sensor& sensor : sensors)
        if (!writeTransform(sensor, logTime)) return false;
    return true;
}

// Log times never go backwards on a channel: a stamp earlier than the one before is written at it.
bool McapSession::writeOn(Channel& channel, uint64_t logTime, uint64_t publishTime, const void* data, size_t size) {
    channel.lastLogTime = std::max(channel.lastLogTime, logTime);
    return writer.write(channel.id, channel.sequence++, channel.lastLogTime, publishTime, data, size);
}

bool McapSession::writeTransform(Sensor& sensor, uint64_t logTime) {
    encodeFrameTransform(scratch, logTime, robotFrameId, sensor.name, sensor.pose);
    return writeOn(sensor.transform, logTime, logTime, scratch.data(), scratch.size());
}

bool McapSession::writeRaw(size_t sensor, uint64_t logTime, const uint8_t* bytes, size_t count) {
    return writeOn(sensors.at(sensor).raw, logTime, logTime, bytes, count);
}

bool McapSession::writeFrame(size_t index, uint64_t logTime, const FrameHeader& stamp, const PointFrame& frame) {
    Sensor& sensor = sensors.at(index);
    const uint64_t stamped = stampNanos(stamp);
    encodePointCloud(scratch, sensor.pointFields, stamped, frame);
    return writeOn(sensor.points, logTime, stamped, scratch.data(), scratch.size());
}

bool McapSession::writeCounters(size_t sensor, uint64_t logTime, const uint32_t counts[linkStatisticCount]) {
    const std::string json = linkCountersJson(counts);
    return writeOn(sensors.at(sensor).link, logTime, logTime, json.data(), json.size());
}

bool McapSession::setPose(size_t index, uint64_t logTime, const SensorPose& pose) {
    Sensor& sensor = sensors.at(index);
    if (sensor.pose == pose) return !writer.failure().failed();
    sensor.pose = pose;
    return writeTransform(sensor, logTime);
}

bool McapSession::close() { return writer.close(); }

std::vector<SessionRawChannel> sessionRawChannels(const McapReader& reader) {
    constexpr std::string_view rawSuffix = "/raw";
    std::vector<SessionRawChannel> found;
    for (const McapChannel& channel : reader.channels()) {
        const std::string& topic = channel.topic;
        if (topic.size() <= rawSuffix.size() + 1 || topic[0] != '/' || !topic.ends_with(rawSuffix)) continue;
        const std::string sensor = topic.substr(1, topic.size() - 1 - rawSuffix.size());
        if (sensor.find('/') != std::string::npos) continue;
        found.push_back({sensor, channel.id});
    }
    std::sort(found.begin(), found.end(),
              [](const SessionRawChannel& a, const SessionRawChannel& b) { return a.channelId < b.channelId; });
    return found;
}

// Foxglove messages in the protobuf wire format, encoded by hand (no protobuf library at run time),
// the embedded schemas protoc made at build time, and the link counters as JSON. Called by the
// session layer on the thread that drives it.
#include "record/mcap.h"

#include <bit>
#include <cstring>

#include <nlohmann/json.hpp>

// protoc's FileDescriptorSets, embedded by the build (foxglove_descriptors.cpp).
extern const unsigned char pointCloudDescriptorBytes[];
extern const size_t pointCloudDescriptorSize;
extern const unsigned char frameTransformDescriptorBytes[];
extern const size_t frameTransformDescriptorSize;

const char* const pointCloudSchemaName = "foxglove.PointCloud";
const char* const frameTransformSchemaName = "foxglove.FrameTransform";

SchemaBytes pointCloudDescriptor() { return {pointCloudDescriptorBytes, pointCloudDescriptorSize}; }
SchemaBytes frameTransformDescriptor() { return {frameTransformDescriptorBytes, frameTransformDescriptorSize}; }

namespace {

static_assert(std::endian::native == std::endian::little, "floats and doubles are copied as little-endian");

enum WireType : uint8_t { wireVarint = 0, wireFixed64 = 1, wireLength = 2, wireFixed32 = 5 };
constexpr uint32_t float32Type = 7;             // PackedElementField.NumericType FLOAT32
constexpr uint32_t pointStride = 3 * sizeof(float);
constexpr uint64_t nanosPerSecond = 1000000000;

void putVarint(std::string& out, uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<char>((value & 0x7F) | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<char>(value));
}

void putTag(std::string& out, uint32_t field, WireType type) { putVarint(out, (field << 3) | type); }

void putLengthDelimited(std::string& out, uint32_t field, const std::string& content) {
    putTag(out, field, wireLength);
    putVarint(out, content.size());
    out += content;
}

void putDouble(std::string& out, uint32_t field, double value) {
    putTag(out, field, wireFixed64);
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    out.append(bytes, sizeof bytes);
}

void putFixed32(std::string& out, uint32_t field, uint32_t value) {
    putTag(out, field, wireFixed32);
    char bytes[sizeof value];
    std::memcpy(bytes, &value, sizeof value);
    out.append(bytes, sizeof bytes);
}

// google.protobuf.Timestamp
std::string timestamp(uint64_t stampNanos) {
    std::string out;
    putTag(out, 1, wireVarint);
    putVarint(out, stampNanos / nanosPerSecond);
    putTag(out, 2, wireVarint);
    putVarint(out, stampNanos % nanosPerSecond);
    return out;
}

std::string vector3(const double xyz[3]) {
    std::string out;
    for (uint32_t k = 0; k < 3; ++k) putDouble(out, k + 1, xyz[k]);
    return out;
}

std::string quaternion(const double xyzw[4]) {
    std::string out;
    for (uint32_t k = 0; k < 4; ++k) putDouble(out, k + 1, xyzw[k]);
    return out;
}

}  // namespace

std::string pointCloudConstantFields(const std::string& frameId) {
    std::string out;
    putLengthDelimited(out, 2, frameId);
    const SensorPose identity;
    std::string pose;
    putLengthDelimited(pose, 1, vector3(identity.translation));
    putLengthDelimited(pose, 2, quaternion(identity.rotation));
    putLengthDelimited(out, 3, pose);
    putFixed32(out, 4, pointStride);
    const char* const names[3] = {"x", "y", "z"};
    for (uint32_t k = 0; k < 3; ++k) {
        std::string field;
        putLengthDelimited(field, 1, names[k]);
        putFixed32(field, 2, k * static_cast<uint32_t>(sizeof(float)));
        putTag(field, 3, wireVarint);
        putVarint(field, float32Type);
        putLengthDelimited(out, 5, field);
    }
    return out;
}

void encodePointCloud(std::string& out, const std::string& constantFields, uint64_t stampNanos,
                      const PointFrame& frame) {
    static_assert(sizeof frame.xyz == pointsPerFrame * pointStride, "points are packed x, y, z floats");
    out.clear();
    putLengthDelimited(out, 1, timestamp(stampNanos));
    out += constantFields;
    putTag(out, 6, wireLength);
    putVarint(out, sizeof frame.xyz);
    out.append(reinterpret_cast<const char*>(frame.xyz), sizeof frame.xyz);
}

void encodeFrameTransform(std::string& out, uint64_t stampNanos, const std::string& parentFrame,
                          const std::string& childFrame, const SensorPose& pose) {
    out.clear();
    putLengthDelimited(out, 1, timestamp(stampNanos));
    putLengthDelimited(out, 2, parentFrame);
    putLengthDelimited(out, 3, childFrame);
    putLengthDelimited(out, 4, vector3(pose.translation));
    putLengthDelimited(out, 5, quaternion(pose.rotation));
}

std::string linkCountersJson(const uint32_t counts[linkStatisticCount]) {
    nlohmann::ordered_json counters = nlohmann::ordered_json::object();
    for (int index = 0; index < linkStatisticCount; ++index) counters[linkStatisticNames[index]] = counts[index];
    return counters.dump();
}

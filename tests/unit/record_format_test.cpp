// The recording and scene layouts byte for byte, the number format against a default-formatted
// stream, and row parsing against stream extraction (well-formed, unusual and malformed lines).
#include "record/record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <random>
#include <sstream>

namespace {

std::string streamed(float value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

std::string formatted(float value) {
    std::string out;
    appendNumber(out, value);
    return out;
}

PointFrame rampFrame() {
    PointFrame frame{};
    for (int p = 0; p < pointsPerFrame; ++p)
        for (int k = 0; k < 3; ++k) frame.xyz[p][k] = static_cast<float>((p * 3 + k) % 2001 - 1000) / 1000.0f;
    return frame;
}

// What the stream-based reading of a row yields: true when it gets through 1 + 480 × 3 values.
bool streamParses(const std::string& line, PointFrame& frame) {
    std::istringstream in(line);
    int date = 0, time = 0;
    char separator = 0;
    in >> date >> separator >> time >> separator;
    for (int p = 0; p < pointsPerFrame; ++p)
        for (int k = 0; k < 3; ++k) in >> frame.xyz[p][k] >> separator;
    return !in.fail();
}

}  // namespace

TEST(RecordFormat, NumbersAreWrittenByteForByteAsAStreamWritesThem) {
    const float edges[] = {0.0f, -0.0f, 0.5f, 0.0001f, 0.00001f, 999999.0f, 999999.5f, 1000000.0f, -1234567.0f,
                           1e10f, 1e-10f, 3.14159265f, std::numeric_limits<float>::max(),
                           std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::infinity(),
                           -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::quiet_NaN()};
    for (float value : edges) EXPECT_EQ(formatted(value), streamed(value)) << value;
    std::mt19937 random(7);
    for (int i = 0; i < 200000; ++i) {
        const uint32_t pattern = random();
        float value;
        std::memcpy(&value, &pattern, sizeof value);
        if (value != value) continue;  // NaN is among the edges above
        ASSERT_EQ(formatted(value), streamed(value)) << pattern;
    }
    for (int millimetres = -32768; millimetres <= 32767; ++millimetres) {
        const float metres = static_cast<float>(millimetres) / 1000.0f;
        ASSERT_EQ(formatted(metres), streamed(metres)) << millimetres;
    }
}

TEST(RecordFormat, HeaderRowAndSceneByteForByte) {
    std::string header = "time", row = "20261206-101500,", scene;
    const PointFrame frame = rampFrame();
    for (int p = 0; p < pointsPerFrame; ++p) {
        const int n = p + 1;
        header += ",x" + std::to_string(n) + ",y" + std::to_string(n) + ",z" + std::to_string(n);
        const std::string values = streamed(frame.xyz[p][0]) + "," + streamed(frame.xyz[p][1]) + "," + streamed(frame.xyz[p][2]) + ",";
        row += values;
        scene += values + "\n";
    }
    std::string written;
    appendRecordingHeader(written);
    EXPECT_EQ(written, header + ",roll,pitch,yaw\n");
    written.clear();
    appendRecordingRow(written, "20261206-101500", frame);
    EXPECT_EQ(written, row + "\n");
    PointFrame notValid = frame;
    notValid.valid[3] = 0;  // written all the same: the flags are not stored
    written.clear();
    appendScene(written, notValid);
    EXPECT_EQ(written, scene + "\n");
}

TEST(RecordFormat, RowsReadBackAsAStreamReadsThemAndMalformedOnesDoNot) {
    const PointFrame written = rampFrame();
    std::string row;
    appendRecordingRow(row, "20261206-101500", written);
    row.pop_back();
    PointFrame parsed{};
    ASSERT_TRUE(parseRecordingRow(row.data(), row.data() + row.size(), parsed));
    EXPECT_EQ(std::memcmp(parsed.xyz, written.xyz, sizeof parsed.xyz), 0);
    for (uint32_t flag : parsed.valid) ASSERT_EQ(flag, 1u);

    // Unusual spellings a stream accepts; the mismatch is always in the first value after the time.
    const std::string rest = row.substr(row.find(',', 16) + 1);
    for (const char* spelling : {"+1.5", " \t-2", "5.", ".25", "1E3", "1e+03", "-0", "0001.5", "2.5e-50", "1e-40"}) {
        const std::string line = "20261206-101500, " + std::string(spelling) + " ;" + rest;
        PointFrame ours{}, theirs{};
        ASSERT_TRUE(streamParses(line, theirs)) << spelling;
        ASSERT_TRUE(parseRecordingRow(line.data(), line.data() + line.size(), ours)) << spelling;
        EXPECT_EQ(std::memcmp(ours.xyz, theirs.xyz, sizeof ours.xyz), 0) << spelling;
    }
    const std::string values = row.substr(16);
    const std::string broken[] = {
        "", "time,x1,y1",
        row.substr(0, row.size() / 2),  // truncated mid-row
        row.substr(0, row.size() - 1),  // last separator missing
        "20261206-101500,nan," + rest, "20261206-101500,inf," + rest,
        "20261206-101500,1e99," + rest,  // beyond a float
        "20261206-101500,--1," + rest,
        "99999999999-101500," + values,  // the date overflows an int
        "20261206-,," + values,
    };
    for (const std::string& line : broken) {
        PointFrame frame{};
        EXPECT_FALSE(parseRecordingRow(line.data(), line.data() + line.size(), frame)) << line.substr(0, 40);
    }
}

// Only the valid points go out, as little-endian floats after a header naming their count; the
// float bytes are written out by hand. Open3D reads such files back in the end-to-end test.
TEST(PointCloudExport, HeadersAndValidPointsByteForByte) {
    PointFrame frame{};
    const float first[3] = {1.0f, -2.5f, 0.5f}, last[3] = {0.25f, 0.0f, -1.0f};
    frame.valid[1] = frame.valid[pointsPerFrame - 1] = 1;
    std::memcpy(frame.xyz[1], first, sizeof first);
    std::memcpy(frame.xyz[pointsPerFrame - 1], last, sizeof last);
    frame.xyz[0][0] = 9.0f;  // an invalid point's position is not exported
    const std::string points("\x00\x00\x80\x3F\x00\x00\x20\xC0\x00\x00\x00\x3F"
                             "\x00\x00\x80\x3E\x00\x00\x00\x00\x00\x00\x80\xBF", 24);
    const struct {
        CloudFormat format;
        std::string header;
    } cases[] = {
        {CloudFormat::ply, "ply\nformat binary_little_endian 1.0\nelement vertex 2\nproperty float x\n"
                           "property float y\nproperty float z\nend_header\n"},
        {CloudFormat::pcd, "# .PCD v0.7 - Point Cloud Data file format\nVERSION .7\nFIELDS x y z\nSIZE 4 4 4\n"
                           "TYPE F F F\nCOUNT 1 1 1\nWIDTH 2\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS 2\n"
                           "DATA binary\n"},
    };
    for (const auto& c : cases) {
        std::string out;
        appendCloudFile(out, c.format, frame);
        EXPECT_EQ(out, c.header + points) << cloudExtension(c.format);
    }
}

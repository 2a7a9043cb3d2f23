// Session file container: the writer's bytes against records written out by hand, a disk that fails
// at every stage of a file, messages merged across chunks by log time, and what the reader refuses.
#include "record/mcap.h"
#include "../fakes/scratch.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <sys/stat.h>
#include <zstd.h>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes bytesOf(std::initializer_list<int> values) { return Bytes(values.begin(), values.end()); }

// Little-endian integers and length-prefixed strings, spelled out for the expected records.
void le(Bytes& out, uint64_t value, int size) {
    for (int k = 0; k < size; ++k) out.push_back(static_cast<uint8_t>(value >> (8 * k)));
}
void text(Bytes& out, const std::string& value) {
    le(out, value.size(), 4);
    out.insert(out.end(), value.begin(), value.end());
}

// The fake disk: takes `bytesLeft` bytes, then fails with ENOSPC (a short write first, as a disk does).
size_t bytesLeft = 0;
ssize_t fullDisk(int file, const void* data, size_t size) {
    if (bytesLeft == 0) {
        errno = ENOSPC;
        return -1;
    }
    const size_t taken = std::min(size, bytesLeft);
    bytesLeft -= taken;
    return ::write(file, data, taken);
}

std::vector<uint64_t> logTimesRead(McapReader& reader, uint16_t channel, uint64_t from, uint64_t to) {
    std::vector<uint64_t> times;
    EXPECT_TRUE(reader.readMessages({channel}, from, to, [&](const McapMessage& message) { times.push_back(message.logTime); }))
        << reader.failure().message();
    return times;
}

TEST(McapWriter, RecordsAreFramedAsWrittenByHand) {
    ScratchFolder folder;
    const std::string path = (folder.path / "one.mcap").string();
    McapWriter writer;
    ASSERT_TRUE(writer.open(path)) << writer.failure().message();
    const uint16_t channel = writer.addChannel(0, "/s/raw", "application/octet-stream");
    ASSERT_TRUE(writer.write(channel, 7, 0x0102030405060708, 42, "ab", 2));
    ASSERT_TRUE(writer.close());
    const std::string file = readWholeFile(path);
    const Bytes all(file.begin(), file.end());
    const Bytes magic = bytesOf({0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'});

    ASSERT_GT(all.size(), 2 * magic.size());
    EXPECT_EQ(Bytes(all.begin(), all.begin() + 8), magic);
    EXPECT_EQ(Bytes(all.end() - 8, all.end()), magic);
    // The header: opcode 1, its length, an empty profile and the library.
    EXPECT_EQ(all[8], 0x01);
    uint64_t headerLength = 0;
    std::memcpy(&headerLength, &all[9], 8);
    ASSERT_LT(headerLength, 100u);
    EXPECT_EQ(Bytes(all.begin() + 17, all.begin() + 21), bytesOf({0, 0, 0, 0}));
    // The footer: opcode 2 and 20 bytes of content right before the magic.
    const size_t footer = all.size() - 8 - 29;
    EXPECT_EQ(Bytes(all.begin() + footer, all.begin() + footer + 9), bytesOf({0x02, 20, 0, 0, 0, 0, 0, 0, 0}));

    // The one chunk follows the header; its records, once decompressed, are these.
    const size_t chunk = 17 + headerLength;
    ASSERT_EQ(all[chunk], 0x06);
    Bytes records;
    records.push_back(0x04);   // Channel 1, no schema, no metadata
    le(records, 2 + 2 + 4 + 6 + 4 + 24 + 4, 8);
    le(records, 1, 2);
    le(records, 0, 2);
    text(records, "/s/raw");
    text(records, "application/octet-stream");
    le(records, 0, 4);
    const size_t messageOffset = records.size();
    records.push_back(0x05);   // Message: channel, sequence, log time, publish time, data
    le(records, 2 + 4 + 8 + 8 + 2, 8);
    le(records, 1, 2);
    le(records, 7, 4);
    le(records, 0x0102030405060708, 8);
    le(records, 42, 8);
    records.push_back('a');
    records.push_back('b');
    const uint8_t* fields = &all[chunk + 9];
    uint64_t startTime, endTime, uncompressed, compressedSize;
    std::memcpy(&startTime, fields, 8);
    std::memcpy(&endTime, fields + 8, 8);
    std::memcpy(&uncompressed, fields + 16, 8);
    EXPECT_EQ(startTime, 0x0102030405060708u);
    EXPECT_EQ(endTime, 0x0102030405060708u);
    ASSERT_EQ(uncompressed, records.size());
    ASSERT_EQ(Bytes(fields + 28, fields + 36), (Bytes{4, 0, 0, 0, 'z', 's', 't', 'd'}));
    std::memcpy(&compressedSize, fields + 36, 8);
    Bytes unpacked(records.size());
    EXPECT_EQ(ZSTD_decompress(unpacked.data(), unpacked.size(), fields + 44, compressedSize), records.size());
    EXPECT_EQ(unpacked, records);
    // Its message index: channel 1, one entry (log time, offset of the message in the records).
    Bytes index = {0x07};
    le(index, 2 + 4 + 16, 8);
    le(index, 1, 2);
    le(index, 16, 4);
    le(index, 0x0102030405060708, 8);
    le(index, messageOffset, 8);
    const uint8_t* after = fields + 44 + compressedSize;
    EXPECT_EQ(Bytes(after, after + index.size()), index);
}

// A disk that fills at each stage: in the header, in the first chunk, in the second, in the summary.
// The writer reports it; the file still opens, through its summary when one fitted, and holds the
// messages of its whole chunks.
TEST(McapWriter, FullDiskLeavesAFileThatOpens) {
    Bytes payload(chunkTargetBytes / 2);   // noise: zstd must not shrink it
    uint32_t noise = 1;
    for (uint8_t& byte : payload) byte = static_cast<uint8_t>((noise = noise * 1664525u + 1013904223u) >> 24);
    struct Case {
        size_t diskBytes;
        size_t messagesKept;
    };
    const Case cases[] = {{5, 0}, {4000, 0}, {chunkTargetBytes / 2, 0}, {chunkTargetBytes + 2000, 2}, {2 * chunkTargetBytes + 4096, 4}};
    for (const Case& test : cases) {
        SCOPED_TRACE(test.diskBytes);
        ScratchFolder folder;
        const std::string path = (folder.path / "full.mcap").string();
        McapWriter writer;
        writer.writeBytes = fullDisk;
        bytesLeft = test.diskBytes;
        if (!writer.open(path)) {
            EXPECT_EQ(writer.failure().message(), path + ": No space left on device.");
            continue;
        }
        const uint16_t channel = writer.addChannel(0, "/s/raw", "raw");
        for (uint64_t time = 1; time <= 4; ++time) writer.write(channel, 0, time, time, payload.data(), payload.size());
        EXPECT_EQ(writer.close(), test.messagesKept == 4);
        EXPECT_EQ(writer.failure().reason, test.messagesKept < 4 ? "No space left on device." : "");
        McapReader reader;
        ASSERT_TRUE(reader.open(path)) << reader.failure().message();
        EXPECT_EQ(logTimesRead(reader, 1, 0, UINT64_MAX).size(), test.messagesKept);
    }
}

// Messages of two sensors whose chunks overlap in time come out in log-time order; a time range
// reads only the chunks that overlap it.
TEST(McapReader, MergesChunksByLogTimeAndSeeksByIndex) {
    ScratchFolder folder;
    const std::string path = (folder.path / "two.mcap").string();
    const Bytes payload(chunkTargetBytes * 2 / 3, 1);   // one message closes a chunk half way through the next
    McapWriter writer;
    ASSERT_TRUE(writer.open(path));
    const uint16_t channel = writer.addChannel(0, "/a/raw", "raw");
    for (uint64_t time : {100, 300, 200, 400, 500, 600}) writer.write(channel, 0, time, time, payload.data(), payload.size());
    ASSERT_TRUE(writer.close());

    McapReader reader;
    ASSERT_TRUE(reader.open(path));
    EXPECT_TRUE(reader.indexed());
    EXPECT_EQ(logTimesRead(reader, channel, 0, UINT64_MAX), (std::vector<uint64_t>{100, 200, 300, 400, 500, 600}));
    const uint64_t before = reader.chunksRead();
    EXPECT_EQ(logTimesRead(reader, channel, 550, 600), (std::vector<uint64_t>{600}));
    EXPECT_EQ(reader.chunksRead() - before, 1u);
}

TEST(McapReader, RefusesWhatIsNoSession) {
    ScratchFolder folder;
    const std::string good = (folder.path / "good.mcap").string();
    McapWriter writer;
    ASSERT_TRUE(writer.open(good));
    ASSERT_TRUE(writer.close());
    const std::string whole = readWholeFile(good);
    struct Case {
        std::string contents;
        std::string reason;
    };
    const Case cases[] = {
        {"", "It is not an MCAP file."},
        {"frame 1 2 3\n", "It is not an MCAP file."},
        {whole.substr(0, 8), "It is truncated before its first record."},
        {whole.substr(0, 20), "It is truncated before its first record."},
    };
    for (const Case& test : cases) {
        const std::string path = (folder.path / "case.mcap").string();
        std::ofstream(path, std::ios::binary) << test.contents;
        McapReader reader;
        EXPECT_FALSE(reader.open(path)) << test.contents.size();
        EXPECT_EQ(reader.failure().message(), path + ": " + test.reason);
    }
    const std::string fifo = (folder.path / "pipe.mcap").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    McapReader reader;
    EXPECT_FALSE(reader.open(fifo));
    EXPECT_FALSE(writer.open(fifo));
    EXPECT_EQ(writer.failure().reason, "It is a named pipe (FIFO), not a regular file.");
}

}  // namespace

// Sensors of one session: names made safe and distinct for topics, a transform only when the pose
// changes, raw log times that never go back, and the raw channels found again by name.
TEST(McapSession, LaysOutSensorsAsTheReaderFindsThem) {
    ScratchFolder folder;
    const std::string path = (folder.path / "session.mcap").string();
    SensorPose turned;
    turned.rotation[2] = turned.rotation[3] = std::sqrt(0.5);
    McapSession session;
    ASSERT_TRUE(session.open(path, {{"/dev/ttyUSB0", {}}, {"dev ttyUSB0", {}}, {"--", {}}}, 5));
    EXPECT_TRUE(session.setPose(0, 6, SensorPose{}));
    EXPECT_TRUE(session.setPose(1, 7, turned));
    EXPECT_TRUE(session.writeRaw(0, 10, reinterpret_cast<const uint8_t*>("ab"), 2));
    EXPECT_TRUE(session.writeRaw(1, 9, reinterpret_cast<const uint8_t*>("cd"), 2));
    EXPECT_TRUE(session.writeRaw(0, 8, reinterpret_cast<const uint8_t*>("e"), 1));
    ASSERT_TRUE(session.close());

    McapReader reader;
    ASSERT_TRUE(reader.open(path));
    std::vector<std::string> names;
    for (const SessionRawChannel& raw : sessionRawChannels(reader)) names.push_back(raw.sensor);
    EXPECT_EQ(names, (std::vector<std::string>{"dev_ttyUSB0", "dev_ttyUSB0_2", "sensor"}));
    auto read = [&](const std::string& topic) {
        std::vector<std::pair<uint64_t, std::string>> messages;
        for (const McapChannel& channel : reader.channels())
            if (channel.topic == topic)
                reader.readMessages({channel.id}, 0, UINT64_MAX, [&](const McapMessage& message) {
                    messages.emplace_back(message.logTime, std::string(reinterpret_cast<const char*>(message.data), message.size));
                });
        return messages;
    };
    EXPECT_EQ(read("/dev_ttyUSB0/transform").size(), 1u);
    EXPECT_EQ(read("/dev_ttyUSB0_2/transform").size(), 2u);
    using Messages = std::vector<std::pair<uint64_t, std::string>>;
    EXPECT_EQ(read("/dev_ttyUSB0/raw"), (Messages{{10, "ab"}, {10, "e"}}));
    EXPECT_EQ(read("/dev_ttyUSB0_2/raw"), (Messages{{9, "cd"}}));
}

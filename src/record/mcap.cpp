// The MCAP container: McapWriter (chunks, message indexes, summary, footer, CRCs) and McapReader
// (summary or a scan of the records, messages in log-time order). Called by the session layer and
// by quarvis-decode; each object is driven by one thread.
//
// Index: Record bytes | Writer | Reader.
#include "record/mcap.h"

#include "app/version.h"
#include "app/app.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <queue>

#include <fcntl.h>
#include <sys/stat.h>
#include <zlib.h>
#include <zstd.h>

namespace {

// ---- Record bytes ------------------------------------------------------------------------------------
// Every record is an opcode, its content length (uint64) and the content; integers are little-endian,
// strings and byte arrays carry a uint32 length before them, maps a uint32 byte length.

constexpr uint8_t magic[8] = {0x89, 'M', 'C', 'A', 'P', 0x30, '\r', '\n'};
enum Opcode : uint8_t {
    opHeader = 0x01, opFooter = 0x02, opSchema = 0x03, opChannel = 0x04, opMessage = 0x05, opChunk = 0x06,
    opMessageIndex = 0x07, opChunkIndex = 0x08, opStatistics = 0x0B, opSummaryOffset = 0x0E, opDataEnd = 0x0F,
};
constexpr size_t recordHeaderBytes = 9;           // opcode and content length
constexpr size_t footerContentBytes = 20;         // summary start, summary offset start, summary CRC
constexpr size_t footerRecordBytes = recordHeaderBytes + footerContentBytes;
constexpr size_t messageHeaderBytes = 2 + 4 + 8 + 8;
constexpr int zstdLevel = 1;                      // the fastest of the standard levels: points compress little
constexpr const char* zstdName = "zstd";

static_assert(std::endian::native == std::endian::little, "records are copied as little-endian integers");

template <typename T> void put(std::vector<uint8_t>& out, T value) {
    const size_t at = out.size();
    out.resize(at + sizeof value);
    std::memcpy(out.data() + at, &value, sizeof value);
}

void putBytes(std::vector<uint8_t>& out, const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    out.insert(out.end(), bytes, bytes + size);
}

void putString(std::vector<uint8_t>& out, const std::string& text) {
    put(out, static_cast<uint32_t>(text.size()));
    putBytes(out, text.data(), text.size());
}

// Starts a record; endRecord fills in its length once the content is in.
size_t beginRecord(std::vector<uint8_t>& out, uint8_t opcode) {
    out.push_back(opcode);
    put(out, uint64_t{0});
    return out.size();
}

void endRecord(std::vector<uint8_t>& out, size_t contentStart) {
    const uint64_t length = out.size() - contentStart;
    std::memcpy(out.data() + contentStart - 8, &length, sizeof length);
}

uint32_t crc32Of(uint32_t crc, const uint8_t* data, size_t size) {
    constexpr size_t largestPiece = 1u << 30;   // zlib takes a uInt length
    while (size > 0) {
        const size_t piece = std::min(size, largestPiece);
        crc = static_cast<uint32_t>(::crc32(crc, data, static_cast<uInt>(piece)));
        data += piece;
        size -= piece;
    }
    return crc;
}

// Reads integers and strings out of a record's content; `ok` turns false on the first read past the end.
struct Cursor {
    const uint8_t* at;
    const uint8_t* end;
    bool ok = true;

    template <typename T> T get() {
        T value{};
        if (static_cast<size_t>(end - at) < sizeof value) {
            ok = false;
            return value;
        }
        std::memcpy(&value, at, sizeof value);
        at += sizeof value;
        return value;
    }
    const uint8_t* take(uint64_t size) {
        if (static_cast<uint64_t>(end - at) < size) {
            ok = false;
            return nullptr;
        }
        const uint8_t* start = at;
        at += size;
        return start;
    }
    std::string string() {
        const uint32_t size = get<uint32_t>();
        const uint8_t* text = take(size);
        return text ? std::string(reinterpret_cast<const char*>(text), size) : std::string();
    }
};

bool readAt(int file, void* out, size_t size, uint64_t offset) {
    auto* bytes = static_cast<uint8_t*>(out);
    while (size > 0) {
        const ssize_t count = ::pread(file, bytes, size, static_cast<off_t>(offset));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        bytes += count;
        size -= static_cast<size_t>(count);
        offset += static_cast<uint64_t>(count);
    }
    return true;
}

}  // namespace

// ---- Writer ----------------------------------------------------------------------------------------

McapWriter::~McapWriter() {
    if (file >= 0) close();
    ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(compressor));
}

void McapWriter::fail(int error) {
    if (!failed.failed()) failed.reason = systemReason(error);
}

bool McapWriter::writeOut(const std::vector<uint8_t>& bytes) {
    if (failed.failed()) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = writeBytes(file, bytes.data() + done, bytes.size() - done);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) {
            fail(count < 0 ? errno : ENOSPC);
            return false;
        }
        done += static_cast<size_t>(count);
    }
    dataCrc = crc32Of(dataCrc, bytes.data(), bytes.size());
    committed += bytes.size();
    return true;
}

bool McapWriter::open(const std::string& path) {
    failed = McapFailure{path, {}};
    file = openRegularFile(path, O_WRONLY | O_CREAT | O_TRUNC, failed.reason);
    if (file < 0) return false;
    if (!compressor) compressor = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(static_cast<ZSTD_CCtx*>(compressor), ZSTD_c_compressionLevel, zstdLevel);
    std::vector<uint8_t> start(magic, magic + sizeof magic);
    const size_t header = beginRecord(start, opHeader);
    putString(start, "");                                              // profile: none of the known ones
    putString(start, std::string("quarvis ") + quarvisVersion);        // library
    endRecord(start, header);
    if (writeOut(start)) return true;
    ::close(file);
    file = -1;
    return false;
}

uint16_t McapWriter::addSchema(const std::string& name, const std::string& encoding, const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    schemas.push_back({name, encoding, std::vector<uint8_t>(bytes, bytes + size)});
    const auto id = static_cast<uint16_t>(schemas.size());
    const size_t record = beginRecord(chunk, opSchema);
    put(chunk, id);
    putString(chunk, name);
    putString(chunk, encoding);
    put(chunk, static_cast<uint32_t>(size));
    putBytes(chunk, data, size);
    endRecord(chunk, record);
    return id;
}

uint16_t McapWriter::addChannel(uint16_t schemaId, const std::string& topic, const std::string& messageEncoding) {
    channels.push_back({schemaId, topic, messageEncoding, 0, {}});
    const auto id = static_cast<uint16_t>(channels.size());
    const size_t record = beginRecord(chunk, opChannel);
    put(chunk, id);
    put(chunk, schemaId);
    putString(chunk, topic);
    putString(chunk, messageEncoding);
    put(chunk, uint32_t{0});   // metadata: an empty map
    endRecord(chunk, record);
    return id;
}

bool McapWriter::write(uint16_t channelId, uint32_t sequence, uint64_t logTime, uint64_t publishTime, const void* data,
                       size_t size) {
    if (file < 0 || failed.failed()) return false;
    ChannelEntry& channel = channels.at(channelId - 1u);
    if (chunkMessages++ == 0) chunkStart = chunkEnd = logTime;
    chunkStart = std::min(chunkStart, logTime);
    chunkEnd = std::max(chunkEnd, logTime);
    channel.index.push_back(logTime);
    channel.index.push_back(chunk.size());
    chunk.push_back(opMessage);
    put(chunk, static_cast<uint64_t>(messageHeaderBytes + size));
    put(chunk, channelId);
    put(chunk, sequence);
    put(chunk, logTime);
    put(chunk, publishTime);
    putBytes(chunk, data, size);
    return chunk.size() < chunkTargetBytes || flushChunk();
}

// The open chunk as one Chunk record followed by its message indexes, in one write: a failure leaves
// at most a partial chunk behind `committed`, which the writer cuts off.
bool McapWriter::flushChunk() {
    if (chunk.empty()) return true;
    auto* context = static_cast<ZSTD_CCtx*>(compressor);
    compressed.clear();
    const size_t chunkRecord = beginRecord(compressed, opChunk);
    put(compressed, chunkStart);
    put(compressed, chunkEnd);
    put(compressed, static_cast<uint64_t>(chunk.size()));
    put(compressed, crc32Of(0, chunk.data(), chunk.size()));
    putString(compressed, zstdName);
    const size_t sizeField = compressed.size();
    put(compressed, uint64_t{0});
    const size_t dataStart = compressed.size();
    compressed.resize(dataStart + ZSTD_compressBound(chunk.size()));
    const size_t packed = ZSTD_compress2(context, compressed.data() + dataStart, compressed.size() - dataStart,
                                         chunk.data(), chunk.size());
    if (ZSTD_isError(packed)) {
        failed.reason = std::string("Compression failed: ") + ZSTD_getErrorName(packed) + ".";
        return false;
    }
    compressed.resize(dataStart + packed);
    const uint64_t packedSize = packed;
    std::memcpy(compressed.data() + sizeField, &packedSize, sizeof packedSize);
    endRecord(compressed, chunkRecord);

    ChunkIndexEntry entry{chunkStart, chunkEnd, committed, compressed.size(), 0, packed, chunk.size(), {}};
    chunkCounts.assign(channels.size(), 0);
    for (size_t c = 0; c < channels.size(); ++c) {
        std::vector<uint64_t>& index = channels[c].index;
        chunkCounts[c] = index.size() / 2;
        if (index.empty()) continue;
        entry.indexOffsets.emplace_back(static_cast<uint16_t>(c + 1), committed + compressed.size());
        const size_t record = beginRecord(compressed, opMessageIndex);
        put(compressed, static_cast<uint16_t>(c + 1));
        put(compressed, static_cast<uint32_t>(index.size() * sizeof(uint64_t)));
        putBytes(compressed, index.data(), index.size() * sizeof(uint64_t));
        endRecord(compressed, record);
        index.clear();
    }
    entry.indexLength = compressed.size() - entry.length;
    chunk.clear();
    chunkMessages = 0;
    if (!writeOut(compressed)) return false;
    // Only messages in the file count in the statistics.
    for (const auto& [channel, offset] : entry.indexOffsets) channels[channel - 1u].messageCount += chunkCounts[channel - 1u];
    if (messageCount == 0) startTime = entry.startTime;
    startTime = std::min(startTime, entry.startTime);
    endTime = std::max(endTime, entry.endTime);
    for (uint64_t count : chunkCounts) messageCount += count;
    chunkIndexes.push_back(std::move(entry));
    return true;
}

// Data End, the summary, its offsets, the footer and the magic.
bool McapWriter::finishFile() {
    std::vector<uint8_t> out;
    const size_t dataEnd = beginRecord(out, opDataEnd);
    put(out, dataCrc);
    endRecord(out, dataEnd);
    const uint64_t summaryStart = committed + out.size();
    struct Group {
        uint8_t opcode;
        uint64_t start, length;
    };
    std::vector<Group> groups;
    auto beginGroup = [&](uint8_t opcode) { groups.push_back({opcode, committed + out.size(), 0}); };
    auto endGroup = [&] { groups.back().length = committed + out.size() - groups.back().start; };
    if (!schemas.empty()) {
        beginGroup(opSchema);
        for (size_t s = 0; s < schemas.size(); ++s) {
            const size_t record = beginRecord(out, opSchema);
            put(out, static_cast<uint16_t>(s + 1));
            putString(out, schemas[s].name);
            putString(out, schemas[s].encoding);
            put(out, static_cast<uint32_t>(schemas[s].data.size()));
            putBytes(out, schemas[s].data.data(), schemas[s].data.size());
            endRecord(out, record);
        }
        endGroup();
    }
    if (!channels.empty()) {
        beginGroup(opChannel);
        for (size_t c = 0; c < channels.size(); ++c) {
            const size_t record = beginRecord(out, opChannel);
            put(out, static_cast<uint16_t>(c + 1));
            put(out, channels[c].schemaId);
            putString(out, channels[c].topic);
            putString(out, channels[c].encoding);
            put(out, uint32_t{0});
            endRecord(out, record);
        }
        endGroup();
    }
    beginGroup(opStatistics);
    const size_t statistics = beginRecord(out, opStatistics);
    put(out, messageCount);
    put(out, static_cast<uint16_t>(schemas.size()));
    put(out, static_cast<uint32_t>(channels.size()));
    put(out, uint32_t{0});   // attachments
    put(out, uint32_t{0});   // metadata
    put(out, static_cast<uint32_t>(chunkIndexes.size()));
    put(out, startTime);
    put(out, endTime);
    put(out, static_cast<uint32_t>(channels.size() * (2 + 8)));
    for (size_t c = 0; c < channels.size(); ++c) {
        put(out, static_cast<uint16_t>(c + 1));
        put(out, channels[c].messageCount);
    }
    endRecord(out, statistics);
    endGroup();
    if (!chunkIndexes.empty()) {
        beginGroup(opChunkIndex);
        for (const ChunkIndexEntry& entry : chunkIndexes) {
            const size_t record = beginRecord(out, opChunkIndex);
            put(out, entry.startTime);
            put(out, entry.endTime);
            put(out, entry.offset);
            put(out, entry.length);
            put(out, static_cast<uint32_t>(entry.indexOffsets.size() * (2 + 8)));
            for (const auto& [channel, offset] : entry.indexOffsets) {
                put(out, channel);
                put(out, offset);
            }
            put(out, entry.indexLength);
            putString(out, zstdName);
            put(out, entry.compressedSize);
            put(out, entry.uncompressedSize);
            endRecord(out, record);
        }
        endGroup();
    }
    const uint64_t summaryOffsetStart = committed + out.size();
    for (const Group& group : groups) {
        const size_t record = beginRecord(out, opSummaryOffset);
        put(out, group.opcode);
        put(out, group.start);
        put(out, group.length);
        endRecord(out, record);
    }
    // The summary CRC covers the footer up to its own field, length included: the length goes in first.
    out.push_back(opFooter);
    put(out, static_cast<uint64_t>(footerContentBytes));
    put(out, summaryStart);
    put(out, summaryOffsetStart);
    const size_t summaryFrom = summaryStart - committed;
    put(out, crc32Of(0, out.data() + summaryFrom, out.size() - summaryFrom));
    putBytes(out, magic, sizeof magic);
    return writeOut(out);
}

bool McapWriter::close() {
    if (file < 0) return !failed.failed();
    bool ok = flushChunk() && finishFile();
    if (!ok) {
        // Cut back to the last whole chunk and try once more to close the file properly; a full disk
        // may still take the small summary once the partial chunk is gone.
        const uint64_t whole = committed;
        const std::string reason = failed.reason;
        if (::ftruncate(file, static_cast<off_t>(whole)) == 0 && ::lseek(file, static_cast<off_t>(whole), SEEK_SET) >= 0) {
            failed.reason.clear();
            chunk.clear();
            chunkMessages = 0;
            for (ChannelEntry& channel : channels) channel.index.clear();
            if (!finishFile()) (void)::ftruncate(file, static_cast<off_t>(whole));
        }
        failed.reason = reason;
    }
    if (::close(file) != 0 && ok) {
        fail(errno);
        ok = false;
    }
    file = -1;
    return ok;
}

// ---- Reader ----------------------------------------------------------------------------------------

McapReader::~McapReader() { close(); }

void McapReader::close() {
    if (file >= 0) ::close(file);
    file = -1;
}

bool McapReader::fail(const std::string& reason) {
    failed.reason = reason;
    return false;
}

bool McapReader::open(const std::string& path) {
    close();
    failed = McapFailure{path, {}};
    channelList.clear();
    schemaList.clear();
    chunkRefs.clear();
    fromSummary = false;
    file = openRegularFile(path, O_RDONLY, failed.reason);
    if (file < 0) return false;
    struct stat status {};
    if (::fstat(file, &status) != 0) return fail(systemReason(errno));
    const auto fileSize = static_cast<uint64_t>(status.st_size);
    uint8_t start[sizeof magic];
    if (fileSize < sizeof magic || !readAt(file, start, sizeof start, 0) || std::memcmp(start, magic, sizeof magic) != 0)
        return fail("It is not an MCAP file.");
    if (readSummary(fileSize)) return true;
    channelList.clear();
    schemaList.clear();
    chunkRefs.clear();
    return scanRecords(fileSize);
}

// The summary, when the file ends with a footer and the magic and the summary's CRC is right.
bool McapReader::readSummary(uint64_t fileSize) {
    if (fileSize < 2 * sizeof magic + footerRecordBytes) return false;
    uint8_t tail[footerRecordBytes + sizeof magic];
    if (!readAt(file, tail, sizeof tail, fileSize - sizeof tail)) return false;
    if (tail[0] != opFooter || std::memcmp(tail + footerRecordBytes, magic, sizeof magic) != 0) return false;
    Cursor footer{tail + recordHeaderBytes, tail + footerRecordBytes};
    const auto summaryStart = footer.get<uint64_t>();
    footer.get<uint64_t>();
    const auto summaryCrc = footer.get<uint32_t>();
    const uint64_t footerStart = fileSize - sizeof tail;
    if (summaryStart == 0 || summaryStart > footerStart) return false;
    std::vector<uint8_t> summary(footerStart - summaryStart + footerRecordBytes - 4);
    if (!readAt(file, summary.data(), summary.size(), summaryStart)) return false;
    if (summaryCrc != 0 && crc32Of(0, summary.data(), summary.size()) != summaryCrc) return false;
    Cursor records{summary.data(), summary.data() + (footerStart - summaryStart)};
    while (records.ok && records.at < records.end) {
        const auto opcode = records.get<uint8_t>();
        const auto length = records.get<uint64_t>();
        const uint8_t* body = records.take(length);
        if (!body) return false;
        if (opcode == opChunkIndex) {
            Cursor index{body, body + length};
            ChunkRef ref{};
            ref.startTime = index.get<uint64_t>();
            ref.endTime = index.get<uint64_t>();
            ref.offset = index.get<uint64_t>();
            ref.length = index.get<uint64_t>();
            if (!index.ok) return false;
            chunkRefs.push_back(ref);
        } else {
            addRecordFromChunk(opcode, body, length);
        }
    }
    fromSummary = records.ok;
    return fromSummary;
}

// Every record from the header on, up to the last whole one; channels are taken from the chunks.
bool McapReader::scanRecords(uint64_t fileSize) {
    uint64_t offset = sizeof magic;
    std::vector<uint8_t> records;
    bool sawHeader = false;
    for (;;) {
        uint8_t head[recordHeaderBytes];
        if (offset + sizeof head > fileSize || !readAt(file, head, sizeof head, offset)) break;
        uint64_t length = 0;
        std::memcpy(&length, head + 1, sizeof length);
        if (length > fileSize - offset - sizeof head) break;   // cut inside this record
        if (head[0] == opHeader) sawHeader = true;
        if (head[0] == opFooter || head[0] == opDataEnd) break;
        if (head[0] == opChunk) {
            uint8_t times[16];
            if (!readAt(file, times, sizeof times, offset + sizeof head)) break;
            ChunkRef ref{};
            std::memcpy(&ref.startTime, times, 8);
            std::memcpy(&ref.endTime, times + 8, 8);
            ref.offset = offset;
            ref.length = sizeof head + length;
            if (!loadChunk(ref, records)) return false;
            Cursor cursor{records.data(), records.data() + records.size()};
            while (cursor.ok && cursor.at < cursor.end) {
                const auto opcode = cursor.get<uint8_t>();
                const auto recordLength = cursor.get<uint64_t>();
                if (const uint8_t* body = cursor.take(recordLength)) addRecordFromChunk(opcode, body, recordLength);
            }
            chunkRefs.push_back(ref);
        } else if (head[0] == opSchema || head[0] == opChannel) {
            std::vector<uint8_t> body(length);
            if (!readAt(file, body.data(), body.size(), offset + sizeof head)) break;
            addRecordFromChunk(head[0], body.data(), length);
        }
        offset += sizeof head + length;
    }
    if (!sawHeader) return fail("It is truncated before its first record.");
    return true;
}

// Schema and Channel records, from a chunk or the summary; the others are not needed here.
void McapReader::addRecordFromChunk(uint8_t opcode, const uint8_t* body, uint64_t length) {
    Cursor cursor{body, body + length};
    if (opcode == opSchema) {
        const auto id = cursor.get<uint16_t>();
        McapChannel schema;
        schema.schemaName = cursor.string();
        schema.schemaEncoding = cursor.string();
        const auto size = cursor.get<uint32_t>();
        if (const uint8_t* data = cursor.take(size)) schema.schemaData.assign(data, data + size);
        for (const auto& known : schemaList)
            if (known.first == id) return;
        if (cursor.ok) schemaList.emplace_back(id, std::move(schema));
    } else if (opcode == opChannel) {
        McapChannel channel;
        channel.id = cursor.get<uint16_t>();
        const auto schemaId = cursor.get<uint16_t>();
        channel.topic = cursor.string();
        channel.messageEncoding = cursor.string();
        for (const McapChannel& known : channelList)
            if (known.id == channel.id) return;
        for (const auto& [id, schema] : schemaList) {
            if (id != schemaId) continue;
            channel.schemaName = schema.schemaName;
            channel.schemaEncoding = schema.schemaEncoding;
            channel.schemaData = schema.schemaData;
        }
        if (cursor.ok) channelList.push_back(std::move(channel));
    }
}

// The records of one chunk, decompressed and checked against its CRC.
bool McapReader::loadChunk(const ChunkRef& ref, std::vector<uint8_t>& records) {
    ++chunkReads;
    std::vector<uint8_t> raw(ref.length);
    if (!readAt(file, raw.data(), raw.size(), ref.offset)) return fail("It is truncated inside a chunk.");
    Cursor chunk{raw.data() + recordHeaderBytes, raw.data() + raw.size()};
    chunk.get<uint64_t>();
    chunk.get<uint64_t>();
    const auto uncompressedSize = chunk.get<uint64_t>();
    const auto crc = chunk.get<uint32_t>();
    const std::string compression = chunk.string();
    const auto size = chunk.get<uint64_t>();
    const uint8_t* data = chunk.take(size);
    if (!data || uncompressedSize > (uint64_t{1} << 40)) return fail("A chunk is damaged.");
    if (compression.empty()) {
        records.assign(data, data + size);
    } else if (compression == zstdName) {
        records.resize(uncompressedSize);
        const size_t unpacked = ZSTD_decompress(records.data(), records.size(), data, size);
        if (ZSTD_isError(unpacked) || unpacked != uncompressedSize) return fail("A chunk does not decompress.");
    } else {
        return fail("A chunk is compressed with " + compression + ", which this reader does not know.");
    }
    if (crc != 0 && crc32Of(0, records.data(), records.size()) != crc) return fail("A chunk's CRC is wrong.");
    return true;
}

bool McapReader::readMessages(const std::vector<uint16_t>& channelIds, uint64_t startTime, uint64_t endTime,
                              const std::function<void(const McapMessage&)>& onMessage) {
    std::vector<ChunkRef> chosen;
    for (const ChunkRef& ref : chunkRefs)
        if (ref.endTime >= startTime && ref.startTime <= endTime) chosen.push_back(ref);
    std::stable_sort(chosen.begin(), chosen.end(),
                     [](const ChunkRef& a, const ChunkRef& b) { return a.startTime < b.startTime; });
    // Chunks are merged by log time, each loaded only when its start time comes up: a chunk that
    // begins after every message in hand cannot hold an earlier one.
    struct Pending {
        uint64_t logTime;
        size_t chunk;       // order of loading, then place in the chunk: file order among equal times
        size_t place;
        McapMessage message;
        bool operator>(const Pending& other) const {
            if (logTime != other.logTime) return logTime > other.logTime;
            return chunk != other.chunk ? chunk > other.chunk : place > other.place;
        }
    };
    std::priority_queue<Pending, std::vector<Pending>, std::greater<>> pending;
    std::vector<std::shared_ptr<std::vector<uint8_t>>> loaded(chosen.size());
    std::vector<size_t> leftInChunk(chosen.size(), 0);
    size_t next = 0;
    while (next < chosen.size() || !pending.empty()) {
        if (next < chosen.size() && (pending.empty() || chosen[next].startTime <= pending.top().logTime)) {
            auto records = std::make_shared<std::vector<uint8_t>>();
            if (!loadChunk(chosen[next], *records)) return false;
            Cursor cursor{records->data(), records->data() + records->size()};
            size_t place = 0;
            while (cursor.ok && cursor.at < cursor.end) {
                const auto opcode = cursor.get<uint8_t>();
                const auto length = cursor.get<uint64_t>();
                const uint8_t* body = cursor.take(length);
                if (!body || opcode != opMessage || length < messageHeaderBytes) continue;
                Cursor fields{body, body + length};
                McapMessage message{};
                message.channelId = fields.get<uint16_t>();
                message.sequence = fields.get<uint32_t>();
                message.logTime = fields.get<uint64_t>();
                message.publishTime = fields.get<uint64_t>();
                message.data = fields.at;
                message.size = length - messageHeaderBytes;
                if (message.logTime < startTime || message.logTime > endTime) continue;
                if (std::find(channelIds.begin(), channelIds.end(), message.channelId) == channelIds.end()) continue;
                pending.push({message.logTime, next, place++, message});
                ++leftInChunk[next];
            }
            if (!cursor.ok) return fail("A chunk's records are damaged.");
            if (leftInChunk[next] > 0) loaded[next] = std::move(records);
            ++next;
            continue;
        }
        const Pending top = pending.top();
        pending.pop();
        onMessage(top.message);
        if (--leftInChunk[top.chunk] == 0) loaded[top.chunk].reset();
    }
    return true;
}

#include "recording/mcap_writer.h"

#include "sdk/common/byte_order.h"

#include <zlib.h>

#include <algorithm>

namespace {

const std::string magic("\x89MCAP0\r\n", 8);

enum Opcode : uint8_t {
    Header = 0x01,
    Footer = 0x02,
    Schema = 0x03,
    Channel = 0x04,
    Message = 0x05,
    Chunk = 0x06,
    MessageIndex = 0x07,
    ChunkIndex = 0x08,
    Statistics = 0x0B,
    SummaryOffset = 0x0E,
    DataEnd = 0x0F,
};

// Builds one record's fields, little-endian, then frames them.
class Fields {
public:
    Fields &u8(uint8_t v) { return raw(&v, 1); }
    Fields &u16(uint16_t v) { return le(v, 2); }
    Fields &u32(uint32_t v) { return le(v, 4); }
    Fields &u64(uint64_t v) { return le(v, 8); }
    Fields &text(const std::string &v) { return u32(static_cast<uint32_t>(v.size())).bytes(v); }
    Fields &bytes(const std::string &v) { return raw(v.data(), v.size()); }
    std::string record(Opcode op) const {
        std::string out(9, '\0');
        out[0] = static_cast<char>(op);
        put_le64(reinterpret_cast<uint8_t *>(&out[1]), body.size());
        return out + body;
    }
    size_t size() const { return body.size(); }

private:
    Fields &raw(const void *data, size_t size) {
        body.append(static_cast<const char *>(data), size);
        return *this;
    }
    Fields &le(uint64_t v, size_t size) {
        for (size_t i = 0; i < size; ++i)
            body += static_cast<char>(v >> (8 * i));
        return *this;
    }
    std::string body;
};

uint32_t crcOf(uint32_t crc, const char *bytes, size_t size) {
    return static_cast<uint32_t>(crc32_z(crc, reinterpret_cast<const Bytef *>(bytes), size));
}

uint32_t crcOf(uint32_t crc, const std::string &bytes) {
    return crcOf(crc, bytes.data(), bytes.size());
}

// A Map<uint16, uint64> as the format writes it.
Fields &countsMap(Fields &fields, const std::map<uint16_t, uint64_t> &map) {
    fields.u32(static_cast<uint32_t>(map.size() * 10));
    for (const auto &[key, value] : map)
        fields.u16(key).u64(value);
    return fields;
}

} // namespace

McapWriter::~McapWriter() {
    stopThread();
}

void McapWriter::stopThread() {
    if (!chunkThread.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    changed.notify_all();
    chunkThread.join();
}

void McapWriter::writeChunks() {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        changed.wait(guard, [this] { return pending || stopping; });
        if (!pending)
            return;
        OpenChunk chunk = std::move(*pending);
        pending.reset();
        busy = true;
        guard.unlock();
        std::string error;
        const bool written = failure.empty() && writeChunk(chunk, error);
        guard.lock();
        if (!written && failure.empty())
            failure = error;
        busy = false;
        changed.notify_all();
    }
}

bool McapWriter::settled(std::string &error) {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [this] { return !pending && !busy; });
    if (failure.empty())
        return true;
    error = failure;
    return false;
}

bool McapWriter::handOff(std::string &error) {
    if (open_.records.empty())
        return true;
    if (!chunkThread.joinable()) { // not open, or closing: written here
        const bool written = writeChunk(open_, error);
        open_ = OpenChunk();
        return written;
    }
    if (!settled(error))
        return false;
    {
        std::lock_guard<std::mutex> guard(lock);
        pending = std::move(open_);
    }
    changed.notify_all();
    open_ = OpenChunk();
    return true;
}

bool McapWriter::emit(const std::string &bytes, std::string &error) {
    dataCrc = crcOf(dataCrc, bytes);
    position += bytes.size();
    return file.write(bytes, error);
}

bool McapWriter::open(const std::string &path, const Options &chosen, std::string &error) {
    options = chosen;
    compressor = std::make_unique<ChunkCompressor>(options.zstdLevel);
    if (!compressor->ready(error) || !file.open(path, error) ||
        !emit(magic + Fields().text(options.profile).text(options.library).record(Header), error))
        return false;
    chunkThread = std::thread(&McapWriter::writeChunks, this);
    return true;
}

uint16_t McapWriter::addSchema(const std::string &name, const std::string &encoding,
                               const std::string &data, std::string &error) {
    const auto id = static_cast<uint16_t>(schemaRecords.size() + 1);
    schemaRecords.push_back(Fields().u16(id).text(name).text(encoding).text(data).record(Schema));
    return emit(schemaRecords.back(), error) ? id : 0;
}

uint16_t McapWriter::addChannel(uint16_t schema, const std::string &topic,
                                const std::string &encoding, std::string &error) {
    const auto id = static_cast<uint16_t>(channelRecords.size() + 1);
    channelRecords.push_back(
        Fields().u16(id).u16(schema).text(topic).text(encoding).u32(0).record(Channel));
    sequences[id] = 0;
    return emit(channelRecords.back(), error) ? id : 0;
}

bool McapWriter::write(uint16_t channel, uint64_t logTime, uint64_t publishTime,
                       const std::string &data, std::string &error) {
    std::string &chunk = open_.records;
    const uint64_t length = 2 + 4 + 8 + 8 + data.size();
    const size_t at = chunk.size();
    chunk.resize(at + 9 + length - data.size());
    uint8_t *p = reinterpret_cast<uint8_t *>(&chunk[at]);
    p[0] = Message;
    put_le64(p + 1, length);
    put_le16(p + 9, channel);
    put_le32(p + 11, sequences[channel]++);
    put_le64(p + 15, logTime);
    put_le64(p + 23, publishTime);
    chunk += data;
    // The chunk's CRC grows here, beside the record, not on the chunk thread.
    open_.crc = crcOf(open_.crc, chunk.data() + at, chunk.size() - at);
    open_.index[channel].emplace_back(logTime, at);
    open_.start = at == 0 ? logTime : std::min(open_.start, logTime);
    open_.end = at == 0 ? logTime : std::max(open_.end, logTime);
    firstTime = messageCount == 0 ? logTime : std::min(firstTime, logTime);
    lastTime = messageCount == 0 ? logTime : std::max(lastTime, logTime);
    ++messageCount;
    return chunk.size() < options.chunkBytes || handOff(error);
}

bool McapWriter::writeChunk(OpenChunk &chunk, std::string &error) {
    const std::string &records = chunk.records;
    if (!compressor->compress(records, compressed, error))
        return false;
    Fields head;
    head.u64(chunk.start)
        .u64(chunk.end)
        .u64(records.size())
        .u32(chunk.crc)
        .text(ChunkCompressor::name());
    head.u64(compressed.size());
    ChunkIndexEntry entry{
        chunk.start, chunk.end, position,          9 + head.size() + compressed.size(),
        {},          0,         compressed.size(), records.size()};
    std::string framed = head.record(Chunk);
    put_le64(reinterpret_cast<uint8_t *>(&framed[1]), head.size() + compressed.size());
    if (!emit(framed, error) || !emit(compressed, error))
        return false;
    const uint64_t indexesStart = position;
    for (const auto &[channel, entries] : chunk.index) {
        Fields index;
        index.u16(channel).u32(static_cast<uint32_t>(entries.size() * 16));
        for (const auto &[time, offset] : entries)
            index.u64(time).u64(offset);
        entry.indexOffsets[channel] = position;
        if (!emit(index.record(MessageIndex), error))
            return false;
    }
    entry.indexLength = position - indexesStart;
    chunks.push_back(std::move(entry));
    return true;
}

// The summary section, grouped by opcode; offsets receives the Summary
// Offset records that point at each group.
std::string McapWriter::summary(uint64_t summaryStart, std::string &offsets) const {
    std::string out;
    const auto group = [&](Opcode op, const std::string &records) {
        if (records.empty())
            return;
        offsets += Fields()
                       .u8(op)
                       .u64(summaryStart + out.size())
                       .u64(records.size())
                       .record(SummaryOffset);
        out += records;
    };
    std::string schemas, channels, indexes;
    for (const std::string &record : schemaRecords)
        schemas += record;
    for (const std::string &record : channelRecords)
        channels += record;
    std::map<uint16_t, uint64_t> perChannel;
    for (const auto &[channel, count] : sequences)
        perChannel[channel] = count;
    Fields statistics;
    statistics.u64(messageCount)
        .u16(static_cast<uint16_t>(schemaRecords.size()))
        .u32(static_cast<uint32_t>(channelRecords.size()))
        .u32(0)
        .u32(0)
        .u32(static_cast<uint32_t>(chunks.size()))
        .u64(firstTime)
        .u64(lastTime);
    countsMap(statistics, perChannel);
    for (const ChunkIndexEntry &chunk : chunks) {
        Fields index;
        index.u64(chunk.start).u64(chunk.end).u64(chunk.offset).u64(chunk.length);
        countsMap(index, chunk.indexOffsets)
            .u64(chunk.indexLength)
            .text(ChunkCompressor::name())
            .u64(chunk.compressedSize)
            .u64(chunk.uncompressedSize);
        indexes += index.record(ChunkIndex);
    }
    group(Schema, schemas);
    group(Channel, channels);
    group(Statistics, statistics.record(Statistics));
    group(ChunkIndex, indexes);
    return out;
}

bool McapWriter::close(std::string &error) {
    const bool chunksWritten = handOff(error) && settled(error);
    stopThread();
    if (!chunksWritten || !emit(Fields().u32(dataCrc).record(DataEnd), error))
        return false;
    const uint64_t summaryStart = position;
    std::string offsets;
    const std::string sections = summary(summaryStart, offsets);
    const uint64_t offsetsStart = summaryStart + sections.size();
    // The footer's CRC covers the summary, its offsets and the footer up to the CRC.
    std::string footer = Fields().u64(summaryStart).u64(offsetsStart).u32(0).record(Footer);
    const uint32_t summaryCrc =
        crcOf(crcOf(crcOf(0, sections), offsets), footer.substr(0, footer.size() - 4));
    put_le32(reinterpret_cast<uint8_t *>(&footer[footer.size() - 4]), summaryCrc);
    return file.write(sections + offsets + footer + magic, error) && file.close(error);
}

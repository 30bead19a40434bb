// An MCAP file writer (format version 0): messages go into chunks compressed
// with zstd (stored as they are in a build without zstd), each followed by
// its message indexes; the summary section holds the schemas, channels,
// statistics and chunk indexes, with summary offsets, so that readers can seek
// by time and topic without reading the data. Every CRC the format has is
// filled in: each chunk's, the data section's and the summary's.
//
// Schemas and channels are written where they are added, outside the chunks,
// and must be added before their first message. Messages should come in the
// order of their log times; the writer does not sort them.
//
// A full chunk is compressed and written by the writer's own thread while the
// caller fills the next one; its calls are for one thread at a time.
#pragma once

#include "recording/chunk_compression.h"

#include "recording/export_file.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class McapWriter {
public:
    struct Options {
        std::string profile;          // "ros2" for ROS 2 messages
        std::string library;          // who wrote the file
        size_t chunkBytes = 4u << 20; // a chunk closes once its records reach this size
        int zstdLevel = 1;
    };

    McapWriter() = default;
    ~McapWriter();
    McapWriter(const McapWriter &) = delete;
    McapWriter &operator=(const McapWriter &) = delete;

    // Each returns false with the reason in error; after a failure the file
    // is removed and nothing more is written.
    bool open(const std::string &path, const Options &options, std::string &error);
    // Returns the new schema's id (from 1), or 0 after a write error.
    uint16_t addSchema(const std::string &name, const std::string &encoding,
                       const std::string &data, std::string &error);
    // Returns the new channel's id (from 1), or 0 after a write error.
    uint16_t addChannel(uint16_t schema, const std::string &topic, const std::string &encoding,
                        std::string &error);
    // Times in nanoseconds; the message's sequence counts its channel's messages.
    bool write(uint16_t channel, uint64_t logTime, uint64_t publishTime, const std::string &data,
               std::string &error);
    bool close(std::string &error);

    uint64_t messages() const { return messageCount; }

private:
    struct ChunkIndexEntry {
        uint64_t start, end, offset, length;
        std::map<uint16_t, uint64_t> indexOffsets;
        uint64_t indexLength, compressedSize, uncompressedSize;
    };
    // A chunk's records, their times, and each channel's (time, offset) pairs.
    struct OpenChunk {
        std::string records;
        uint64_t start = 0, end = 0;
        uint32_t crc = 0; // of the records
        std::map<uint16_t, std::vector<std::pair<uint64_t, uint64_t>>> index;
    };

    bool emit(const std::string &bytes, std::string &error); // to the file, counted and checked
    // Hands the open chunk to the chunk thread, once it has written the one before.
    bool handOff(std::string &error);
    // Waits for the chunk thread to be idle; false with its error if it failed.
    bool settled(std::string &error);
    void writeChunks();                                    // the chunk thread
    bool writeChunk(OpenChunk &chunk, std::string &error); // compress, write, index
    void stopThread();
    std::string summary(uint64_t summaryStart, std::string &offsets) const;

    ExportFile file;
    Options options;
    std::vector<std::string> schemaRecords, channelRecords;
    std::map<uint16_t, uint32_t> sequences; // messages per channel
    uint64_t messageCount = 0, firstTime = 0, lastTime = 0;
    OpenChunk open_;
    // Owned by the chunk thread while it runs, and by the caller once it is settled.
    uint64_t position = 0;
    uint32_t dataCrc = 0;
    std::vector<ChunkIndexEntry> chunks;
    std::string compressed;
    std::unique_ptr<ChunkCompressor> compressor; // reused from chunk to chunk
    // The hand-off: one chunk waiting at most, the thread's failure if any.
    std::mutex lock;
    std::condition_variable changed;
    std::optional<OpenChunk> pending;
    bool busy = false, stopping = false;
    std::string failure;
    std::thread chunkThread;
};

// How the MCAP writer compresses its chunks: with zstd where the build has it
// (chunk_compression_zstd.cpp), else stored as they are (chunk_compression_none.cpp),
// which MCAP allows and every reader reads.
#pragma once

#include <string>

class ChunkCompressor {
public:
    explicit ChunkCompressor(int level); // zstd's level; ignored when storing
    ~ChunkCompressor();
    ChunkCompressor(const ChunkCompressor &) = delete;
    ChunkCompressor &operator=(const ChunkCompressor &) = delete;

    // The chunk's compression as MCAP names it: "zstd", or "" for stored.
    static const char *name();
    // False, with the reason, when the compressor could not be set up.
    bool ready(std::string &error) const;
    // records, compressed into out. False, with the reason, on a failure.
    bool compress(const std::string &records, std::string &out, std::string &error);

private:
    void *context = nullptr; // the compressor's own state
};

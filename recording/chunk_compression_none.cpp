#include "recording/chunk_compression.h"

ChunkCompressor::ChunkCompressor(int) {}

ChunkCompressor::~ChunkCompressor() = default;

const char *ChunkCompressor::name() {
    return "";
}

bool ChunkCompressor::ready(std::string &) const {
    return true;
}

bool ChunkCompressor::compress(const std::string &records, std::string &out, std::string &) {
    out = records;
    return true;
}

#include "recording/chunk_compression.h"

#include <zstd.h>

ChunkCompressor::ChunkCompressor(int level) : context(ZSTD_createCCtx()) {
    auto *zstd = static_cast<ZSTD_CCtx *>(context);
    if (zstd == nullptr)
        return;
    ZSTD_CCtx_setParameter(zstd, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(zstd, ZSTD_c_nbWorkers, 0); // the writer has a thread of its own
}

ChunkCompressor::~ChunkCompressor() {
    ZSTD_freeCCtx(static_cast<ZSTD_CCtx *>(context));
}

const char *ChunkCompressor::name() {
    return "zstd";
}

bool ChunkCompressor::ready(std::string &error) const {
    if (context == nullptr)
        error = "cannot set up zstd compression";
    return context != nullptr;
}

bool ChunkCompressor::compress(const std::string &records, std::string &out, std::string &error) {
    out.resize(ZSTD_compressBound(records.size()));
    const size_t size = ZSTD_compress2(static_cast<ZSTD_CCtx *>(context), &out[0], out.size(),
                                       records.data(), records.size());
    if (ZSTD_isError(size)) {
        error = std::string("zstd could not compress a chunk: ") + ZSTD_getErrorName(size);
        return false;
    }
    out.resize(size);
    return true;
}

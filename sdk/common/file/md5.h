// MD5 message digest (RFC 1321), used to verify files received from the device.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t MD5_BLOCK_SIZE = 64;
constexpr size_t MD5_DIGEST_SIZE = 16;
// 32 hexadecimal digits and a NUL.
constexpr size_t MD5_HEX_SIZE = 2 * MD5_DIGEST_SIZE + 1;

struct md5_context {
    uint32_t state[4];
    uint64_t bit_count;
    uint8_t buffer[MD5_BLOCK_SIZE];
    uint8_t digest[MD5_DIGEST_SIZE];
    uint8_t finalised;
};

void md5_init(md5_context *context);
// Feeds length bytes; the partial block is kept between calls. Ignored once finalised.
void md5_update(md5_context *context, const void *data, size_t length);
// Pads, appends the bit length, stores the digest and sets finalised.
void md5_final(md5_context *context);
// Writes the digest as 32 lowercase hex digits and a NUL into out (MD5_HEX_SIZE
// bytes). Returns false, writing nothing, if the context is not finalised.
bool md5_to_hex(const md5_context *context, char *out);

// RFC 1321 MD5: 64-byte blocks of little-endian words, four rounds of sixteen steps.
#include "sdk/common/file/md5.h"

#include "sdk/common/byte_order.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t initial_state[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};

// T[i] = floor(abs(sin(i + 1)) * 2^32), RFC 1321 section 3.4.
constexpr uint32_t sine_table[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr unsigned shifts[4][4] = {
    {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

uint32_t rotate_left(uint32_t value, unsigned count) {
    return (value << count) | (value >> (32 - count));
}

void transform(uint32_t state[4], const uint8_t block[MD5_BLOCK_SIZE]) {
    uint32_t words[16];
    for (int i = 0; i < 16; ++i)
        words[i] = get_le32(block + 4 * i);

    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (unsigned step = 0; step < 64; ++step) {
        unsigned round = step / 16;
        uint32_t mix;
        unsigned word;
        switch (round) {
        case 0:
            mix = (b & c) | (~b & d);
            word = step;
            break;
        case 1:
            mix = (d & b) | (~d & c);
            word = (5 * step + 1) % 16;
            break;
        case 2:
            mix = b ^ c ^ d;
            word = (3 * step + 5) % 16;
            break;
        default:
            mix = c ^ (b | ~d);
            word = (7 * step) % 16;
            break;
        }
        uint32_t rotated =
            rotate_left(a + mix + sine_table[step] + words[word], shifts[round][step % 4]);
        a = d;
        d = c;
        c = b;
        b = b + rotated;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

} // namespace

void md5_init(md5_context *context) {
    memcpy(context->state, initial_state, sizeof initial_state);
    context->bit_count = 0;
    memset(context->buffer, 0, sizeof context->buffer);
    memset(context->digest, 0, sizeof context->digest);
    context->finalised = 0;
}

void md5_update(md5_context *context, const void *data, size_t length) {
    if (context->finalised || length == 0)
        return;
    const uint8_t *input = static_cast<const uint8_t *>(data);
    size_t used = static_cast<size_t>((context->bit_count / 8) % MD5_BLOCK_SIZE);
    context->bit_count += static_cast<uint64_t>(length) * 8;

    if (used > 0) {
        size_t take = MD5_BLOCK_SIZE - used;
        if (length < take) {
            memcpy(context->buffer + used, input, length);
            return;
        }
        memcpy(context->buffer + used, input, take);
        transform(context->state, context->buffer);
        input += take;
        length -= take;
    }
    for (; length >= MD5_BLOCK_SIZE; input += MD5_BLOCK_SIZE, length -= MD5_BLOCK_SIZE)
        transform(context->state, input);
    memcpy(context->buffer, input, length);
}

void md5_final(md5_context *context) {
    if (context->finalised)
        return;
    uint8_t length_bytes[8];
    uint64_t bits = context->bit_count;
    put_le64(length_bytes, bits);

    // One 0x80 byte, then zeros up to 56 bytes into a block, then the bit length.
    static const uint8_t padding[MD5_BLOCK_SIZE] = {0x80};
    size_t used = static_cast<size_t>((bits / 8) % MD5_BLOCK_SIZE);
    size_t pad_length = used < 56 ? 56 - used : 120 - used;
    md5_update(context, padding, pad_length);
    md5_update(context, length_bytes, sizeof length_bytes);

    for (int i = 0; i < 4; ++i)
        put_le32(context->digest + 4 * i, context->state[i]);
    context->finalised = 1;
}

bool md5_to_hex(const md5_context *context, char *out) {
    if (!context->finalised)
        return false;
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < MD5_DIGEST_SIZE; ++i) {
        out[2 * i] = digits[context->digest[i] >> 4];
        out[2 * i + 1] = digits[context->digest[i] & 0x0f];
    }
    out[2 * MD5_DIGEST_SIZE] = '\0';
    return true;
}

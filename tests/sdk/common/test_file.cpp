// RFC 1321 digests, whole-file MD5 and the directory test.
#include "sdk/common/file/file.h"
#include "sdk/common/file/md5.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

// Feeds message in pieces of the given size; 0 means one call for everything.
std::string md5_hex(const std::string &message, size_t piece = 0) {
    md5_context context;
    md5_init(&context);
    if (piece == 0)
        piece = message.size() > 0 ? message.size() : 1;
    for (size_t at = 0; at < message.size(); at += piece)
        md5_update(&context, message.data() + at, std::min(piece, message.size() - at));
    md5_final(&context);
    char hex[MD5_HEX_SIZE];
    EXPECT_TRUE(md5_to_hex(&context, hex));
    return hex;
}

// Bytes 0, 1, ..., 250, 0, 1, ...: no block repeats at a 64-byte period.
std::string counting_bytes(size_t count) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<char>(i % 251);
    return bytes;
}

} // namespace

TEST(Md5, MatchesTheRfc1321TestSuiteInWholeAndInPieces) {
    EXPECT_EQ(md5_hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(md5_hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(md5_hex("1234567890123456789012345678901234567890123456789012345678901234567890123456"
                      "7890"),
              "57edf4a22be3c955ac49da2e2107b67a");
    // Lengths around the padding boundary (55, 56, 64) and the block boundary.
    for (size_t length : {55u, 56u, 64u, 65u, 1000u}) {
        std::string message = counting_bytes(length);
        std::string whole = md5_hex(message);
        for (size_t piece : {1u, 63u, 64u, 65u})
            EXPECT_EQ(md5_hex(message, piece), whole) << length << " bytes in pieces of " << piece;
    }
}

TEST(File, HashesFilesAcrossReadChunksAndFailsOnWhatItCannotRead) {
    kest_test::temp_dir dir;
    // Expected digests from an independent MD5 of the same bytes.
    const std::pair<size_t, const char *> files[] = {{0, "d41d8cd98f00b204e9800998ecf8427e"},
                                                     {4096, "a0c16616c91907bd14e999986cf822d5"},
                                                     {4097, "e4df5b23488e51a7998f218196a6ef6d"}};
    char out[MD5_HEX_SIZE];
    for (const auto &[size, digest] : files) {
        std::string path = dir.file("data_" + std::to_string(size));
        kest_test::write_file(path, counting_bytes(size));
        memset(out, 'z', sizeof out);
        EXPECT_EQ(get_file_md5(path, out), 1) << size;
        EXPECT_STREQ(out, digest) << size << " bytes";
    }
    EXPECT_EQ(get_file_md5(dir.file("absent.yaml"), out), 0);
    // A directory opens for reading here but every read fails: no digest of nothing.
    EXPECT_EQ(get_file_md5(dir.path().string(), out), 0);
    EXPECT_TRUE(is_dir(dir.path().string().c_str()));
    EXPECT_FALSE(is_dir(dir.file("data_0").c_str()));
    EXPECT_FALSE(is_dir(nullptr));
}

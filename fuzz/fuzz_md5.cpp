// MD5 fed in arbitrary pieces must equal MD5 fed at once. The first input byte
// picks the piece size, so the fuzzer explores every partial-block path.
#include "sdk/common/file/md5.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    size_t piece = static_cast<size_t>(data[0]) + 1;
    const uint8_t *message = data + 1;
    size_t length = size - 1;

    md5_context whole;
    md5_init(&whole);
    md5_update(&whole, message, length);
    md5_final(&whole);

    md5_context pieces;
    md5_init(&pieces);
    for (size_t at = 0; at < length; at += piece)
        md5_update(&pieces, message + at, length - at < piece ? length - at : piece);
    md5_final(&pieces);

    if (memcmp(whole.digest, pieces.digest, MD5_DIGEST_SIZE) != 0)
        abort();
    return 0;
}

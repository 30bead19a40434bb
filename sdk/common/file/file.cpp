// Directory test and whole-file MD5.
#include "sdk/common/file/file.h"

#include "sdk/common/file/md5.h"
#include "sdk/logger/logger.h"

#include <cstdio>
#include <sys/stat.h>

namespace {

constexpr size_t read_chunk_size = 4096;

} // namespace

bool is_dir(const char *path) {
    struct stat info;
    if (path == nullptr || stat(path, &info) != 0)
        return false;
    return S_ISDIR(info.st_mode);
}

int get_file_md5(const std::string &path, char *out) {
    FILE *file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        log_print(ERROR, "open file %s fail.\n", path.c_str());
        return 0;
    }

    md5_context context;
    md5_init(&context);
    unsigned char chunk[read_chunk_size];
    size_t count;
    while ((count = fread(chunk, 1, sizeof chunk, file)) > 0)
        md5_update(&context, chunk, count);
    // A read error part-way (a directory, an I/O fault) must not pass as the
    // digest of the whole file.
    bool read_failed = ferror(file) != 0;
    fclose(file);
    if (read_failed) {
        log_print(ERROR, "read file %s fail.\n", path.c_str());
        return 0;
    }

    md5_final(&context);
    if (!md5_to_hex(&context, out)) {
        log_print(ERROR, "get file md5 fail.\n");
        return 0;
    }
    return 1;
}

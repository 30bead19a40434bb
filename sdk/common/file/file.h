// Directory test and whole-file MD5, used to verify files received from the device.
#pragma once

#include <string>

// True if path can be queried and is a directory.
bool is_dir(const char *path);

// Hashes the whole file at path and writes its MD5 as 32 lowercase hex digits and
// a NUL into out (33 bytes). Returns 1 on success; 0 if the file cannot be opened
// or read to its end, with out then undefined. Any thread.
int get_file_md5(const std::string &path, char *out);

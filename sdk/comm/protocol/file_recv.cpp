// The calibration file: requested with control code 16, received as one file
// data message, written to <dir>/calib.yaml and checked against the device's MD5.
#include "sdk/comm/protocol/protocol.h"
#include "sdk/common/byte_order.h"
#include "sdk/common/file/file.h"
#include "sdk/common/file/md5.h"
#include "sdk/common/platform/platform.h"
#include "sdk/logger/logger.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace zev_sdk {

namespace {

constexpr const char *calib_file_name = "calib.yaml";
constexpr uint32_t file_payload_len = 3146173;
constexpr size_t chunk_offset_total = 8;
constexpr size_t chunk_offset_offset = 16;
constexpr size_t chunk_offset_size = 24;
constexpr size_t chunk_offset_md5 = 28;
constexpr size_t chunk_md5_field = 417;
constexpr size_t chunk_offset_data = chunk_offset_md5 + chunk_md5_field;
constexpr size_t chunk_data_area = 3145728;
constexpr size_t path_capacity = 256;

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

} // namespace

// Creates dir and its missing parents. 0, or -2 when one cannot be made.
int sender::create_destination(const char *dir, log_origin origin) {
    char path[path_capacity];
    snprintf(path, sizeof path, "%s", dir);
    size_t length = strlen(path);
    while (length > 1 && is_separator(path[length - 1]))
        path[--length] = '\0';
    for (size_t i = 1; i <= length; ++i) {
        if (i < length && !is_separator(path[i]))
            continue;
        char kept = path[i];
        path[i] = '\0';
        if (!platform_make_dir(path) && errno != EEXIST) {
            log_print_from(origin, ERROR, "destination dir:%s not exists and cannot be created.\n",
                           dir);
            return -2;
        }
        path[i] = kept;
    }
    log_print_from(origin, DEBUG, "destination dir:%s created.\n", dir);
    return 0;
}

int sender::sender_get_calib_file_handler(const char *dir) {
    if (!inited) {
        // Kept verbatim, misspelling included: readers of the log match this text.
        log_print(ERROR, "sendor not init.\n");
        return -1;
    }
    if (!attached) {
        // Kept verbatim, misspelling included: readers of the log match this text.
        log_print(ERROR, "sendor not attch.\n");
        return -1;
    }
    if (!is_dir(dir) && create_destination(dir, LOG_ORIGIN) != 0)
        return -2;
    if (open_recv_file(dir, LOG_ORIGIN) != 0)
        return -1;

    std::unique_ptr<uint8_t, decltype(&free)> request(
        construct_simple_control_cmd(CTRL_GET_CALIB_FILE), free);
    if (!request)
        return -1;
    uint8_t *raw_answer = nullptr;
    log_origin origin = LOG_ORIGIN;
    int sent_and_answered = transact(request.get(), &raw_answer, [origin] {
        log_print_from(origin, DEBUG, "get factory calib cmd sent.\n");
    });
    std::unique_ptr<uint8_t, decltype(&free)> answer(raw_answer, free);
    if (sent_and_answered != 0)
        return -1;

    uint16_t type = get_be16(answer.get());
    if (type != CMD_FILE_DATA) {
        log_print(ERROR, "get factory calib fail. %d\n", type);
        return -1;
    }
    if (recv_small_file_handler(answer.get()) != 0) {
        log_print(ERROR, "get factory calib fail.\n");
        return -1;
    }
    log_print(DEBUG, "get factory calib success.\n");
    return 0;
}

int sender::open_recv_file(const char *dir, log_origin origin) {
    if (recv_file != nullptr) {
        log_print_from(origin, DEBUG, "recv file pointer is not null, closed.\n");
        fclose(recv_file);
        recv_file = nullptr;
    }
    snprintf(recv_file_path, sizeof recv_file_path, "%s/%s", dir, calib_file_name);
    recv_file = fopen(recv_file_path, "wb");
    if (recv_file == nullptr) {
        log_print_from(origin, ERROR, "Could not open file %s for writing\n", recv_file_path);
        return -1;
    }
    log_print_from(origin, DEBUG, "opened file %s for writing\n", recv_file_path);
    return 0;
}

// msg holds its whole header and payload (checked on arrival).
int sender::recv_small_file_handler(const uint8_t *msg) {
    uint16_t type = get_be16(msg);
    uint32_t payload_len = cmd_payload_len(msg);
    if (type == CMD_FAIL) {
        int result = payload_len == 4 ? static_cast<int>(get_le32(msg + CMD_HEADER_SIZE)) : -1;
        send_simple_response(CMD_FAIL);
        return result;
    }
    if (type != CMD_FILE_DATA) {
        log_print(ERROR, "cmd type error:%d vs %d.\n", type, CMD_FILE_DATA);
        send_simple_response(CMD_FAIL);
        return -1;
    }
    if (payload_len != file_payload_len) {
        log_print(ERROR, "file packet len error:%d vs %d.\n", payload_len, file_payload_len);
        send_simple_response(CMD_FAIL);
        return -1;
    }
    if (recv_file == nullptr) {
        log_print(ERROR, "no recv file is open.\n");
        send_simple_response(CMD_FAIL);
        return -1;
    }
    const uint8_t *chunk = msg + CMD_HEADER_SIZE;
    unsigned long long total = get_le64(chunk + chunk_offset_total);
    unsigned long long offset = get_le64(chunk + chunk_offset_offset);
    uint32_t size = get_le32(chunk + chunk_offset_size);
    log_print(DEBUG, "total size:%llu; chunk size:%u; offset:%llu\n", total, size, offset);

    // The whole file comes in this one message, so it ends inside the data area:
    // a far offset would make a huge sparse file, and hashing it would never end.
    if (offset > chunk_data_area || fseek(recv_file, static_cast<long>(offset), SEEK_SET) != 0) {
        log_print(ERROR, "recv file seek error:%llu vs %u.\n", offset, size);
        send_simple_response(CMD_FAIL);
        return -1;
    }
    // A chunk larger than the data area is refused, never read past.
    bool fits = size <= chunk_data_area && offset + size <= chunk_data_area;
    size_t written = fits ? fwrite(chunk + chunk_offset_data, 1, size, recv_file) : 0;
    if (written != size) {
        log_print(ERROR, "recv file write error:%d vs %d.\n", static_cast<int>(written),
                  static_cast<int>(size));
        send_simple_response(CMD_FAIL);
        return -1;
    }
    fclose(recv_file);
    log_print(DEBUG, "recv file closed.\n");
    recv_file = nullptr;
    log_print(DEBUG, "recv file pointer reset.\n");

    char local_md5[MD5_HEX_SIZE];
    if (get_file_md5(recv_file_path, local_md5) != 1) {
        log_print(ERROR, "get file md5 fail.\n");
        return -1;
    }
    log_print(DEBUG, "md5: %s for file %s.\n", local_md5, recv_file_path);
    // The device's text ends at its NUL, or at the end of its field.
    char device_md5[chunk_md5_field + 1] = {};
    memcpy(device_md5, chunk + chunk_offset_md5, chunk_md5_field);
    if (strcmp(local_md5, device_md5) != 0) {
        log_print(ERROR,
                  "[recv small file]:MD5 verification failed!!  local_md:%s , device_md5:%s \n",
                  local_md5, device_md5);
        send_simple_response(CMD_FAIL);
        return -1;
    }
    log_print(DEBUG, "[recv small file]:MD5 verification successful!!\n");
    send_simple_response(CMD_OK);
    log_print(DEBUG, "recv file finish, ok response send.\n");
    return 0;
}

} // namespace zev_sdk

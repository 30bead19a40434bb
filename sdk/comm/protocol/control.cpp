// Control commands and the host's bare OK and FAIL responses.
#include "sdk/comm/protocol/protocol.h"
#include "sdk/common/byte_order.h"
#include "sdk/logger/logger.h"

#include <cstdlib>
#include <cstring>

namespace zev_sdk {

namespace {

uint8_t *control_message(size_t size, uint16_t code) {
    auto *msg = static_cast<uint8_t *>(malloc(size));
    if (msg == nullptr)
        return nullptr;
    memset(msg, 0, size);
    put_be16(msg, CMD_CONTROL);
    put_be32(msg + CMD_OFFSET_PAYLOAD_LEN, static_cast<uint32_t>(size - CMD_HEADER_SIZE));
    put_be16(msg + CMD_HEADER_SIZE, code);
    return msg;
}

} // namespace

uint8_t *sender::construct_simple_control_cmd(uint16_t code) {
    uint8_t *msg = control_message(CONTROL_CMD_SIZE, code);
    if (msg == nullptr)
        log_print(ERROR, "malloc fail.\n");
    return msg;
}

uint8_t *sender::construct_simple_control_cmd_with_u32(uint16_t code, uint32_t value) {
    uint8_t *msg = control_message(CONTROL_CMD_U32_SIZE, code);
    if (msg == nullptr) {
        log_print(ERROR, "malloc fail.\n");
        return nullptr;
    }
    put_be32(msg + CMD_HEADER_SIZE + 2, value);
    return msg;
}

int sender::send_simple_response(uint16_t type) {
    uint8_t header[CMD_HEADER_SIZE] = {};
    put_be16(header, type);
    return send_cmd(tx_id, header);
}

} // namespace zev_sdk

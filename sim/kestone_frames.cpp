#include "sim/kestone_frames.h"

#include <algorithm>

namespace kest_sim {

namespace {

const uint8_t head[6] = {'l', 'q', 'n', 'b', 'm', '?'};
const uint8_t tail[4] = {'f', 'c', 'n', 'b'};
constexpr size_t overhead = 26;

void append_be32(byte_vector &out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t read_be32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

uint8_t xor_of(const uint8_t *p, size_t n) {
    uint8_t sum = 0;
    while (n-- > 0)
        sum ^= *p++;
    return sum;
}

byte_vector one_frame(const uint8_t *payload, uint32_t length, uint32_t tag, uint8_t flags,
                      unsigned total, unsigned index) {
    byte_vector frame(head, head + 6);
    frame.push_back(0); // type
    append_be32(frame, tag);
    frame.push_back(flags);
    frame.push_back(static_cast<uint8_t>(total));
    frame.push_back(static_cast<uint8_t>(index));
    frame.push_back(0); // reserved
    append_be32(frame, length);
    frame.push_back(xor_of(frame.data() + 6, 13));
    frame.insert(frame.end(), payload, payload + length);
    frame.push_back(0);
    frame.push_back(xor_of(frame.data() + 6, 14 + length));
    frame.insert(frame.end(), tail, tail + 4);
    return frame;
}

} // namespace

std::vector<byte_vector> device_frames(const byte_vector &message, size_t transfer_size,
                                       uint32_t tag) {
    size_t cap = transfer_size - overhead;
    size_t count = (message.size() + cap - 1) / cap;
    if (count == 0)
        count = 1;
    std::vector<byte_vector> frames;
    for (size_t i = 0; i < count; ++i) {
        size_t start = i * cap;
        size_t length = std::min(cap, message.size() - start);
        frames.push_back(one_frame(message.data() + start, static_cast<uint32_t>(length), tag,
                                   count > 1 ? 0x02 : 0x00, static_cast<unsigned>(count),
                                   static_cast<unsigned>(i + 1)));
    }
    return frames;
}

byte_vector device_message(uint16_t type, const byte_vector &payload) {
    byte_vector message(23 + payload.size(), 0);
    message[0] = static_cast<uint8_t>(type >> 8);
    message[1] = static_cast<uint8_t>(type);
    auto length = static_cast<uint32_t>(payload.size());
    for (int i = 0; i < 4; ++i)
        message[19 + i] = static_cast<uint8_t>(length >> (24 - 8 * i));
    std::copy(payload.begin(), payload.end(), message.begin() + 23);
    return message;
}

bool host_frame_reader::take(const uint8_t *transfer, size_t size, byte_vector &message) {
    if (size < overhead || !std::equal(head, head + 6, transfer)) {
        ++bad;
        return false;
    }
    uint32_t length = read_be32(transfer + 15);
    bool unchecked = (transfer[11] & 0x01) != 0;
    if (length > size - overhead || !std::equal(tail, tail + 4, transfer + 22 + length) ||
        (!unchecked && (xor_of(transfer + 6, 13) != transfer[19] || transfer[20 + length] != 0 ||
                        xor_of(transfer + 6, 14 + length) != transfer[21 + length]))) {
        ++bad;
        return false;
    }
    const uint8_t *payload = transfer + 20;
    unsigned total = transfer[12], index = transfer[13];
    if ((transfer[11] & 0x02) == 0) {
        message.assign(payload, payload + length);
        return true;
    }
    if (index == 1) {
        group.clear();
        group_total = total;
        next_index = 1;
    }
    if (index != next_index || total != group_total) {
        ++bad;
        group.clear();
        next_index = 0;
        return false;
    }
    group.insert(group.end(), payload, payload + length);
    ++next_index;
    if (index != total)
        return false;
    message.swap(group);
    group.clear();
    next_index = 0;
    return true;
}

} // namespace kest_sim

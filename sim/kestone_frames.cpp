#include "sim/kestone_frames.h"

#include <algorithm>
#include <iterator>

namespace kest_sim {

using namespace wire;

namespace {

uint8_t xor_of(const uint8_t *p, size_t n) {
    uint8_t sum = 0;
    while (n-- > 0)
        sum ^= *p++;
    return sum;
}

uint8_t header_checksum(const uint8_t *frame) {
    return xor_of(frame + frame_type_at, frame_header_xor_at - frame_type_at);
}

uint8_t frame_checksum(const uint8_t *frame, size_t length) {
    return xor_of(frame + frame_type_at, frame_pad_at(length) - frame_type_at);
}

constexpr uint8_t noise = 0xA5; // what a device leaves in bytes it does not use
constexpr size_t max_group_frames = 255;
constexpr size_t max_filler = 4096;

byte_vector one_frame(const uint8_t *payload, uint32_t length, uint32_t tag, uint8_t flags,
                      unsigned total, unsigned index, const frame_style &style) {
    byte_vector frame(frame_overhead + length, 0);
    std::copy(std::begin(frame_head), std::end(frame_head), frame.begin());
    put_be(frame, frame_tag_at, tag, 4);
    frame[frame_flags_at] = flags | (style.unchecked ? frame_flag_unchecked : 0);
    frame[frame_total_at] = static_cast<uint8_t>(total);
    frame[frame_index_at] = static_cast<uint8_t>(index);
    if (style.reserved_noise) {
        frame[frame_type_at] = noise;
        frame[frame_reserved_at] = noise;
    }
    put_be(frame, frame_length_at, length, 4);
    std::copy(payload, payload + length, frame.begin() + frame_payload_at);
    if (style.unchecked) {
        frame[frame_header_xor_at] = frame[frame_pad_at(length)] = frame[frame_xor_at(length)] =
            noise;
    } else {
        frame[frame_header_xor_at] = header_checksum(frame.data());
        frame[frame_xor_at(length)] = frame_checksum(frame.data(), length);
    }
    std::copy(std::begin(frame_tail), std::end(frame_tail), frame.begin() + frame_tail_at(length));
    return frame;
}

// Payload bytes per frame.
size_t frame_capacity(size_t message_size, size_t transfer_size, const frame_style &style) {
    const size_t cap = transfer_size - frame_overhead;
    if (style.group_frame_bytes == 0 || style.group_frame_bytes >= cap)
        return cap;
    const size_t fewest = (message_size + max_group_frames - 1) / max_group_frames;
    return std::min(cap, std::max(style.group_frame_bytes, fewest));
}

} // namespace

size_t frames_needed(size_t message_size, size_t transfer_size, const frame_style &style) {
    const size_t cap = frame_capacity(message_size, transfer_size, style);
    return std::max<size_t>((message_size + cap - 1) / cap, 1);
}

std::vector<byte_vector> device_frames(const byte_vector &message, size_t transfer_size,
                                       uint32_t tag, const frame_style &style) {
    byte_vector noisy;
    const byte_vector *sent = &message;
    if (style.reserved_noise && message.size() >= cmd_header_bytes) {
        noisy = message;
        std::fill(noisy.begin() + cmd_reserved_at, noisy.begin() + cmd_length_at, noise);
        sent = &noisy;
    }
    const size_t cap = frame_capacity(sent->size(), transfer_size, style);
    const size_t count = frames_needed(sent->size(), transfer_size, style);
    std::vector<byte_vector> frames;
    for (size_t i = 0; i < count; ++i) {
        size_t start = i * cap;
        size_t length = std::min(cap, sent->size() - start);
        frames.push_back(one_frame(sent->data() + start, static_cast<uint32_t>(length), tag,
                                   count > 1 ? frame_flag_group : 0, static_cast<unsigned>(count),
                                   static_cast<unsigned>(i + 1), style));
        if (style.reserved_noise) // filler, short of a whole transfer to spare the bus
            frames.back().resize(std::min(transfer_size, frames.back().size() + max_filler), noise);
    }
    return frames;
}

byte_vector device_message(uint16_t type, const byte_vector &payload) {
    byte_vector message(cmd_header_bytes + payload.size(), 0);
    put_be(message, cmd_type_at, type, 2);
    put_be(message, cmd_length_at, payload.size(), 4);
    std::copy(payload.begin(), payload.end(), message.begin() + cmd_header_bytes);
    return message;
}

bool host_frame_reader::take(const uint8_t *transfer, size_t size, byte_vector &message) {
    if (size < frame_overhead ||
        !std::equal(std::begin(frame_head), std::end(frame_head), transfer)) {
        ++bad;
        return false;
    }
    const auto length = static_cast<uint32_t>(get_be(transfer + frame_length_at, 4));
    const uint8_t flags = transfer[frame_flags_at];
    const bool unchecked = (flags & frame_flag_unchecked) != 0;
    if (length > size - frame_overhead ||
        !std::equal(std::begin(frame_tail), std::end(frame_tail),
                    transfer + frame_tail_at(length)) ||
        (!unchecked && (header_checksum(transfer) != transfer[frame_header_xor_at] ||
                        transfer[frame_pad_at(length)] != 0 ||
                        frame_checksum(transfer, length) != transfer[frame_xor_at(length)]))) {
        ++bad;
        return false;
    }
    const uint8_t *payload = transfer + frame_payload_at;
    unsigned total = transfer[frame_total_at], index = transfer[frame_index_at];
    if ((flags & frame_flag_group) == 0) {
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

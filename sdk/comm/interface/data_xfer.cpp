// Building, validating and reassembling frames. Runs on the sending thread
// (building) and on the transport's event threads (validation and staging).
#include "sdk/comm/interface/data_xfer.h"

#include "sdk/common/byte_order.h"
#include "sdk/common/platform/platform.h"
#include "sdk/common/stats/counters.h"
#include "sdk/common/thread/thread.h"

#include "sdk/logger/logger.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

// Every received transfer is checksummed whole, 256 KiB at a time. The loop
// is left plain for the vectoriser; the AVX2 clone is picked at load time
// where the processor has it.
KEST_VECTOR_CLONES uint8_t xor_checksum(const uint8_t *bytes, size_t n) {
    uint8_t sum = 0;
    for (size_t i = 0; i < n; ++i)
        sum ^= bytes[i];
    return sum;
}

namespace {

constexpr uint8_t default_header_magic[PKT_HEADER_MAGIC_SIZE] = {0x6C, 0x71, 0x6E,
                                                                 0x62, 0x6D, 0x3F};
constexpr uint8_t default_tail_magic[PKT_TAIL_SIZE] = {0x66, 0x63, 0x6E, 0x62};

// The frame check's low byte: type through header check, then the payload.
uint8_t frame_checksum(const uint8_t *frame, uint32_t length) {
    return xor_checksum(frame + PKT_OFFSET_TYPE, length + PKT_CHECKED_HEADER_SIZE + 1);
}

} // namespace

int packet_group_release(packet_group *group) {
    free(group->buffer);
    memset(group, 0, sizeof *group);
    return 0;
}

data_xfer::data_xfer() {
    memcpy(header_magic, default_header_magic, sizeof header_magic);
    memcpy(tail_magic, default_tail_magic, sizeof tail_magic);
}

void data_xfer::packet_construct(uint8_t *frame, uint8_t type, uint32_t tag, uint8_t flags,
                                 uint16_t group_word, uint8_t reserved, const uint8_t *payload,
                                 uint32_t length) const {
    memcpy(frame, header_magic, sizeof header_magic);
    frame[PKT_OFFSET_TYPE] = type;
    put_be32(frame + PKT_OFFSET_TAG, tag);
    frame[PKT_OFFSET_FLAGS] = flags;
    frame[PKT_OFFSET_GROUP_TOTAL] = static_cast<uint8_t>(group_word >> 8);
    frame[PKT_OFFSET_GROUP_INDEX] = static_cast<uint8_t>(group_word);
    frame[PKT_OFFSET_RESERVED] = reserved;
    put_be32(frame + PKT_OFFSET_LENGTH, length);
    bool checked = (flags & PKT_FLAG_NO_CHECK) == 0;
    if (checked)
        frame[PKT_OFFSET_HEADER_CHECK] =
            xor_checksum(frame + PKT_OFFSET_TYPE, PKT_CHECKED_HEADER_SIZE);
    if (length > 0)
        memcpy(frame + PKT_HEADER_SIZE, payload, length);
    if (checked) {
        put_be16(frame + PKT_HEADER_SIZE + length, frame_checksum(frame, length));
    }
    memcpy(frame + PKT_HEADER_SIZE + length + PKT_CHECK_SIZE, tail_magic, sizeof tail_magic);
}

bool data_xfer::packet_valid(const uint8_t *frame, size_t size) const {
    if (size < PKT_OVERHEAD) {
        log_print(ERROR, "packet of %zu bytes is shorter than the %zu-byte frame overhead.\n", size,
                  PKT_OVERHEAD);
        return false;
    }
    if (memcmp(frame, header_magic, sizeof header_magic) != 0) {
        log_print(ERROR,
                  "packet header not match.: [%02x | %02x | %02x | %02x | %02x | %02x] vs [%02x | "
                  "%02x | %02x | %02x | %02x | %02x]\n",
                  header_magic[0], header_magic[1], header_magic[2], header_magic[3],
                  header_magic[4], header_magic[5], frame[0], frame[1], frame[2], frame[3],
                  frame[4], frame[5]);
        return false;
    }
    uint32_t length = get_be32(frame + PKT_OFFSET_LENGTH);
    if (length > size - PKT_OVERHEAD) {
        log_print(ERROR, "packet length %u does not fit in the %zu-byte transfer.\n", length, size);
        return false;
    }
    const uint8_t *tail = frame + PKT_HEADER_SIZE + length + PKT_CHECK_SIZE;
    if (memcmp(tail, tail_magic, sizeof tail_magic) != 0) {
        log_print(ERROR,
                  "packet tail not match.: [%02x | %02x | %02x | %02x] vs [%02x | %02x | %02x | "
                  "%02x]\n",
                  tail_magic[0], tail_magic[1], tail_magic[2], tail_magic[3], tail[0], tail[1],
                  tail[2], tail[3]);
        return false;
    }
    if (frame[PKT_OFFSET_FLAGS] & PKT_FLAG_NO_CHECK)
        return true;

    uint8_t header_check = xor_checksum(frame + PKT_OFFSET_TYPE, PKT_CHECKED_HEADER_SIZE);
    if (header_check != frame[PKT_OFFSET_HEADER_CHECK]) {
        // Kept verbatim, misspelling included: readers of the log match this text.
        log_print(DEBUG, "packet header checksum fail, calulate %x, actaul %x.\n", header_check,
                  frame[PKT_OFFSET_HEADER_CHECK]);
        return false;
    }
    uint16_t computed = frame_checksum(frame, length);
    const uint8_t *check = frame + PKT_HEADER_SIZE + length;
    uint16_t received = get_be16(check);
    if (computed != received) {
        // Kept verbatim, misspelling included: readers of the log match this text.
        log_print(DEBUG, "packet total checksum fail, calulate %x, actaul %x.\n", computed,
                  received);
        return false;
    }
    return true;
}

// Groups are joined strictly in order. Whatever breaks that order drops data
// rather than deliver a torn message:
// - a frame with index 1 always opens a fresh group; an unfinished group it
//   replaces is dropped (its tail will never come);
// - a continuation with no open group, or one that is not the next index of the
//   open group's total, is dropped, and with it the open group;
// - a frame that would overflow the buffer sized by the first frame drops the group.
int data_xfer::packet_group_staging(const uint8_t *frame, packet_group *group) const {
    uint8_t total = frame[PKT_OFFSET_GROUP_TOTAL];
    uint8_t index = frame[PKT_OFFSET_GROUP_INDEX];
    uint32_t length = get_be32(frame + PKT_OFFSET_LENGTH);
    if (total == 0 || index == 0 || index > total) {
        log_print(ERROR, "group frame %u/%u has no place in a group, dropped.\n", index, total);
        return -1;
    }

    if (index == 1) {
        if (group->buffer != nullptr && !group->complete) {
            log_print(ERROR, "group left unfinished at frame %u/%u, dropped for a new group.\n",
                      group->next_index - 1, group->total);
            sdk_counters::count_device_drop();
            packet_group_release(group);
        }
        uint32_t capacity = length * total;
        // One byte at least, so an empty first frame still opens a group.
        uint8_t *buffer = static_cast<uint8_t *>(malloc(capacity > 0 ? capacity : 1));
        if (buffer == nullptr) {
            log_print(ERROR, "alloc buff fail: %s.\n", strerror(errno));
            return -1;
        }
        group->tag = get_be32(frame + PKT_OFFSET_TAG);
        group->first_index = 1;
        group->buffer = buffer;
        group->capacity = capacity;
        group->filled = 0;
        group->complete = 0;
        group->total = total;
        group->next_index = 1;
    } else if (group->buffer == nullptr) {
        log_print(ERROR, "group frame %u/%u without an open group, dropped.\n", index, total);
        return -1;
    }

    if (index != group->next_index || total != group->total) {
        log_print(ERROR, "group frame %u/%u out of order, expected %u/%u; group dropped.\n", index,
                  total, group->next_index, group->total);
        packet_group_release(group);
        return -1;
    }
    if (length > group->capacity - group->filled) {
        log_print(ERROR,
                  "group frame of %u bytes overflows the group buffer (%u of %u used); group "
                  "dropped.\n",
                  length, group->filled, group->capacity);
        packet_group_release(group);
        return -1;
    }

    if (length > 0)
        memcpy(group->buffer + group->filled, frame + PKT_HEADER_SIZE, length);
    group->filled += length;
    group->next_index = static_cast<uint8_t>(index + 1);
    if (index == total)
        group->complete = 1;
    return 0;
}

namespace {

// Marks the transport as busy handing a message up for as long as it lives.
class delivery_stamp {
public:
    explicit delivery_stamp(std::atomic<int64_t> &since) : since(since) {
        since.store(steady_now_ns());
    }
    ~delivery_stamp() { since.store(0); }
    delivery_stamp(const delivery_stamp &) = delete;
    delivery_stamp &operator=(const delivery_stamp &) = delete;

private:
    std::atomic<int64_t> &since;
};

} // namespace

void data_xfer::packet_receive(const uint8_t *transfer, size_t size, packet_group *group,
                               deliver_fn deliver, void *context) const {
    if (!packet_valid(transfer, size)) {
        sdk_counters::count_device_drop();
        return;
    }
    frames_received.fetch_add(1);
    if ((transfer[PKT_OFFSET_FLAGS] & PKT_FLAG_GROUP) == 0) {
        delivery_stamp busy(delivering_since_ns);
        deliver(context, const_cast<uint8_t *>(transfer + PKT_HEADER_SIZE),
                get_be32(transfer + PKT_OFFSET_LENGTH));
        return;
    }
    if (packet_group_staging(transfer, group) != 0) {
        sdk_counters::count_device_drop();
        return;
    }
    if (group->complete) {
        delivery_stamp busy(delivering_since_ns);
        deliver(context, group->buffer, group->filled);
        packet_group_release(group);
    }
}

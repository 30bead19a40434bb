// The transport interface and the frame format every byte to and from the device
// travels in: a 20-byte header, the payload, a 2-byte check and a 4-byte tail.
// Messages longer than one frame travel as groups of up to 255 frames.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

constexpr size_t PKT_HEADER_SIZE = 20;
constexpr size_t PKT_CHECK_SIZE = 2;
constexpr size_t PKT_TAIL_SIZE = 4;
constexpr size_t PKT_OVERHEAD = PKT_HEADER_SIZE + PKT_CHECK_SIZE + PKT_TAIL_SIZE;
constexpr size_t PKT_HEADER_MAGIC_SIZE = 6;
constexpr size_t PKT_MAGIC_SIZE = PKT_HEADER_MAGIC_SIZE + PKT_TAIL_SIZE;
constexpr unsigned PKT_MAX_GROUP_FRAMES = 255;

// Header field offsets.
constexpr size_t PKT_OFFSET_TYPE = 6;
constexpr size_t PKT_OFFSET_TAG = 7;
constexpr size_t PKT_OFFSET_FLAGS = 11;
constexpr size_t PKT_OFFSET_GROUP_TOTAL = 12;
constexpr size_t PKT_OFFSET_GROUP_INDEX = 13;
constexpr size_t PKT_OFFSET_RESERVED = 14;
constexpr size_t PKT_OFFSET_LENGTH = 15;
constexpr size_t PKT_OFFSET_HEADER_CHECK = 19;
// The header check covers type through length; the frame check starts there too.
constexpr size_t PKT_CHECKED_HEADER_SIZE = PKT_OFFSET_HEADER_CHECK - PKT_OFFSET_TYPE;

constexpr uint8_t PKT_FLAG_NO_CHECK = 0x01;
constexpr uint8_t PKT_FLAG_GROUP = 0x02;

// Reassembly state of one receiving channel. All zero while no group is open.
struct packet_group {
    uint32_t tag;
    uint32_t first_index;
    uint8_t *buffer;
    uint32_t capacity;
    uint32_t filled;
    uint8_t complete;
    // Frames the open group announced, and the index the next frame must carry.
    uint8_t total;
    uint8_t next_index;
};

// Events raised by a transport.
enum xfer_event : uint32_t {
    XFER_EVENT_ATTACH = 0,
    XFER_EVENT_DETACH = 1,
    XFER_EVENT_DATA = 2,
};

// Runs on the transport's event threads: attach and detach with (0, event, null, 0),
// data with the receiving channel's id and the payload, valid only during the call.
// It may create and destroy channels (inside attach and detach) and send; it must
// not block for long, since every transfer of the device waits behind it.
typedef void (*xfer_event_cb)(int32_t channel, uint32_t event, uint8_t *data, uint32_t len);

struct xfer_config {
    uint32_t kind;
    xfer_event_cb event_cb;
    uint32_t product_id;
    uint32_t vendor_id;
};

struct chan_config {
    uintptr_t kind;
    uint32_t endpoint_index;
    uint32_t from_device; // 1 receiving, 0 sending
    uint32_t transfer_size;
};

uint8_t xor_checksum(const uint8_t *bytes, size_t n);

// Frees the group's buffer and zeroes the record. Returns 0.
int packet_group_release(packet_group *group);

class data_xfer {
public:
    virtual ~data_xfer() = default;
    virtual int xfer_init(const xfer_config &config) = 0;
    virtual int xfer_deinit() = 0;
    virtual int xfer_start() = 0;
    // Returns the new channel's id, or -1. "chanel" is kept verbatim: callers and
    // the log know the channel functions by these names.
    virtual int xfer_chanel_create(const chan_config &config) = 0;
    virtual int xfer_chanel_destroy(int32_t id) = 0;
    // Queues length bytes as frames on a sending channel and returns at once; the
    // bytes are copied, so the caller may release them when the call returns.
    virtual int xfer_async_send(int32_t id, const uint8_t *data, size_t length) = 0;
    virtual int xfer_reserved_1() { return 0; }
    virtual int xfer_reserved_2() { return 0; }
    virtual int xfer_reserved_3() { return 0; }
    // 1 while no device is open, 0 while one is.
    virtual int xfer_is_detached() { return detached.load(); }
    // Valid frames received so far, on any channel. A long message shows life
    // frame by frame before it is whole. Any thread.
    uint64_t xfer_frames_received() const { return frames_received.load(); }
    // Steady-clock time (ns) at which the message being handed up began its
    // delivery, 0 while none is: a delivery that takes long keeps every later
    // message (the device's answers included) waiting behind it. Any thread.
    int64_t xfer_delivering_since_ns() const { return delivering_since_ns.load(); }
    virtual void xfer_print_ids() {}
    virtual void xfer_print_line() {}

    // Builds a frame of PKT_OVERHEAD + length bytes into frame.
    void packet_construct(uint8_t *frame, uint8_t type, uint32_t tag, uint8_t flags,
                          uint16_t group_word, uint8_t reserved, const uint8_t *payload,
                          uint32_t length) const;

    // True if the frame at the start of a received transfer of size bytes may be
    // used: magic, bounds and (unless PKT_FLAG_NO_CHECK) both checks.
    bool packet_valid(const uint8_t *frame, size_t size) const;

    // Adds a valid group frame to group. Returns 0, or -1 when the frame is dropped
    // (no memory, or it does not continue the open group; see the definition).
    int packet_group_staging(const uint8_t *frame, packet_group *group) const;

    // Receives one transfer: validates the frame at its start and hands up what
    // it completes, a lone frame's payload at once (in place) or a group when
    // its last frame is staged (then the group is released). deliver runs on the
    // calling thread; the data is valid only during the call.
    typedef void (*deliver_fn)(void *context, uint8_t *data, uint32_t length);
    void packet_receive(const uint8_t *transfer, size_t size, packet_group *group,
                        deliver_fn deliver, void *context) const;

protected:
    data_xfer();

    uint8_t header_magic[PKT_HEADER_MAGIC_SIZE];
    uint8_t tail_magic[PKT_TAIL_SIZE];
    // Written by the thread that handles attach and detach, read by every other.
    std::atomic<int> detached{1};
    mutable std::atomic<uint64_t> frames_received{0};
    mutable std::atomic<int64_t> delivering_since_ns{0};
    xfer_config config{};
};

// Creates a transport: kind 0 is the USB transport; any other kind gives null.
// The caller owns the result.
data_xfer *data_xfer_create(uint32_t kind);

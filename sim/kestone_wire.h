// The device's side of the wire, named once: message types, control codes, the
// frame and command layouts, the offsets of every record the virtual KestOne
// builds, and its byte-order helpers. Written apart from the host's code on
// purpose: the two sides check each other, so nothing here comes from sdk/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace kest_sim {

using byte_vector = std::vector<uint8_t>;

namespace wire {

// Byte order. Multi-byte fields of the frame, the command header, the buffer
// header and the IMU sample are big-endian; those of the records that follow
// (odometry, wiwc, device info, version, file chunk, points) are little-endian.

inline uint64_t get_be(const uint8_t *p, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < bytes; ++i)
        value = value << 8 | p[i];
    return value;
}

inline uint64_t get_le(const uint8_t *p, size_t bytes) {
    uint64_t value = 0;
    for (size_t i = bytes; i-- > 0;)
        value = value << 8 | p[i];
    return value;
}

inline void put_be(uint8_t *p, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * (bytes - 1 - i)));
}

inline void put_le(uint8_t *p, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i)
        p[i] = static_cast<uint8_t>(value >> (8 * i));
}

// The caller makes sure that bytes from at fit in out.
inline void put_be(byte_vector &out, size_t at, uint64_t value, size_t bytes) {
    put_be(out.data() + at, value, bytes);
}

inline void put_le(byte_vector &out, size_t at, uint64_t value, size_t bytes) {
    put_le(out.data() + at, value, bytes);
}

// IEEE 754 values, little-endian.
inline void put_le_f64(byte_vector &out, size_t at, double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    put_le(out, at, bits, sizeof bits);
}

inline void put_le_f32(byte_vector &out, size_t at, float value) {
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    put_le(out, at, bits, sizeof bits);
}

// A payload that is one little-endian value (an error code, a rate).
inline byte_vector le_bytes(uint64_t value, size_t bytes) {
    byte_vector out(bytes);
    put_le(out, 0, value, bytes);
    return out;
}

// Frame: head, header fields, their checksum, payload, a zero byte, the
// checksum of header fields and payload, tail. Checksums are XOR sums.
inline constexpr uint8_t frame_head[6] = {'l', 'q', 'n', 'b', 'm', '?'};
inline constexpr uint8_t frame_tail[4] = {'f', 'c', 'n', 'b'};
constexpr size_t frame_type_at = 6; // first byte under both checksums
constexpr size_t frame_tag_at = 7;  // 32 bits, the same in every frame of a group
constexpr size_t frame_flags_at = 11;
constexpr size_t frame_total_at = 12; // frames in the group
constexpr size_t frame_index_at = 13; // 1 for the first
constexpr size_t frame_reserved_at = 14;
constexpr size_t frame_length_at = 15;     // 32 bits: payload bytes in this frame
constexpr size_t frame_header_xor_at = 19; // of frame_type_at up to here
constexpr size_t frame_payload_at = 20;
constexpr size_t frame_pad_at(size_t length) {
    return frame_payload_at + length;
}
constexpr size_t frame_xor_at(size_t length) {
    return frame_pad_at(length) + 1;
}
constexpr size_t frame_tail_at(size_t length) {
    return frame_xor_at(length) + 1;
}
constexpr size_t frame_overhead = frame_tail_at(0) + sizeof frame_tail;
constexpr uint8_t frame_flag_unchecked = 0x01; // the host's: checksums not filled in
constexpr uint8_t frame_flag_group = 0x02;     // one of several frames of a message
static_assert(frame_overhead == 26, "a frame carries 26 bytes besides its payload");

// Command message: a header, then the payload.
constexpr size_t cmd_type_at = 0;     // 16 bits
constexpr size_t cmd_reserved_at = 2; // up to the length
constexpr size_t cmd_length_at = 19;  // 32 bits: payload bytes
constexpr size_t cmd_header_bytes = 23;
// The caller makes sure that message holds a whole header.
inline uint16_t message_type(const byte_vector &message) {
    return static_cast<uint16_t>(get_be(message.data() + cmd_type_at, 2));
}

inline uint32_t message_payload_length(const byte_vector &message) {
    return static_cast<uint32_t>(get_be(message.data() + cmd_length_at, 4));
}

// A control message's payload: the code, then (codes 30..33) a 32-bit argument.
constexpr size_t control_code_at = cmd_header_bytes;
constexpr size_t control_value_at = control_code_at + 2;

// Message types.
constexpr uint16_t type_cloud = 0, type_odometry = 1, type_imu = 2, type_image = 3, type_dtof = 6,
                   type_control = 7, type_heartbeat = 8, type_info = 11, type_ok = 15,
                   type_fail = 16, type_file = 17, type_hf_odometry = 18, type_wiwc = 21;

// Control codes.
constexpr uint16_t code_open = 1, code_close = 2, code_activate_dtof = 4, code_activate_image = 6,
                   code_start = 7, code_stop = 8, code_mode0 = 11, code_mode1 = 12, code_calib = 16,
                   code_activate_imu = 20, code_activate_odometry = 22, code_activate_slam = 24,
                   code_version = 27;
// The control code that activates the stream a message type belongs to (0 for none).
constexpr uint16_t activation_code_of(uint16_t type) {
    switch (type) {
    case type_cloud:
    case type_wiwc:
        return code_activate_slam;
    case type_odometry:
    case type_hf_odometry:
        return code_activate_odometry;
    case type_imu:
        return code_activate_imu;
    case type_image:
        return code_activate_image;
    case type_dtof:
        return code_activate_dtof;
    default:
        return 0;
    }
}
// Codes that set a value: IMU rate, accelerometer range, gyroscope range, depth.
constexpr uint16_t code_first_setting = 30, code_last_setting = 33;

// Buffer header, leading image, DTOF and SLAM cloud payloads.
constexpr size_t buffer_size_at = 0;    // 32 bits: bytes of the block after the header
constexpr size_t buffer_number_at = 4;  // 64 bits: frame or picture number
constexpr size_t buffer_time_at = 12;   // 64 bits: nanoseconds
constexpr size_t buffer_time2_at = 20;  // 64 bits: the device's second time stamp
constexpr size_t buffer_param1_at = 28; // 32 bits: width, columns or points
constexpr size_t buffer_param2_at = 32; // 32 bits: height, rows or 1
constexpr size_t buffer_header_bytes = 36;

// SLAM cloud points after the buffer header: seven 32-bit words each, x, y, z
// in 0.1 mm, r, g, b, and one the host does not read.
constexpr size_t cloud_point_words = 7;
constexpr size_t cloud_point_bytes = cloud_point_words * 4;

// The two DTOF payload forms after the buffer header: a block of block_bytes,
// the points, intensities (block_bytes), and in the four-entry form one more
// block of block_bytes starting dtof_max_points bytes after the intensities.
struct dtof_form {
    size_t payload_bytes;
    size_t block_bytes;
    size_t point_area;
    size_t point_bytes; // float32 x, y, z in millimetres (and one more float)
    size_t intensity_bytes;
};
constexpr size_t dtof_max_points = 49152;
constexpr dtof_form dtof_three = {1081380, 147456, 786432, 16, 2};
constexpr dtof_form dtof_four = {934948, 147968, 589824, 12, 1};
static_assert(dtof_three.payload_bytes ==
                  buffer_header_bytes + 2 * dtof_three.block_bytes + dtof_three.point_area,
              "three-entry DTOF form");
static_assert(dtof_four.payload_bytes == buffer_header_bytes + 2 * dtof_four.block_bytes +
                                             dtof_four.point_area + dtof_max_points,
              "four-entry DTOF form");

// Odometry and high-frequency odometry record.
constexpr size_t record_bytes = 688;          // odometry and wiwc alike
constexpr size_t odometry_time_at = 0;        // 64 bits: nanoseconds
constexpr size_t odometry_position_at = 8;    // three 64-bit values: micrometres
constexpr size_t odometry_quaternion_at = 32; // x, y, z, w, 64 bits each: millionths
// wiwc record: two 3 x 4 row-major float64 matrices [R | t].
constexpr size_t wiwc_time_at = 0; // 64 bits: nanoseconds
constexpr size_t wiwc_a_at = 112;
constexpr size_t wiwc_b_at = 400;

// IMU sample: six 64-bit values (accelerometer, gyroscope) scaled by 1e8, then
// the time stamp and the sample's number.
constexpr size_t imu_values_at = 0;
constexpr size_t imu_time_at = 48;
constexpr size_t imu_number_at = 56;
constexpr size_t imu_payload_bytes = 64;

// Device info: a status record whose fields from offset 8 on sit 4 bytes further
// into the payload (payload bytes 8..11 are not part of the record). The
// offsets below are the record's; info_payload_at places them.
constexpr size_t info_payload_bytes = 104;
constexpr size_t info_gap_at = 8, info_gap_bytes = 4;
constexpr size_t info_payload_at(size_t record_offset) {
    return record_offset < info_gap_at ? record_offset : record_offset + info_gap_bytes;
}
constexpr size_t info_temperatures_at = 0; // package, cpu, centre, gpu, npu: 32 bits each
constexpr size_t info_core_loads_at = 20;  // eight cores, percent, 32 bits each
constexpr size_t info_ram_at = 52;         // percent
constexpr size_t info_image_rate_at = 56;  // configured, then sent: millihertz
constexpr size_t info_dtof_rate_at = 64;   // configured, then sent
constexpr size_t info_dtof_subframe_rate_at = 72;
constexpr size_t info_transmitter_temp_at = 76; // 16 bits, degrees C
constexpr size_t info_receiver_temp_at = 78;    // 16 bits, degrees C
constexpr size_t info_imu_rate_at = 80;         // configured, then sent
constexpr size_t info_cloud_rate_at = 88;
constexpr size_t info_slam_odometry_rate_at = 92;
constexpr size_t info_hf_odometry_rate_at = 96;

// Version record: five entries (kernel, mcu, soc app, daemon, slam) of three
// 32-bit numbers, then the iq MD5 text.
constexpr size_t version_record_bytes = 156;
constexpr size_t version_entries = 5;
constexpr size_t version_entry_bytes = 24;
constexpr size_t version_iq_md5_at = 120;

// Calibration file chunk: sizes and offset, the MD5 text, then the data.
constexpr size_t chunk_total_at = 8;   // 64 bits: bytes of the whole file
constexpr size_t chunk_offset_at = 16; // 64 bits: where this chunk's data goes
constexpr size_t chunk_size_at = 24;   // 32 bits: data bytes in this chunk
constexpr size_t chunk_md5_at = 28;
constexpr size_t chunk_data_at = 445;
constexpr size_t chunk_data_area = 3145728;
constexpr size_t chunk_bytes = chunk_data_at + chunk_data_area;
static_assert(chunk_bytes == 3146173, "a file chunk is 3146173 bytes");

} // namespace wire

} // namespace kest_sim

// The device layer's one set of byte-order helpers: big-endian for frames,
// command messages and buffer headers, little-endian for the device's payload
// records and the layer's own synchronizer samples. Every field of the wire is
// read and written through these; nobody spells out shifts elsewhere.
#pragma once

#include <cstdint>
#include <cstring>

inline uint16_t get_be16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

inline uint32_t get_be32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

inline uint64_t get_be64(const uint8_t *p) {
    return static_cast<uint64_t>(get_be32(p)) << 32 | get_be32(p + 4);
}

inline int64_t get_be64s(const uint8_t *p) {
    return static_cast<int64_t>(get_be64(p));
}

inline void put_be16(uint8_t *p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

inline void put_be32(uint8_t *p, uint32_t value) {
    p[0] = static_cast<uint8_t>(value >> 24);
    p[1] = static_cast<uint8_t>(value >> 16);
    p[2] = static_cast<uint8_t>(value >> 8);
    p[3] = static_cast<uint8_t>(value);
}

inline uint16_t get_le16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline int16_t get_le16s(const uint8_t *p) {
    return static_cast<int16_t>(get_le16(p));
}

inline uint32_t get_le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline int32_t get_le32s(const uint8_t *p) {
    return static_cast<int32_t>(get_le32(p));
}

inline uint64_t get_le64(const uint8_t *p) {
    return static_cast<uint64_t>(get_le32(p)) | static_cast<uint64_t>(get_le32(p + 4)) << 32;
}

inline int64_t get_le64s(const uint8_t *p) {
    return static_cast<int64_t>(get_le64(p));
}

// An IEEE 754 single in little-endian order.
inline float get_le_float(const uint8_t *p) {
    uint32_t bits = get_le32(p);
    float value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

// An IEEE 754 double in little-endian order.
inline double get_le_double(const uint8_t *p) {
    uint64_t bits = get_le64(p);
    double value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

inline void put_le16(uint8_t *p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

inline void put_le32(uint8_t *p, uint32_t value) {
    put_le16(p, static_cast<uint16_t>(value));
    put_le16(p + 2, static_cast<uint16_t>(value >> 16));
}

inline void put_le64(uint8_t *p, uint64_t value) {
    put_le32(p, static_cast<uint32_t>(value));
    put_le32(p + 4, static_cast<uint32_t>(value >> 32));
}

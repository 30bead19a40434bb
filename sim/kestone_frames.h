// The device's side of the frame format, written apart from the host's code so
// that a fault shared by builder and parser cannot hide: frames for IN
// transfers, and reassembly of the host's OUT transfers into messages.
#pragma once

#include "sim/kestone_wire.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kest_sim {

// How the device shapes its frames, beyond what the host relies on: all of it
// within the frame format, none of it what the host itself sends.
struct frame_style {
    // The reserved bytes of frame and command headers (and the frame's type)
    // not zero, and each frame followed by filler (up to 4 KiB, within the transfer).
    bool reserved_noise = false;
    // Frames flagged as carrying no checksums, their checksum bytes left as garbage.
    bool unchecked = false;
    // A group's frames carry at most this many payload bytes (more when a
    // group would need over 255), so that messages that would fit one frame
    // come as groups of small frames; 0: as many as fit.
    size_t group_frame_bytes = 0;
};

// The frames of one message for transfers of transfer_size bytes: one frame
// each, a group when the message does not fit in one (or style asks for small ones).
std::vector<byte_vector> device_frames(const byte_vector &message, size_t transfer_size,
                                       uint32_t tag, const frame_style &style = {});
// How many frames device_frames makes of a message of message_size bytes.
size_t frames_needed(size_t message_size, size_t transfer_size, const frame_style &style = {});

// A command header followed by payload.
byte_vector device_message(uint16_t type, const byte_vector &payload = {});

// Collects the host's frames into messages. Bad frames are counted and dropped.
class host_frame_reader {
public:
    // Takes one OUT transfer; returns true and fills message when it completes one.
    bool take(const uint8_t *transfer, size_t length, byte_vector &message);
    uint64_t bad_frames() const { return bad; }

private:
    byte_vector group;
    unsigned group_total = 0;
    unsigned next_index = 0;
    uint64_t bad = 0;
};

} // namespace kest_sim

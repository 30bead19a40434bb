// The camera picture decoder of the stream decoding (app/stream_decoding.h):
// an image record's entry becomes an 8-bit BGR picture for the preview and,
// while recording, an image record for the recorder.
#pragma once

#include "sdk/api/api.h"

#include <opencv2/core.hpp>

#include <atomic>
#include <cstdint>
#include <vector>

namespace StreamDecoding {

// A camera picture (type 2), and its image record when one was asked for.
struct DecodedImage {
    cv::Mat image; // BGR, 8 bits, 3 channels, newly allocated; empty if decoding failed
    std::vector<uint8_t> record; // empty unless imageSeq was given
};

// The picture of an image entry: NV12 when its size is exactly width x height
// x 3 / 2 (even, non-zero dimensions), otherwise a JPEG file. With imageSeq, the
// image record, numbered from imageSeq, carries a JPEG file: the NV12 picture
// encoded at quality 80, or the entry's own bytes, recorded even when they
// cannot be decoded. Image library errors count as a failed decode.
DecodedImage decodeImage(const lidar_stream_entry_t &entry,
                         std::atomic<uint32_t> *imageSeq = nullptr);

} // namespace StreamDecoding

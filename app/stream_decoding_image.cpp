// The camera picture decoder (see the header).
#include "app/stream_decoding_image.h"

#include "app/stream_decoding_input.h"
#include "recording/record_layout.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <climits>
#include <cstring>

namespace StreamDecoding {

namespace {

// Image: NV12 holds a full luma plane and half as much interleaved chroma.
constexpr uint64_t nv12_bytes_per_2_pixels = 3;
constexpr int image_record_jpeg_quality = 80;
constexpr double nanoseconds_per_second = 1e9;
// Every JPEG file starts with its start-of-image marker and the next marker.
constexpr uint8_t jpeg_start_of_image[] = {0xFF, 0xD8, 0xFF};

} // namespace

DecodedImage decodeImage(const lidar_stream_entry_t &entry, std::atomic<uint32_t> *imageSeq) {
    DecodedImage result;
    uint32_t width = entry.param1;
    uint32_t height = entry.param2;
    if (bytesPresent(entry) == 0) {
        log_drop(DropKind::Image,
                 "image entry of %u x %u pixels holds none of its %u bytes; dropped", width, height,
                 entry.size);
        return result;
    }
    double seconds = static_cast<double>(entry.timestamp + RECORDED_IMAGE_TIME_OFFSET_NS) /
                     nanoseconds_per_second;

    // In 64 bits: a product that wraps in 32 must not pass for a small frame.
    uint64_t pixels = static_cast<uint64_t>(width) * height;
    bool nv12 = pixels <= UINT32_MAX && pixels * nv12_bytes_per_2_pixels / 2 == entry.size;
    if (nv12) {
        // Once both are even (so at least 2), each side is at most size / 3
        // and fits an int.
        if (width % 2 != 0 || height % 2 != 0) {
            log_drop(DropKind::Image, "nv12 image of %u x %u pixels has an odd dimension; dropped",
                     width, height);
            return result;
        }
        try {
            // The library only reads the wrapped bytes.
            cv::Mat yuv(static_cast<int>(height / 2 * 3), static_cast<int>(width), CV_8UC1,
                        const_cast<uint8_t *>(entry.data));
            cv::cvtColor(yuv, result.image, cv::COLOR_YUV2BGR_NV12);
        } catch (const cv::Exception &error) {
            result.image.release();
            log_drop(DropKind::Image,
                     "nv12 image of %u x %u pixels could not be converted (%s); dropped", width,
                     height, error.err.c_str());
            return result;
        }
        if (imageSeq != nullptr) {
            std::vector<uint8_t> jpeg;
            bool encoded = false;
            try {
                encoded = cv::imencode(".jpg", result.image, jpeg,
                                       {cv::IMWRITE_JPEG_QUALITY, image_record_jpeg_quality});
            } catch (const cv::Exception &) {
                encoded = false;
            }
            if (encoded && jpeg.size() <= UINT32_MAX)
                result.record = buildImageRecord(imageSeq->fetch_add(1), seconds, jpeg.data(),
                                                 static_cast<uint32_t>(jpeg.size()));
            else
                log_drop(DropKind::Image,
                         "nv12 image of %u x %u pixels could not be encoded for the recording; "
                         "record dropped",
                         width, height);
        }
        return result;
    }

    // A JPEG file. Recorded as received, even if it cannot be decoded.
    if (imageSeq != nullptr)
        result.record = buildImageRecord(imageSeq->fetch_add(1), seconds, entry.data, entry.size);
    if (entry.size > static_cast<uint32_t>(INT_MAX)) {
        log_drop(DropKind::Image, "jpeg image of %u bytes is too large to decode; dropped",
                 entry.size);
        return result;
    }
    // Only a JPEG file reaches the library: it would try every format it
    // knows on anything else.
    bool jpeg = entry.size >= sizeof jpeg_start_of_image &&
                memcmp(entry.data, jpeg_start_of_image, sizeof jpeg_start_of_image) == 0;
    try {
        if (jpeg) {
            // The library only reads the wrapped bytes.
            cv::Mat bytes(1, static_cast<int>(entry.size), CV_8UC1,
                          const_cast<uint8_t *>(entry.data));
            result.image = cv::imdecode(bytes, cv::IMREAD_COLOR);
        }
    } catch (const cv::Exception &) {
        result.image.release();
    }
    if (result.image.empty())
        log_drop(DropKind::Image,
                 "jpeg image of %u bytes (%u x %u pixels announced) could not be decoded; "
                 "dropped",
                 entry.size, width, height);
    return result;
}

} // namespace StreamDecoding

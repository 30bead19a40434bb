// The device status printout (see the header): the device info record's
// fields, named once here, and the lines that show them.
#include "app/stream_decoding_device_info.h"

#include "app/stream_decoding_input.h"
#include "sdk/logger/console.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

namespace StreamDecoding {

namespace {

// Device info: little-endian int32 fields, but the two DTOF temperatures.
constexpr uint32_t device_info_record_bytes = 100;
constexpr size_t info_package_temp = 0;
constexpr size_t info_cpu_temp = 4;
constexpr size_t info_center_temp = 8;
constexpr size_t info_gpu_temp = 12;
constexpr size_t info_npu_temp = 16;
constexpr size_t info_cpu_use_rate = 20; // 8 cores
constexpr int info_cpu_cores = 8;
constexpr size_t info_ram_use_rate = 52;
constexpr size_t info_rgb_configured_odr = 56;
constexpr size_t info_rgb_tx_odr = 60;
constexpr size_t info_dtof_configured_odr = 64;
constexpr size_t info_dtof_tx_odr = 68;
constexpr size_t info_dtof_subframe_odr = 72;
constexpr size_t info_dtof_txtemp = 76; // int16
constexpr size_t info_dtof_rxtemp = 78; // int16
constexpr size_t info_imu_configured_odr = 80;
constexpr size_t info_imu_tx_odr = 84;
constexpr size_t info_slam_cloud_tx_odr = 88;
constexpr size_t info_slam_odom_tx_odr = 92;
constexpr size_t info_slam_odom_highfreq_tx_odr = 96;
static_assert(info_slam_odom_highfreq_tx_odr + 4 == device_info_record_bytes,
              "the device info record is 100 bytes");
constexpr float millihertz_per_hertz = 1000.0f;
constexpr size_t device_info_rule_width = 42;
constexpr size_t device_info_text_capacity = 2048;
constexpr size_t device_info_line_capacity = 256; // the longest line is under 100

void append_text(std::string &text, const char *format, ...) __attribute__((format(printf, 2, 3)));

void append_text(std::string &text, const char *format, ...) {
    char line[device_info_line_capacity];
    va_list args;
    va_start(args, format);
    int written = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (written > 0)
        text.append(line, std::min(static_cast<size_t>(written), sizeof line - 1));
}

// A device rate: signed millihertz to hertz in float arithmetic, as printed.
double hertz(const uint8_t *field) {
    return static_cast<double>(static_cast<float>(get_le32s(field)) / millihertz_per_hertz);
}

} // namespace

bool printDeviceInfo(const lidar_stream_entry_t &entry) {
    if (bytesPresent(entry) < device_info_record_bytes) {
        log_drop(DropKind::DeviceInfo, "device info entry holds %u of its %u bytes; dropped",
                 bytesPresent(entry), device_info_record_bytes);
        return false;
    }
    const uint8_t *d = entry.data;
    // The lines, spacing and "HZ" included, are kept verbatim: readers of standard
    // output rely on them. Printed in one piece, so that no other line lands in
    // the middle.
    std::string text;
    text.reserve(device_info_text_capacity);
    append_text(text, "\n [dev_info] [soc_thermal]: package_temp:%dC \n",
                get_le32s(d + info_package_temp));
    append_text(text, "\n [dev_info] [soc_thermal]: cpu:%dC \n", get_le32s(d + info_cpu_temp));
    append_text(text, "\n [dev_info] [soc_thermal]: center_temp:%dC \n",
                get_le32s(d + info_center_temp));
    append_text(text, "\n [dev_info] [soc_thermal]: gpu_temp:%dC \n", get_le32s(d + info_gpu_temp));
    append_text(text, "\n [dev_info] [soc_thermal]: npu_temp:%dC \n", get_le32s(d + info_npu_temp));
    for (int core = 0; core < info_cpu_cores; ++core)
        append_text(text, "\n [dev_info] [cpu]: cpu_use_rate-core[%d]:%d%% \n", core,
                    get_le32s(d + info_cpu_use_rate + 4 * static_cast<size_t>(core)));
    append_text(text, "\n [dev_info] [cpu]: ram_use_rate:%d%% \n",
                get_le32s(d + info_ram_use_rate));
    append_text(text, "\n [dev_info] [rgb]: configured_odr: %.2f HZ, tx_odr: %.2f HZ \n",
                hertz(d + info_rgb_configured_odr), hertz(d + info_rgb_tx_odr));
    append_text(text, "\n [dev_info] [dtof]: configured_odr: %.2f HZ, tx_odr: %.2f HZ \n",
                hertz(d + info_dtof_configured_odr), hertz(d + info_dtof_tx_odr));
    append_text(text, "\n [dev_info] [dtof]: subframe_odr: %.2f \n",
                hertz(d + info_dtof_subframe_odr));
    append_text(text, "\n [dev_info] [dtof]: txtemp:%dC, rxtemp:%dC \n",
                static_cast<int>(get_le16s(d + info_dtof_txtemp)),
                static_cast<int>(get_le16s(d + info_dtof_rxtemp)));
    append_text(text, "\n [dev_info] [imu]: configured_odr: %.2f HZ, tx_odr: %.2f HZ\n",
                hertz(d + info_imu_configured_odr), hertz(d + info_imu_tx_odr));
    append_text(text, "\n [dev_info] [slam]: slam_cloud_tx_odr: %.2f HZ \n",
                hertz(d + info_slam_cloud_tx_odr));
    append_text(text, "\n [dev_info] [slam]: slam_odom_tx_odr: %.2f HZ \n",
                hertz(d + info_slam_odom_tx_odr));
    append_text(text, "\n [dev_info] [slam]: slam_odom_highfreq_tx_odr: %.2f HZ \n",
                hertz(d + info_slam_odom_highfreq_tx_odr));
    text += '\n';
    text.append(device_info_rule_width, '-');
    text += '\n';
    console_print("%s", text.c_str());
    return true;
}

} // namespace StreamDecoding

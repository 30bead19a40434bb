// The dispatcher: unsolicited messages and events become attach notifications,
// stream records for the callback queue, and samples for the SLAM synchronizer.
#include "sdk/api/api_context.h"
#include "sdk/api/stream_layout.h"
#include "sdk/common/byte_order.h"
#include "sdk/common/stats/counters.h"
#include "sdk/common/thread/thread.h"
#include "sdk/logger/logger.h"

#include <cstring>

namespace {

// IMU payload: six big-endian signed 64-bit values scaled by 1e8, then two words.
constexpr size_t imu_payload_bytes = 64;
constexpr size_t imu_value_count = 6;
constexpr size_t imu_word_offset = imu_value_count * 8;
// Device info: the record is the payload less its bytes 8 to 11.
constexpr size_t device_info_payload_bytes = 104;
constexpr size_t device_info_record_bytes = 100;
constexpr size_t device_info_head_bytes = 8;
constexpr size_t device_info_skipped_bytes = 4;
constexpr float imu_scale = 100000000.0f;
constexpr uint32_t dtof_three_entry_len = 1081380;
constexpr uint32_t dtof_four_entry_len = 934948;
constexpr uint32_t dtof_depth_bytes_3 = 786432;
constexpr uint32_t dtof_depth_bytes_4 = 589824;
constexpr uint32_t dtof_fourth_offset = 49152;

// Checks a payload against the bytes its type needs; logs and refuses otherwise.
bool long_enough(int type, uint32_t payload_len, size_t needed, log_origin origin) {
    if (payload_len >= needed)
        return true;
    log_print_from(origin, ERROR,
                   "message type %d of %u payload bytes is too short, %zu needed; dropped.\n", type,
                   payload_len, needed);
    sdk_counters::count_device_drop();
    return false;
}

// Entry 0 from a buffer_header; false (logged) if the header or its buffer does not fit.
bool entry_from_header(int type, const uint8_t *payload, uint32_t payload_len,
                       lidar_stream_entry_t &entry, log_origin origin) {
    if (!long_enough(type, payload_len, BUFFER_HEADER_BYTES, origin))
        return false;
    read_buffer_header(payload, entry);
    entry.data = payload + BUFFER_HEADER_BYTES;
    return long_enough(type, payload_len, BUFFER_HEADER_BYTES + static_cast<size_t>(entry.size),
                       origin);
}

void push_to_synchronizer(size_t stream, int64_t timestamp, const uint8_t *data, size_t size) {
    sdk_context &ctx = context();
    std::lock_guard<std::mutex> lock(ctx.sync_mutex);
    const bool refused =
        !ctx.synchronizer || ctx.synchronizer->push(stream, timestamp, data, size, 0) != 0;
    if (refused && stream == SLAM_STREAM_CLOUD)
        sdk_counters::count_cloud_drops(1);
}

void deliver_one(uint32_t type, const lidar_stream_entry_t &entry) {
    lidar_stream_data_t record{};
    record.type = type;
    record.count = 1;
    record.entries[0] = entry;
    deliver_record(&record);
}

void slam_cloud(const uint8_t *payload, uint32_t payload_len, log_origin origin) {
    lidar_stream_entry_t entry{};
    if (!entry_from_header(CMD_SLAM_CLOUD, payload, payload_len, entry, origin))
        return; // counted as a device drop
    if (entry.size == 0) {
        sdk_counters::count_cloud_drops(1);
        return;
    }
    std::vector<uint8_t> sample(SLAM_SAMPLE_HEADER_BYTES + entry.size);
    write_slam_sample_header(sample.data(), entry);
    memcpy(sample.data() + SLAM_SAMPLE_HEADER_BYTES, entry.data, entry.size);
    push_to_synchronizer(SLAM_STREAM_CLOUD, static_cast<int64_t>(entry.timestamp), sample.data(),
                         sample.size());
}

// Odometry, high-frequency odometry and wiwc: a 688-byte record, its first 8
// bytes a little-endian time stamp.
void pose_record(int type, uint32_t stream_type, const uint8_t *payload, uint32_t payload_len,
                 log_origin origin) {
    if (!long_enough(type, payload_len, STREAM_RECORD_BYTES, origin))
        return;
    lidar_stream_entry_t entry{};
    entry.size = STREAM_RECORD_BYTES;
    entry.data = payload;
    deliver_one(stream_type, entry);
    int64_t timestamp = get_le64s(payload);
    if (type == CMD_WIWC) {
        sdk_context &ctx = context();
        std::lock_guard<std::mutex> lock(ctx.wiwc_mutex);
        memcpy(ctx.latest_wiwc, payload, STREAM_RECORD_BYTES);
        ctx.wiwc_valid = true;
    }
    if (type == CMD_ODOMETRY)
        push_to_synchronizer(SLAM_STREAM_ODOMETRY, timestamp, payload, STREAM_RECORD_BYTES);
    else if (type == CMD_WIWC)
        push_to_synchronizer(SLAM_STREAM_WIWC, timestamp, payload, STREAM_RECORD_BYTES);
}

void imu_sample(const uint8_t *payload, uint32_t payload_len, log_origin origin) {
    if (!long_enough(CMD_IMU, payload_len, imu_payload_bytes, origin))
        return;
    lidar_imu_record_t imu{};
    for (size_t i = 0; i < imu_value_count; ++i)
        imu.values[i] = static_cast<float>(get_be64s(payload + 8 * i)) / imu_scale;
    imu.words[0] = get_be64(payload + imu_word_offset);
    imu.words[1] = get_be64(payload + imu_word_offset + 8);
    lidar_stream_entry_t entry{};
    entry.size = sizeof imu;
    entry.data = reinterpret_cast<const uint8_t *>(&imu);
    deliver_one(LIDAR_STREAM_IMU, entry);
}

void device_info(const uint8_t *payload, uint32_t payload_len, log_origin origin) {
    if (!long_enough(CMD_DEVICE_INFO, payload_len, device_info_payload_bytes, origin))
        return;
    uint8_t record[device_info_record_bytes];
    memcpy(record, payload, device_info_head_bytes);
    memcpy(record + device_info_head_bytes,
           payload + device_info_head_bytes + device_info_skipped_bytes,
           device_info_record_bytes - device_info_head_bytes);
    lidar_stream_entry_t entry{};
    entry.size = sizeof record;
    entry.data = record;
    deliver_one(LIDAR_STREAM_DEVICE_INFO, entry);
}

void dtof_frame(const uint8_t *payload, uint32_t payload_len, log_origin origin) {
    bool three = payload_len == dtof_three_entry_len, four = payload_len == dtof_four_entry_len;
    if (!three && !four) {
        log_print_from(origin, ERROR,
                       "dtof frame of %u payload bytes has no known layout (%u or %u); dropped.\n",
                       payload_len, dtof_three_entry_len, dtof_four_entry_len);
        sdk_counters::count_device_drop();
        return;
    }
    lidar_stream_data_t record{};
    record.type = LIDAR_STREAM_DTOF;
    lidar_stream_entry_t &first = record.entries[0];
    if (!entry_from_header(CMD_DTOF, payload, payload_len, first, origin))
        return;
    uint32_t s = first.size;
    uint32_t depth = three ? dtof_depth_bytes_3 : dtof_depth_bytes_4;
    // Every entry must lie inside the payload: the last one ends here.
    size_t end =
        BUFFER_HEADER_BYTES + 2 * static_cast<size_t>(s) + depth + (four ? dtof_fourth_offset : 0);
    if (end > payload_len) {
        log_print_from(origin, ERROR,
                       "dtof frame entries end at byte %zu of a %u-byte payload; dropped.\n", end,
                       payload_len);
        sdk_counters::count_device_drop();
        return;
    }
    record.count = three ? 3 : 4;
    for (uint32_t i = 1; i < record.count; ++i)
        record.entries[i] = first;
    record.entries[1].size = depth;
    record.entries[1].data = first.data + s;
    record.entries[2].size = s;
    record.entries[2].data = first.data + s + depth;
    if (four) {
        record.entries[3].size = s;
        record.entries[3].data = first.data + s + depth + dtof_fourth_offset;
    }
    deliver_record(&record);
}

void image(const uint8_t *payload, uint32_t payload_len, log_origin origin) {
    lidar_stream_entry_t entry{};
    if (entry_from_header(CMD_IMAGE, payload, payload_len, entry, origin))
        deliver_one(LIDAR_STREAM_IMAGE, entry);
}

// Set on a notification thread: de-initialisation called from inside an
// attach callback cannot wait for that callback.
thread_local bool on_notification_thread = false;

void notify_in_turn(lidar_attach_cb callback, bool attached, uint64_t ticket) {
    on_notification_thread = true;
    sdk_context &ctx = context();
    {
        // Only the application's own callback can hold this up; say so rather
        // than wait in silence.
        std::unique_lock<std::mutex> lock(ctx.notify_mutex);
        auto my_turn = [&] { return ctx.notify_done == ticket; };
        int waited = 0;
        while (!ctx.notify_turn.wait_for(lock, std::chrono::seconds(10), my_turn)) {
            waited += 10;
            log_print(WARN, "attach notification has waited %d s for the callback before it.\n",
                      waited);
        }
    }
    lidar_device_info_t info{};
    callback(&info, attached);
    std::lock_guard<std::mutex> lock(ctx.notify_mutex);
    ++ctx.notify_done;
    ctx.notify_turn.notify_all();
}

// Tells the application on a thread of its own: its handling makes blocking
// requests, which could never be answered on this (transport or heartbeat) thread.
// Each thread waits for the one before it, so the application sees attach and
// detach alternate as they happened.
void notify_application(bool attached) {
    sdk_context &ctx = context();
    lidar_attach_cb callback = ctx.attach_callback.load();
    if (callback == nullptr)
        return;
    std::lock_guard<std::mutex> lock(ctx.notify_mutex);
    uint64_t ticket = ctx.notify_issued;
    try {
        std::thread([callback, attached, ticket] {
            set_os_thread_name(attached ? "lidar_attach" : "lidar_detach");
            notify_in_turn(callback, attached, ticket);
        }).detach();
        ++ctx.notify_issued;
    } catch (const std::exception &error) {
        log_print(ERROR, "attach notification thread create fail: %s\n", error.what());
    }
}

} // namespace

void cmd_data_deal(uint8_t *msg, void *) {
    uint16_t type = get_be16(msg);
    uint32_t payload_len = cmd_payload_len(msg);
    const uint8_t *payload = msg + CMD_HEADER_SIZE;
    switch (type) {
    case CMD_SLAM_CLOUD:
        slam_cloud(payload, payload_len, LOG_ORIGIN);
        break;
    case CMD_ODOMETRY:
        pose_record(type, LIDAR_STREAM_ODOMETRY, payload, payload_len, LOG_ORIGIN);
        break;
    case CMD_IMU:
        imu_sample(payload, payload_len, LOG_ORIGIN);
        break;
    case CMD_IMAGE:
        image(payload, payload_len, LOG_ORIGIN);
        break;
    case CMD_ATTACH:
        log_print(DEBUG, "device attach.\n");
        break;
    case CMD_DETACH:
        // Kept verbatim, misspelling included: readers of the log match this text.
        log_print(DEBUG, "device dettach.\n");
        notify_application(false);
        break;
    case CMD_DTOF:
        dtof_frame(payload, payload_len, LOG_ORIGIN);
        break;
    case CMD_SOFT_ATTACH:
        log_print(DEBUG, "device soft attach.\n");
        notify_application(true);
        break;
    case CMD_SOFT_DETACH:
        // Kept verbatim, misspelling included: readers of the log match this text.
        log_print(DEBUG, "device soft dettach.\n");
        notify_application(false);
        break;
    case CMD_DEVICE_INFO:
        device_info(payload, payload_len, LOG_ORIGIN);
        break;
    case CMD_OK:
        log_print(ERROR, "missed ok response from device. probably wrong interaction procedure.\n");
        break;
    case CMD_FAIL:
        log_print(ERROR,
                  "missed fail response from device. probably wrong interaction procedure.\n");
        break;
    case CMD_HF_ODOMETRY:
        pose_record(type, LIDAR_STREAM_HF_ODOMETRY, payload, payload_len, LOG_ORIGIN);
        break;
    case CMD_RESERVED_19:
        break;
    case CMD_WIWC:
        pose_record(type, LIDAR_STREAM_WIWC, payload, payload_len, LOG_ORIGIN);
        break;
    default:
        // Kept verbatim, misspelling included: readers of the log match this text.
        log_print(ERROR, "unknow command code %d.\n", type);
        break;
    }
}

void deliver_record(const lidar_stream_data_t *record) {
    sdk_context &ctx = context();
    std::lock_guard<std::mutex> lock(ctx.device_mutex);
    lidar_device_t *device = ctx.current_device;
    // A record made after its device handle went (a cloud the synchronizer
    // matched during the detach) never reaches the application: counted.
    if (device == nullptr)
        sdk_counters::count_callback_drop();
    else if (device->stream_callback != nullptr)
        enqueue_callback_data(device->stream_callback, record, device->stream_context, device);
}

void enqueue_callback_data(lidar_stream_cb callback, const lidar_stream_data_t *record, void *user,
                           const lidar_device_t *owner) {
    sdk_context &ctx = context();
    if (callback == nullptr || !ctx.callback_running)
        return;
    callback_item item{callback, *record, user, {}, owner};
    item.record.count = std::min(item.record.count, LIDAR_MAX_ENTRIES);
    for (uint32_t i = 0; i < item.record.count; ++i) {
        const lidar_stream_entry_t &entry = record->entries[i];
        if (entry.data != nullptr && entry.size != 0)
            item.copies.emplace_back(entry.data, entry.data + entry.size);
        else
            item.copies.emplace_back();
    }
    {
        std::lock_guard<std::mutex> lock(ctx.queue_mutex);
        if (ctx.queue.size() >= CALLBACK_QUEUE_CAPACITY) {
            ctx.queue.pop_front();
            sdk_counters::count_callback_drop();
            log_print(WARN, "Callback queue full (%zu), dropping oldest\n",
                      CALLBACK_QUEUE_CAPACITY);
        }
        ctx.queue.push_back(std::move(item));
    }
    ctx.queue_cond.notify_one();
}

namespace {

void callback_loop() {
    set_os_thread_name("lidar_callback");
    sdk_context &ctx = context();
    {
        std::lock_guard<std::mutex> lock(ctx.queue_mutex);
        ctx.callback_thread_id = std::this_thread::get_id();
    }
    for (;;) {
        callback_item item;
        {
            std::unique_lock<std::mutex> lock(ctx.queue_mutex);
            ctx.queue_cond.wait(lock, [&] { return !ctx.queue.empty() || !ctx.callback_running; });
            if (ctx.queue.empty())
                return;
            item = std::move(ctx.queue.front());
            ctx.queue.pop_front();
            ctx.delivering = item.owner;
        }
        lidar_stream_data_t record = item.record;
        for (uint32_t i = 0; i < record.count; ++i)
            record.entries[i].data = item.copies[i].empty() ? nullptr : item.copies[i].data();
        item.callback(&record, item.context);
        {
            std::lock_guard<std::mutex> lock(ctx.queue_mutex);
            ctx.delivering = nullptr;
        }
        ctx.queue_cond.notify_all();
        if (!ctx.callback_running)
            return;
    }
}

} // namespace

void wait_for_notifications() {
    if (on_notification_thread)
        return;
    sdk_context &ctx = context();
    std::unique_lock<std::mutex> lock(ctx.notify_mutex);
    auto all_done = [&] { return ctx.notify_done == ctx.notify_issued; };
    int waited = 0;
    while (!ctx.notify_turn.wait_for(lock, std::chrono::seconds(10), all_done)) {
        waited += 10;
        log_print(WARN, "de-initialisation has waited %d s for the attach callbacks.\n", waited);
    }
}

int start_callback_thread(log_origin origin) {
    sdk_context &ctx = context();
    ctx.callback_running.exchange(true);
    try {
        ctx.callback_thread = std::thread(callback_loop);
    } catch (const std::exception &error) {
        ctx.callback_running.exchange(false);
        log_print_from(origin, ERROR, "callback thread create fail: %s\n", error.what());
        return -1;
    }
    return 0;
}

void stop_callback_thread() {
    sdk_context &ctx = context();
    {
        std::lock_guard<std::mutex> lock(ctx.queue_mutex);
        ctx.callback_running.exchange(false);
    }
    ctx.queue_cond.notify_all();
    if (ctx.callback_thread.joinable())
        ctx.callback_thread.join();
    std::lock_guard<std::mutex> lock(ctx.queue_mutex);
    for (size_t i = 0; i < ctx.queue.size(); ++i)
        sdk_counters::count_callback_drop();
    ctx.queue.clear();
}

void forget_device_records(const lidar_device_t *device) {
    sdk_context &ctx = context();
    std::unique_lock<std::mutex> lock(ctx.queue_mutex);
    // Records the application will never see: counted as the queue's drops.
    for (auto item = ctx.queue.begin(); item != ctx.queue.end();) {
        if (item->owner != device) {
            ++item;
            continue;
        }
        sdk_counters::count_callback_drop();
        item = ctx.queue.erase(item);
    }
    // A handle destroyed from inside its own callback cannot wait for itself.
    if (std::this_thread::get_id() != ctx.callback_thread_id)
        ctx.queue_cond.wait(lock, [&] { return ctx.delivering != device; });
}

// Nothing lost without a count, under every fault the virtual KestOne can throw or a full disk.
#include "sdk/common/stats/counters.h"
#include "sim/kestone_faults.h"
#include "sim/kestone_wire.h"
#include "tests/app/data_handler_test.h"
#include "tests/support/full_disk.h"

#include <gmock/gmock.h>

#include <optional>
#include <regex>

using namespace kest_test;

namespace {

constexpr uint16_t recorded_types[3] = {kest_sim::wire::type_odometry, kest_sim::wire::type_cloud,
                                        kest_sim::wire::type_image};
constexpr uint8_t streaming_endpoints[] = {kest_sim::kestone::ep_rx, kest_sim::kestone::ep_imu,
                                           kest_sim::kestone::ep_rgb, kest_sim::kestone::ep_dtof};

class Accounting : public Recording,
                   public testing::WithParamInterface<std::optional<kest_sim::fault_kind>> {
protected:
    // Throws the fault: a transfer fault on the clouds' and the pictures' endpoints both.
    void inject(kest_sim::fault_kind kind) {
        kest_sim::fault_settings settings;
        settings.silence_max_s = 2;
        kest_sim::fault_injector faults(
            device,
            [this] { // the same device plugged in again
                kest_sim::bus_unplug(device_id);
                device_id = kest_sim::bus_plug(kest_sim::kestone_desc(), device);
            },
            settings);
        using kest_sim::fault_kind;
        if (kind != fault_kind::stall && kind != fault_kind::short_transfer &&
            kind != fault_kind::corrupt_frame)
            return faults.inject(kind);
        faults.inject(kind, kest_sim::kestone::ep_dtof);
        faults.inject(kind, kest_sim::kestone::ep_rgb);
    }
    // The device makes nothing more and everything it queued leaves it.
    testing::AssertionResult drain_device() {
        device->hold_streams(true);
        return eventually(
            [&] {
                const kest_sim::stream_counters counts = device->counters();
                for (const auto &[endpoint, queued] : counts.queued)
                    if (queued > 0)
                        return false;
                for (uint8_t endpoint : streaming_endpoints)
                    if (kest_sim::bus_in_backlog(device_id, endpoint) > 0)
                        return false;
                return true;
            },
            "the device's queues and the bus drained", std::chrono::seconds(60));
    }
};

std::string fault_label(const testing::TestParamInfo<std::optional<kest_sim::fault_kind>> &info) {
    const std::string name = info.param ? kest_sim::fault_name(*info.param) : "no fault";
    return std::regex_replace(name, std::regex(" "), "_");
}

} // namespace

// Recording from before the device is plugged in until after it is gone, with one fault in between.
// Per kind of record: made = sent + lost on the device; sent - delivered (less the clouds the
// matching gave up) is counted by the host; every record delivered is in its file.
TEST_P(Accounting, EveryRecordIsDeliveredAndWrittenOrCountedWhereItWasLost) {
    const std::optional<kest_sim::fault_kind> fault = GetParam();
    record(true);
    ASSERT_TRUE(handler()->isRecording());
    ASSERT_TRUE(stream(kest_sim::stream_preset("demo")));
    ASSERT_TRUE(built_at_least({3, 3, 3}));
    const std::array<uint32_t, 3> before = handler()->recordsBuilt();
    if (fault) {
        testing::internal::CaptureStdout(); // a failed attach prints much
        inject(*fault);
        testing::AssertionResult streams = wait_status("Device connected and streaming");
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(streams);
    }
    ASSERT_TRUE(built_at_least({before[0] + 10, before[1] + 10, before[2] + 10}));
    ASSERT_TRUE(drain_device());
    unplug();
    ASSERT_TRUE(wait_status("Device disconnected"));
    record(false);
    // The clouds still waiting for their odometry are given up at the layer's stop.
    ASSERT_EQ(lidar_system_deinit(), 0);
    const sdk_counters::snapshot host = sdk_counters::read();
    ASSERT_TRUE(KestDataHandler::initSdk());             // for the fixture's own stop
    kest_sim::stream_counters made = device->counters(); // [] reads 0 for a type never seen
    const KestDataHandler::RecordingReport report = handler()->lastRecordingReport();
    const uint64_t discarded = kest_sim::bus_get_stats().in_discarded;
    const bool loses_data = fault && *fault != kest_sim::fault_kind::stall;
    uint64_t lost_on_the_way = 0;
    for (size_t kind = 0; kind < 3; ++kind) {
        const uint16_t type = recorded_types[kind];
        SCOPED_TRACE("message type " + std::to_string(type));
        const uint64_t sent = made.on_bus[type];
        EXPECT_EQ(made.sent[type], sent + made.lost[type]) << "made = sent + lost on the device";
        const uint64_t given_up = type == kest_sim::wire::type_cloud ? host.cloud_drops : 0;
        ASSERT_LE(report.delivered[kind] + given_up, sent) << "nothing delivered twice";
        lost_on_the_way += sent - report.delivered[kind] - given_up;
    }
    EXPECT_LE(lost_on_the_way, host.device_drops + host.callback_drops + discarded)
        << "every message lost on the way is a frame the host counted as malformed, a record "
           "it counted as never delivered, or a frame the unplug cut off";
    if (!loses_data) {
        // Only the final detach may cost a record on its way to the application, and it is counted.
        EXPECT_EQ(host.device_drops, 0u);
        EXPECT_LE(lost_on_the_way, host.callback_drops);
    }
    for (size_t kind = 0; kind < 3; ++kind)
        EXPECT_EQ(report.built[kind], report.delivered[kind]) << "the decoders lose nothing valid";
    expect_whole_recording(recording_folder());
}

INSTANTIATE_TEST_SUITE_P(
    EveryFault, Accounting,
    testing::Values(std::nullopt, kest_sim::fault_kind::stall, kest_sim::fault_kind::short_transfer,
                    kest_sim::fault_kind::corrupt_frame, kest_sim::fault_kind::silence,
                    kest_sim::fault_kind::replug, kest_sim::fault_kind::lost_answer),
    fault_label);

// The disk fills while recording: the file that hits it ends at its last whole record, the records
// it could not take are counted, and the files that still fit record on.
TEST_F(Recording, FullDiskEndsAFileAtItsLastWholeRecordWithAnError) {
    ASSERT_TRUE(stream(kest_sim::stream_preset("demo")));
    record(true);
    {
        full_disk full(256 * 1024); // a few dozen of the demo's clouds
        ASSERT_TRUE(full.active());
        ASSERT_TRUE(eventually([] { return handler()->recordingRecordsDropped() > 0; },
                               "records the recorder could not write", std::chrono::seconds(120)));
        const std::array<uint32_t, 3> built = handler()->recordsBuilt();
        ASSERT_TRUE(built_at_least({built[0] + 3, built[1] + 3, built[2] + 3}))
            << "the streams and the recording go on";
        record(false);
    }
    const KestDataHandler::RecordingReport report = handler()->lastRecordingReport();
    const std::array<read_file, 3> files = read_recording(recording_folder());
    size_t failed = 0;
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(report.files[i].path.toStdString());
        EXPECT_EQ(files[i].fault, "") << "whole records only";
        EXPECT_EQ(numbering_fault(files[i]), "");
        EXPECT_EQ(files[i].records.size(), report.files[i].recordsWritten);
        EXPECT_EQ(report.files[i].recordsWritten + report.files[i].recordsDropped, report.built[i])
            << "each record built is written or counted as dropped";
        EXPECT_EQ(report.files[i].recordsDropped > 0, report.files[i].failed);
        failed += report.files[i].failed;
    }
    EXPECT_GE(failed, 1u);
    EXPECT_LT(failed, 3u) << "the poses' file is far from the limit";
}

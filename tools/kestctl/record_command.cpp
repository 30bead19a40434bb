// record: what the viewer's record button does, without a window. The data
// handler runs its attach sequence, the recording runs for the given seconds
// (or until Ctrl-C), and the summary says what reached each file.
#include "app/kest_data_handler.h"
#include "sdk/common/platform/platform.h"
#include "sdk/common/stats/counters.h"
#include "sim/plugged_kestone.h"
#include "tools/kestctl/commands.h"
#include "tools/kestctl/device_session.h"

#include <CLI/CLI.hpp>

#include <QCoreApplication>
#include <QFile>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <iterator>
#include <map>
#include <mutex>
#include <string>

namespace kestctl {

namespace {

const QString streaming = QStringLiteral("Device connected and streaming");
// The attach sequence itself may take this long once a device appeared.
constexpr std::chrono::seconds attachPatience{30};
constexpr std::chrono::milliseconds interruptCheck{100};

volatile std::sig_atomic_t interrupted = 0;

void onInterrupt() {
    interrupted = 1;
}

// The statuses of the attach sequence, arriving on the device layer's threads.
class AttachOutcome {
public:
    void note(bool connected, const QString &message) {
        std::lock_guard<std::mutex> lock(mutex);
        seen = true;
        ended = connected || message.startsWith(QStringLiteral("Failed"));
        last = message;
        changed.notify_all();
    }
    // exit_ok once streaming, exit_request_failed after a failed attach,
    // exit_no_device when no device appeared in time.
    int wait(int timeoutSeconds) {
        std::unique_lock<std::mutex> lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(timeoutSeconds), [&] { return seen; })) {
            fprintf(stderr, "kestctl: no KestOne appeared within %d s\n", timeoutSeconds);
            return exit_no_device;
        }
        if (!changed.wait_for(lock, attachPatience, [&] { return ended; })) {
            fprintf(stderr, "kestctl: the device did not reach streaming\n");
            return exit_request_failed;
        }
        if (last != streaming) {
            fprintf(stderr, "kestctl: %s\n", last.toLocal8Bit().constData());
            return exit_request_failed;
        }
        return exit_ok;
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool seen = false;
    bool ended = false;
    QString last;
};

void waitWhileRecording(int seconds) {
    platform_on_quit_request(onInterrupt);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::mutex mutex;
    std::condition_variable never;
    std::unique_lock<std::mutex> lock(mutex);
    // A signal handler can only set a flag, so the flag is looked at a few
    // times a second.
    while (!interrupted && std::chrono::steady_clock::now() < end)
        never.wait_for(lock, interruptCheck);
}

int printSummary(const KestDataHandler::RecordingReport &report, const QString &folder) {
    static const char *const labels[] = {"poses", "clouds", "images"};
    printf("recording: %s\n", QFile::encodeName(folder).constData());
    bool lost = false;
    for (size_t i = 0; i < report.files.size(); ++i) {
        const WriterReport &file = report.files[i];
        printf("  %-7s %8llu records %12llu bytes  %s\n", labels[i],
               static_cast<unsigned long long>(file.recordsWritten),
               static_cast<unsigned long long>(file.bytesWritten),
               QFile::encodeName(file.path).constData());
        if (file.recordsDropped > 0 || file.failed) {
            printf("  %-7s %8llu records dropped%s\n", "",
                   static_cast<unsigned long long>(file.recordsDropped),
                   file.failed ? ", the file failed" : "");
            lost = true;
        }
    }
    return lost ? exit_request_failed : exit_ok;
}

// Per recorded kind, in the files' order: the device's odometry, clouds and pictures.
constexpr uint16_t recordedTypes[] = {kest_sim::wire::type_odometry, kest_sim::wire::type_cloud,
                                      kest_sim::wire::type_image};

std::string faultLine(const kest_sim::plugged_kestone &plugged) {
    const std::array<uint64_t, kest_sim::fault_kinds> faults = plugged.faults_injected();
    std::string line;
    for (size_t kind = 0; kind < faults.size(); ++kind)
        line += std::string(kind == 0 ? "" : ", ") +
                kest_sim::fault_name(static_cast<kest_sim::fault_kind>(kind)) + " " +
                std::to_string(faults[kind]);
    return line;
}

// "odometry A, clouds B, pictures C": a count by message type since before.
std::string byType(const std::map<uint16_t, uint64_t> &counts,
                   const std::map<uint16_t, uint64_t> &before) {
    static const char *const names[] = {"odometry", "clouds", "pictures"};
    auto count = [](const std::map<uint16_t, uint64_t> &of, uint16_t type) {
        auto found = of.find(type);
        return found != of.end() ? found->second : 0;
    };
    std::string line;
    for (size_t i = 0; i < std::size(recordedTypes); ++i)
        line += std::string(i == 0 ? "" : ", ") + names[i] + " " +
                std::to_string(count(counts, recordedTypes[i]) - count(before, recordedTypes[i]));
    return line;
}

// Where the device's and the host's counts stood as the recording started.
struct CountsAtStart {
    kest_sim::stream_counters device;
    sdk_counters::snapshot host{};
};

CountsAtStart countsNow(const device_session &session) {
    CountsAtStart now;
    if (const kest_sim::plugged_kestone *plugged = session.plugged_device())
        now.device = plugged->device()->counters();
    now.host = sdk_counters::read();
    return now;
}

// What the virtual KestOne made, lost and sent while recording, what the host
// dropped and delivered, and what the recording built and wrote: every step a
// record takes is a figure, so a loss shows where it happened. Records on
// their way as the recording started or stopped make the steps differ by a few.
void printAccounting(const device_session &session, const CountsAtStart &start,
                     const KestDataHandler::RecordingReport &report) {
    const kest_sim::plugged_kestone *plugged = session.plugged_device();
    if (plugged == nullptr)
        return;
    printf("faults injected: %s\n", faultLine(*plugged).c_str());
    const kest_sim::stream_counters device = plugged->device()->counters();
    printf("made by the device: %s\n", byType(device.sent, start.device.sent).c_str());
    printf("lost on the device (queues full, unplugged): %s\n",
           byType(device.lost, start.device.lost).c_str());
    printf("sent to the host: %s\n", byType(device.on_bus, start.device.on_bus).c_str());
    const sdk_counters::snapshot host = sdk_counters::read();
    printf("dropped by the host: malformed %llu, callback queue %llu, unmatched clouds %llu\n",
           static_cast<unsigned long long>(host.device_drops - start.host.device_drops),
           static_cast<unsigned long long>(host.callback_drops - start.host.callback_drops),
           static_cast<unsigned long long>(host.cloud_drops - start.host.cloud_drops));
    printf("delivered while recording: poses %u, clouds %u, images %u\n", report.delivered[0],
           report.delivered[1], report.delivered[2]);
    printf("built by the recording: poses %u, clouds %u, images %u\n", report.built[0],
           report.built[1], report.built[2]);
}

CLI::App *add_record(CLI::App &app, options &opts) {
    CLI::App *sub = app.add_subcommand(
        "record", "record the device's streams as the viewer's record button does");
    sub->add_option("--seconds", opts.record.seconds, "how long to record (Ctrl-C stops early)")
        ->type_name("N")
        ->check(CLI::Range(1, 86400))
        ->capture_default_str();
    sub->add_option("--dir", opts.record.dir,
                    "folder the recording goes under (default: the viewer's recordData)")
        ->type_name("DIR");
    return sub;
}

int run_record(const options &opts, device_session &session) {
    static int argc = 1;
    static char name[] = "kestctl";
    static char *argv[] = {name, nullptr};
    QCoreApplication application(argc, argv); // the program's folder, the per-user folders

    KestDataHandler *handler = KestDataHandler::instance();
    handler->setRecordingRoot(QString::fromLocal8Bit(opts.record.dir.c_str()));
    AttachOutcome outcome;
    QObject::connect(
        handler, &KestDataHandler::deviceStatusChanged, handler,
        [&outcome](bool connected, const QString &message) { outcome.note(connected, message); },
        Qt::DirectConnection);
    if (!KestDataHandler::initSdk()) {
        fprintf(stderr, "kestctl: the device layer did not start\n");
        return exit_request_failed;
    }
    int status = outcome.wait(opts.timeout);
    if (status == exit_ok) {
        const CountsAtStart start = countsNow(session);
        handler->onRecordToggled(true);
        if (handler->isRecording()) {
            waitWhileRecording(opts.record.seconds);
            handler->onRecordToggled(false);
            status = printSummary(handler->lastRecordingReport(), handler->recordingFolder());
            printAccounting(session, start, handler->lastRecordingReport());
        } else {
            fprintf(stderr, "kestctl: the recording did not start\n");
            status = exit_request_failed;
        }
    }
    if (session.plugged_device() != nullptr)
        session.plugged_device()->stop_faults();
    handler->shutdown();
    return status;
}

} // namespace

const command record_command{add_record, run_record, true};

} // namespace kestctl

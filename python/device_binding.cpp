// kestone.open: a KestOne on USB, or the virtual one, brought to streaming by
// the viewer's own data handler (the same attach sequence, the same decoding),
// its frames handed to the script through a FrameQueue. Every wait releases
// the GIL and looks for Ctrl-C ten times a second.
#include "python/device_binding.h"

#include "app/kest_data_handler.h"
#include "app/open_failure_text.h"
#include "python/frame_queue.h"
#include "sdk/comm/libusb/usb_backend.h"
#include "sdk/logger/console.h"
#include "sdk/logger/logger.h"
#include "sim/plugged_kestone.h"

#include <opencv2/imgproc.hpp>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>
#include <yaml-cpp/yaml.h>

#include <QDir>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;
using Clock = std::chrono::steady_clock;

namespace {

const QString streamingStatus = QStringLiteral("Device connected and streaming");
const QString detachedStatus = QStringLiteral("Device disconnected");
constexpr std::chrono::milliseconds signalCheck{100};
// The attach sequence itself may take this long once a device appeared.
constexpr std::chrono::seconds attachPatience{30};

// Waits until slice(end) returns true for some slice end before deadline, with
// the GIL released while waiting; Ctrl-C (any pending signal) raises.
template <typename Slice>
bool waitInterruptibly(Clock::time_point deadline, Slice slice) {
    for (;;) {
        const Clock::time_point end = std::min(deadline, Clock::now() + signalCheck);
        bool done;
        {
            py::gil_scoped_release unlocked;
            done = slice(end);
        }
        if (done)
            return true;
        if (PyErr_CheckSignals() != 0)
            throw py::error_already_set();
        if (Clock::now() >= deadline)
            return false;
    }
}

int stderrSink(const char *format, ...) {
    va_list args;
    va_start(args, format);
    const int written = vfprintf(stderr, format, args);
    va_end(args);
    return written;
}

// The attach sequence's statuses, from the device layer's notification threads.
class AttachStatus {
public:
    explicit AttachStatus(std::shared_ptr<FrameQueue> queue) : queue(std::move(queue)) {}

    void note(bool connected, const QString &message) {
        std::lock_guard<std::mutex> lock(mutex);
        seen = true;
        const bool failed = message.startsWith(QStringLiteral("Failed"));
        ended = connected || failed;
        last = message;
        if (connected || failed || message == detachedStatus)
            queue->setConnected(connected);
        changed.notify_all();
    }
    bool waitSeen(Clock::time_point until) {
        return waitFor(until, [this] { return seen; });
    }
    bool waitEnded(Clock::time_point until) {
        return waitFor(until, [this] { return ended; });
    }
    std::string lastStatus() const {
        std::lock_guard<std::mutex> lock(mutex);
        return last.toStdString();
    }

private:
    template <typename Ready>
    bool waitFor(Clock::time_point until, Ready ready) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_until(lock, until, ready);
    }

    const std::shared_ptr<FrameQueue> queue;
    mutable std::mutex mutex;
    std::condition_variable changed;
    bool seen = false;
    bool ended = false;
    QString last;
};

uint64_t openFailures(int *lastError = nullptr) {
    lidar_statistics_t stats{};
    lidar_get_statistics(&stats);
    if (lastError != nullptr)
        *lastError = stats.last_open_error;
    return stats.open_failures;
}

std::string versionText(const int32_t (&v)[3]) {
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]);
}

py::object versionsOf(const std::optional<lidar_version_t> &read) {
    if (!read)
        return py::none();
    py::dict out;
    out["soc_app"] = versionText(read->soc_app);
    out["kernel"] = versionText(read->kernel);
    out["mcu"] = versionText(read->mcu);
    out["daemon"] = versionText(read->daemon);
    out["slam_algo"] = versionText(read->slam_algo);
    out["iq_md5"] = std::string(read->iq_md5);
    return std::move(out);
}

py::object serialIn(const std::string &calibrationFile) {
    try {
        const YAML::Node serial = YAML::LoadFile(calibrationFile)["serial"];
        if (serial && serial.IsScalar())
            return py::str(serial.as<std::string>());
    } catch (const YAML::Exception &) {
        // A calibration file without a readable serial: the serial is unknown.
    }
    return py::none();
}

ScanMode scanModeNamed(const std::string &name) {
    if (name == "slam")
        return ScanMode::SLAM;
    if (name == "dtof")
        return ScanMode::DTOF;
    throw py::value_error("mode is 'slam' or 'dtof', not '" + name + "'");
}

// A (4, 4) rigid transform from its rotation's entries and its translation.
template <typename Rotation>
py::array transform(Rotation rotation, const double *translation) {
    py::array_t<double> out({4, 4});
    auto m = out.mutable_unchecked<2>();
    for (size_t row = 0; row < 4; ++row)
        for (size_t column = 0; column < 4; ++column)
            m(row, column) = row == 3      ? (column == 3 ? 1.0 : 0.0)
                             : column == 3 ? translation[row]
                                           : rotation(row, column);
    return std::move(out);
}

class Device;
Device *openDevice = nullptr; // one at a time: the device layer is process-wide

class Device {
public:
    Device(const std::optional<std::string> &preset, const std::vector<std::string> &settings,
           const std::string &mode, double timeout)
        : virtualPreset(preset) {
        if (openDevice != nullptr)
            throw DeviceError("a KestOne is already open in this process: close it first");
        if (!(timeout >= 0))
            throw py::value_error("timeout is a number of seconds, 0 or more");
        const ScanMode scanMode = scanModeNamed(mode);
        kest_sim::stream_settings streams;
        std::string error;
        if (preset && !kest_sim::virtual_device_settings(*preset, settings, streams, error))
            throw py::value_error("virtual KestOne: " + error);
        if (!preset && !settings.empty())
            throw py::value_error("settings are for the virtual KestOne only");
        try {
            start(streams, scanMode);
            waitForStreaming(timeout);
        } catch (...) {
            close();
            throw;
        }
    }
    ~Device() { close(); }
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    void close() {
        if (openDevice != this)
            return;
        KestDataHandler *handler = KestDataHandler::instance();
        handler->setFrameListener(nullptr);
        QObject::disconnect(connection);
        {
            py::gil_scoped_release unlocked;
            if (plugged)
                plugged->stop_faults(); // before the layer goes down
            handler->shutdown();
            plugged.reset();
        }
        console_set_enabled(true);
        openDevice = nullptr;
    }
    bool closed() const { return openDevice != this; }

    py::dict info() const {
        requireOpen();
        KestDataHandler *handler = KestDataHandler::instance();
        py::dict out;
        out["virtual"] = virtualPreset.has_value();
        out["preset"] = virtualPreset ? py::object(py::str(*virtualPreset)) : py::none();
        out["versions"] = versionsOf(handler->deviceVersions());
        const std::string calibration =
            QDir(handler->calibrationDir()).filePath(QStringLiteral("calib.yaml")).toStdString();
        const bool fetched = handler->calibrationFetched();
        out["calibration"] = fetched ? py::object(py::str(calibration)) : py::none();
        out["serial"] = fetched ? serialIn(calibration) : py::none();
        out["scan_mode"] = scanMode();
        return out;
    }

    std::string scanMode() const {
        return KestDataHandler::instance()->scanMode() == ScanMode::DTOF ? "dtof" : "slam";
    }
    void setScanMode(const std::string &mode) {
        KestDataHandler::instance()->onScanModeChanged(scanModeNamed(mode));
    }
    uint64_t dropped() const { return queue->dropped(); }

    void unplug() {
        requireOpen();
        if (!plugged)
            throw DeviceError("only the virtual KestOne can be unplugged from a script");
        py::gil_scoped_release unlocked;
        plugged->unplug();
    }

    // The virtual KestOne's SLAM world frame as a pose in its room: the ground
    // truth a script checks SLAM clouds against.
    py::array virtualRoomPose() const {
        requireOpen();
        if (!plugged)
            throw DeviceError("only the virtual KestOne has a room");
        const kest_sim::pose world = plugged->device()->slam_world_now();
        return transform([&world](size_t row, size_t column) { return world.r[row * 3 + column]; },
                         world.t.data());
    }

    void requireOpen() const {
        if (closed())
            throw DeviceError("the device is closed");
    }
    // Why frames stopped coming: unplugged, or a failed attach after a replug.
    std::string goneReason() const {
        const std::string last = status->lastStatus();
        if (last == detachedStatus.toStdString())
            return "the KestOne was unplugged";
        return "the KestOne stopped streaming: " + last;
    }
    FrameQueue &frames() const { return *queue; }

private:
    void start(const kest_sim::stream_settings &streams, ScanMode scanMode) {
        // A script's standard output is its own: no progress line per cloud.
        console_set_enabled(false);
        log_config(KEST_LOG_VALUE_WARN, stderrSink);
        if (virtualPreset)
            plugged = std::make_unique<kest_sim::plugged_kestone>(streams);
        else
            usb_backend_select(usb_backend_libusb());
        KestDataHandler *handler = KestDataHandler::instance();
        handler->onScanModeChanged(scanMode);
        connection = QObject::connect(
            handler, &KestDataHandler::deviceStatusChanged, handler,
            [noted = status](bool connected, const QString &message) {
                noted->note(connected, message);
            },
            Qt::DirectConnection);
        handler->setFrameListener(queue);
        openDevice = this;
        if (!KestDataHandler::initSdk())
            throw DeviceError("the device layer did not start");
    }

    void waitForStreaming(double timeout) {
        const auto appear = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(timeout));
        bool refused = false;
        const bool seen = waitInterruptibly(appear, [&](Clock::time_point end) {
            refused = openFailures() > 0; // counted from initSdk on
            return refused || status->waitSeen(end);
        });
        if (refused) {
            int error = 0;
            openFailures(&error);
            throw DeviceError(openFailureText(error).second.toStdString());
        }
        if (!seen) {
            char text[64];
            snprintf(text, sizeof text, "no KestOne appeared within %g s", timeout);
            throw DeviceError(text);
        }
        if (!waitInterruptibly(Clock::now() + attachPatience,
                               [&](Clock::time_point end) { return status->waitEnded(end); }))
            throw DeviceError("the KestOne did not reach streaming");
        const std::string last = status->lastStatus();
        if (last != streamingStatus.toStdString())
            throw DeviceError("the KestOne could not be brought to streaming: " + last);
    }

    const std::optional<std::string> virtualPreset;
    const std::shared_ptr<FrameQueue> queue = std::make_shared<FrameQueue>();
    const std::shared_ptr<AttachStatus> status = std::make_shared<AttachStatus>(queue);
    std::unique_ptr<kest_sim::plugged_kestone> plugged;
    QMetaObject::Connection connection;
};

// A read-only view of one field of every point: (n, columns), or (n,) for 0
// columns. The capsule keeps the points alive as long as the array.
template <typename T>
py::array pointField(const std::shared_ptr<const std::vector<CloudPoint>> &points, size_t at,
                     py::ssize_t columns) {
    const auto n = static_cast<py::ssize_t>(points->size());
    const auto *data =
        reinterpret_cast<const T *>(reinterpret_cast<const uint8_t *>(points->data()) + at);
    py::capsule owner(new std::shared_ptr<const std::vector<CloudPoint>>(points), [](void *p) {
        delete static_cast<std::shared_ptr<const std::vector<CloudPoint>> *>(p);
    });
    const auto stride = static_cast<py::ssize_t>(sizeof(CloudPoint));
    py::array out = columns == 0
                        ? py::array(py::dtype::of<T>(), {n}, {stride}, data, owner)
                        : py::array(py::dtype::of<T>(), {n, columns},
                                    {stride, static_cast<py::ssize_t>(sizeof(T))}, data, owner);
    out.attr("flags").attr("writeable") = false; // every field shares the points
    return out;
}

template <typename T>
py::object cloudField(const Frame &frame, size_t at, py::ssize_t columns) {
    if (!frame.points)
        return py::none();
    return pointField<T>(frame.points, at, columns);
}

py::object poseMatrix(const Frame &frame) {
    if (!frame.pose)
        return py::none();
    const PoseRecord &pose = *frame.pose; // column-major rotation
    return transform([&pose](size_t row, size_t column) { return pose.rotation[column * 3 + row]; },
                     pose.translation);
}

// The picture, converted to RGB when the frame was taken; the array holds it.
py::object imageArray(const Frame &frame) {
    if (frame.image.empty())
        return py::none();
    auto *held = new cv::Mat(frame.image);
    py::capsule owner(held, [](void *p) { delete static_cast<cv::Mat *>(p); });
    py::array out(py::dtype::of<uint8_t>(), {held->rows, held->cols, 3},
                  {static_cast<py::ssize_t>(held->step[0]), py::ssize_t{3}, py::ssize_t{1}},
                  held->data, owner);
    out.attr("flags").attr("writeable") = false; // every access shares the picture
    return out;
}

class FrameIterator {
public:
    FrameIterator(Device &device, std::optional<double> seconds, std::optional<long> count)
        : device(device), left(count) {
        device.requireOpen();
        if (seconds && !(*seconds > 0))
            throw py::value_error("seconds must be more than 0");
        if (count && *count <= 0)
            throw py::value_error("count must be more than 0");
        if (!device.frames().connected())
            throw DeviceUnplugged(device.goneReason());
        if (seconds)
            deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(*seconds));
        device.frames().listen(true);
    }

    Frame next() {
        try {
            return take();
        } catch (...) {
            finish();
            throw;
        }
    }

private:
    Frame take() {
        if (done || (left && *left == 0) || device.closed())
            throw py::stop_iteration();
        Frame frame;
        FrameQueue::Taken taken = FrameQueue::Taken::Nothing;
        const bool arrived = waitInterruptibly(deadline, [&](Clock::time_point end) {
            taken = device.frames().take(frame, end);
            return taken != FrameQueue::Taken::Nothing;
        });
        if (!arrived)
            throw py::stop_iteration();
        if (taken == FrameQueue::Taken::Unplugged)
            throw DeviceUnplugged(device.goneReason());
        if (left)
            --*left;
        if (!frame.image.empty()) {
            py::gil_scoped_release unlocked;
            cv::Mat rgb;
            cv::cvtColor(frame.image, rgb, cv::COLOR_BGR2RGB);
            frame.image = rgb;
        }
        return frame;
    }
    void finish() {
        if (!done && !device.closed())
            device.frames().listen(false);
        done = true;
    }

    Device &device;
    std::optional<long> left;
    Clock::time_point deadline = Clock::time_point::max();
    bool done = false;
};

std::vector<std::string> settingsFrom(const py::object &settings) {
    std::vector<std::string> out;
    if (settings.is_none())
        return out;
    if (py::isinstance<py::dict>(settings)) {
        for (const auto &item : settings.cast<py::dict>())
            out.push_back(py::str(item.first).cast<std::string>() + "=" +
                          py::str(item.second).cast<std::string>());
        return out;
    }
    return settings.cast<std::vector<std::string>>();
}

void bindFrame(py::module_ &module) {
    py::class_<Frame>(module, "Frame", "One cloud, pose or picture as the device sent it")
        .def_readonly("kind", &Frame::kind, "'slam', 'dtof', 'pose' or 'image'")
        .def_property_readonly(
            "time", [](const Frame &f) { return static_cast<double>(f.timeNs) / 1e9; },
            "device time, seconds")
        .def_property_readonly(
            "xyz", [](const Frame &f) { return cloudField<float>(f, 0, 3); },
            "(N, 3) float32 metres: world frame for 'slam', device frame for 'dtof'")
        .def_property_readonly(
            "rgb",
            [](const Frame &f) { return cloudField<uint8_t>(f, offsetof(CloudPoint, r), 3); },
            "(N, 3) uint8 colours (grey from the intensity for 'dtof')")
        .def_property_readonly(
            "intensity",
            [](const Frame &f) {
                return f.kind == "dtof" ? cloudField<uint8_t>(f, offsetof(CloudPoint, intensity), 0)
                                        : py::none();
            },
            "(N,) uint8 for 'dtof'; None otherwise (SLAM clouds carry none)")
        .def_property_readonly(
            "label",
            [](const Frame &f) { return cloudField<uint32_t>(f, offsetof(CloudPoint, label), 0); },
            "(N,) uint32: the device's frame number of each point")
        .def_property_readonly("pose", &poseMatrix, "(4, 4) float64 device pose for 'pose'")
        .def_property_readonly("image", &imageArray, "(H, W, 3) uint8 RGB for 'image'")
        .def("__repr__", [](const Frame &f) {
            const std::string what =
                f.points ? std::to_string(f.points->size()) + " points " : std::string();
            return "<kestone.Frame " + f.kind + " " + what + "at " +
                   std::to_string(static_cast<double>(f.timeNs) / 1e9) + " s>";
        });
}

} // namespace

void bindDevice(py::module_ &module) {
    auto deviceError = py::register_exception<DeviceError>(module, "DeviceError");
    py::register_exception<DeviceUnplugged>(module, "DeviceUnplugged", deviceError.ptr());
    bindFrame(module);
    py::class_<FrameIterator>(module, "FrameIterator")
        .def("__iter__", [](FrameIterator &it) -> FrameIterator & { return it; })
        .def("__next__", &FrameIterator::next);
    py::class_<Device>(module, "Device", "A KestOne streaming to this process")
        .def("info", &Device::info, "versions, serial, calibration file, scan mode")
        .def(
            "frames",
            [](Device &d, std::optional<double> seconds, std::optional<long> count) {
                return FrameIterator(d, seconds, count);
            },
            py::arg("seconds") = py::none(), py::arg("count") = py::none(), py::keep_alive<0, 1>(),
            "the frames from now on, for so many seconds or frames, or until unplugged")
        .def_property("scan_mode", &Device::scanMode, &Device::setScanMode,
                      "'slam' (SLAM clouds) or 'dtof' (depth frames)")
        .def_property_readonly("dropped", &Device::dropped,
                               "frames lost because the script did not take them in time")
        .def_property_readonly("closed", &Device::closed)
        .def("unplug", &Device::unplug, "unplugs the virtual KestOne, as a pulled cable would")
        .def("virtual_room_pose", &Device::virtualRoomPose,
             "(4, 4): the virtual KestOne's SLAM world frame as a pose in its room")
        .def("close", &Device::close)
        .def("__enter__", [](Device &d) -> Device & { return d; })
        .def("__exit__", [](Device &d, const py::args &) { d.close(); });
    module.def(
        "open",
        [](std::optional<std::string> virtualPreset, const py::object &settings,
           const std::string &mode, double timeout) {
            return std::make_unique<Device>(virtualPreset, settingsFrom(settings), mode, timeout);
        },
        py::arg("virtual") = py::none(), py::kw_only(), py::arg("settings") = py::none(),
        py::arg("mode") = "slam", py::arg("timeout") = 10.0,
        "Opens the KestOne on USB, or the virtual one (a preset: 'demo', 'full', 'flood', "
        "'tidy', or 'play:REC'), and brings it to streaming.");
    // A device left open at exit is closed while the interpreter still runs.
    py::module_::import("atexit").attr("register")(py::cpp_function([] {
        if (openDevice != nullptr)
            openDevice->close();
    }));
}

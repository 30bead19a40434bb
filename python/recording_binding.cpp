// kestone.Recording: a recording's clouds, poses, pictures, calibration and
// summary as numpy arrays and plain Python values, read by the same reader
// that kestctl and the virtual KestOne's playback use.
#include "python/recording_binding.h"

#include "recording/converted_calibration.h"
#include "recording/recording_export.h"
#include "recording/recording_reader.h"
#include "recording/recording_summary.h"
#include "recording/voxel_filter.h"
#include "sdk/common/byte_order.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <array>
#include <filesystem>
#include <memory>

namespace py = pybind11;

namespace {

constexpr size_t pointBytes = StreamDecoding::CLOUD_RECORD_POINT_BYTES;
constexpr size_t headerBytes = StreamDecoding::CLOUD_RECORD_HEADER_BYTES;
constexpr size_t poseValues = StreamDecoding::POSE_RECORD_VALUES;

// A read-only (n, columns) view of a cloud record's points from byte at: no
// copy. The capsule owns the record; the array holds the capsule.
template <typename T>
py::array pointColumns(const std::shared_ptr<RecordView> &record, size_t at) {
    const auto n = static_cast<py::ssize_t>(record->count);
    const auto *data = reinterpret_cast<const T *>(record->bytes.data() + headerBytes + at);
    py::capsule owner(new std::shared_ptr<RecordView>(record),
                      [](void *p) { delete static_cast<std::shared_ptr<RecordView> *>(p); });
    py::array out(py::dtype::of<T>(), {n, py::ssize_t{3}},
                  {static_cast<py::ssize_t>(pointBytes), static_cast<py::ssize_t>(sizeof(T))}, data,
                  owner);
    out.attr("flags").attr("writeable") = false; // the record is shared by both arrays
    return out;
}

struct Cloud {
    uint32_t sequence;
    double time;
    py::array xyz, rgb;
};

Cloud cloudOf(RecordView &&view) {
    auto record = std::make_shared<RecordView>(std::move(view));
    return {record->sequence, record->seconds, pointColumns<float>(record, 0),
            pointColumns<uint8_t>(record, StreamDecoding::CLOUD_POINT_COLOUR_AT)};
}

// One of the recording's files, record by record. Where it stops short of
// its end (a record cut off, a read error) it raises RecordingError.
class Records {
public:
    Records(const std::string &path, RecordKind kind, const char *label) : label(label) {
        std::string error;
        if (!reader.open(path, kind, error))
            throw RecordingError(error);
    }

    bool next(RecordView &record) {
        bool read;
        {
            py::gil_scoped_release unlocked;
            read = reader.next(record);
        }
        if (read)
            return true;
        if (reader.truncatedAt())
            throw RecordingError(label + ": the record at byte " +
                                 std::to_string(*reader.truncatedAt()) + " is cut off");
        if (!reader.readError().empty())
            throw RecordingError(label + ": " + reader.readError());
        return false;
    }

private:
    RecordFileReader reader;
    std::string label;
};

class CloudIterator {
public:
    explicit CloudIterator(const std::string &path)
        : records(std::make_shared<Records>(path, RecordKind::Cloud, "clouds")) {}
    Cloud next() {
        RecordView view;
        if (!records->next(view))
            throw py::stop_iteration();
        return cloudOf(std::move(view));
    }

private:
    std::shared_ptr<Records> records;
};

// The pictures one by one, each as its sequence, time and recorded JPEG bytes:
// a long recording's pictures need not fit in memory together.
class ImageIterator {
public:
    explicit ImageIterator(const std::string &path)
        : records(std::make_shared<Records>(path, RecordKind::Image, "images")) {}
    py::dict next() {
        RecordView image;
        if (!records->next(image))
            throw py::stop_iteration();
        py::dict entry;
        entry["sequence"] = image.sequence;
        entry["time"] = image.seconds;
        entry["jpeg"] = py::bytes(reinterpret_cast<const char *>(image.bytes.data()) + headerBytes,
                                  image.count);
        return entry;
    }

private:
    std::shared_ptr<Records> records;
};

// The pose as a 4 x 4 matrix, the quaternion made of unit length (the
// identity rotation where it has no direction).
void poseMatrix(const RecordView &pose, double *m) {
    std::array<double, 7> v;
    if (!unitPose(pose, v)) {
        for (size_t i = 0; i < 3; ++i)
            v[i] = get_le_float(pose.bytes.data() + StreamDecoding::POSE_RECORD_VALUES_AT + 4 * i);
        v[3] = v[4] = v[5] = 0, v[6] = 1;
    }
    const double x = v[3], y = v[4], z = v[5], w = v[6];
    const double rows[12] = {
        1 - 2 * (y * y + z * z), 2 * (x * y - z * w),     2 * (x * z + y * w),     v[0],
        2 * (x * y + z * w),     1 - 2 * (x * x + z * z), 2 * (y * z - x * w),     v[1],
        2 * (x * z - y * w),     2 * (y * z + x * w),     1 - 2 * (x * x + y * y), v[2]};
    std::copy(rows, rows + 12, m);
    m[12] = m[13] = m[14] = 0, m[15] = 1;
}

py::dict fileSummary(const RecordFileSummary &file) {
    py::dict out;
    out["file"] = file.fileName;
    out["present"] = file.present;
    out["records"] = file.records;
    out["bytes"] = file.bytes;
    out["first_time"] = file.firstSeconds;
    out["last_time"] = file.lastSeconds;
    out["rate"] = file.rate();
    out["gaps"] = file.gaps;
    out["missing"] = file.missing;
    out["times_backwards"] = file.timesBackwards;
    out["cut_off_at"] = file.truncatedAt ? py::cast(*file.truncatedAt) : py::none();
    out["faults"] = file.faults();
    return out;
}

class Recording {
public:
    explicit Recording(const std::string &path) : files(locateRecording(path)) {
        if (!files.isRecording)
            throw RecordingError(path + (std::filesystem::exists(path)
                                             ? " is not a recording: it holds no recorded pose, "
                                               "cloud or picture"
                                             : " does not exist"));
    }

    CloudIterator clouds() const { return CloudIterator(files.clouds); }

    // time (n,), sequence (n,), values (n, 7) as recorded, matrix (n, 4, 4).
    py::dict poses() const {
        Records poses(files.poses, RecordKind::Pose, "poses");
        std::vector<RecordView> all;
        for (RecordView pose; poses.next(pose);)
            all.push_back(pose);
        const auto n = static_cast<py::ssize_t>(all.size());
        py::array_t<double> time(n), matrix({n, py::ssize_t{4}, py::ssize_t{4}});
        py::array_t<uint32_t> sequence(n);
        py::array_t<float> values({n, static_cast<py::ssize_t>(poseValues)});
        for (py::ssize_t i = 0; i < n; ++i) {
            time.mutable_at(i) = all[i].seconds;
            sequence.mutable_at(i) = all[i].sequence;
            for (size_t k = 0; k < poseValues; ++k)
                values.mutable_at(i, k) = get_le_float(
                    all[i].bytes.data() + StreamDecoding::POSE_RECORD_VALUES_AT + 4 * k);
            poseMatrix(all[i], matrix.mutable_data(i));
        }
        py::dict out;
        out["time"] = time;
        out["sequence"] = sequence;
        out["values"] = values;
        out["matrix"] = matrix;
        return out;
    }

    ImageIterator images() const { return ImageIterator(files.images); }

    // The converted image/cam_in_ex.txt by key, or None.
    py::object calibration() const {
        const auto c = readConvertedCalibration(files.folder);
        if (!c)
            return py::none();
        py::dict out;
        out["Tcl_0"] = py::array_t<double>({4, 4}, c->tcl.data());
        out["image_width"] = c->width;
        out["image_height"] = c->height;
        for (size_t i = 0; i < c->k.size(); ++i)
            out[py::str("k" + std::to_string(i + 2))] = c->k[i];
        const std::pair<const char *, double> named[] = {
            {"p1", c->p1},   {"p2", c->p2}, {"A11", c->a11}, {"A12", c->a12},
            {"A22", c->a22}, {"u0", c->u0}, {"v0", c->v0}};
        for (const auto &[key, value] : named)
            out[key] = value;
        return out;
    }

    // What kestctl inspect reports.
    py::dict summary() const {
        RecordingSummary summary;
        {
            py::gil_scoped_release unlocked;
            summary = summariseRecording(files.folder);
        }
        py::dict out;
        out["folder"] = summary.folder;
        out["started_at"] = summary.startedAt;
        const char *states[] = {"missing", "placeholder", "converted"};
        out["calibration"] = states[static_cast<int>(summary.calibration)];
        out["duration"] = summary.durationSeconds();
        out["segments"] = summary.segmentCount();
        out["poses"] = fileSummary(summary.poses);
        out["clouds"] = fileSummary(summary.clouds);
        out["images"] = fileSummary(summary.images);
        out["faults"] = summary.faults();
        out["sound"] = summary.sound();
        return out;
    }

    // Every cloud's points in one (xyz, rgb) pair; with voxel > 0, one point
    // per voxel of that edge (the last), as kestctl export --merge --voxel.
    py::tuple merged(float voxel) const {
        if (voxel < 0 || !std::isfinite(voxel))
            throw py::value_error("voxel must be 0 (none) or a positive edge in metres");
        Records clouds(files.clouds, RecordKind::Cloud, "clouds");
        std::vector<CloudPoint> all;
        std::unique_ptr<VoxelFilter> filter;
        if (voxel > 0)
            filter = std::make_unique<VoxelFilter>(voxel);
        for (RecordView cloud; clouds.next(cloud);) {
            std::vector<CloudPoint> points = cloudPointsOf(cloud);
            if (filter)
                filter->add(points.data(), points.size());
            else
                all.insert(all.end(), points.begin(), points.end());
        }
        const std::vector<CloudPoint> &points = filter ? filter->points() : all;
        const auto n = static_cast<py::ssize_t>(points.size());
        py::array_t<float> xyz({n, py::ssize_t{3}});
        py::array_t<uint8_t> rgb({n, py::ssize_t{3}});
        for (py::ssize_t i = 0; i < n; ++i) {
            const CloudPoint &point = points[i];
            xyz.mutable_at(i, 0) = point.x, xyz.mutable_at(i, 1) = point.y;
            xyz.mutable_at(i, 2) = point.z;
            rgb.mutable_at(i, 0) = point.r, rgb.mutable_at(i, 1) = point.g;
            rgb.mutable_at(i, 2) = point.b;
        }
        return py::make_tuple(xyz, rgb);
    }

private:
    RecordingFiles files;
};

} // namespace

void bindRecording(py::module_ &module) {
    py::register_exception<RecordingError>(module, "RecordingError", PyExc_RuntimeError);
    py::class_<Cloud>(module, "Cloud", "One recorded cloud: its points are views on its record")
        .def_readonly("sequence", &Cloud::sequence)
        .def_readonly("time", &Cloud::time, "device time in seconds")
        .def_readonly("xyz", &Cloud::xyz, "(N, 3) float32, metres, map frame")
        .def_readonly("rgb", &Cloud::rgb, "(N, 3) uint8");
    py::class_<CloudIterator>(module, "_CloudIterator")
        .def("__iter__", [](CloudIterator &self) -> CloudIterator & { return self; })
        .def("__next__", &CloudIterator::next);
    py::class_<ImageIterator>(module, "_ImageIterator")
        .def("__iter__", [](ImageIterator &self) -> ImageIterator & { return self; })
        .def("__next__", &ImageIterator::next);
    py::class_<Recording>(module, "Recording", "A recording folder, as kestctl record writes it")
        .def(py::init<const std::string &>(), py::arg("path"))
        .def("clouds", &Recording::clouds, "the clouds one by one, in recording order")
        .def("poses", &Recording::poses)
        .def("images", &Recording::images, "the pictures one by one: sequence, time, jpeg")
        .def("calibration", &Recording::calibration)
        .def("summary", &Recording::summary)
        .def("merged", &Recording::merged, py::arg("voxel") = 0.0f);
}

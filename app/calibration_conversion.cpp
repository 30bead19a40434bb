// Calibration conversion: calib.yaml in, cam_in_ex.txt out. All reading and
// checking ends before the target is touched, and the target is replaced whole.
#include "app/calibration_conversion.h"

#include "sdk/logger/logger.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#include <QTextStream>

#include <yaml-cpp/yaml.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

constexpr std::size_t MATRIX_VALUES = 16;
constexpr std::size_t MATRIX_COLUMNS = 4;
constexpr int FIXED_DIGITS = 6;
constexpr const char *MATRIX_INDENT = "        ";
constexpr const char *KEY_INDENT = "   ";

// The cam_0 keys after image_width and image_height, in the order of the text's lines.
constexpr std::array<const char *, 13> INTRINSIC_KEYS = {
    "k2", "k3", "k4", "k5", "k6", "k7", "p1", "p2", "A11", "A12", "A22", "u0", "v0"};

struct Calibration {
    std::array<double, MATRIX_VALUES> tcl{};
    int32_t imageWidth = 0;
    int32_t imageHeight = 0;
    std::array<double, INTRINSIC_KEYS.size()> intrinsics{}; // in INTRINSIC_KEYS order
};

// What is wrong with the calibration file; its text completes the ERROR line.
class CalibrationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// std::from_chars reads the C format only, whatever the C or C++ locale is: a user
// locale with a decimal comma must neither break nor change the reading.
template <typename T>
std::optional<T> parseNumber(std::string_view text) {
    // YAML allows a leading plus sign; from_chars does not.
    if (text.size() > 1 && text[0] == '+' && text[1] != '-')
        text.remove_prefix(1);
    T value{};
    const char *end = text.data() + text.size();
    const std::from_chars_result result = std::from_chars(text.data(), end, value);
    if (result.ec != std::errc() || result.ptr != end)
        return std::nullopt;
    return value;
}

std::string scalarText(const YAML::Node &node, const std::string &name) {
    if (!node.IsDefined())
        throw CalibrationError(name + " is missing");
    if (node.IsNull())
        throw CalibrationError(name + " has no value");
    if (!node.IsScalar())
        throw CalibrationError(name + " is not a single value");
    return node.Scalar();
}

double readDouble(const YAML::Node &node, const std::string &name) {
    const std::string text = scalarText(node, name);
    const std::optional<double> value = parseNumber<double>(text);
    // NaN and infinity are no calibration values.
    if (!value || !std::isfinite(*value))
        throw CalibrationError(name + " is not a number: \"" + text + "\"");
    return *value;
}

int32_t readInt32(const YAML::Node &node, const std::string &name) {
    const std::string text = scalarText(node, name);
    const std::optional<int32_t> value = parseNumber<int32_t>(text);
    if (!value)
        throw CalibrationError(name + " is not a 32-bit integer: \"" + text + "\"");
    return *value;
}

// Tcl_0 is the camera-to-LiDAR transform as a 4x4 matrix, row by row.
void readMatrix(const YAML::Node &root, Calibration &calibration) {
    const YAML::Node tcl = root["Tcl_0"];
    if (!tcl.IsDefined())
        throw CalibrationError("Tcl_0 is missing");
    if (!tcl.IsSequence())
        throw CalibrationError("Tcl_0 is not a sequence");
    if (tcl.size() != MATRIX_VALUES)
        throw CalibrationError("Tcl_0 has " + std::to_string(tcl.size()) + " values, " +
                               std::to_string(MATRIX_VALUES) + " are needed");
    for (std::size_t i = 0; i < MATRIX_VALUES; ++i)
        calibration.tcl[i] = readDouble(tcl[i], "Tcl_0[" + std::to_string(i) + "]");
}

void readCamera(const YAML::Node &root, Calibration &calibration) {
    const YAML::Node cam = root["cam_0"];
    if (!cam.IsDefined())
        throw CalibrationError("cam_0 is missing");
    if (!cam.IsMap())
        throw CalibrationError("cam_0 is not a map");
    calibration.imageWidth = readInt32(cam["image_width"], "cam_0/image_width");
    calibration.imageHeight = readInt32(cam["image_height"], "cam_0/image_height");
    for (std::size_t i = 0; i < INTRINSIC_KEYS.size(); ++i)
        calibration.intrinsics[i] =
            readDouble(cam[INTRINSIC_KEYS[i]], std::string("cam_0/") + INTRINSIC_KEYS[i]);
}

// Reads the whole file at once: a calibration download may rewrite it meanwhile.
QByteArray readSource(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw CalibrationError("cannot open it: " + file.errorString().toStdString());
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw CalibrationError("cannot read it: " + file.errorString().toStdString());
    return bytes;
}

// Throws CalibrationError, or yaml-cpp's ParserException for a syntax error.
Calibration parseCalibration(const QByteArray &bytes) {
    // Const, so that looking up a missing key does not add it.
    const YAML::Node root = YAML::Load(bytes.toStdString());
    if (root.IsNull())
        throw CalibrationError("the document is empty");
    if (!root.IsMap())
        throw CalibrationError("the document is not a map");
    Calibration calibration;
    readMatrix(root, calibration);
    readCamera(root, calibration);
    return calibration;
}

QString formatCalibration(const Calibration &calibration) {
    QString text;
    QTextStream out(&text);
    out.setLocale(QLocale::c()); // dots, no group separators, whatever the user's locale
    out.setRealNumberNotation(QTextStream::FixedNotation);
    out.setRealNumberPrecision(FIXED_DIGITS);

    // The separator goes before the line break, so rows 1 to 3 end in ", ".
    out << "Tcl_0: [";
    for (std::size_t i = 0; i < MATRIX_VALUES; ++i) {
        if (i > 0 && i % MATRIX_COLUMNS == 0)
            out << "\n" << MATRIX_INDENT;
        out << calibration.tcl[i] << (i + 1 < MATRIX_VALUES ? ", " : "]\n");
    }
    out << "cam_0: \n";
    out << KEY_INDENT << "image_width: " << calibration.imageWidth << "\n";
    out << KEY_INDENT << "image_height: " << calibration.imageHeight << "\n";
    for (std::size_t i = 0; i < INTRINSIC_KEYS.size(); ++i)
        out << KEY_INDENT << INTRINSIC_KEYS[i] << ": " << calibration.intrinsics[i] << "\n";
    out.flush();
    return text;
}

// QSaveFile writes a temporary file beside the target and renames it over the
// target on commit, so a failure at any point leaves the target as it was.
bool writeTarget(const QString &path, const QString &text, log_origin origin) {
    // A failure here shows up as the open failure below.
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        log_print_from(origin, ERROR, "cannot create calibration text %s: %s", qUtf8Printable(path),
                       qUtf8Printable(file.errorString()));
        return false;
    }
    const QByteArray bytes = text.toUtf8();
    // After a failed write, commit discards the temporary file and fails too.
    file.write(bytes);
    if (!file.commit()) {
        log_print_from(origin, ERROR, "cannot write calibration text %s: %s", qUtf8Printable(path),
                       qUtf8Printable(file.errorString()));
        return false;
    }
    return true;
}

} // namespace

bool convertCalibration(const QString &sourcePath, const QString &targetPath) {
    if (sourcePath.isEmpty()) {
        log_print(ERROR, "no calibration file given, %s not written", qUtf8Printable(targetPath));
        return false;
    }
    Calibration calibration;
    try {
        calibration = parseCalibration(readSource(sourcePath));
    } catch (const YAML::ParserException &error) {
        log_print(ERROR, "calibration file %s is not valid YAML: line %d, column %d: %s",
                  qUtf8Printable(sourcePath), error.mark.line + 1, error.mark.column + 1,
                  error.msg.c_str());
        return false;
    } catch (const std::exception &error) {
        log_print(ERROR, "calibration file %s: %s", qUtf8Printable(sourcePath), error.what());
        return false;
    }
    return writeTarget(targetPath, formatCalibration(calibration), LOG_ORIGIN);
}

// Calibration conversion: calib.yaml in, cam_in_ex.txt out. All reading and
// checking ends before the target is touched, and the target is replaced whole.
#include "app/calibration_conversion.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QSaveFile>
#include <QTextStream>

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

constexpr std::size_t MATRIX_VALUES = 16;
constexpr std::size_t MATRIX_COLUMNS = 4;
constexpr std::size_t RIGID_VALUES = 12; // a 3 x 4 matrix: the bottom row is implied
constexpr int FIXED_DIGITS = 6;
constexpr const char *MATRIX_INDENT = "        ";
constexpr const char *KEY_INDENT = "   ";

// The cam_0 keys after image_width and image_height, in the order of the text's lines.
constexpr std::array<const char *, 13> INTRINSIC_KEYS = {
    "k2", "k3", "k4", "k5", "k6", "k7", "p1", "p2", "A11", "A12", "A22", "u0", "v0"};

struct Calibration {
    // Row by row; an absent value is 0, except the last, 1.
    std::array<double, MATRIX_VALUES> tcl{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    int32_t imageWidth = 0;
    int32_t imageHeight = 0;
    std::array<double, INTRINSIC_KEYS.size()> intrinsics{}; // in INTRINSIC_KEYS order
    QStringList defaulted;
};

// What is wrong with the calibration file; its text becomes the failure note.
class CalibrationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// std::from_chars reads the C format only, whatever the C or C++ locale is: a user
// locale with a decimal comma must neither break nor change the reading. yaml-cpp's
// own conversion reads through a stream in the global C++ locale, so under a
// program-wide de_DE it takes 0.5 for no number at all.
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

// YAML's own spellings of the values that are not finite, as yaml-cpp reads them.
std::optional<double> parseSpecialDouble(const std::string &text) {
    static const std::array<const char *, 6> positive = {".inf",  ".Inf",  ".INF",
                                                         "+.inf", "+.Inf", "+.INF"};
    static const std::array<const char *, 3> negative = {"-.inf", "-.Inf", "-.INF"};
    static const std::array<const char *, 3> notANumber = {".nan", ".NaN", ".NAN"};
    const auto among = [&text](const auto &spellings) {
        return std::find(spellings.begin(), spellings.end(), text) != spellings.end();
    };
    if (among(positive))
        return std::numeric_limits<double>::infinity();
    if (among(negative))
        return -std::numeric_limits<double>::infinity();
    if (among(notANumber))
        return std::numeric_limits<double>::quiet_NaN();
    return std::nullopt;
}

std::string scalarText(const YAML::Node &node, const std::string &name) {
    if (node.IsNull())
        throw CalibrationError(name + " has no value");
    if (!node.IsScalar())
        throw CalibrationError(name + " is not a single value");
    return node.Scalar();
}

double readDouble(const YAML::Node &node, const std::string &name) {
    const std::string text = scalarText(node, name);
    std::optional<double> value = parseSpecialDouble(text);
    if (!value) {
        value = parseNumber<double>(text);
        // from_chars also takes "inf" and "nan", which YAML does not.
        if (value && !std::isfinite(*value))
            value.reset();
    }
    if (!value)
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

// The value under key, if the parent has it. A parent that is a single value has
// no keys to look up: that is a malformed file, not a missing key.
std::optional<YAML::Node> child(const std::optional<YAML::Node> &parent, const char *key,
                                const std::string &parentName) {
    if (!parent)
        return std::nullopt;
    if (parent->IsScalar())
        throw CalibrationError(parentName + " is a single value, not a map");
    if (!parent->IsMap())
        return std::nullopt;
    // Const, so that looking up a missing key does not add it.
    const YAML::Node &map = *parent;
    const YAML::Node value = map[key];
    if (!value.IsDefined())
        return std::nullopt;
    return value;
}

// Tcl_0 is the camera-to-LiDAR transform, row by row. Values past the sixteenth
// are not read.
void readMatrix(const YAML::Node &root, Calibration &calibration) {
    const std::optional<YAML::Node> tcl = child(root, "Tcl_0", "the document");
    if (!tcl || !tcl->IsSequence()) {
        calibration.defaulted << QStringLiteral("Tcl_0");
        return;
    }
    const std::size_t present = std::min(tcl->size(), MATRIX_VALUES);
    for (std::size_t i = 0; i < present; ++i)
        calibration.tcl[i] = readDouble((*tcl)[i], "Tcl_0[" + std::to_string(i) + "]");
    if (present < MATRIX_VALUES && present != RIGID_VALUES)
        calibration.defaulted
            << QStringLiteral("Tcl_0 values %1 to %2").arg(present + 1).arg(MATRIX_VALUES);
}

void readCamera(const YAML::Node &root, Calibration &calibration) {
    const std::optional<YAML::Node> cam = child(root, "cam_0", "the document");
    // Reads key with reader into value, or notes that value keeps its default.
    const auto read = [&](const char *key, auto &value, auto reader) {
        const std::string name = std::string("cam_0/") + key;
        if (const std::optional<YAML::Node> node = child(cam, key, "cam_0"))
            value = reader(*node, name);
        else
            calibration.defaulted << QString::fromStdString(name);
    };
    read("image_width", calibration.imageWidth, readInt32);
    read("image_height", calibration.imageHeight, readInt32);
    for (std::size_t i = 0; i < INTRINSIC_KEYS.size(); ++i)
        read(INTRINSIC_KEYS[i], calibration.intrinsics[i], readDouble);
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

// Throws CalibrationError, or yaml-cpp's ParserException for a syntax error. An
// empty document, like one of other keys, has every value absent.
Calibration parseCalibration(const QByteArray &bytes) {
    const YAML::Node root = YAML::Load(bytes.toStdString());
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
// Returns the reason of a failure, or an empty text.
QString writeTarget(const QString &path, const QString &text) {
    // A failure here shows up as the open failure below.
    QDir().mkpath(QFileInfo(path).absolutePath());
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return QStringLiteral("cannot create %1: %2").arg(path, file.errorString());
    // After a failed write, commit discards the temporary file and fails too.
    file.write(text.toUtf8());
    if (!file.commit())
        return QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
    return QString();
}

// Returns the reason of a failure, or an empty text.
QString convert(const QString &sourcePath, const QString &targetPath, QStringList &defaulted) {
    if (sourcePath.isEmpty())
        return QStringLiteral("no calibration file given");
    Calibration calibration;
    try {
        calibration = parseCalibration(readSource(sourcePath));
    } catch (const YAML::ParserException &error) {
        return QStringLiteral("%1 is not valid YAML: line %2, column %3: %4")
            .arg(sourcePath)
            .arg(error.mark.line + 1)
            .arg(error.mark.column + 1)
            .arg(QString::fromStdString(error.msg));
    } catch (const std::exception &error) {
        return QStringLiteral("%1: %2").arg(sourcePath, QString::fromUtf8(error.what()));
    }
    defaulted = calibration.defaulted;
    return writeTarget(targetPath, formatCalibration(calibration));
}

} // namespace

bool convertCalibration(const QString &sourcePath, const QString &targetPath,
                        CalibrationNotes *notes) {
    CalibrationNotes found;
    found.failure = convert(sourcePath, targetPath, found.defaulted);
    const bool written = found.failure.isEmpty();
    if (!written)
        found.defaulted.clear();
    if (notes != nullptr)
        *notes = found;
    return written;
}

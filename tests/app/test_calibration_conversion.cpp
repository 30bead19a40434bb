// The calibration conversion: its layout, defaults, refusals (target untouched) and locale.
#include "app/calibration_conversion.h"
#include "tests/support/log_capture.h"
#include "tests/support/recording_files.h"
#include "tests/support/temp_dir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <locale>
#include <optional>
#include <regex>

namespace {

using kest_test::temp_dir;

const std::string CALIB_TCL = "Tcl_0: [ 0.99984, -0.01212, 0.01305, 0.05231,\n"
                              "         0.01198, 0.99987, 0.01071, -0.00124,\n"
                              "         -0.01318, -0.01055, 0.99986, 0.03102,\n"
                              "         0.0, 0.0, 0.0, 1.0 ]\n";

// A factory calibration as the device sends it, with keys the conversion ignores.
const std::string CALIB_YAML = "# KestOne factory calibration\n" + CALIB_TCL +
                               "cam_0:\n"
                               "   image_width: 1920\n   image_height: 1080\n"
                               "   k2: -0.0412734\n   k3: 0.01287449\n   k4: -9.13e-4\n"
                               "   k5: 0\n   k6: +1.5e-7\n   k7: 0.0\n"
                               "   p1: 0.000271\n   p2: -0.000184\n"
                               "   A11: 1536.3741289\n   A12: 0.25\n   A22: 1535.928\n"
                               "   u0: 961.645\n   v0: 538.102\n"
                               "cam_1:\n   image_width: 640\n   k2: not read\n"
                               "imu_0:\n   rate: 200\n";

// Written by hand: rows 1 to 3 end in ", ", row 4 in "]", "cam_0: " keeps its blank.
const std::string CALIB_TEXT = "Tcl_0: [0.999840, -0.012120, 0.013050, 0.052310, \n"
                               "        0.011980, 0.999870, 0.010710, -0.001240, \n"
                               "        -0.013180, -0.010550, 0.999860, 0.031020, \n"
                               "        0.000000, 0.000000, 0.000000, 1.000000]\n"
                               "cam_0: \n"
                               "   image_width: 1920\n   image_height: 1080\n"
                               "   k2: -0.041273\n   k3: 0.012874\n   k4: -0.000913\n"
                               "   k5: 0.000000\n   k6: 0.000000\n   k7: 0.000000\n"
                               "   p1: 0.000271\n   p2: -0.000184\n"
                               "   A11: 1536.374129\n   A12: 0.250000\n   A22: 1535.928000\n"
                               "   u0: 961.645000\n   v0: 538.102000\n";

const std::string PLACEHOLDER = "# camera intrinsics/extrinsics TBD\n";

// text with one piece replaced; fails the test if it is not there.
std::string replaced(std::string text, const std::string &from, const std::string &to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

std::string calibWith(const std::string &from, const std::string &to) {
    return replaced(CALIB_YAML, from, to);
}

std::string contents(const QString &path) {
    return kest_test::file_text(path.toStdString());
}

void writeFile(const QString &path, const std::string &bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    kest_test::write_file(path.toStdString(), bytes);
}

class CalibrationConversion : public kest_test::logged_test {
protected:
    QString path(const std::string &name) const {
        return QString::fromStdString((dir.path() / name).string());
    }
    // The conversion tells its caller what it found and logs nothing itself.
    void TearDown() override {
        EXPECT_TRUE(kest_test::captured_logs().empty()) << kest_test::captured_logs()[0].text;
        kest_test::logged_test::TearDown();
    }
    temp_dir dir;
    const QString source = path("files/recv/calib.yaml");
    const QString target = path("rec/image/cam_in_ex.txt");
    CalibrationNotes notes;
};

// Also into a new folder, from and to non-ASCII paths.
TEST_F(CalibrationConversion, WritesTheTwentyLineLayoutOverThePlaceholder) {
    writeFile(source, CALIB_YAML);
    writeFile(target, PLACEHOLDER);
    const QString folder = path("") + QString::fromUtf8("Aufnahme_äöü_測定_é");
    const QString deepSource = folder + QString::fromUtf8("/files/recv/calib.yaml");
    const QString deep = folder + QString::fromUtf8("/Größe/image/cam_in_ex.txt");
    writeFile(deepSource, CALIB_YAML);
    ASSERT_TRUE(convertCalibration(source, target, &notes));
    ASSERT_TRUE(convertCalibration(deepSource, deep));
    EXPECT_EQ(contents(target), CALIB_TEXT);
    EXPECT_EQ(contents(deep), CALIB_TEXT);
    EXPECT_EQ(QDir(path("rec/image")).entryList(QDir::Files), QStringList{"cam_in_ex.txt"});
    EXPECT_TRUE(notes.failure.isEmpty());
    EXPECT_TRUE(notes.defaulted.isEmpty());
}

const std::string DEFAULT_TCL_TEXT = "Tcl_0: [0.000000, 0.000000, 0.000000, 0.000000, \n"
                                     "        0.000000, 0.000000, 0.000000, 0.000000, \n"
                                     "        0.000000, 0.000000, 0.000000, 0.000000, \n"
                                     "        0.000000, 0.000000, 0.000000, 1.000000]\n";

const std::string CALIB_CAM_TEXT = CALIB_TEXT.substr(CALIB_TEXT.find("cam_0"));
const std::string CALIB_TCL_TEXT = CALIB_TEXT.substr(0, CALIB_TEXT.find("cam_0"));
// cam_0 with every value 0.
const std::string DEFAULT_CAM_TEXT = std::regex_replace(
    std::regex_replace(CALIB_CAM_TEXT, std::regex(": -?[0-9]+\\.[0-9]+\n"), ": 0.000000\n"),
    std::regex(": [0-9]+\n"), ": 0\n");

const QStringList ALL_CAM_KEYS = {
    "cam_0/image_width", "cam_0/image_height", "cam_0/k2",  "cam_0/k3", "cam_0/k4",
    "cam_0/k5",          "cam_0/k6",           "cam_0/k7",  "cam_0/p1", "cam_0/p2",
    "cam_0/A11",         "cam_0/A12",          "cam_0/A22", "cam_0/u0", "cam_0/v0"};

TEST_F(CalibrationConversion, WritesDefaultsForAbsentValuesAndNamesThem) {
    const std::string noTcl = DEFAULT_TCL_TEXT + CALIB_CAM_TEXT;
    const std::string noCam = CALIB_TCL_TEXT + DEFAULT_CAM_TEXT;
    const struct {
        const char *name;
        std::string yaml, text;
        QStringList defaulted = {};
    } cases[] = {
        {"scalar Tcl_0", calibWith(CALIB_TCL, "Tcl_0: 5\n"), noTcl, {"Tcl_0"}},
        // The device's 3 x 4 form: its bottom row is implied, so nothing is missing.
        {"12 values", calibWith("0.03102,\n         0.0, 0.0, 0.0, 1.0 ]", "0.03102 ]"),
         CALIB_TEXT},
        {"17 values, the last not read", calibWith("1.0 ]", "1.0, text ]"), CALIB_TEXT},
        {"5 values",
         calibWith(CALIB_TCL, "Tcl_0: [1, 2, 3, 4, 5]\n"),
         replaced(noTcl, "0.000000, 0.000000, 0.000000, 0.000000, \n        0.000000",
                  "1.000000, 2.000000, 3.000000, 4.000000, \n        5.000000"),
         {"Tcl_0 values 6 to 16"}},
        {"missing width and u0",
         replaced(calibWith("   image_width: 1920\n", ""), "   u0: 961.645\n", ""),
         replaced(replaced(CALIB_TEXT, "width: 1920", "width: 0"), "u0: 961.645000",
                  "u0: 0.000000"),
         {"cam_0/image_width", "cam_0/u0"}},
        {"cam_0 as a sequence", CALIB_TCL + "cam_0: [1, 2]\n", noCam, ALL_CAM_KEYS},
        {"YAML's infinity and NaN",
         replaced(calibWith("k3: 0.01287449", "k3: -.inf"), "k4: -9.13e-4", "k4: .NaN"),
         replaced(replaced(CALIB_TEXT, "k3: 0.012874", "k3: -inf"), "k4: -0.000913", "k4: nan")},
        {"empty document", "", DEFAULT_TCL_TEXT + DEFAULT_CAM_TEXT,
         QStringList("Tcl_0") + ALL_CAM_KEYS},
    };
    for (const auto &converted : cases) {
        SCOPED_TRACE(converted.name);
        writeFile(source, converted.yaml);
        writeFile(target, PLACEHOLDER);
        ASSERT_TRUE(convertCalibration(source, target, &notes));
        EXPECT_EQ(contents(target), converted.text);
        EXPECT_EQ(notes.defaulted, converted.defaulted);
    }
}

TEST_F(CalibrationConversion, RejectsBadCalibrationAndLeavesTargetUntouched) {
    const struct {
        const char *name;
        std::optional<std::string> yaml; // none: no source file
        std::string fault;               // what the failure note must say
    } cases[] = {
        {"nested Tcl_0 element", calibWith("-0.01212,", "[ -0.01212 ],"),
         "Tcl_0[1] is not a single value"},
        {"text in Tcl_0", calibWith("0.99987,", "one,"), "Tcl_0[5] is not a number: \"one\""},
        {"C's spelling of infinity", calibWith("k3: 0.01287449", "k3: inf"),
         "cam_0/k3 is not a number: \"inf\""},
        {"decimal comma", calibWith("A12: 0.25", "A12: 0,25"),
         "cam_0/A12 is not a number: \"0,25\""},
        {"empty p1", calibWith("p1: 0.000271", "p1:"), "cam_0/p1 has no value"},
        {"height beyond 32 bits", calibWith("image_height: 1080", "image_height: 4294967296"),
         "cam_0/image_height is not a 32-bit integer: \"4294967296\""},
        {"scalar cam_0", calibWith("cam_0:\n   image_width: 1920\n", "cam_0: 3\ncam_x:\n"),
         "cam_0 is a single value, not a map"},
        {"syntax error", "Tcl_0: [ 1.0, 2.0\ncam_0: {\n", "is not valid YAML: line "},
        {"no source", std::nullopt, ": cannot open it: "},
    };
    const QString absent = path("absent/image/cam_in_ex.txt");
    for (const auto &bad : cases) {
        SCOPED_TRACE(bad.name);
        QFile::remove(source);
        if (bad.yaml)
            writeFile(source, *bad.yaml);
        writeFile(target, PLACEHOLDER);
        EXPECT_FALSE(convertCalibration(source, target, &notes));
        EXPECT_FALSE(convertCalibration(source, absent));
        EXPECT_EQ(contents(target), PLACEHOLDER);
        EXPECT_EQ(QDir(path("rec/image")).entryList(QDir::Files), QStringList{"cam_in_ex.txt"});
        EXPECT_FALSE(QFileInfo::exists(path("absent")));
        EXPECT_TRUE(notes.failure.startsWith(source)) << notes.failure.toStdString();
        EXPECT_TRUE(notes.failure.contains(QString::fromStdString(bad.fault)))
            << notes.failure.toStdString();
        EXPECT_TRUE(notes.defaulted.isEmpty());
    }
}

// Puts the process back into the "C" locale, C and C++ alike, however the test ends.
struct CLocaleRestorer {
    ~CLocaleRestorer() {
        std::setlocale(LC_ALL, "C");
        std::locale::global(std::locale::classic());
    }
};

// yaml-cpp's own conversion reads through the global C++ locale: under de_DE, 0.5 is no number.
TEST_F(CalibrationConversion, WritesAndReadsDotsUnderADecimalCommaLocale) {
    CLocaleRestorer restorer;
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr)
        GTEST_SKIP() << "locale de_DE.UTF-8 is not installed";
    std::locale::global(std::locale("de_DE.UTF-8"));
    char printed[16];
    std::snprintf(printed, sizeof printed, "%f", 0.5);
    ASSERT_STREQ(printed, "0,500000") << "the locale does not use a decimal comma";
    writeFile(source, CALIB_YAML);
    ASSERT_TRUE(convertCalibration(source, target));
    EXPECT_EQ(contents(target), CALIB_TEXT);
}

} // namespace

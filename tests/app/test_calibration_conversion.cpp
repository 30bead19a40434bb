// The calibration conversion: the exact text layout, the faults that must leave the
// target untouched, locale independence and non-ASCII paths.
#include "app/calibration_conversion.h"

#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <filesystem>
#include <locale>
#include <string>
#include <vector>

namespace {

using kest_test::temp_dir;

const std::string CALIB_TCL = "Tcl_0: [ 0.99984, -0.01212, 0.01305, 0.05231,\n"
                              "         0.01198, 0.99987, 0.01071, -0.00124,\n"
                              "         -0.01318, -0.01055, 0.99986, 0.03102,\n"
                              "         0.0, 0.0, 0.0, 1.0 ]\n";

// A factory calibration as the device sends it, with keys the conversion ignores.
const std::string CALIB_YAML = "# KestOne factory calibration\n" + CALIB_TCL +
                               "cam_0:\n"
                               "   image_width: 1920\n"
                               "   image_height: 1080\n"
                               "   k2: -0.0412734\n"
                               "   k3: 0.01287449\n"
                               "   k4: -9.13e-4\n"
                               "   k5: 0\n"
                               "   k6: +1.5e-7\n"
                               "   k7: 0.0\n"
                               "   p1: 0.000271\n"
                               "   p2: -0.000184\n"
                               "   A11: 1536.3741289\n"
                               "   A12: 0.25\n"
                               "   A22: 1535.928\n"
                               "   u0: 961.645\n"
                               "   v0: 538.102\n"
                               "cam_1:\n"
                               "   image_width: 640\n"
                               "   k2: not read\n"
                               "imu_0:\n"
                               "   rate: 200\n";

// Written by hand from the layout: rows 1 to 3 end in ", ", row 4 in "]", the
// cam_0 line keeps its trailing blank, keys are indented by three blanks.
const std::string CALIB_TEXT = "Tcl_0: [0.999840, -0.012120, 0.013050, 0.052310, \n"
                               "        0.011980, 0.999870, 0.010710, -0.001240, \n"
                               "        -0.013180, -0.010550, 0.999860, 0.031020, \n"
                               "        0.000000, 0.000000, 0.000000, 1.000000]\n"
                               "cam_0: \n"
                               "   image_width: 1920\n"
                               "   image_height: 1080\n"
                               "   k2: -0.041273\n"
                               "   k3: 0.012874\n"
                               "   k4: -0.000913\n"
                               "   k5: 0.000000\n"
                               "   k6: 0.000000\n"
                               "   k7: 0.000000\n"
                               "   p1: 0.000271\n"
                               "   p2: -0.000184\n"
                               "   A11: 1536.374129\n"
                               "   A12: 0.250000\n"
                               "   A22: 1535.928000\n"
                               "   u0: 961.645000\n"
                               "   v0: 538.102000\n";

const std::string PLACEHOLDER = "# camera intrinsics/extrinsics TBD\n";

// CALIB_YAML with one piece of text replaced; fails the test if it is not there.
std::string calibWith(const std::string &from, const std::string &to) {
    std::string yaml = CALIB_YAML;
    const std::size_t at = yaml.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos)
        yaml.replace(at, from.size(), to);
    return yaml;
}

QString qpath(const std::filesystem::path &path) {
    return QString::fromStdString(path.string());
}

// The whole content of a file, or "<absent>".
std::string contents(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return "<absent>";
    return file.readAll().toStdString();
}

void writeFile(const QString &path, const std::string &bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
    ASSERT_EQ(file.write(bytes.data(), qint64(bytes.size())), qint64(bytes.size()));
}

std::vector<kest_test::log_record> errorLines() {
    std::vector<kest_test::log_record> errors;
    for (const kest_test::log_record &record : kest_test::captured_logs())
        if (record.word == "ERROR")
            errors.push_back(record);
    return errors;
}

class CalibrationConversion : public kest_test::logged_test {
protected:
    QString path(const std::string &name) const { return qpath(dir.path() / name); }

    temp_dir dir;
    const QString source = path("files/recv/calib.yaml");
    const QString target = path("rec/image/cam_in_ex.txt");
};

TEST_F(CalibrationConversion, WritesTheTwentyLineLayoutOverThePlaceholder) {
    writeFile(source, CALIB_YAML);
    writeFile(target, PLACEHOLDER);

    ASSERT_TRUE(convertCalibration(source, target));

    EXPECT_EQ(contents(target), CALIB_TEXT);
    EXPECT_EQ(QDir(path("rec/image")).entryList(QDir::Files), QStringList{"cam_in_ex.txt"});
    EXPECT_TRUE(errorLines().empty());
}

TEST_F(CalibrationConversion, CreatesTheTargetFolder) {
    writeFile(source, CALIB_YAML);
    const QString deep = path("new/recording/image/cam_in_ex.txt");

    ASSERT_TRUE(convertCalibration(source, deep));

    EXPECT_EQ(contents(deep), CALIB_TEXT);
}

struct BadCalibration {
    const char *name;
    std::string yaml;
    std::string fault; // what the ERROR line must say
};

const std::vector<BadCalibration> &badCalibrations() {
    static const std::vector<BadCalibration> cases = {
        {"missing Tcl_0", calibWith(CALIB_TCL, ""), "Tcl_0 is missing"},
        {"12 values", calibWith("         0.0, 0.0, 0.0, 1.0 ]\n", "]\n"),
         "Tcl_0 has 12 values, 16 are needed"},
        {"17 values", calibWith("1.0 ]", "1.0, 0.0 ]"), "Tcl_0 has 17 values, 16 are needed"},
        {"scalar Tcl_0", calibWith(CALIB_TCL, "Tcl_0: 5\n"), "Tcl_0 is not a sequence"},
        {"nested Tcl_0 element", calibWith("-0.01212,", "[ -0.01212 ],"),
         "Tcl_0[1] is not a single value"},
        {"text in Tcl_0", calibWith("0.99987,", "one,"), "Tcl_0[5] is not a number: \"one\""},
        {"text k2", calibWith("k2: -0.0412734", "k2: \"abc\""),
         "cam_0/k2 is not a number: \"abc\""},
        {"NaN k3", calibWith("k3: 0.01287449", "k3: .nan"), "cam_0/k3 is not a number: \".nan\""},
        {"decimal comma", calibWith("A12: 0.25", "A12: 0,25"),
         "cam_0/A12 is not a number: \"0,25\""},
        {"empty p1", calibWith("p1: 0.000271", "p1:"), "cam_0/p1 has no value"},
        {"missing k7", calibWith("   k7: 0.0\n", ""), "cam_0/k7 is missing"},
        {"fractional width", calibWith("image_width: 1920", "image_width: 1920.5"),
         "cam_0/image_width is not a 32-bit integer: \"1920.5\""},
        {"height beyond 32 bits", calibWith("image_height: 1080", "image_height: 4294967296"),
         "cam_0/image_height is not a 32-bit integer: \"4294967296\""},
        {"scalar cam_0",
         calibWith("cam_0:\n   image_width: 1920\n",
                   "cam_0: 3\ncam_0_before:\n   image_width: 1920\n"),
         "cam_0 is not a map"},
        {"missing cam_0", calibWith("cam_0:\n", "cam_9:\n"), "cam_0 is missing"},
        {"empty document", "", "the document is empty"},
        {"comments only", "# nothing calibrated yet\n", "the document is empty"},
        {"sequence document", "- 1\n- 2\n", "the document is not a map"},
        {"scalar document", "5\n", "the document is not a map"},
        {"syntax error", "Tcl_0: [ 1.0, 2.0\ncam_0: {\n", "is not valid YAML: line "},
    };
    return cases;
}

TEST_F(CalibrationConversion, RejectsBadCalibrationAndLeavesTargetUntouched) {
    const QString absent = path("absent/image/cam_in_ex.txt");
    for (const BadCalibration &bad : badCalibrations()) {
        SCOPED_TRACE(bad.name);
        kest_test::reset_logger();
        kest_test::capture_logs(KEST_LOG_VALUE_DEBUG);
        writeFile(source, bad.yaml);
        writeFile(target, PLACEHOLDER);

        EXPECT_FALSE(convertCalibration(source, target));
        EXPECT_FALSE(convertCalibration(source, absent));

        EXPECT_EQ(contents(target), PLACEHOLDER);
        EXPECT_EQ(QDir(path("rec/image")).entryList(QDir::Files), QStringList{"cam_in_ex.txt"});
        EXPECT_FALSE(QFileInfo::exists(path("absent")));
        const std::vector<kest_test::log_record> errors = errorLines();
        ASSERT_EQ(errors.size(), 2u);
        for (const kest_test::log_record &error : errors) {
            EXPECT_EQ(error.function, "convertCalibration");
            EXPECT_NE(error.text.find("calibration file " + source.toStdString()),
                      std::string::npos)
                << error.text;
            EXPECT_NE(error.text.find(bad.fault), std::string::npos) << error.text;
        }
    }
}

TEST_F(CalibrationConversion, LogsTheWholeFaultLine) {
    writeFile(source, calibWith(CALIB_TCL, ""));

    EXPECT_FALSE(convertCalibration(source, target));

    EXPECT_EQ(kest_test::captured_line_with("Tcl_0"),
              "<ERROR><calibration_conversion.cpp:convertCalibration:N>: calibration file " +
                  source.toStdString() + ": Tcl_0 is missing");
}

TEST_F(CalibrationConversion, FailsWithoutASourceFile) {
    writeFile(target, PLACEHOLDER);

    EXPECT_FALSE(convertCalibration(QString(), target));
    EXPECT_FALSE(convertCalibration(source, target));

    EXPECT_EQ(contents(target), PLACEHOLDER);
    EXPECT_TRUE(kest_test::log_contains("no calibration file given, " + target.toStdString() +
                                        " not written"));
    EXPECT_TRUE(
        kest_test::log_contains("calibration file " + source.toStdString() + ": cannot open it: "));
    EXPECT_EQ(errorLines().size(), 2u);
}

TEST_F(CalibrationConversion, FailsWhenTheTargetCannotBeWritten) {
    writeFile(source, CALIB_YAML);
    writeFile(path("blocker"), "a file where the folder should be");
    const QString blocked = path("blocker/image/cam_in_ex.txt");

    EXPECT_FALSE(convertCalibration(source, blocked));

    EXPECT_EQ(contents(path("blocker")), "a file where the folder should be");
    const std::vector<kest_test::log_record> errors = errorLines();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].function, "convertCalibration");
    EXPECT_NE(errors[0].text.find("cannot create calibration text " + blocked.toStdString()),
              std::string::npos)
        << errors[0].text;
}

// Puts the process back into the "C" locale, C and C++ alike, however the test ends.
struct CLocaleRestorer {
    ~CLocaleRestorer() {
        std::setlocale(LC_ALL, "C");
        std::locale::global(std::locale::classic());
    }
};

TEST_F(CalibrationConversion, WritesAndReadsDotsUnderADecimalCommaLocale) {
    CLocaleRestorer restorer;
    if (std::setlocale(LC_ALL, "de_DE.UTF-8") == nullptr)
        GTEST_SKIP() << "locale de_DE.UTF-8 is not installed";
    // The C++ global locale too: a stream-based number reader would take 0.5 as 5 here.
    std::locale::global(std::locale("de_DE.UTF-8"));
    char printed[16];
    std::snprintf(printed, sizeof printed, "%f", 0.5);
    ASSERT_STREQ(printed, "0,500000") << "the locale does not use a decimal comma";
    writeFile(source, CALIB_YAML);

    ASSERT_TRUE(convertCalibration(source, target));

    EXPECT_EQ(contents(target), CALIB_TEXT);
}

TEST_F(CalibrationConversion, HandlesNonAsciiFolderNames) {
    const QString folder = path("") + QString::fromUtf8("Aufnahme_äöü_測定_é");
    const QString nonAsciiSource = folder + QString::fromUtf8("/files/recv/calib.yaml");
    const QString nonAsciiTarget = folder + QString::fromUtf8("/Größe/image/cam_in_ex.txt");
    writeFile(nonAsciiSource, CALIB_YAML);
    writeFile(nonAsciiTarget, PLACEHOLDER);

    ASSERT_TRUE(convertCalibration(nonAsciiSource, nonAsciiTarget));

    EXPECT_EQ(contents(nonAsciiTarget), CALIB_TEXT);
    EXPECT_TRUE(errorLines().empty());
}

} // namespace

// Arbitrary text as the device's calibration file, converted into the
// recording's camera file: the conversion must either write a whole file or
// fail and leave the target alone, whatever the YAML says.
#include "app/calibration_conversion.h"
#include "sdk/logger/logger.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>

namespace {

int silent(const char *, ...) {
    return 0;
}

QTemporaryDir *scratch = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    log_config(KEST_LOG_VALUE_ERROR, silent);
    scratch = new QTemporaryDir;
    return scratch->isValid() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const QString source = scratch->filePath(QStringLiteral("calib.yaml"));
    const QString target = scratch->filePath(QStringLiteral("image/cam_in_ex.txt"));
    QFile file(source);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        abort();
    file.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size));
    file.close();
    QFile::remove(target);
    bool converted = convertCalibration(source, target);
    // A failed conversion leaves no target behind; a good one a complete file.
    if (converted != QFile::exists(target))
        abort();
    return 0;
}

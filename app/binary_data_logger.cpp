// A recording's folder, text files and writers (see the header).
#include "app/binary_data_logger.h"

#include "sdk/logger/logger.h"

#include <QDir>
#include <QFile>

#include <system_error>

namespace {

QString stamp(const QDateTime &startTime) {
    QDateTime at = startTime.isValid() ? startTime : QDateTime::currentDateTime();
    return at.toString(QStringLiteral("yyyyMMdd_HHmmss"));
}

QString chooseRoot(const QString &configured) {
    return configured.isEmpty() ? BinaryDataLogger::defaultRoot() : configured;
}

// Creates path with its missing parents; throws naming the folder otherwise.
QString makeFolder(const QString &path) {
    if (!QDir().mkpath(path) || !QFileInfo(path).isWritable()) {
        log_print(ERROR, "[Recorder] Cannot create the folder %s.\n",
                  QFile::encodeName(path).constData());
        throw std::system_error(std::make_error_code(std::errc::permission_denied),
                                "create_directories " + QFile::encodeName(path).toStdString());
    }
    return path;
}

// The text files are conveniences: one that cannot be written is reported and skipped.
void writeText(const QString &path, const QByteArray &text) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
        log_print(WARN, "[Recorder] Cannot write %s: %s.\n", QFile::encodeName(path).constData(),
                  file.errorString().toLocal8Bit().constData());
}

QString prepareFolder(const RecorderConfig &config) {
    const QString t = stamp(config.startTime);
    const QString dir = makeFolder(QDir(chooseRoot(config.root)).filePath(t));
    const QString image = makeFolder(QDir(dir).filePath(QStringLiteral("image")));
    writeText(QDir(image).filePath(QStringLiteral("info.txt")),
              "device=KestOne\ncreated_at=" + t.toLatin1() + "\n");
    writeText(QDir(image).filePath(QStringLiteral("cam_in_ex.txt")),
              BinaryDataLogger::PLACEHOLDER_CALIBRATION);
    return dir;
}

std::unique_ptr<BinaryFileWriter> openWriter(const RecorderConfig &config, const QString &dir,
                                             const QString &name) {
    return std::make_unique<BinaryFileWriter>(QDir(dir).filePath(name), config.batchSize,
                                              config.limits);
}

QString cloudFileName(const QString &dir) {
    return QStringLiteral("MT") + QDir(dir).dirName() + QStringLiteral(".kvx");
}

} // namespace

// Members are built in declaration order, so a writer that cannot open its
// file throws after the ones before it were built, and those are stopped.
BinaryDataLogger::BinaryDataLogger(const RecorderConfig &config)
    : recordDir(prepareFolder(config)),
      poseWriter(openWriter(config, recordDir, QStringLiteral("KestPose.bin"))),
      cloudWriter(openWriter(config, recordDir, cloudFileName(recordDir))),
      imageWriter(openWriter(config, recordDir, QStringLiteral("KestImage.bin"))) {}

BinaryDataLogger::~BinaryDataLogger() {
    stop();
}

std::array<WriterReport, 3> BinaryDataLogger::stop() {
    poseWriter->stop();
    cloudWriter->stop();
    imageWriter->stop();
    return {poseWriter->report(), cloudWriter->report(), imageWriter->report()};
}

QString BinaryDataLogger::defaultRoot() {
    const QString data = qEnvironmentVariable("KEST_DATA_DIR");
    if (!data.isEmpty())
        return data;
    const QString home = qEnvironmentVariable("HOME");
    if (!home.isEmpty())
        return QDir(home).filePath(QStringLiteral("KestData"));
    return QDir::current().filePath(QStringLiteral("KestData"));
}

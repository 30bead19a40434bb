#include "app/program_places.h"

#include "sdk/common/platform/platform.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace {

QString userDataFolder() {
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return data.isEmpty() ? QString() : QDir(data).filePath(QStringLiteral("kestviewer"));
}

// The folder of the running program, known even before (or without) an
// application object.
QString runningProgramFolder() {
    const QFileInfo program(QString::fromStdString(platform_program_path()));
    const QString target = program.canonicalFilePath();
    return target.isEmpty() ? QDir::currentPath() : QFileInfo(target).absolutePath();
}

QString canonical(const QString &folder) {
    const QString resolved = QFileInfo(folder).canonicalFilePath();
    return resolved.isEmpty() ? QDir::cleanPath(QFileInfo(folder).absoluteFilePath()) : resolved;
}

} // namespace

QString userLogFolder() {
    QString state = QString::fromLocal8Bit(platform_state_home().c_str());
    if (state.isEmpty()) // no home named: Qt's idea of one
        state = QDir::home().filePath(QStringLiteral(".local/state"));
    return QDir(state).filePath(QStringLiteral("kestviewer/logs"));
}

ProgramPlaces programPlacesFor(const QString &programFolder, const QString &buildFolder,
                               const QString &workingFolder) {
    ProgramPlaces places;
    places.installed = buildFolder.isEmpty() || canonical(programFolder) != canonical(buildFolder);
    const QString userData = userDataFolder();
    if (!userData.isEmpty())
        places.userRecordings = QDir(userData).filePath(QStringLiteral("recordData"));
    places.calibrationFolder = QDir(workingFolder).absoluteFilePath(QStringLiteral("files/recv"));
    if (!places.installed)
        places.besideProgram = QDir(programFolder).filePath(QStringLiteral("recordData"));
    else if (!userData.isEmpty()) // without a home, the working directory is all there is
        places.calibrationFolder = QDir(userData).filePath(QStringLiteral("recv"));
    if (places.installed)
        places.logFolder = userLogFolder();
    return places;
}

ProgramPlaces programPlaces() {
    return programPlacesFor(runningProgramFolder(), QStringLiteral(KEST_BUILD_PROGRAM_FOLDER),
                            QDir::currentPath());
}

#include "app/viewer/view_export.h"

#include "app/glRender/gl_point_cloud_renderer.h"
#include "recording/export_file.h"
#include "recording/las_file.h"
#include "recording/point_file_format.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QOpenGLWidget>
#include <QPainter>
#include <QStandardPaths>

#include <algorithm>

namespace {

constexpr size_t pointsPerWrite = 1 << 16; // the file is written in pieces of a few MB

} // namespace

QString snapshotFolder() {
    QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (pictures.isEmpty())
        pictures = QDir::homePath();
    return QDir(pictures).filePath(QStringLiteral("KestViewer"));
}

QString saveViewSnapshot(GLPointCloudRenderer &view, const QString &folder, QString *error) {
    if (!QDir().mkpath(folder)) {
        *error = QObject::tr("cannot make the folder %1").arg(folder);
        return {};
    }
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString path = QDir(folder).filePath(QStringLiteral("kestviewer-%1.png").arg(stamp));
    for (int n = 2; QFileInfo::exists(path); ++n)
        path = QDir(folder).filePath(QStringLiteral("kestviewer-%1-%2.png").arg(stamp).arg(n));
    if (!view.grabFramebuffer().save(path, "PNG")) {
        *error = QObject::tr("cannot write %1").arg(path);
        QFile::remove(path);
        return {};
    }
    return path;
}

namespace {

// LAS keeps each point's intensity and frame label (as its point source); the
// view knows no times, so every GPS time is 0.
bool saveShownLas(const GLFrameStore &store, const std::string &path, std::string &reason) {
    LasFile file;
    if (!file.open(path, reason))
        return false;
    for (const auto &frame : store.storedFrames())
        if (!file.add(reinterpret_cast<const uint8_t *>(frame->points.data()), frame->points.size(),
                      viewPoints, LasBatch{}, reason))
            return false;
    return file.close(reason);
}

bool saveShownPoints(const GLFrameStore &store, PointFileFormat format, const std::string &path,
                     std::string &reason) {
    const auto count = static_cast<uint64_t>(std::max<long long>(store.pointCount(), 0));
    ExportFile file;
    const std::string comment = "the points KestViewer showed, world coordinates in metres";
    bool written = file.open(path, reason) &&
                   file.write(pointFileHeader(format, false, count, comment, true), reason);
    std::string bytes;
    for (const auto &frame : store.storedFrames()) {
        const auto *points = reinterpret_cast<const uint8_t *>(frame->points.data());
        for (size_t at = 0; written && at < frame->points.size(); at += pointsPerWrite) {
            bytes.clear();
            const size_t n = std::min(pointsPerWrite, frame->points.size() - at);
            appendPointFileBody(format, false, points + at * sizeof(CloudPoint), n, bytes,
                                viewPoints);
            written = file.write(bytes, reason);
        }
    }
    return written && file.close(reason);
}

} // namespace

bool saveShownCloud(const GLPointCloudRenderer &view, const QString &path, QString *error) {
    const auto format = pointFileFormatNamed(QFileInfo(path).suffix().toLower().toStdString());
    if (!format || *format == PointFileFormat::Csv) {
        *error = QObject::tr("%1: name the file .ply, .pcd or .las").arg(path);
        return false;
    }
    std::string reason;
    const std::string file = QFile::encodeName(path).toStdString();
    const bool written = *format == PointFileFormat::Las
                             ? saveShownLas(view.shownStore(), file, reason)
                             : saveShownPoints(view.shownStore(), *format, file, reason);
    if (!written)
        *error = QString::fromStdString(reason);
    return written;
}

QImage grabAsShown(QWidget &window) {
    QImage image = window.grab().toImage();
    QList<QOpenGLWidget *> views;
    for (QOpenGLWidget *view : window.findChildren<QOpenGLWidget *>())
        if (view->isVisible())
            views << view;
    std::sort(views.begin(), views.end(), [](const QOpenGLWidget *a, const QOpenGLWidget *b) {
        return a->width() * a->height() > b->width() * b->height();
    });
    QPainter painter(&image);
    for (QOpenGLWidget *view : views)
        painter.drawImage(QRect(view->mapTo(&window, QPoint(0, 0)), view->size()),
                          view->grabFramebuffer());
    return image;
}

// Saving what the 3D view shows: a picture of it, overlays included, and the
// points it draws (after voxel filter and point budget), in world coordinates
// with colour and intensity, through the same writers as kestctl export.
#pragma once

#include <QString>

class GLPointCloudRenderer;
class QImage;
class QWidget;

// "KestViewer" in the per-user pictures folder (~/Pictures/KestViewer).
QString snapshotFolder();

// A PNG of the view as drawn, named by the time ("kestviewer-20261208-115830.png",
// "-2" and on when taken within the same second), in folder, which is made if
// missing. The file's path; empty, with the reason in error, when it cannot be saved.
QString saveViewSnapshot(GLPointCloudRenderer &view, const QString &folder, QString *error);

// The points the view draws, to path as binary PLY, PCD or LAS by its extension.
// false, with the reason in error (a file half written is removed).
bool saveShownCloud(const GLPointCloudRenderer &view, const QString &path, QString *error);

// The window as it shows on screen. QWidget::grab leaves out what an OpenGL
// view paints over its scene with QPainter (the colour bar, labels,
// measurements): each view's own framebuffer is laid over it, the larger
// first, as the views stack.
QImage grabAsShown(QWidget &window);

// Finding the point drawn under the cursor: a ray from the cursor into the
// scene, widened to a few pixels at every depth, and the front-most stored
// point inside it. Plain functions, no GL: the view's matrices and its stored
// points are all it needs, and it never waits for the GPU.
#pragma once

#include "recording/cloud_point.h"

#include <QMatrix4x4>
#include <QPointF>
#include <QSize>
#include <QVector3D>

#include <optional>
#include <vector>

struct PickRay {
    QVector3D origin;    // on the near plane, under the cursor
    QVector3D direction; // unit, into the scene
    // The radius taken around the ray: near + perMetre * (distance along it).
    float near = 0.0f, perMetre = 0.0f;
};

// viewProjection maps world points to clip space for a viewport of size; cursor
// is in widget pixels (top-left origin). radiusPixels: how far from the cursor a
// point may be drawn and still count.
std::optional<PickRay> pickRay(const QMatrix4x4 &viewProjection, QSize size, QPointF cursor,
                               float radiusPixels);

// What a pick needs of one cloud, made once when the cloud is stored: a sphere
// around its finite points (a ray that misses it skips the cloud) and its
// positions as three arrays of coordinates, which the pick's loop reads in
// order and the compiler runs on several points at once.
struct PickIndex {
    QVector3D centre;
    float radius = -1.0f; // negative: no finite point
    std::vector<float> x, y, z;
};
PickIndex pickIndexOf(const std::vector<CloudPoint> &points);

struct PickableFrame {
    const std::vector<CloudPoint> *points;
    const PickIndex *index; // of points
};

// The point inside ray nearest the viewer, among every frame's points.
std::optional<CloudPoint> pickPoint(const PickRay &ray, const std::vector<PickableFrame> &frames);

#include "app/glRender/point_picking.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// The world point at a cursor position and a depth of the view's volume (-1 near, 1 far).
QVector3D unproject(const QMatrix4x4 &inverse, QSize size, QPointF cursor, float depth) {
    const float x = static_cast<float>(2.0 * cursor.x() / size.width() - 1.0);
    const float y = static_cast<float>(1.0 - 2.0 * cursor.y() / size.height());
    return inverse.map(QVector3D(x, y, depth)); // divided by w
}

} // namespace

std::optional<PickRay> pickRay(const QMatrix4x4 &viewProjection, QSize size, QPointF cursor,
                               float radiusPixels) {
    bool invertible = false;
    const QMatrix4x4 inverse = viewProjection.inverted(&invertible);
    if (!invertible || size.isEmpty())
        return std::nullopt;
    const QPointF aside = cursor + QPointF(radiusPixels, 0);
    const QVector3D nearPoint = unproject(inverse, size, cursor, -1);
    const QVector3D farPoint = unproject(inverse, size, cursor, 1);
    const float length = (farPoint - nearPoint).length();
    if (!std::isfinite(length) || length <= 0)
        return std::nullopt;
    // The radius grows linearly from the near plane to the far one (not at all
    // in an orthographic view).
    const float nearRadius = (unproject(inverse, size, aside, -1) - nearPoint).length();
    const float farRadius = (unproject(inverse, size, aside, 1) - farPoint).length();
    PickRay ray;
    ray.origin = nearPoint;
    ray.direction = (farPoint - nearPoint) / length;
    ray.near = nearRadius;
    ray.perMetre = (farRadius - nearRadius) / length;
    return ray;
}

PickIndex pickIndexOf(const std::vector<CloudPoint> &points) {
    PickIndex index;
    index.x.resize(points.size());
    index.y.resize(points.size());
    index.z.resize(points.size());
    float low[3] = {INFINITY, INFINITY, INFINITY}, high[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (size_t i = 0; i < points.size(); ++i) {
        const float at[3] = {points[i].x, points[i].y, points[i].z};
        index.x[i] = at[0];
        index.y[i] = at[1];
        index.z[i] = at[2];
        if (!std::isfinite(at[0] + at[1] + at[2]))
            continue;
        for (int c = 0; c < 3; ++c) {
            low[c] = std::min(low[c], at[c]);
            high[c] = std::max(high[c], at[c]);
        }
    }
    if (low[0] <= high[0]) {
        const QVector3D lowest(low[0], low[1], low[2]), highest(high[0], high[1], high[2]);
        index.centre = (lowest + highest) / 2.0f;
        index.radius = (highest - lowest).length() / 2.0f;
    }
    return index;
}

namespace {

// Whether a point of the sphere can lie inside the ray and before depth limit.
bool mayHold(const PickRay &ray, const PickIndex &bounds, float limit) {
    if (bounds.radius < 0)
        return false;
    const QVector3D v = bounds.centre - ray.origin;
    const float depth = QVector3D::dotProduct(v, ray.direction);
    if (depth + bounds.radius < 0 || depth - bounds.radius >= limit)
        return false;
    const float across = std::sqrt(std::max(v.lengthSquared() - depth * depth, 0.0f));
    const float widest = ray.near + ray.perMetre * std::max(depth + bounds.radius, 0.0f);
    return across <= bounds.radius + widest;
}

} // namespace

namespace {

struct Nearest {
    const CloudPoint *point = nullptr;
    float depth = std::numeric_limits<float>::infinity();
};

// Kept to a few multiplications per point, in blocks the compiler runs on
// several points at once: a pick at two million points must fit in a frame on
// one core. A point that is not finite fails every comparison.
void pickIn(const PickRay &ray, const PickableFrame &frame, Nearest &nearest) {
    constexpr size_t block = 64;
    const PickIndex &index = *frame.index;
    const float ox = ray.origin.x(), oy = ray.origin.y(), oz = ray.origin.z();
    const float dx = ray.direction.x(), dy = ray.direction.y(), dz = ray.direction.z();
    const float near = ray.near, perMetre = ray.perMetre;
    const size_t count = index.x.size();
    float depths[block];
    for (size_t start = 0; start < count; start += block) {
        const size_t n = std::min(block, count - start);
        const float *xs = index.x.data() + start, *ys = index.y.data() + start,
                    *zs = index.z.data() + start;
        int any = 0;
        for (size_t j = 0; j < n; ++j) {
            const float vx = xs[j] - ox, vy = ys[j] - oy, vz = zs[j] - oz;
            const float depth = vx * dx + vy * dy + vz * dz;
            const float radius = near + perMetre * depth;
            // & rather than &&: no branch, so the loop runs on several points at once.
            const int inside =
                static_cast<int>(depth >= 0) &
                static_cast<int>(vx * vx + vy * vy + vz * vz - depth * depth <= radius * radius);
            depths[j] = inside != 0 ? depth : INFINITY;
            any |= inside;
        }
        if (any == 0)
            continue;
        for (size_t j = 0; j < n; ++j)
            if (depths[j] < nearest.depth)
                nearest = {&(*frame.points)[start + j], depths[j]};
    }
}

} // namespace

std::optional<CloudPoint> pickPoint(const PickRay &ray, const std::vector<PickableFrame> &frames) {
    Nearest nearest;
    for (const PickableFrame &frame : frames)
        if (mayHold(ray, *frame.index, nearest.depth))
            pickIn(ray, frame, nearest);
    if (nearest.point == nullptr)
        return std::nullopt;
    return *nearest.point;
}

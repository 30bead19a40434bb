// Shared helpers for the view tests: shown widgets, pixels read back, clouds and input events.
#pragma once

#include "recording/cloud_point.h"

#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QOpenGLWidget>
#include <QTest>
#include <QVector3D>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <vector>

namespace kest_test {

inline bool show_and_wait(QWidget &widget, int width, int height) {
    widget.resize(width, height);
    widget.show();
    return QTest::qWaitForWindowExposed(&widget, 10000);
}

inline QImage grab(QOpenGLWidget &widget) {
    return widget.grabFramebuffer().convertToFormat(QImage::Format_RGBA8888);
}

inline bool near(const QColor &pixel, int r, int g, int b, int tolerance = 3) {
    return std::abs(pixel.red() - r) <= tolerance && std::abs(pixel.green() - g) <= tolerance &&
           std::abs(pixel.blue() - b) <= tolerance;
}

// Whether any pixel within radius of at matches.
inline bool any_near(const QImage &image, QPointF at, int radius, int r, int g, int b,
                     int tolerance) {
    const int x = static_cast<int>(at.x()), y = static_cast<int>(at.y());
    for (int row = y - radius; row <= y + radius; ++row)
        for (int col = x - radius; col <= x + radius; ++col)
            if (image.rect().contains(col, row) &&
                near(image.pixelColor(col, row), r, g, b, tolerance))
                return true;
    return false;
}

// n points at position, all of one colour. Not inlined: GCC 12 then warns falsely.
[[gnu::noinline]] inline std::vector<CloudPoint>
cloud_at(size_t n, QVector3D position, uint8_t r = 255, uint8_t g = 255, uint8_t b = 255) {
    return std::vector<CloudPoint>(n, {position.x(), position.y(), position.z(), r, g, b, 0, 0});
}

// Where a world point shows from the reset camera: at (-10, 0, 0) along +x, +z up, 45 degrees high.
inline QPointF reset_camera_pixel(QVector3D world, int width, int height) {
    const double half = std::tan(22.5 * M_PI / 180.0), aspect = double(width) / height;
    const double depth = world.x() + 10.0;
    const double x = -world.y() / (depth * half * aspect), y = world.z() / (depth * half);
    return QPointF((x + 1) / 2 * width, (1 - y) / 2 * height);
}

// Input events, sent straight to widget; held is Qt::NoButton for a release.
inline void mouse(QWidget &widget, QEvent::Type type, Qt::MouseButton button, QPoint at,
                  Qt::MouseButtons held) {
    QMouseEvent event(type, QPointF(at), widget.mapToGlobal(QPointF(at)), button, held,
                      Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}
inline void press(QWidget &widget, Qt::MouseButton button, QPoint at) {
    mouse(widget, QEvent::MouseButtonPress, button, at, button);
}
inline void click(QWidget &widget, Qt::MouseButton button, QPoint at) {
    press(widget, button, at);
    mouse(widget, QEvent::MouseButtonRelease, button, at, Qt::NoButton);
}
inline void drag(QWidget &widget, Qt::MouseButton button, QPoint from, QPoint to) {
    press(widget, button, from);
    mouse(widget, QEvent::MouseMove, Qt::NoButton, to, button);
    mouse(widget, QEvent::MouseButtonRelease, button, to, Qt::NoButton);
}
inline void wheel(QWidget &widget, int notches) {
    QWheelEvent event({10, 10}, widget.mapToGlobal(QPointF(10, 10)), QPoint(),
                      QPoint(0, 120 * notches), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase,
                      false);
    QApplication::sendEvent(&widget, &event);
}
inline void key(QWidget &widget, int code) {
    QKeyEvent event(QEvent::KeyPress, code, Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}

} // namespace kest_test

#include "tests/app/glRender/view_harness.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTest>
#include <QWheelEvent>

#include <cmath>
#include <cstdlib>

namespace kest_test {

::testing::AssertionResult show_and_wait(QWidget &widget, int width, int height) {
    widget.resize(width, height);
    widget.show();
    if (!QTest::qWaitForWindowExposed(&widget, 10000))
        return ::testing::AssertionFailure() << "the widget never appeared on the display";
    return ::testing::AssertionSuccess();
}

QImage grab(QOpenGLWidget &widget) {
    return widget.grabFramebuffer().convertToFormat(QImage::Format_RGBA8888);
}

bool near(const QColor &pixel, int r, int g, int b, int tolerance) {
    return std::abs(pixel.red() - r) <= tolerance && std::abs(pixel.green() - g) <= tolerance &&
           std::abs(pixel.blue() - b) <= tolerance;
}

bool any_near(const QImage &image, QPointF at, int radius, int r, int g, int b, int tolerance) {
    for (int row = static_cast<int>(at.y()) - radius; row <= static_cast<int>(at.y()) + radius;
         ++row)
        for (int col = static_cast<int>(at.x()) - radius; col <= static_cast<int>(at.x()) + radius;
             ++col)
            if (image.rect().contains(col, row) &&
                near(image.pixelColor(col, row), r, g, b, tolerance))
                return true;
    return false;
}

std::vector<CloudPoint> cloud_at(size_t n, QVector3D position, uint8_t r, uint8_t g, uint8_t b,
                                 uint8_t intensity, uint32_t label) {
    CloudPoint point{position.x(), position.y(), position.z(), r, g, b, intensity, label};
    return std::vector<CloudPoint>(n, point);
}

QPointF reset_camera_pixel(QVector3D world, int width, int height) {
    const double half = std::tan(22.5 * M_PI / 180.0), aspect = double(width) / height;
    const double depth = world.x() + 10.0; // along the view direction
    const double x = -world.y() / (depth * half * aspect), y = world.z() / (depth * half);
    return QPointF((x + 1) / 2 * width, (1 - y) / 2 * height);
}

namespace {

void send_mouse(QWidget &widget, QEvent::Type type, Qt::MouseButton button,
                Qt::MouseButtons buttons, QPoint at) {
    QMouseEvent event(type, QPointF(at), widget.mapToGlobal(QPointF(at)), button, buttons,
                      Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}

} // namespace

void press(QWidget &widget, Qt::MouseButton button, QPoint at) {
    send_mouse(widget, QEvent::MouseButtonPress, button, button, at);
}

void release(QWidget &widget, Qt::MouseButton button, QPoint at) {
    send_mouse(widget, QEvent::MouseButtonRelease, button, Qt::NoButton, at);
}

void move_to(QWidget &widget, QPoint at, Qt::MouseButtons held) {
    send_mouse(widget, QEvent::MouseMove, Qt::NoButton, held, at);
}

void drag(QWidget &widget, Qt::MouseButton button, QPoint from, QPoint to) {
    press(widget, button, from);
    move_to(widget, to, button);
    release(widget, button, to);
}

void wheel(QWidget &widget, int notches) {
    QPointF at(10, 10);
    QWheelEvent event(at, widget.mapToGlobal(at), QPoint(), QPoint(0, 120 * notches), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(&widget, &event);
}

void key(QWidget &widget, int code) {
    QKeyEvent event(QEvent::KeyPress, code, Qt::NoModifier);
    QApplication::sendEvent(&widget, &event);
}

} // namespace kest_test

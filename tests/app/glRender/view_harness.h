// Shared helpers for the view tests: shown widgets of a fixed size, pixels read
// back from them, synthetic clouds and input events.
#pragma once

#include "recording/cloud_point.h"

#include <QImage>
#include <QOpenGLWidget>
#include <QPoint>
#include <QVector3D>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace kest_test {

// Shows widget at width x height and waits until it is on screen.
::testing::AssertionResult show_and_wait(QWidget &widget, int width, int height);

// What the widget draws now, as RGBA bytes.
QImage grab(QOpenGLWidget &widget);

// Whether a pixel is within tolerance of (r, g, b) in every channel.
bool near(const QColor &pixel, int r, int g, int b, int tolerance = 3);

// The first pixel within radius of (col, row) that matches, or nothing.
bool any_near(const QImage &image, QPointF at, int radius, int r, int g, int b, int tolerance);

// n points at position, all of one colour, intensity and label.
std::vector<CloudPoint> cloud_at(size_t n, QVector3D position, uint8_t r = 255, uint8_t g = 255,
                                 uint8_t b = 255, uint8_t intensity = 0, uint32_t label = 0);

// Where a world point shows in a width x height view from the reset camera:
// at (-10, 0, 0) looking along +x with +z up, 45 degrees vertically.
QPointF reset_camera_pixel(QVector3D world, int width, int height);

void press(QWidget &widget, Qt::MouseButton button, QPoint at);
void release(QWidget &widget, Qt::MouseButton button, QPoint at);
void move_to(QWidget &widget, QPoint at, Qt::MouseButtons held);
void drag(QWidget &widget, Qt::MouseButton button, QPoint from, QPoint to);
void wheel(QWidget &widget, int notches);
void key(QWidget &widget, int code);

} // namespace kest_test

// Shows the device's latest camera picture on a quad in an OpenGL widget, as an
// inset over the point cloud view or as the main view; a left click asks the
// render container to swap the two. GUI thread only.
#pragma once

#include <QMatrix4x4>
#include <QOpenGLFunctions_3_3_Core>
#include <QOpenGLWidget>

#include <opencv2/core.hpp>

class QOpenGLBuffer;
class QOpenGLShaderProgram;
class QOpenGLTexture;
class QOpenGLVertexArrayObject;

class GLImagePreviewWidget : public QOpenGLWidget, protected QOpenGLFunctions_3_3_Core {
    Q_OBJECT

public:
    explicit GLImagePreviewWidget(QWidget *parent = nullptr);
    ~GLImagePreviewWidget() override;

    // Takes a BGR picture (8-bit, 3 channels). 8-bit grey and BGRA pictures are
    // converted; pictures of other depths are refused with a log line. Empty
    // pictures are ignored.
    void updateImage(const cv::Mat &picture);
    // Shrinks the quad to 95 % of each side from the next resize on.
    void setMarginEnabled(bool enabled);

    // For tests: the stored RGB picture and how often the texture was (re)made.
    const cv::Mat &storedImage() const { return image; }
    int textureGeneration() const { return textureMade; }
    QSize textureSize() const;

signals:
    void widgetClicked();

protected:
    void initializeGL() override;
    void paintGL() override;
    void resizeGL(int w, int h) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    void buildProgram();
    void buildQuad();
    void makeTexture();
    void releaseGL();
    void contextAboutToGo();
    QMetaObject::Connection contextWatch; // to the context in use

    QOpenGLShaderProgram *imageProgram = nullptr;
    QOpenGLVertexArrayObject *quadVao = nullptr;
    QOpenGLBuffer *quadVbo = nullptr;
    QOpenGLTexture *texture = nullptr;
    cv::Mat image; // RGB, 8 bits per channel, continuous
    bool marginEnabled = true;
    int samplerLocation = -1;
    int mvpLocation = -1;
    QMatrix4x4 mvp;
    bool glReady = false;
    int textureMade = 0;
};

#include "app/glRender/gl_image_preview_widget.h"
#include "app/glRender/gl_vertex_layout.h"

#include "sdk/logger/logger.h"

#include <QDebug>
#include <QMouseEvent>
#include <QOpenGLBuffer>
#include <QOpenGLContext>
#include <QOpenGLPixelTransferOptions>
#include <QOpenGLShaderProgram>
#include <QOpenGLTexture>
#include <QOpenGLVertexArrayObject>
#include <QSurfaceFormat>

#include <opencv2/imgproc.hpp>

namespace {

constexpr const char *imageVertexPath = ":/shaders/glRender/shaders/image.vert";
constexpr const char *imageFragmentPath = ":/shaders/glRender/shaders/image.frag";
constexpr float marginScale = 0.95f;

// Position (x, y, z) and texture coordinates (u, v): texture row 0, the
// picture's top row, at the top.
constexpr float quad[4 * 5] = {
    -1, 1,  0, 0, 0, //
    -1, -1, 0, 0, 1, //
    1,  1,  0, 1, 0, //
    1,  -1, 0, 1, 1, //
};

} // namespace

GLImagePreviewWidget::GLImagePreviewWidget(QWidget *parent) : QOpenGLWidget(parent) {
    // Until the first picture the widget is fully transparent, which needs alpha.
    QSurfaceFormat surface = format();
    surface.setAlphaBufferSize(8);
    setFormat(surface);
}

GLImagePreviewWidget::~GLImagePreviewWidget() {
    disconnect(contextWatch); // the base class destroys the context after this object is gone
    makeCurrent();
    releaseGL();
    doneCurrent();
    image.release();
}

void GLImagePreviewWidget::contextAboutToGo() {
    makeCurrent();
    releaseGL();
    doneCurrent();
}

void GLImagePreviewWidget::releaseGL() {
    delete texture;
    delete quadVbo;
    delete quadVao;
    delete imageProgram;
    texture = nullptr;
    quadVbo = nullptr;
    quadVao = nullptr;
    imageProgram = nullptr;
    glReady = false;
}

void GLImagePreviewWidget::initializeGL() {
    if (!initializeOpenGLFunctions()) {
        log_print(ERROR, "OpenGL 3.3 core functions are not available; no picture will show.\n");
        return;
    }
    // A new context (the widget moved to another window) gets fresh objects.
    disconnect(contextWatch);
    contextWatch = connect(context(), &QOpenGLContext::aboutToBeDestroyed, this,
                           &GLImagePreviewWidget::contextAboutToGo);
    glReady = true;
    glClearColor(0, 0, 0, 0);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    buildProgram();
    buildQuad();
    texture = new QOpenGLTexture(QOpenGLTexture::Target2D);
    makeTexture();
}

void GLImagePreviewWidget::buildProgram() {
    imageProgram = new QOpenGLShaderProgram;
    if (!imageProgram->addShaderFromSourceFile(QOpenGLShader::Vertex, imageVertexPath))
        qDebug() << "Failed to load vertex shader from file";
    if (!imageProgram->addShaderFromSourceFile(QOpenGLShader::Fragment, imageFragmentPath))
        qDebug() << "Failed to load fragment shader from file";
    if (!imageProgram->link())
        qDebug() << "Failed to link shader program";
    samplerLocation = imageProgram->uniformLocation("textureSampler");
    mvpLocation = imageProgram->uniformLocation("mvpMatrix");
}

void GLImagePreviewWidget::buildQuad() {
    quadVao = new QOpenGLVertexArrayObject(this);
    quadVao->create();
    quadVao->bind();
    quadVbo = new QOpenGLBuffer(QOpenGLBuffer::VertexBuffer);
    quadVbo->create();
    quadVbo->bind();
    quadVbo->allocate(quad, sizeof quad);
    setPositionAndFloatAttribute(*this, 2); // position, texture coordinate
    quadVao->release();
    quadVbo->release();
}

// A new GL texture object takes the filters and wrapping again: its parameters
// start from GL's defaults, which would sample an incomplete (black) texture.
void GLImagePreviewWidget::makeTexture() {
    texture->create();
    texture->setMinificationFilter(QOpenGLTexture::Linear);
    texture->setMagnificationFilter(QOpenGLTexture::Linear);
    texture->setWrapMode(QOpenGLTexture::ClampToEdge);
    ++textureMade;
}

void GLImagePreviewWidget::updateImage(const cv::Mat &picture) {
    if (picture.empty())
        return;
    if (picture.depth() != CV_8U) {
        log_print(WARN, "picture of depth %d is not shown: 8-bit pictures only.\n",
                  picture.depth());
        return;
    }
    switch (picture.channels()) {
    case 3:
        cv::cvtColor(picture, image, cv::COLOR_BGR2RGB);
        break;
    case 1:
        cv::cvtColor(picture, image, cv::COLOR_GRAY2RGB);
        break;
    case 4:
        cv::cvtColor(picture, image, cv::COLOR_BGRA2RGB);
        break;
    default:
        log_print(WARN, "picture of %d channels is not shown.\n", picture.channels());
        return;
    }
    update();
}

QSize GLImagePreviewWidget::textureSize() const {
    return texture != nullptr && texture->isCreated() ? QSize(texture->width(), texture->height())
                                                      : QSize();
}

void GLImagePreviewWidget::setMarginEnabled(bool enabled) {
    marginEnabled = enabled;
    update();
}

void GLImagePreviewWidget::paintGL() {
    if (!glReady)
        return;
    glClear(GL_COLOR_BUFFER_BIT);
    if (image.empty() || imageProgram == nullptr || !imageProgram->isLinked())
        return;
    if (!texture->isCreated() || texture->width() != image.cols ||
        texture->height() != image.rows) {
        texture->destroy();
        makeTexture();
        texture->setSize(image.cols, image.rows, 1);
        texture->setFormat(QOpenGLTexture::RGB8_UNorm);
        texture->allocateStorage();
    }
    // Rows are 3 x width bytes, one after the other: any width uploads unskewed.
    QOpenGLPixelTransferOptions rows;
    rows.setAlignment(1);
    texture->setData(QOpenGLTexture::RGB, QOpenGLTexture::UInt8, image.data, &rows);
    imageProgram->bind();
    texture->bind(0);
    imageProgram->setUniformValue(samplerLocation, 0);
    imageProgram->setUniformValue(mvpLocation, mvp);
    quadVao->bind();
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    quadVao->release();
    texture->release();
    imageProgram->release();
}

void GLImagePreviewWidget::resizeGL(int, int) {
    mvp.setToIdentity();
    if (marginEnabled)
        mvp.scale(marginScale, marginScale);
}

void GLImagePreviewWidget::mousePressEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton)
        emit widgetClicked();
    QOpenGLWidget::mousePressEvent(event);
}

// The renderer's model program: a lit, optionally textured mesh shader built
// at start-up. No drawing pass uses it yet; failures go to the log at ERROR.
#include "app/glRender/gl_point_cloud_renderer.h"

#include "sdk/logger/logger.h"

#include <QOpenGLShaderProgram>

namespace {

constexpr const char *modelVertexPath = ":/shaders/glRender/shaders/model.vert";
constexpr const char *modelFragmentPath = ":/shaders/glRender/shaders/model.frag";

} // namespace

void GLPointCloudRenderer::initializeModelShader() {
    modelProgram = new QOpenGLShaderProgram(this);
    if (!modelProgram->addShaderFromSourceFile(QOpenGLShader::Vertex, modelVertexPath)) {
        log_print(ERROR, "Failed to load model vertex shader: %s\n",
                  modelProgram->log().toUtf8().constData());
        return;
    }
    if (!modelProgram->addShaderFromSourceFile(QOpenGLShader::Fragment, modelFragmentPath)) {
        log_print(ERROR, "Failed to load model fragment shader:%s\n",
                  modelProgram->log().toUtf8().constData());
        return;
    }
    if (!modelProgram->link()) {
        log_print(ERROR, "Failed to link model shader program:%s\n",
                  modelProgram->log().toUtf8().constData());
        return;
    }
    modelMatrixLocation = modelProgram->uniformLocation("modelMatrix");
    viewMatrixLocation = modelProgram->uniformLocation("viewMatrix");
    projectionMatrixLocation = modelProgram->uniformLocation("projectionMatrix");
    viewPosLocation = modelProgram->uniformLocation("viewPos");
    modelProgram->bind();
    modelProgram->setUniformValue("texture_diffuse1", 0);
    modelProgram->setUniformValue("useTexture", 0);
    modelProgram->release();
}

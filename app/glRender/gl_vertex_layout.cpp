#include "app/glRender/gl_vertex_layout.h"

void setPositionAndFloatAttribute(QOpenGLFunctions_3_3_Core &gl, int secondComponents) {
    const auto stride = static_cast<GLsizei>((3 + secondComponents) * sizeof(float));
    gl.glEnableVertexAttribArray(0);
    gl.glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, stride, nullptr);
    gl.glEnableVertexAttribArray(1);
    gl.glVertexAttribPointer(1, secondComponents, GL_FLOAT, GL_FALSE, stride,
                             reinterpret_cast<const void *>(3 * sizeof(float)));
}

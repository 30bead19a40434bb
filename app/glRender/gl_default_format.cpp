#include "app/glRender/gl_default_format.h"

#include <QSurfaceFormat>

void setDefaultGLFormat() {
    QSurfaceFormat format;
    format.setVersion(3, 3);
    format.setProfile(QSurfaceFormat::CoreProfile);
    format.setDepthBufferSize(24);
    QSurfaceFormat::setDefaultFormat(format);
}

// Vertex layouts shared by the views' small fixed meshes (the preview's quad,
// the pose axes).
#pragma once

#include <QOpenGLFunctions_3_3_Core>

// Points attributes 0 and 1 of the bound VAO at the bound buffer's interleaved
// floats: a three-float position, then `secondComponents` floats of attribute 1.
void setPositionAndFloatAttribute(QOpenGLFunctions_3_3_Core &gl, int secondComponents);

// The OpenGL the views need: a 3.3 core profile with a depth buffer. Set it as
// the default before the QApplication exists, so that every window gets it.
#pragma once

void setDefaultGLFormat();

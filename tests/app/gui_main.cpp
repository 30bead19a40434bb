// GoogleTest main for widget tests: an OpenGL 3.3 core format, a QApplication and a scratch config
// folder for settings. Listing the tests needs no display.
#include "app/glRender/gl_default_format.h"

#include <QApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();
    QTemporaryDir config;
    if (!config.isValid() || !qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit()))
        return 2;
    setDefaultGLFormat();
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}

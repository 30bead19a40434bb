// GoogleTest main for tests of widgets: an OpenGL 3.3 core default format and a
// QApplication, with the user's settings kept out of reach (a scratch config
// folder). Listing the tests needs no display, so it makes none.
#include "app/glRender/gl_default_format.h"

#include <QApplication>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

int main(int argc, char **argv) {
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        listing = listing || strcmp(argv[i], "--gtest_list_tests") == 0;
    testing::InitGoogleTest(&argc, argv);
    if (listing)
        return RUN_ALL_TESTS();
    QTemporaryDir config;
    if (!config.isValid() || !qputenv("XDG_CONFIG_HOME", config.path().toLocal8Bit()))
        return 2;
    setDefaultGLFormat();
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}

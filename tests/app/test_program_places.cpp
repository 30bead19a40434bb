// Where the programs write: working folders from the build tree, per-user ones once installed.
#include "app/program_places.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace kest_test;
namespace fs = std::filesystem;

namespace {

class ProgramPlacesTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char *folder : {"build/bin", "usr/bin", "work"})
            fs::create_directories(dir.path() / folder);
    }
    QString folder(const char *name) const { return QString::fromStdString(dir.file(name)); }
    temp_dir dir;
    scoped_env data{"XDG_DATA_HOME", dir.file("data")};
    scoped_env state{"XDG_STATE_HOME", dir.file("state")};
};

} // namespace

TEST_F(ProgramPlacesTest, FromTheBuildTreeTheWorkingFoldersServeInstalledThePerUserOnes) {
    const ProgramPlaces places =
        programPlacesFor(folder("build/bin"), folder("build/bin"), folder("work"));
    EXPECT_FALSE(places.installed);
    EXPECT_EQ(places.calibrationFolder, folder("work/files/recv"));
    EXPECT_EQ(places.besideProgram, folder("build/bin/recordData"));
    // The build folder reached another way (a link, a trailing separator) is the same.
    fs::create_directory_symlink(dir.path() / "build", dir.path() / "link");
    EXPECT_FALSE(
        programPlacesFor(folder("link/bin"), folder("build/bin/"), folder("work")).installed);
    // The tests run from the build tree too: they must not write into the per-user folders.
    EXPECT_FALSE(programPlaces().installed);
    // Installed, everything goes to per-user folders.
    for (const QString &program : {folder("usr/bin"), folder("build/bin/elsewhere")}) {
        const ProgramPlaces places = programPlacesFor(program, folder("build/bin"), folder("work"));
        EXPECT_TRUE(places.installed) << program.toStdString();
        EXPECT_EQ(places.calibrationFolder, folder("data/kestviewer/recv"));
        EXPECT_TRUE(places.besideProgram.isEmpty()) << "nothing is written beside the program";
        EXPECT_EQ(places.userRecordings, folder("data/kestviewer/recordData"));
    }
    EXPECT_TRUE(programPlacesFor(folder("usr/bin"), QString(), folder("work")).installed)
        << "a program that knows no build tree is installed";
}

// Where the programs write: a developer's working folders when they run from their build tree,
// per-user folders (and nothing beside the program) once they are installed.
#include "app/program_places.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <QDir>

#include <filesystem>

using namespace kest_test;
namespace fs = std::filesystem;

namespace {

QString qpath(const fs::path &path) {
    return QString::fromStdString(path.string());
}

class ProgramPlacesTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir.path() / "build/bin");
        fs::create_directories(dir.path() / "usr/bin");
        fs::create_directories(dir.path() / "work");
    }
    QString folder(const char *name) const { return qpath(dir.path() / name); }
    temp_dir dir;
    scoped_env data{"XDG_DATA_HOME", dir.file("data")};
    scoped_env state{"XDG_STATE_HOME", dir.file("state")};
};

} // namespace

TEST_F(ProgramPlacesTest, FromTheBuildTreeTheWorkingFoldersServe) {
    const ProgramPlaces places =
        programPlacesFor(folder("build/bin"), folder("build/bin"), folder("work"));
    EXPECT_FALSE(places.installed);
    EXPECT_TRUE(places.logFolder.isEmpty()) << "the log goes to \"logs\" in the working directory";
    EXPECT_EQ(places.calibrationFolder, folder("work/files/recv"));
    EXPECT_EQ(places.besideProgram, folder("build/bin/recordData"));
    EXPECT_EQ(places.userRecordings, folder("data/kestviewer/recordData"));

    // The build folder reached another way (a link, a trailing part) is the same.
    fs::create_directory_symlink(dir.path() / "build", dir.path() / "link");
    EXPECT_FALSE(
        programPlacesFor(folder("link/bin"), folder("build/bin/"), folder("work")).installed);

    // The tests run from the build tree too: a developer's run must not write into the per-user
    // folders.
    EXPECT_FALSE(programPlaces().installed);
    EXPECT_EQ(programPlaces().calibrationFolder, QDir::current().absoluteFilePath("files/recv"));
}

TEST_F(ProgramPlacesTest, InstalledEverythingGoesToPerUserFolders) {
    for (const QString &program : {folder("usr/bin"), folder("build/bin/elsewhere")}) {
        const ProgramPlaces places = programPlacesFor(program, folder("build/bin"), folder("work"));
        EXPECT_TRUE(places.installed) << program.toStdString();
        EXPECT_EQ(places.logFolder, folder("state/kestviewer/logs"));
        EXPECT_EQ(places.calibrationFolder, folder("data/kestviewer/recv"));
        EXPECT_TRUE(places.besideProgram.isEmpty()) << "nothing is written beside the program";
        EXPECT_EQ(places.userRecordings, folder("data/kestviewer/recordData"));
    }
    EXPECT_TRUE(programPlacesFor(folder("usr/bin"), QString(), folder("work")).installed)
        << "a program that knows no build tree is installed";
}

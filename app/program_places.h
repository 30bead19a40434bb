// Where the viewer and kestctl keep what they write. Run from the build tree
// they were built in, they keep a developer's working folders: "logs" and
// "files/recv" in the working directory, "recordData" beside the program.
// Installed (anywhere else), they write only to per-user folders and never
// next to themselves:
//   logs          $XDG_STATE_HOME/kestviewer/logs  (~/.local/state/...)
//   calibration   $XDG_DATA_HOME/kestviewer/recv   (~/.local/share/...)
//   recordings    $XDG_DATA_HOME/kestviewer/recordData
#pragma once

#include <QString>

struct ProgramPlaces {
    bool installed = false;
    QString logFolder;         // installed: the per-user one; else empty ("logs" here)
    QString calibrationFolder; // absolute
    QString besideProgram;     // "recordData" beside the program; empty when installed
    QString userRecordings;    // the per-user recording folder; empty without a home
};

// For a program in programFolder, built into buildFolder, run in workingFolder.
ProgramPlaces programPlacesFor(const QString &programFolder, const QString &buildFolder,
                               const QString &workingFolder);

// For this process.
ProgramPlaces programPlaces();

// The per-user folder for the log, $XDG_STATE_HOME/kestviewer/logs
// (~/.local/state/kestviewer/logs; on Windows %LOCALAPPDATA%\kestviewer\logs).
QString userLogFolder();

// Conversion of the device's camera calibration (calib.yaml, downloaded on attach)
// into the plain text cam_in_ex.txt that every recording carries. The recorder calls
// it when a recording stops.
#pragma once

#include <QString>
#include <QStringList>

// What a conversion found, for the caller to tell the user: the conversion itself
// logs nothing.
struct CalibrationNotes {
    QString failure;       // why nothing was written; empty after a success
    QStringList defaulted; // keys absent from the source, written with their defaults
};

// Reads the YAML calibration at sourcePath and writes its 20-line text form to
// targetPath, creating the target's folder if needed.
//
// Reads Tcl_0 (a sequence; its first 16 numbers, row by row) and cam_0's
// image_width and image_height (32-bit integers) and k2 to k7, p1, p2, A11, A12,
// A22, u0, v0 (numbers); other keys are ignored. A key that is absent takes its
// default: 0, except Tcl_0's sixteenth value, 1. So does every Tcl_0 value when
// Tcl_0 is not a sequence, and each value past its end: 12 values (a 3 x 4
// matrix) get the bottom row 0, 0, 0, 1. Numbers are read and written in the C
// format whatever the process's locale is.
//
// Returns true if the target was written. Returns false if the source path is
// empty, the source cannot be read or is not valid YAML, the document or cam_0 is
// a single value, a value that is present is not the number its key needs, or the
// target cannot be written. The target is replaced only by a complete text (written
// beside it, then renamed), so on false it is exactly as it was, or still absent.
// If notes is given, it receives the reason of a failure or the defaulted keys.
//
// Blocks on file I/O; may be called from any thread.
bool convertCalibration(const QString &sourcePath, const QString &targetPath,
                        CalibrationNotes *notes = nullptr);

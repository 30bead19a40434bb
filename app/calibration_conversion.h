// Conversion of the device's camera calibration (calib.yaml, downloaded on attach)
// into the plain text cam_in_ex.txt that every recording carries. The recorder calls
// it when a recording stops.
#pragma once

#include <QString>

// Reads the YAML calibration at sourcePath and writes its 20-line text form to
// targetPath, creating the target's folder if needed.
//
// The source must be a map holding Tcl_0 as a sequence of exactly 16 numbers and
// cam_0 as a map with image_width and image_height (32-bit integers) and k2 to k7,
// p1, p2, A11, A12, A22, u0, v0 (finite numbers); other keys are ignored. Numbers
// are read and written in the C format whatever the process's locale is.
//
// Returns true if the target was written. Returns false, after an ERROR log line
// naming the file and the fault, if the source path is empty, the source cannot be
// read, is not valid YAML or lacks a key or number above, or the target cannot be
// written. The target is replaced only by a complete text (written beside it, then
// renamed), so on false it is exactly as it was, or still absent.
//
// Blocks on file I/O; may be called from any thread.
bool convertCalibration(const QString &sourcePath, const QString &targetPath);

// A recording's camera calibration as the recorder converted it
// (image/cam_in_ex.txt): the camera-to-LiDAR matrix Tcl_0 and the intrinsics
// of cam_0. Read for exports that describe the camera to other programs.
#pragma once

#include <array>
#include <optional>
#include <string>

struct ConvertedCalibration {
    std::array<double, 16> tcl{}; // row by row
    int width = 0, height = 0;
    std::array<double, 6> k{}; // k2 .. k7: radial terms in r^2 .. r^7
    double p1 = 0, p2 = 0;     // tangential terms
    double a11 = 0, a12 = 0, a22 = 0, u0 = 0, v0 = 0;
};

// The calibration in text, if it is the converted form with every key and a
// number for each; nothing for the recorder's placeholder or a damaged file.
std::optional<ConvertedCalibration> parseConvertedCalibration(const std::string &text);
// The same, read from the recording folder's image/cam_in_ex.txt.
std::optional<ConvertedCalibration> readConvertedCalibration(const std::string &folder);

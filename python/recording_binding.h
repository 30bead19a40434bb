// The module's recording half: kestone.Recording and kestone.RecordingError.
#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>

// What a recording could not give: raised in Python as kestone.RecordingError.
struct RecordingError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void bindRecording(pybind11::module_ &module);

// The module's device half: kestone.open, kestone.Device, kestone.Frame,
// kestone.DeviceError and kestone.DeviceUnplugged.
#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>

// A device that could not be opened or brought to streaming: kestone.DeviceError.
struct DeviceError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The device went away while a script iterated over its frames:
// kestone.DeviceUnplugged, a kestone.DeviceError.
struct DeviceUnplugged : DeviceError {
    using DeviceError::DeviceError;
};

void bindDevice(pybind11::module_ &module);

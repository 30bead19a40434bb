// kestone: the KestOne and its recordings as numpy arrays, over the libraries the
// viewer and kestctl use. Nothing is written again here: each class is a thin
// binding of a library call.
#include "python/device_binding.h"
#include "python/recording_binding.h"

#include "sdk/common/version/version.h"

PYBIND11_MODULE(kestone, module) {
    module.doc() = "The KestOne and its recordings as numpy arrays";
    module.attr("__version__") = kest_sdk_version();
    bindRecording(module);
    bindDevice(module);
}

// kestone: the KestOne's recordings as numpy arrays, over the libraries the
// viewer and kestctl use. Nothing is written again here: each class is a thin
// binding of a library call.
#include "python/recording_binding.h"

#include "sdk/common/version/version.h"

PYBIND11_MODULE(kestone, module) {
    module.doc() = "KestOne recordings as numpy arrays";
    module.attr("__version__") = kest_sdk_version();
    bindRecording(module);
}

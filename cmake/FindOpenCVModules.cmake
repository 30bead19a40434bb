# Finds the three OpenCV modules we use (core, imgcodecs, imgproc) from Debian's
# per-module packages, which ship no CMake config of their own, and makes the
# imported targets OpenCV::core, OpenCV::imgproc and OpenCV::imgcodecs.
include(FindPackageHandleStandardArgs)

find_path(OpenCVModules_INCLUDE_DIR opencv2/core.hpp PATH_SUFFIXES opencv4
          DOC "Directory holding opencv2/core.hpp")
foreach(module core imgproc imgcodecs)
  find_library(OpenCVModules_${module}_LIBRARY opencv_${module}
               DOC "OpenCV ${module} library")
endforeach()

find_package_handle_standard_args(OpenCVModules
  REQUIRED_VARS OpenCVModules_INCLUDE_DIR OpenCVModules_core_LIBRARY
                OpenCVModules_imgproc_LIBRARY OpenCVModules_imgcodecs_LIBRARY)

if(OpenCVModules_FOUND)
  foreach(module core imgproc imgcodecs)
    if(NOT TARGET OpenCV::${module})
      add_library(OpenCV::${module} UNKNOWN IMPORTED)
      set_target_properties(OpenCV::${module} PROPERTIES
        IMPORTED_LOCATION "${OpenCVModules_${module}_LIBRARY}"
        INTERFACE_INCLUDE_DIRECTORIES "${OpenCVModules_INCLUDE_DIR}")
    endif()
  endforeach()
  set_property(TARGET OpenCV::imgproc PROPERTY INTERFACE_LINK_LIBRARIES OpenCV::core)
  set_property(TARGET OpenCV::imgcodecs PROPERTY INTERFACE_LINK_LIBRARIES OpenCV::imgproc)
endif()
mark_as_advanced(OpenCVModules_INCLUDE_DIR OpenCVModules_core_LIBRARY
                 OpenCVModules_imgproc_LIBRARY OpenCVModules_imgcodecs_LIBRARY)

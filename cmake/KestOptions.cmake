# Build options, one per line.
set(KEST_SANITIZE "" CACHE STRING "Sanitizers for every target: 'address' (ASan+UBSan), 'thread' (TSan) or empty")
set_property(CACHE KEST_SANITIZE PROPERTY STRINGS "" address thread)
option(KEST_FUZZ "Build the libFuzzer targets in fuzz/ (needs clang)" OFF)
# The Windows build (cmake/mingw-w64.cmake) has the Qt-free core only: Debian
# packages no Qt, OpenCV, libusb or zstd for Windows.
if(WIN32)
  set(kest_linux_only OFF)
else()
  set(kest_linux_only ON)
endif()
option(KEST_BUILD_APP "Build the Qt application; off builds the device layer and tools without the GUI" ${kest_linux_only})
option(KEST_BUILD_DATA "Build the application's data layer (Qt Core, OpenCV, yaml-cpp; no display), kestctl record and their tests; implied by KEST_BUILD_APP" ${kest_linux_only})
option(KEST_BUILD_PYTHON "Build the Python module kestone where pybind11 is found" ${kest_linux_only})
option(KEST_USB_LIBUSB "Reach USB devices through libusb-1.0; off, only through a backend selected at run time (the virtual bus)" ${kest_linux_only})
option(KEST_WITH_OPENCV "The virtual KestOne's camera pictures (OpenCV renders and encodes them)" ${kest_linux_only})
option(KEST_WITH_ZSTD "zstd-compressed MCAP chunks (off: stored uncompressed)" ${kest_linux_only})
if(KEST_BUILD_APP)
  set(KEST_BUILD_DATA ON CACHE BOOL "" FORCE)
endif()
# How many times longer than in a plain build tests wait for anything: the
# sanitizers slow every thread, so their builds scale every time limit of a test
# by one factor. Empty takes it from KEST_SANITIZE, so that it follows a change
# of sanitizer in the same build tree.
set(KEST_TIME_SCALE "" CACHE STRING "Factor on every time limit of the tests (empty: 1, or 3 with KEST_SANITIZE=address, 6 with thread)")
if(KEST_TIME_SCALE)
  set(KEST_TEST_TIME_SCALE ${KEST_TIME_SCALE})
elseif(KEST_SANITIZE STREQUAL "thread")
  set(KEST_TEST_TIME_SCALE 6)
elseif(KEST_SANITIZE STREQUAL "address")
  set(KEST_TEST_TIME_SCALE 3)
else()
  set(KEST_TEST_TIME_SCALE 1)
endif()

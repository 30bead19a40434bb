# Build options, one per line.
set(KEST_SANITIZE "" CACHE STRING "Sanitizers for every target: 'address' (ASan+UBSan), 'thread' (TSan) or empty")
set_property(CACHE KEST_SANITIZE PROPERTY STRINGS "" address thread)
option(KEST_FUZZ "Build the libFuzzer targets in fuzz/ (needs clang)" OFF)
option(KEST_BUILD_APP "Build the Qt application; off builds the device layer and tools without the GUI" ON)
option(KEST_BUILD_DATA "Build the application's data layer (Qt Core, OpenCV, yaml-cpp; no display), kestctl record and their tests; implied by KEST_BUILD_APP" ON)
if(KEST_BUILD_APP)
  set(KEST_BUILD_DATA ON CACHE BOOL "" FORCE)
endif()

# Build options, one per line.
set(KEST_SANITIZE "" CACHE STRING "Sanitizers for every target: 'address' (ASan+UBSan), 'thread' (TSan) or empty")
set_property(CACHE KEST_SANITIZE PROPERTY STRINGS "" address thread)
option(KEST_FUZZ "Build the libFuzzer targets in fuzz/ (needs clang)" OFF)
option(KEST_BUILD_APP "Build the Qt application; off builds the device layer and tools without the GUI" ON)
option(KEST_BUILD_DATA "Build the application's data layer (Qt Core, OpenCV, yaml-cpp; no display), kestctl record and their tests; implied by KEST_BUILD_APP" ON)
if(KEST_BUILD_APP)
  set(KEST_BUILD_DATA ON CACHE BOOL "" FORCE)
endif()
# How many times longer than in a plain build tests wait for anything: the
# sanitizers slow every thread, so their builds scale every time limit of a test
# by one factor (the environment's KEST_TIME_SCALE overrides it at run time).
if(KEST_SANITIZE STREQUAL "thread")
  set(kest_default_time_scale 6)
elseif(KEST_SANITIZE STREQUAL "address")
  set(kest_default_time_scale 3)
else()
  set(kest_default_time_scale 1)
endif()
set(KEST_TIME_SCALE ${kest_default_time_scale} CACHE STRING "Factor on every time limit of the tests (default by KEST_SANITIZE: 1, address 3, thread 6)")

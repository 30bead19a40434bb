# Applies KEST_SANITIZE and KEST_FUZZ to every target of the tree.
if(KEST_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(KEST_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT KEST_SANITIZE STREQUAL "")
  message(FATAL_ERROR "KEST_SANITIZE must be 'address', 'thread' or empty, not '${KEST_SANITIZE}'")
endif()

if(KEST_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "KEST_FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang")
  endif()
  if(NOT KEST_SANITIZE STREQUAL "")
    message(FATAL_ERROR "KEST_FUZZ brings its own sanitizers; leave KEST_SANITIZE empty")
  endif()
  # Libraries get coverage instrumentation; only the fuzz targets link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# GCC's flow analysis gives false uninitialised-use warnings in sanitized builds
# (inside std::regex and std::function, for example); the plain build keeps them.
if(NOT KEST_SANITIZE STREQUAL "" AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-Wno-maybe-uninitialized)
endif()

# Toolchain for the Windows build of the Qt-free core: Debian's MinGW-w64 for
# 64-bit Windows with POSIX threads (std::thread needs them). ctest runs the
# test programs through Wine. Use: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(kest_mingw x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${kest_mingw}-gcc-posix)
set(CMAKE_CXX_COMPILER ${kest_mingw}-g++-posix)
set(CMAKE_RC_COMPILER ${kest_mingw}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${kest_mingw})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Static C and C++ runtimes: a program runs without the compiler's DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)

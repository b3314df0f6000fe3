# Cross-compiles the Qt-free core for 64-bit Windows with Debian's mingw-w64 (the posix thread
# model, for std::thread and std::mutex), and runs what it builds under Wine:
#
#   cmake -S . -B build-windows --toolchain cmake/mingw-w64.cmake
#
# Needs g++-mingw-w64-x86-64-posix and wine64. Qt for Windows is not packaged for Debian, so the
# top-level list builds only the core and its unit tests here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# Libraries and headers come from the target's tree only: a find must never pick up the host's.
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The compiler's runtime (libstdc++, winpthread) goes into each program, so that it runs on a
# Windows without mingw-w64's DLLs beside it.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# CTest runs the programs through Wine's loader. The wine64 package does not put it on PATH.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)

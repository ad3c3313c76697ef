# 32-bit Windows (PE32, Intel 80386) with MinGW-w64: the library's original
# target, a DLL loaded into the host's process. Built and inspected here; no
# 32-bit Windows runtime is assumed on the build machine.
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/i686-w64-mingw32.cmake
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ZR_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# 64-bit Windows with MinGW-w64. Programs and tests run under Wine when its
# 64-bit loader is installed (Debian package wine64): CTest starts every test
# through it, with a Wine prefix of the build directory's own.
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/x86_64-w64-mingw32.cmake
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(ZR_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# Debian installs the loader outside the PATH.
find_program(ZR_WINE64 NAMES wine64 wine
  PATHS /usr/lib/wine /usr/lib/x86_64-linux-gnu/wine /opt/wine-stable/bin)
if(ZR_WINE64)
  set(ZR_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix of this build")
  set(CMAKE_CROSSCOMPILING_EMULATOR
    /usr/bin/env WINEPREFIX=${ZR_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
    ${ZR_WINE64})
endif()

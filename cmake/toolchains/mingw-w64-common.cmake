# Shared part of the MinGW-w64 toolchain files: set ZR_MINGW_TRIPLE, then
# include this file.
#
# The -posix compilers are used: the default win32 thread model of GCC 12 has
# no std::thread or std::mutex.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)

set(CMAKE_C_COMPILER ${ZR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZR_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${ZR_MINGW_TRIPLE}-windres)

# Headers, libraries and packages come from the MinGW tree only, never from the
# build machine's /usr (glibc's headers, Linux packages such as GTest).
set(CMAKE_FIND_ROOT_PATH /usr/${ZR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

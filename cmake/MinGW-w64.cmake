# Cross-builds for Windows with MinGW-w64 (POSIX thread model). SUITE_MINGW_ARCH picks the
# target: x86_64 (the default) or i686.
set(SUITE_MINGW_ARCH "x86_64" CACHE STRING "MinGW-w64 target: x86_64 or i686")
if(NOT SUITE_MINGW_ARCH MATCHES "^(x86_64|i686)$")
  message(FATAL_ERROR "SUITE_MINGW_ARCH must be x86_64 or i686, not '${SUITE_MINGW_ARCH}'")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SUITE_MINGW_ARCH)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${SUITE_MINGW_ARCH})
set(triple ${SUITE_MINGW_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Programs of the cross-build run under Wine: 64-bit ones with wine64, 32-bit ones with wine.
if(SUITE_MINGW_ARCH STREQUAL "x86_64")
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine)
endif()

# Cross-building for 64-bit Windows with Debian's MinGW-w64 and a Qt built for
# it (scripts/windows-toolchain.sh). BELFRY_QT_MINGW names the Qt prefix.
#
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DBELFRY_QT_MINGW=PREFIX
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# The posix thread model: Qt was built with it, and the win32 model's
# libstdc++ does not match the runtime DLLs shipped beside the program.
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

if(NOT BELFRY_QT_MINGW AND DEFINED ENV{BELFRY_QT_MINGW})
  set(BELFRY_QT_MINGW $ENV{BELFRY_QT_MINGW})
endif()
if(NOT BELFRY_QT_MINGW OR NOT EXISTS "${BELFRY_QT_MINGW}/lib/cmake/Qt5")
  message(FATAL_ERROR "BELFRY_QT_MINGW must name the Qt prefix for MinGW (see scripts/windows.sh)")
endif()
# try_compile projects see the same prefix.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BELFRY_QT_MINGW)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 ${BELFRY_QT_MINGW})
set(CMAKE_PREFIX_PATH ${BELFRY_QT_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

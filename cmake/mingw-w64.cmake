# Cross-building kobrant for Windows with Debian's mingw-w64 (g++-mingw-w64-x86-64, or -i686
# for a 32-bit build): cmake -S . -B build-windows -G Ninja
#   -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake [-DKOBRANT_WINDOWS_ARCH=i686]
# The posix thread model of the compiler is the one whose C++ runtime has std::thread; its
# runtime is linked statically (see the top CMakeLists.txt), so no MinGW DLL is needed.
set(CMAKE_SYSTEM_NAME Windows)
if(NOT KOBRANT_WINDOWS_ARCH)
  set(KOBRANT_WINDOWS_ARCH x86_64)
endif()
set(CMAKE_SYSTEM_PROCESSOR ${KOBRANT_WINDOWS_ARCH})
set(mingw_triple ${KOBRANT_WINDOWS_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${mingw_triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${mingw_triple}-g++-posix)
set(CMAKE_RC_COMPILER ${mingw_triple}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${mingw_triple})
# Programs from the build machine, libraries and headers from the target's root only: the
# host's libusb or GoogleTest must never be picked up for a Windows build.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config would otherwise answer with the build machine's packages.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${mingw_triple}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
# Wine runs the cross-built tests (test discovery included).
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

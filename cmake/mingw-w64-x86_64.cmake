# Cross-building the Windows console executable (x86-64) with Debian's
# mingw-w64 (posix threads) and running it, and the tests, under Wine.
#
#   cmake -S . -B build-win -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#     -DWPE_WINDOWS_DEPS=<prefix with Boost and GoogleTest built for Windows>
#
# tools/build-windows.sh builds that prefix and does all of this.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(WPE_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${WPE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${WPE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${WPE_MINGW_TRIPLET}-windres)

# One self-contained .exe: no libgcc, libstdc++ or winpthread DLLs to ship.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Only the target's own files and the prefix given are searched for
# libraries and packages; the build machine's are for Linux.
set(WPE_WINDOWS_DEPS "" CACHE PATH "Prefix holding Boost and GoogleTest built for Windows")
set(CMAKE_FIND_ROOT_PATH /usr/${WPE_MINGW_TRIPLET} ${WPE_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs, gtest discovery included, run under Wine, headless and
# quiet, in a Wine prefix of the build tree's own (tools/build-windows.sh
# makes it once). No .NET or HTML engine is needed by console programs.
find_program(WPE_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(WPE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${CMAKE_BINARY_DIR}/wine WINEDEBUG=-all
      WINEDLLOVERRIDES=mscoree,mshtml= ${WPE_WINE})
endif()
